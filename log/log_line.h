// The one rule for a line of the log file, kept by both log writers (the Linux one in
// file_log_writer.cpp, the Windows one in QorLogWriter.dll): its shape, with the message
// kept on one line, and the errors a failing write turns into.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace czqic {

struct LogTime {
    int year, month, day, hour, minute, second, millisecond;
};

// The time ms_of_day milliseconds after the start of the given day (0 <= ms_of_day < a day).
LogTime log_time(int year, int month, int day, int64_t ms_of_day);

// "YYYY-MM-DD HH:MM:SS.mmm [TAG] MESSAGE" followed by end_of_line, the message escaped
// (escape_controls) so that it stays one line.
std::string log_line(const LogTime& time, std::string_view tag, std::string_view message,
                     std::string_view end_of_line);

// A line as log_line wrote it, read back: its time, its tag and its message (still
// escaped), the end of line ("\n" or "\r\n") left off. Views into line.
struct LogLineParts {
    LogTime time;
    std::string_view tag;
    std::string_view message;
};
// False for anything that does not begin with a well-formed stamp and tag.
bool parse_log_line(std::string_view line, LogLineParts& parts);

// The run-time errors of a log writer, each naming the file and the reason in detail.
namespace log_error {
inline constexpr int32_t kPathFileAccess = 75;  // a folder or the file cannot be opened
inline constexpr int32_t kDiskFull = 61;
inline constexpr int32_t kDeviceIo = 57;  // any other failed write
}  // namespace log_error

// Raises AutomationError number with the description "<what it is>: detail".
[[noreturn]] void raise_log_error(int32_t number, std::string_view detail);

}  // namespace czqic
