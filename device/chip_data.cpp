#include "device/chip_data.h"

#include <array>
#include <cstdint>
#include <cstdio>

namespace czqic {
namespace {

// Every character's digit value, -1 for the ones that are not hexadecimal digits: one
// lookup per character, no branches on the character's range.
constexpr std::array<int8_t, 256> kDigitValue = [] {
    std::array<int8_t, 256> table{};
    table.fill(-1);
    for (int i = 0; i < 10; ++i) table['0' + i] = static_cast<int8_t>(i);
    for (int i = 0; i < 6; ++i) {
        table['A' + i] = static_cast<int8_t>(10 + i);
        table['a' + i] = static_cast<int8_t>(10 + i);
    }
    return table;
}();

int hex_digit(char c) {
    return kDigitValue[static_cast<unsigned char>(c)];
}

constexpr char kDigits[] = "0123456789ABCDEF";

// The two upper-case digits of every byte value.
constexpr std::array<std::array<char, 2>, 256> kByteDigits = [] {
    std::array<std::array<char, 2>, 256> table{};
    for (int i = 0; i < 256; ++i) table[i] = {kDigits[i >> 4], kDigits[i & 0xF]};
    return table;
}();

// The element's value when it is a whole number from 0 to 255 held as a number, which
// any coercion would give unchanged; -1 sends the element through the full coercion.
int plain_byte(const Value& element) {
    if (const auto* l = std::get_if<int32_t>(&element.v)) return *l >= 0 && *l <= 255 ? *l : -1;
    if (const auto* i = std::get_if<int16_t>(&element.v)) return *i >= 0 && *i <= 255 ? *i : -1;
    if (const auto* d = std::get_if<double>(&element.v)) {
        if (*d >= 0.0 && *d <= 255.0) {
            const int whole = static_cast<int>(*d);
            if (static_cast<double>(whole) == *d) return whole;
        }
    }
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
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    for (size_t i = 0; i + 1 < text.size(); i += 2)
        bytes.emplace_back(static_cast<double>(kDigitValue[p[i]] * 16 + kDigitValue[p[i + 1]]));
    return bytes;
}

std::string chip_reply_to_text(const Value& data) {
    const ValueArray& elements = data.elements();
    // Two digits an element; only an element above 255 (or negative) takes more.
    std::string text(elements.size() * 2, '\0');
    size_t at = 0;
    for (const Value& element : elements) {
        if (const int byte = plain_byte(element); byte >= 0) {
            text[at] = kByteDigits[byte][0];
            text[at + 1] = kByteDigits[byte][1];
            at += 2;
            continue;
        }
        // Negative values show their 32-bit pattern, as Hex() of a Long does.
        auto n = static_cast<uint32_t>(to_i4(element));
        char digits[8];
        int count = 0;
        do {
            digits[count++] = kDigits[n & 0xF];
            n >>= 4;
        } while (n != 0);
        if (count == 1) digits[count++] = '0';
        if (count > 2) text.resize(text.size() + static_cast<size_t>(count - 2));
        while (count > 0) text[at++] = digits[--count];
    }
    return text;
}

}  // namespace czqic
