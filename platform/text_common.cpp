#include "platform/text.h"

#include "platform/hex.h"

namespace czqic {
namespace {

constexpr bool in_range(char32_t c, char32_t first, char32_t last) {
    return c >= first && c <= last;
}

// How many bytes a lead byte announces by its bit pattern alone, valid or not.
size_t announced_length(unsigned char lead) {
    if ((lead & 0xE0) == 0xC0) return 2;
    if ((lead & 0xF0) == 0xE0) return 3;
    if ((lead & 0xF8) == 0xF0) return 4;
    return 1;
}

}  // namespace

Utf8Char decode_utf8_char(std::string_view text, size_t at) {
    const size_t size = text.size();
    auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    auto continuation = [&](size_t i) { return i < size && is_utf8_continuation(text[i]); };
    auto bits = [&](size_t i) { return static_cast<char32_t>(byte(i) & 0x3F); };
    const unsigned char lead = byte(at);
    if (lead < 0x80) return {lead, 1, true};
    if (lead >= 0xC2 && lead <= 0xDF) {
        if (continuation(at + 1)) return {(char32_t{lead} & 0x1F) << 6 | bits(at + 1), 2, true};
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        // E0 must not encode below U+0800, ED must not reach the surrogates.
        const unsigned char low = lead == 0xE0 ? 0xA0 : 0x80;
        const unsigned char high = lead == 0xED ? 0x9F : 0xBF;
        if (at + 1 < size && byte(at + 1) >= low && byte(at + 1) <= high && continuation(at + 2))
            return {(char32_t{lead} & 0x0F) << 12 | bits(at + 1) << 6 | bits(at + 2), 3, true};
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        // F0 must not encode below U+10000, F4 must not pass U+10FFFF.
        const unsigned char low = lead == 0xF0 ? 0x90 : 0x80;
        const unsigned char high = lead == 0xF4 ? 0x8F : 0xBF;
        if (at + 1 < size && byte(at + 1) >= low && byte(at + 1) <= high && continuation(at + 2) &&
            continuation(at + 3))
            return {(char32_t{lead} & 0x07) << 18 | bits(at + 1) << 12 | bits(at + 2) << 6 |
                        bits(at + 3),
                    4, true};
    }
    return {kReplacementCharacter, 1, false};
}

std::u32string decode_utf8(std::string_view text) {
    std::u32string out;
    out.reserve(text.size());
    size_t i = 0;
    while (i < text.size()) {
        const Utf8Char c = decode_utf8_char(text, i);
        out.push_back(c.code_point);
        if (c.valid) {
            i += c.length;
            continue;
        }
        const size_t end = i + announced_length(static_cast<unsigned char>(text[i]));
        for (++i; i < end && i < text.size() && is_utf8_continuation(text[i]);) ++i;
    }
    return out;
}

std::string encode_utf8(std::u32string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char32_t c : text) {
        if (c > 0x10FFFF || in_range(c, 0xD800, 0xDFFF)) c = kReplacementCharacter;
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (c >> 12)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (c >> 18)));
            out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

int display_width(char32_t c) {
    if (in_range(c, 0x0300, 0x036F) || in_range(c, 0x1AB0, 0x1AFF) || in_range(c, 0x1DC0, 0x1DFF) ||
        in_range(c, 0x20D0, 0x20FF) || in_range(c, 0xFE20, 0xFE2F) || c == 0x200B)
        return 0;
    if (in_range(c, 0x1100, 0x115F) || in_range(c, 0x2E80, 0x303E) || in_range(c, 0x3041, 0x33FF) ||
        in_range(c, 0x3400, 0x4DBF) || in_range(c, 0x4E00, 0x9FFF) || in_range(c, 0xA000, 0xA4CF) ||
        in_range(c, 0xAC00, 0xD7A3) || in_range(c, 0xF900, 0xFAFF) || in_range(c, 0xFE30, 0xFE4F) ||
        in_range(c, 0xFF00, 0xFF60) || in_range(c, 0xFFE0, 0xFFE6) ||
        in_range(c, 0x1F300, 0x1F64F) || in_range(c, 0x1F900, 0x1F9FF) ||
        in_range(c, 0x20000, 0x3FFFD))
        return 2;
    return 1;
}

int display_width(std::u32string_view text) {
    int cells = 0;
    for (char32_t c : text) cells += display_width(c);
    return cells;
}

std::string escape_controls(std::string_view text) {
    std::string line;
    line.reserve(text.size());
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\r') {
            line += "\\r";
        } else if (c == '\n') {
            line += "\\n";
        } else if ((byte < 0x20 && c != '\t') || byte == 0x7F) {
            line += "\\x";
            append_hex_byte(line, byte);
        } else {
            line += c;
        }
    }
    return line;
}

std::string elide_middle(std::string_view text, size_t limit) {
    if (text.size() <= limit) return std::string(text);
    auto continuation = [&](size_t at) {
        return at < text.size() && is_utf8_continuation(text[at]);
    };
    size_t head = limit / 2 - 2;
    while (head > 0 && continuation(head)) --head;
    size_t tail = text.size() - (limit / 2 - 2);
    while (tail < text.size() && continuation(tail)) ++tail;
    return std::string(text.substr(0, head)) + "..." + std::string(text.substr(tail)) + " (" +
           std::to_string(text.size()) + " bytes)";
}

}  // namespace czqic
