#include "diag/records.h"

#include <algorithm>
#include <chrono>

#include "component/reader.h"
#include "device/control_contract.h"

namespace czqic::diag {

std::optional<Op> op_named(std::string_view name) {
    const auto found = std::ranges::find(kOpNames, name);
    if (found == kOpNames.end()) return std::nullopt;
    return static_cast<Op>(found - kOpNames.begin());
}

std::string_view event_name(uint8_t event) {
    return event < ev::kHandled.size() ? ev::kHandled[event].name : std::string_view("?");
}

bool device_fault(uint8_t event) {
    // The events whose handlers store 23.
    return event < ev::kHandled.size() && ev::kHandled[event].word == ev::Word::Status &&
           ev::kHandled[event].value == ev::kDeviceError;
}

int64_t day_start_ms(const LogTime& time) {
    using namespace std::chrono;
    const sys_days day = year_month_day(year(time.year), month(static_cast<unsigned>(time.month)),
                                        std::chrono::day(static_cast<unsigned>(time.day)));
    return static_cast<int64_t>(day.time_since_epoch().count()) * 86400000;
}

int64_t time_of_day_ms(const LogTime& time) {
    return ((time.hour * 60 + time.minute) * 60 + time.second) * int64_t{1000} + time.millisecond;
}

std::string_view result_meaning(int32_t result) {
    switch (result) {
        case kOk:
            return "success";
        case kTimedOut:
            return "time-out";
        case kFailed:
            return "failure";
        case kEndedOn413:
            return "ended with device status 413";
        case kCaptured:
            return "card captured";
        default:
            return "other";
    }
}

}  // namespace czqic::diag
