#include "component/chip_data.h"

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <vector>

#include "platform/hex.h"

namespace czqic {
namespace {

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

// The byte value of every pair of characters, indexed by the first character plus 256
// times the second: one lookup a byte. Pairs that are not two hexadecimal digits give 0;
// the text is checked before it gets here.
constexpr std::array<uint8_t, 65536> kPairValue = [] {
    // Only the 22 digit characters are visited: a walk over every pair of characters
    // exceeds clang's limit on constant evaluation.
    constexpr char kAnyCase[] = "0123456789ABCDEFabcdef";
    std::array<uint8_t, 65536> table{};
    for (const char first : std::string_view(kAnyCase)) {
        for (const char second : std::string_view(kAnyCase)) {
            const int high = hex_digit_value(first);
            const int low = hex_digit_value(second);
            table[static_cast<unsigned char>(first) | static_cast<unsigned char>(second) << 8] =
                static_cast<uint8_t>(high * 16 + low);
        }
    }
    return table;
}();

// Appends an element that is not a plain byte: all its digits, at least two. Negative
// values show their 32-bit pattern, as Hex() of a Long does. Returns the new write
// position, which moves when the text has to grow.
char* append_wide(const Value& element, std::string& text, char* out) {
    auto n = static_cast<uint32_t>(to_i4(element));
    char digits[8];
    int count = 0;
    do {
        digits[count++] = kHexDigits[n & 0xF];
        n >>= 4;
    } while (n != 0);
    if (count == 1) digits[count++] = '0';
    if (count > 2) {
        const auto at = static_cast<size_t>(out - text.data());
        text.resize(text.size() + static_cast<size_t>(count - 2));
        out = text.data() + at;
    }
    while (count > 0) *out++ = digits[--count];
    return out;
}

[[noreturn]] void bad_command(std::string description) {
    raise_runtime_error(rt_error::kTypeMismatch, std::move(description));
}

}  // namespace

void check_chip_command(std::string_view text) {
    if (text.empty()) bad_command("chip command is empty: ChipCardData holds no hexadecimal text");
    for (size_t i = 0; i < text.size(); ++i) {
        if (hex_digit_value(text[i]) < 0) {
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

Value chip_command_to_array(std::string_view text) {
    if (text.size() > kMaxChipCommandChars) raise_runtime_error(rt_error::kOverflow);
    std::vector<uint8_t> bytes(text.size() / 2);
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    for (uint8_t& byte : bytes) {
        byte = kPairValue[p[0] | p[1] << 8];
        p += 2;
    }
    return Value(SharedArray::of_bytes(std::move(bytes)));
}

std::string chip_reply_to_text(const Value& data) {
    const ValueArray& elements = data.elements();
    // Two digits an element; only an element above 255 (or negative) takes more. Writing
    // through a local pointer keeps the string's buffer address out of memory, where a
    // store through the string itself would make it be read again for every byte.
    std::string text(elements.size() * 2, '\0');
    char* out = text.data();
    const Value* element = elements.data();
    const Value* const end = element + elements.size();
    while (element != end) {
        // Four elements a step with one test for all four: replies are almost always bytes.
        if (end - element >= 4) {
            const int a = plain_byte(element[0]), b = plain_byte(element[1]);
            const int c = plain_byte(element[2]), d = plain_byte(element[3]);
            if ((a | b | c | d) >= 0) {
                std::memcpy(out, kHexByteDigits[a].data(), 2);
                std::memcpy(out + 2, kHexByteDigits[b].data(), 2);
                std::memcpy(out + 4, kHexByteDigits[c].data(), 2);
                std::memcpy(out + 6, kHexByteDigits[d].data(), 2);
                out += 8;
                element += 4;
                continue;
            }
        }
        if (const int byte = plain_byte(*element); byte >= 0) {
            std::memcpy(out, kHexByteDigits[byte].data(), 2);
            out += 2;
        } else {
            out = append_wide(*element, text, out);
        }
        ++element;
    }
    return text;
}

}  // namespace czqic
