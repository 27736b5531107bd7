#include "diag/result_mapping.h"

#include "component/reader.h"
#include "component/runtime.h"
#include "device/control_contract.h"

namespace czqic::diag {
namespace {

// Stands in for the operations' own mapping until they expose it as a function; the
// rules below are theirs (operations/card_operations.cpp, operations/track_writing.cpp,
// chip/chip_operations.cpp), and this function goes when that lands.
int32_t waited_for(int32_t status, std::initializer_list<int32_t> success) {
    for (int32_t s : success)
        if (status == s) return kOk;
    return status == kPending ? kTimedOut : kFailed;
}

int32_t operations_result(Op op, int32_t status) {
    switch (op) {
        case Op::Init:
        case Op::Reset:
        case Op::Retain:
            if (status == ev::kCardCaptured) return kCaptured;
            if (status == ev::kStatus413) return kEndedOn413;
            return waited_for(status, {ev::kResetComplete});
        case Op::Enable:
            return status == 0 || status == ev::kCardAccepted || status == ev::kStatus460 ? kOk
                                                                                          : kFailed;
        case Op::Read:
            return kFailed;  // below 405 only: at 405 the tracks decide
        case Op::Write:
            return waited_for(status, {ev::kCardWritten});
        case Op::Return:
            return waited_for(status, {ev::kCardTaken, 0});
        case Op::Disable:
            return kOk;
        case Op::WaitChip:
            return waited_for(status, {ev::kStatus460, ev::kChipDataReceived});
        case Op::ChipTrnsp:
            return waited_for(status, {ev::kChipDataReceived});
        case Op::GetStatus:
        case Op::Clear:
            break;
    }
    return kFailed;  // they log only on their error path
}

}  // namespace

MappedResult result_for(Op op, int32_t status) {
    if (op == Op::Read && status == ev::kCardAccepted)
        return {std::nullopt,
                "the card was accepted; its track data, which the log does not "
                "hold, decides"};
    return {operations_result(op, status), {}};
}

}  // namespace czqic::diag
