#include "diag/result_mapping.h"

#include <initializer_list>

#include "component/reader.h"
#include "component/runtime.h"
#include "device/control_contract.h"

namespace czqic::diag {
namespace {

// Stands in, with the same signature, for the operations' own mapping by operation name
// until they expose it; the rules are theirs (operations/card_operations.cpp,
// operations/track_writing.cpp, chip/chip_operations.cpp), and this goes when that lands.
std::optional<int32_t> operations_result_for(std::string_view operation, int32_t status) {
    auto waited = [status](std::initializer_list<int32_t> success) {
        for (int32_t s : success)
            if (status == s) return kOk;
        return status == kPending ? kTimedOut : kFailed;
    };
    const auto op = op_named(operation);
    if (!op) return std::nullopt;
    switch (*op) {
        case Op::Init:
        case Op::Reset:
        case Op::Retain:
            if (status == ev::kCardCaptured) return kCaptured;
            if (status == ev::kStatus413) return kEndedOn413;
            return waited({ev::kResetComplete});
        case Op::Enable:
            return waited({0, ev::kCardAccepted, ev::kStatus460}) == kOk ? kOk : kFailed;
        case Op::Read:
            if (status == ev::kCardAccepted) return std::nullopt;  // the tracks decide
            return kFailed;
        case Op::Write:
            return waited({ev::kCardWritten});
        case Op::Return:
            return waited({ev::kCardTaken, 0});
        case Op::Disable:
            return kOk;
        case Op::WaitChip:
            return waited({ev::kStatus460, ev::kChipDataReceived});
        case Op::ChipTrnsp:
            return waited({ev::kChipDataReceived});
        case Op::Clear:
            return status == 0 ? kOk : kFailed;
        case Op::GetStatus:
            break;
    }
    return std::nullopt;
}

}  // namespace

MappedResult result_for(Op op, int32_t status) {
    const auto result = operations_result_for(op_name(op), status);
    if (!result && op == Op::Read)
        return {std::nullopt,
                "the card was accepted; its track data, which the log does not "
                "hold, decides"};
    return {result, {}};
}

}  // namespace czqic::diag
