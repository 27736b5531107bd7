// How the command line writes values, times and failures, the same on every platform:
// `czqic run`, the demo and the probe print through these and nothing else.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/automation.h"

namespace czqic::cli {

std::string json_string(std::string_view text);
// A returned value: 0, "text" (a JSON string), true, [1, 2], Empty, Null.
std::string format_value(const Value& value);
// HH:MM:SS.mmm for seconds since midnight.
std::string format_time_of_day(double seconds);
// 0xHHHHHHHH.
std::string hresult_text(uint32_t hresult);
// `NAME failed: 0xHHHHHHHH DESCRIPTION`.
std::string failure_line(std::string_view name, uint32_t hresult, std::string_view description);
// The text on one line, without trailing blanks.
std::string one_line(std::string text);

}  // namespace czqic::cli
