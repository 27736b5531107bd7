// Hexadecimal digits as every text that carries bytes reads them: chip commands and
// replies, scenario data, the log writers' masking of card data.
#pragma once

#include <array>
#include <cstdint>

namespace czqic {

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

}  // namespace czqic
