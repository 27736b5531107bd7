// Hexadecimal digits as every text that carries bytes reads and writes them: chip commands
// and replies, scenario data, the log writers' masking of card data, probe reports.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace czqic {

inline constexpr char kHexDigits[] = "0123456789ABCDEF";

namespace hex_detail {
// Every character's digit value, -1 for the ones that are not hexadecimal digits: one
// lookup per character, no branches on the character's range.
inline constexpr std::array<int8_t, 256> kDigitValue = [] {
    std::array<int8_t, 256> table{};
    table.fill(-1);
    for (int i = 0; i < 10; ++i) table['0' + i] = static_cast<int8_t>(i);
    for (int i = 0; i < 6; ++i) {
        table['A' + i] = static_cast<int8_t>(10 + i);
        table['a' + i] = static_cast<int8_t>(10 + i);
    }
    return table;
}();
}  // namespace hex_detail

// The value of a hexadecimal digit of either case, -1 for any other character.
constexpr int hex_digit_value(char c) {
    return hex_detail::kDigitValue[static_cast<unsigned char>(c)];
}

// The two upper-case digits of every byte value, for writers that copy them in bulk.
inline constexpr std::array<std::array<char, 2>, 256> kHexByteDigits = [] {
    std::array<std::array<char, 2>, 256> table{};
    for (int i = 0; i < 256; ++i) table[i] = {kHexDigits[i >> 4], kHexDigits[i & 0xF]};
    return table;
}();

inline void append_hex_byte(std::string& text, uint8_t byte) {
    text.append(kHexByteDigits[byte].data(), 2);
}

// Two upper-case digits a byte, no separators.
std::string hex_encode(std::span<const uint8_t> bytes);

// Pairs of digits of either case; nothing for an odd length or any other character.
std::optional<std::vector<uint8_t>> hex_decode(std::string_view text);

}  // namespace czqic
