#include "log/log_line.h"

#include <cstdio>

#include "platform/automation.h"
#include "platform/text.h"

namespace czqic {

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
