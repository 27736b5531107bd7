#include "component/results.h"

#include "device/control_contract.h"

namespace czqic {
namespace mapping {
namespace {

// A wait that ended on no outcome of its own: still pending is its time limit, anything
// else a failure.
int32_t otherwise(int32_t status) {
    return status == kPending ? kTimedOut : kFailed;
}

}  // namespace

int32_t reset_like(int32_t status) {
    switch (status) {
        case ev::kResetComplete:
            return kOk;
        case ev::kCardCaptured:
            return kCaptured;
        case ev::kStatus413:  // produced by no handler, still mapped
            return kEndedOn413;
        default:
            return otherwise(status);
    }
}

int32_t clear(int32_t answer) {
    return answer == 0 ? kOk : kFailed;
}

int32_t enable(int32_t status) {
    const bool open = status == 0 || status == ev::kCardAccepted || status == ev::kStatus460;
    return open ? kOk : kFailed;
}

std::optional<int32_t> read(int32_t status) {
    if (status == ev::kCardAccepted) return std::nullopt;
    return kFailed;
}

int32_t write_track(int32_t status) {
    return status == ev::kCardWritten ? kOk : otherwise(status);
}

int32_t card_return(int32_t status) {
    return status == ev::kCardTaken || status == 0 ? kOk : otherwise(status);
}

int32_t wait_chip(int32_t status) {
    return status == ev::kStatus460 || status == ev::kChipDataReceived ? kOk : otherwise(status);
}

int32_t chip_exchange(int32_t status) {
    return status == ev::kChipDataReceived ? kOk : otherwise(status);
}

}  // namespace mapping

namespace {

struct OperationMapping {
    std::string_view operation;
    std::optional<int32_t> (*result)(int32_t status);
};

// A mapping that decides every status word.
template <int32_t (*Map)(int32_t)>
std::optional<int32_t> decides(int32_t status) {
    return Map(status);
}

constexpr OperationMapping kMappings[] = {
    {"CardReaderInit", decides<mapping::reset_like>},
    {"CardReaderReset", decides<mapping::reset_like>},
    {"CardReaderRetain", decides<mapping::reset_like>},
    {"CardReaderClear", decides<mapping::clear>},
    {"CardReaderEnable", decides<mapping::enable>},
    {"CardReaderRead", mapping::read},
    {"CardReaderWrite", decides<mapping::write_track>},
    {"CardReaderReturn", decides<mapping::card_return>},
    // Withdrawing entry succeeds whether or not the control confirmed it.
    {"CardReaderDisable", [](int32_t) -> std::optional<int32_t> { return kOk; }},
    {"QOR_WaitChip", decides<mapping::wait_chip>},
    {"Qor_ChipTrnsp", decides<mapping::chip_exchange>},
};

}  // namespace

std::optional<int32_t> result_for(std::string_view operation, int32_t status) {
    for (const OperationMapping& m : kMappings)
        if (m.operation == operation) return m.result(status);
    return std::nullopt;
}

}  // namespace czqic
