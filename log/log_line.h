// The shape of a log line, kept the same by every writer on every platform, and the
// quoting of outside text in messages meant for a person.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace czqic {

// The message with CR, LF and the other control characters (TAB excepted) written as
// "\r", "\n" and "\xHH", so that one message is one line wherever it is shown.
std::string escape_controls(std::string_view message);

// "YYYY-MM-DD HH:MM:SS.mmm [TAG] MESSAGE\n", the message escaped; the time parts are
// local time as the writer reads it.
struct LocalTime {
    int year, month, day, hour, minute, second, millisecond;
};
std::string log_line(const LocalTime& at, std::string_view tag, std::string_view message);

// Text from outside (a key, a step, a file name) as an error message quotes it: whole
// when short, else its head and tail around "..." followed by " (N bytes)", never
// cutting a UTF-8 sequence. A megabyte of input stays a readable line.
inline constexpr size_t kQuotedTextLimit = 80;
std::string elide_middle(std::string_view text, size_t limit = kQuotedTextLimit);

}  // namespace czqic
