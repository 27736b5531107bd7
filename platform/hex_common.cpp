#include "platform/hex.h"

namespace czqic {

std::string hex_encode(std::span<const uint8_t> bytes) {
    std::string text;
    text.reserve(bytes.size() * 2);
    for (uint8_t b : bytes) append_hex_byte(text, b);
    return text;
}

std::optional<std::vector<uint8_t>> hex_decode(std::string_view text) {
    if (text.size() % 2 != 0) return std::nullopt;
    std::vector<uint8_t> bytes;
    bytes.reserve(text.size() / 2);
    for (size_t i = 0; i < text.size(); i += 2) {
        const int high = hex_digit_value(text[i]);
        const int low = hex_digit_value(text[i + 1]);
        if (high < 0 || low < 0) return std::nullopt;
        bytes.push_back(static_cast<uint8_t>(high * 16 + low));
    }
    return bytes;
}

}  // namespace czqic
