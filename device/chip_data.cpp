#include "device/chip_data.h"

#include <cstdio>

namespace czqic {
namespace {

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

[[noreturn]] void bad_command(std::string description) {
    raise_runtime_error(rt_error::kTypeMismatch, std::move(description));
}

}  // namespace

void check_chip_command(std::string_view text) {
    if (text.empty()) bad_command("chip command is empty: ChipCardData holds no hexadecimal text");
    for (size_t i = 0; i < text.size(); ++i) {
        if (hex_digit(text[i]) < 0) {
            const auto byte = static_cast<unsigned char>(text[i]);
            char shown[8];
            if (byte >= 0x20 && byte < 0x7F)
                std::snprintf(shown, sizeof shown, "'%c'", text[i]);
            else
                std::snprintf(shown, sizeof shown, "0x%02X", byte);
            bad_command("chip command holds " + std::string(shown) + " at position " +
                        std::to_string(i + 1) + ", which is not a hexadecimal digit");
        }
    }
    if (text.size() % 2 != 0)
        bad_command("chip command has an odd number of hexadecimal digits (" +
                    std::to_string(text.size()) + "), not whole bytes");
}

ValueArray chip_command_to_array(std::string_view text) {
    if (text.size() > kMaxChipCommandChars) raise_runtime_error(rt_error::kOverflow);
    ValueArray bytes;
    bytes.reserve(text.size() / 2);
    for (size_t i = 0; i + 1 < text.size(); i += 2) {
        const int hi = hex_digit(text[i]);
        const int lo = hex_digit(text[i + 1]);
        bytes.emplace_back(static_cast<double>(hi * 16 + lo));
    }
    return bytes;
}

std::string chip_reply_to_text(const Value& data) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    const ValueArray& elements = data.elements();
    std::string text;
    text.reserve(elements.size() * 2);
    for (const Value& element : elements) {
        // Negative values show their 32-bit pattern, as Hex() of a Long does.
        auto n = static_cast<uint32_t>(to_i4(element));
        char digits[8];
        int count = 0;
        do {
            digits[count++] = kDigits[n & 0xF];
            n >>= 4;
        } while (n != 0);
        if (count == 1) text += '0';
        while (count > 0) text += digits[--count];
    }
    return text;
}

}  // namespace czqic
