// The shared text rules, one table each: every layer's quoting, logging, member lookup and
// terminal drawing rests on them.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/hex.h"
#include "platform/text.h"

namespace czqic {
namespace {

using namespace std::literals;

TEST(Text, HexRoundTripsBytesAndRefusesAnythingButPairsOfDigits) {
    const struct {
        std::string_view text;
        std::optional<std::vector<uint8_t>> bytes;
        std::string_view encoded;  // what the bytes encode back to
    } rows[] = {
        {"", std::vector<uint8_t>{}, ""},
        {"00ff7Fa0", std::vector<uint8_t>{0x00, 0xFF, 0x7F, 0xA0}, "00FF7FA0"},
        {"0084000004", std::vector<uint8_t>{0x00, 0x84, 0x00, 0x00, 0x04}, "0084000004"},
        {"0", std::nullopt, ""},
        {"0g", std::nullopt, ""},
        {"00 1", std::nullopt, ""},
        {"\xFF"
         "0",
         std::nullopt, ""},
    };
    for (const auto& row : rows) {
        const auto bytes = hex_decode(row.text);
        EXPECT_EQ(bytes, row.bytes) << row.text;
        if (bytes) {
            EXPECT_EQ(hex_encode(*bytes), row.encoded) << row.text;
        }
    }
}

TEST(Text, CaseIsFoldedForAsciiLettersOnly) {
    const struct {
        std::string_view a, b;
        bool equal;
    } rows[] = {
        {"CardReaderInit", "cardreaderinit", true},
        {"GSRV", "gsrv", true},
        {"Text1", "TEXT1", true},
        {"Text1", "Text11", false},
        {"", "", true},
        {"[", "{", false},                // 0x5B and 0x7B differ by the case bit but are no letters
        {"\xC3\x89", "\xC3\xA9", false},  // É and é: not ASCII, not folded
    };
    for (const auto& row : rows)
        EXPECT_EQ(equals_ignoring_case(row.a, row.b), row.equal) << row.a << " " << row.b;
}

TEST(Text, Utf8MalformedSequencesBecomeOneReplacementEachAsTheLeadAnnounces) {
    const struct {
        std::string_view utf8;
        std::u32string_view decoded;
        size_t first_length;  // what decode_utf8_char takes at byte 0
    } rows[] = {
        {"A\xC3\xA9", U"A\u00E9", 1},
        {"\xE2\x82\xAC", U"\u20AC", 3},
        {"\xF0\x9F\x98\x80", U"\U0001F600", 4},
        {"\xF4\x8F\xBF\xBF", U"\U0010FFFF", 4},
        {"\xFF"
         "B",
         U"\uFFFDB", 1},
        {"\xE8\xAF", U"\uFFFD", 1},          // truncated
        {"\xC0\x80", U"\uFFFD", 1},          // overlong
        {"\xE0\x80\xAF", U"\uFFFD", 1},      // overlong
        {"\xED\xA0\x80", U"\uFFFD", 1},      // a surrogate
        {"\xF4\x90\x80\x80", U"\uFFFD", 1},  // beyond U+10FFFF
        {"\xE2\x82"
         "a",
         U"\uFFFDa", 1},
        {"\xF0\x9F\x98\x80\x80", U"\U0001F600\uFFFD", 4},
        {"\xC2\xC2\x80", U"\uFFFD\u0080", 1},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(decode_utf8(row.utf8), row.decoded) << row.utf8;
        EXPECT_EQ(decode_utf8_char(row.utf8, 0).length, row.first_length) << row.utf8;
        if (row.decoded.find(kReplacementCharacter) == std::u32string_view::npos) {
            EXPECT_EQ(encode_utf8(row.decoded), row.utf8);
        }
    }
}

TEST(Text, DisplayWidthCountsTerminalCells) {
    const struct {
        std::u32string_view text;
        int cells;
    } rows[] = {
        {U"", 0},           {U"ABC", 3},      {U"\u9000\u51FA", 4},  // 退出
        {U"e\u0301", 1},    {U"a\u200Bb", 2}, {U"\uFF21", 2},        // full-width A
        {U"\U0001F600", 2}, {U"\u2026", 1},   {U"\t", 1},
    };
    for (const auto& row : rows) EXPECT_EQ(display_width(row.text), row.cells);
}

TEST(Text, OutsideTextStaysOneReadableLine) {
    const std::string wide = std::string(38, 'x') + "\xE9\x80\x80" + std::string(100, 'y');
    const struct {
        std::string text;
        std::string escaped;
        std::string elided;  // with the default limit
    } rows[] = {
        {"plain\ttab", "plain\ttab", "plain\ttab"},
        {"CR LF\r\n", "CR LF\\r\\n", "CR LF\r\n"},
        {"\x1B[1m\0\x7F"s, "\\x1B[1m\\x00\\x7F", "\x1B[1m\0\x7F"s},
        {wide, wide, std::string(38, 'x') + "..." + std::string(38, 'y') + " (141 bytes)"},
        // The head would end inside the three-byte character: it stops before it.
        {std::string(37, 'x') + "\xE9\x80\x80" + std::string(100, 'y'),
         std::string(37, 'x') + "\xE9\x80\x80" + std::string(100, 'y'),
         std::string(37, 'x') + "..." + std::string(38, 'y') + " (140 bytes)"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(escape_controls(row.text), row.escaped);
        EXPECT_EQ(elide_middle(row.text), row.elided);
    }
}

}  // namespace
}  // namespace czqic
