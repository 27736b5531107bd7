#include <cstdio>

#include "component/reader.h"
#include "diag/outputs.h"
#include "log/card_data.h"

namespace czqic::diag {

std::string call_name(const Record& r) {
    if (r.is_event) return "event " + std::string(event_name(r.event));
    std::string name(op_name(r.op));
    if (r.by_timer1) name += " (Timer1)";
    return name;
}

std::string clock_text(const LogTime& t, bool with_date) {
    char text[32];
    if (with_date)
        std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%03d", t.year, t.month,
                      t.day, t.hour, t.minute, t.second, t.millisecond);
    else
        std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03d", t.hour, t.minute, t.second,
                      t.millisecond);
    return text;
}

std::string seconds_text(int64_t ms) {
    char text[32];
    std::snprintf(text, sizeof text, "%s%lld.%03lld s", ms < 0 ? "-" : "",
                  static_cast<long long>((ms < 0 ? -ms : ms) / 1000),
                  static_cast<long long>((ms < 0 ? -ms : ms) % 1000));
    return text;
}

std::string outcome_text(const Record& r) {
    if (r.is_event) return std::to_string(*r.status);
    if (r.result) return std::to_string(*r.result) + " " + std::string(result_meaning(*r.result));
    if (r.incomplete) return "incomplete: its end is not in the log";
    return "unknown: " + std::string(r.unknown_result);
}

std::string shown_chip(const std::string& chip, bool show_card_data) {
    return show_card_data ? chip : mask_chip_data(chip);
}

Outcome outcome_of(const Record& r) {
    if (r.is_event) return device_fault(r.event) ? Outcome::Fault : Outcome::Event;
    if (!r.result) return r.incomplete ? Outcome::Incomplete : Outcome::Unknown;
    switch (*r.result) {
        case kOk:
            return Outcome::Success;
        case kTimedOut:
            return Outcome::TimedOut;
        case kCaptured:
            return Outcome::Captured;
        default:
            return Outcome::Failed;
    }
}

}  // namespace czqic::diag
