// What a log says happened, rebuilt: one record per call the client made (or Timer1's
// reset), with the events handled during it, and one per event handled outside any call.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "log/log_line.h"

namespace czqic::diag {

// The methods that write log lines, in the order the tables and the timeline show them.
enum class Op : uint8_t {
    Init,
    Reset,
    Retain,
    GetStatus,
    Clear,
    Enable,
    Read,
    Write,
    Return,
    Disable,
    WaitChip,
    ChipTrnsp,
};
inline constexpr size_t kOpCount = 12;
inline constexpr std::array<std::string_view, kOpCount> kOpNames = {
    "CardReaderInit",   "CardReaderReset",   "CardReaderRetain", "CardReaderGetStatus",
    "CardReaderClear",  "CardReaderEnable",  "CardReaderRead",   "CardReaderWrite",
    "CardReaderReturn", "CardReaderDisable", "QOR_WaitChip",     "Qor_ChipTrnsp",
};
constexpr std::string_view op_name(Op op) {
    return kOpNames[static_cast<size_t>(op)];
}
std::optional<Op> op_named(std::string_view name);

// An event the host form handled, by its place in the handled events' table
// (ev::kHandled), with the value its line shows.
struct EventMark {
    uint8_t event;
    int32_t status;
    int64_t ms;  // from the start of the call it was handled in
};
std::string_view event_name(uint8_t event);
// Whether the event stands for the device failing (DeviceError, FatalError,
// ConnectionClosed).
bool device_fault(uint8_t event);

// A line's stamp as milliseconds on one scale across dates, for durations: its date's
// start plus its time of day.
int64_t day_start_ms(const LogTime& time);
int64_t time_of_day_ms(const LogTime& time);

struct Record {
    bool is_event = false;  // an event outside any call: event is set, op is not
    Op op = Op::Init;
    uint8_t event = 0;
    bool by_timer1 = false;
    LogTime start{};
    int64_t start_ms = 0;
    std::optional<int64_t> ms;
    std::optional<int32_t> status;
    std::optional<int32_t> result;
    // Why result is missing when the call did end: what the log does not hold.
    std::string_view unknown_result;
    std::optional<std::string> error;
    std::vector<EventMark> events;
    std::optional<std::string> chip;
    bool incomplete = false;
    uint32_t file = 0;  // index into the files read
    uint64_t line = 0;  // of the start line, from 1
};

// Receives the records in the order their calls (or events) began.
class RecordSink {
  public:
    virtual ~RecordSink() = default;
    virtual void record(const Record& record) = 0;
};

// The result codes' meanings, as the README's table gives them.
std::string_view result_meaning(int32_t result);

}  // namespace czqic::diag
