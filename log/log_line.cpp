#include "log/log_line.h"

#include <cstdio>

#include "platform/automation.h"
#include "platform/text.h"

namespace czqic {

LogTime log_time(int year, int month, int day, int64_t ms_of_day) {
    return {year,
            month,
            day,
            static_cast<int>(ms_of_day / 3600000),
            static_cast<int>(ms_of_day / 60000 % 60),
            static_cast<int>(ms_of_day / 1000 % 60),
            static_cast<int>(ms_of_day % 1000)};
}

std::string log_line(const LogTime& time, std::string_view tag, std::string_view message,
                     std::string_view end_of_line) {
    char stamp[48];
    std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02d %02d:%02d:%02d.%03d", time.year, time.month,
                  time.day, time.hour, time.minute, time.second, time.millisecond);
    std::string line(stamp);
    line += " [";
    line += tag;
    line += "] ";
    line += escape_controls(message);
    line += end_of_line;
    return line;
}

namespace {

// The value of count decimal digits at text[at], or -1 when one of them is not a digit.
int digits_at(std::string_view text, size_t at, size_t count) {
    int value = 0;
    for (size_t i = at; i < at + count; ++i) {
        const unsigned digit = static_cast<unsigned char>(text[i]) - '0';
        if (digit > 9) return -1;
        value = value * 10 + static_cast<int>(digit);
    }
    return value;
}

}  // namespace

bool parse_log_line(std::string_view line, LogLineParts& parts) {
    // "YYYY-MM-DD HH:MM:SS.mmm [" is 25 characters at fixed places.
    constexpr size_t kTagAt = 25;
    if (line.ends_with('\n')) line.remove_suffix(1);
    if (line.ends_with('\r')) line.remove_suffix(1);
    if (line.size() < kTagAt + 2 || line[4] != '-' || line[7] != '-' || line[10] != ' ' ||
        line[13] != ':' || line[16] != ':' || line[19] != '.' || line[23] != ' ' || line[24] != '[')
        return false;
    LogTime& time = parts.time;
    time = {digits_at(line, 0, 4),  digits_at(line, 5, 2),  digits_at(line, 8, 2),
            digits_at(line, 11, 2), digits_at(line, 14, 2), digits_at(line, 17, 2),
            digits_at(line, 20, 3)};
    if (time.year < 0 || time.month < 1 || time.month > 12 || time.day < 1 || time.day > 31 ||
        time.hour < 0 || time.hour > 23 || time.minute < 0 || time.minute > 59 || time.second < 0 ||
        time.second > 59 || time.millisecond < 0)
        return false;
    const size_t close = line.find("] ", kTagAt);
    if (close == std::string_view::npos) return false;
    parts.tag = line.substr(kTagAt, close - kTagAt);
    parts.message = line.substr(close + 2);
    return true;
}

void raise_log_error(int32_t number, std::string_view detail) {
    const char* what = number == log_error::kDiskFull   ? "Disk full"
                       : number == log_error::kDeviceIo ? "Device I/O error"
                                                        : "Path/File access error";
    std::string description(what);
    description += ": ";
    description += detail;
    throw AutomationError(number, 0x800A0000u | static_cast<uint32_t>(number),
                          std::move(description));
}

}  // namespace czqic
