// The one rule for a line of the log file, kept by both log writers (the Linux one in
// file_log_writer.cpp, the Windows one in QorLogWriter.dll): its shape, the escaping that
// keeps one message on one line, the errors a failing write turns into, and the quoting of
// outside text in messages meant for a person.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace czqic {

struct LogTime {
    int year, month, day, hour, minute, second, millisecond;
};

// The message with line breaks and other control characters written as escapes ("\r",
// "\n", "\xHH"; a tab stays): a system's error description often ends in CR LF.
std::string escape_log_message(std::string_view message);

// "YYYY-MM-DD HH:MM:SS.mmm [TAG] MESSAGE" followed by end_of_line, the message escaped.
std::string log_line(const LogTime& time, std::string_view tag, std::string_view message,
                     std::string_view end_of_line);

// Text from outside (a key, a step, a file name) as an error message quotes it: whole
// when short, else its head and tail around "..." followed by " (N bytes)", never
// cutting a UTF-8 sequence. A megabyte of input stays a readable line.
inline constexpr size_t kQuotedTextLimit = 80;
std::string elide_middle(std::string_view text, size_t limit = kQuotedTextLimit);

// The run-time errors of a log writer, each naming the file and the reason in detail.
namespace log_error {
inline constexpr int32_t kPathFileAccess = 75;  // a folder or the file cannot be opened
inline constexpr int32_t kDiskFull = 61;
inline constexpr int32_t kDeviceIo = 57;  // any other failed write
}  // namespace log_error

// Raises AutomationError number with the description "<what it is>: detail".
[[noreturn]] void raise_log_error(int32_t number, std::string_view detail);

}  // namespace czqic
