#include "log/log_line.h"

#include <cstdio>

#include "platform/automation.h"

namespace czqic {

std::string escape_log_message(std::string_view message) {
    std::string line;
    line.reserve(message.size());
    for (char c : message) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\r') {
            line += "\\r";
        } else if (c == '\n') {
            line += "\\n";
        } else if ((byte < 0x20 && c != '\t') || byte == 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
            line += escaped;
        } else {
            line += c;
        }
    }
    return line;
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
    line += escape_log_message(message);
    line += end_of_line;
    return line;
}

std::string elide_middle(std::string_view text, size_t limit) {
    if (text.size() <= limit) return std::string(text);
    auto continuation = [&](size_t at) {
        return at < text.size() && (static_cast<unsigned char>(text[at]) & 0xC0) == 0x80;
    };
    size_t head = limit / 2 - 2;
    while (head > 0 && continuation(head)) --head;
    size_t tail = text.size() - (limit / 2 - 2);
    while (tail < text.size() && continuation(tail)) ++tail;
    return std::string(text.substr(0, head)) + "..." + std::string(text.substr(tail)) + " (" +
           std::to_string(text.size()) + " bytes)";
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
