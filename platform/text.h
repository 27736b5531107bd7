// The text rules every layer shares: names compared without regard to case, UTF-8 read
// one way everywhere, the terminal cells a character takes, and outside text made safe to
// show in one line (hexadecimal digits are in hex.h).
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace czqic {

// ---------------------------------------------------------------------------------------
// ASCII case: member, event and keyword names are ASCII, and a letter outside it is never
// folded (the locale has no say).

template <class Char>
constexpr Char ascii_lower(Char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<Char>(c - 'A' + 'a') : c;
}
template <class Char>
constexpr Char ascii_upper(Char c) {
    return c >= 'a' && c <= 'z' ? static_cast<Char>(c - 'a' + 'A') : c;
}

constexpr bool equals_ignoring_case(std::string_view a, std::string_view b) {
    return std::ranges::equal(a, b, {}, ascii_lower<char>, ascii_lower<char>);
}

// An ASCII constant as a wide string, made at compile time, for the interfaces that take
// UTF-16 (Win32, COM) where the text is written once as narrow text:
// kWideAscii<kProgId>.data(). A character outside ASCII does not compile.
template <const std::string_view& kText>
inline constexpr auto kWideAscii = [] {
    std::array<wchar_t, kText.size() + 1> wide{};
    for (size_t i = 0; i < kText.size(); ++i) {
        if (static_cast<unsigned char>(kText[i]) > 0x7F) throw "not ASCII";
        wide[i] = static_cast<wchar_t>(kText[i]);
    }
    return wide;
}();

// ---------------------------------------------------------------------------------------
// UTF-8

inline constexpr char32_t kReplacementCharacter = 0xFFFD;

constexpr bool is_utf8_continuation(char c) {
    return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

struct Utf8Char {
    char32_t code_point;  // kReplacementCharacter where valid is false
    size_t length;        // bytes taken: 1 where valid is false
    bool valid;
};

// The character that starts at byte `at` (< text.size()). Only well-formed sequences
// count: no overlong forms, no surrogates, nothing beyond U+10FFFF. A byte that starts
// none is invalid on its own, so a caller counting per byte gets one replacement each.
Utf8Char decode_utf8_char(std::string_view text, size_t at);

// The text as code points; a malformed sequence (its lead byte and the continuation bytes
// that follow it, as many as the lead announces) becomes one U+FFFD.
std::u32string decode_utf8(std::string_view text);

// Code points that are surrogates or beyond U+10FFFF become U+FFFD.
std::string encode_utf8(std::u32string_view text);

// ---------------------------------------------------------------------------------------
// Terminal cells

// 0 for combining marks and the zero-width space, 2 for East Asian wide characters and
// emoji, 1 for everything else (a control character too, as whatever stands in for it).
int display_width(char32_t c);
int display_width(std::u32string_view text);

// ---------------------------------------------------------------------------------------
// Outside text in one line

// Line breaks and other control characters written as escapes ("\r", "\n", "\xHH"; a tab
// stays): a system's error description often ends in CR LF.
std::string escape_controls(std::string_view text);

// Text from outside (a key, a step, a file name) as an error message quotes it: whole
// when short, else its head and tail around "..." followed by " (N bytes)", never
// cutting a UTF-8 sequence. A megabyte of input stays a readable line.
inline constexpr size_t kQuotedTextLimit = 80;
std::string elide_middle(std::string_view text, size_t limit = kQuotedTextLimit);

}  // namespace czqic
