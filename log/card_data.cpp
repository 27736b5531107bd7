#include "log/card_data.h"

#include <cstddef>
#include <cstdint>

#include "platform/environment.h"
#include "platform/hex.h"

namespace czqic {
namespace {

// A card's records nest two or three templates deep; anything deeper is not card data
// and is left as it stands rather than walked without bound.
constexpr int kMaxDepth = 16;

enum class Masking { None, AccountNumber, Track2, Whole };

Masking masking_of(uint32_t tag) {
    switch (tag) {
        case 0x5A:
            return Masking::AccountNumber;
        case 0x57:
        case 0x9F6B:
            return Masking::Track2;
        case 0x56:
        case 0x9F1F:
        case 0x9F20:
        case 0x5F20:
        case 0x9F0B:
            return Masking::Whole;
        default:
            return Masking::None;
    }
}

bool is_decimal(char c) {
    return c >= '0' && c <= '9';
}

// The value's digits in place. An account number shows its first six and last four
// digits, and only when at least one digit between them is hidden; track 2 data keeps its
// separator after the account number, and without one is hidden whole (where its account
// number ends is unknown); everything else, padding included, is '*'.
void mask_value(char* digits, size_t count, Masking how) {
    size_t n = 0;
    while (n < count && is_decimal(digits[n])) ++n;
    const bool separated = n < count && (digits[n] == 'D' || digits[n] == 'd');
    if (how == Masking::Whole || (how == Masking::Track2 && !separated)) {
        for (size_t i = 0; i < count; ++i) digits[i] = '*';
        return;
    }
    const bool partly = n > 10;
    for (size_t i = 0; i < n; ++i)
        if (!partly || (i >= 6 && i < n - 4)) digits[i] = '*';
    for (size_t i = how == Masking::Track2 ? n + 1 : n; i < count; ++i) digits[i] = '*';
}

// Walks the data objects of bytes [begin, end) of hex text. With out null it only checks
// that they parse completely and says whether any value is to be masked; with out set it
// masks those values in out, which is a copy of the text.
class TlvWalk {
  public:
    explicit TlvWalk(std::string_view hex) : hex_(hex) {}

    bool parse(size_t begin, size_t end, int depth, char* out, bool& found) const {
        if (depth > kMaxDepth) return false;
        size_t at = begin;
        while (at < end) {
            const int first = byte(at++);
            // Padding may stand before, between and after data objects.
            if (first == 0x00 || first == 0xFF) continue;
            uint32_t tag = static_cast<uint32_t>(first);
            if ((first & 0x1F) == 0x1F) {
                // Subsequent tag bytes while bit 8 is set; four bytes in all at most.
                int more;
                int count = 1;
                do {
                    if (at >= end || ++count > 4) return false;
                    more = byte(at++);
                    tag = tag << 8 | static_cast<uint32_t>(more);
                } while (more & 0x80);
            }
            if (at >= end) return false;
            size_t length = static_cast<size_t>(byte(at++));
            if (length & 0x80) {
                const size_t octets = length & 0x7F;
                // 80 (indefinite) has no place in a card's records; more than four
                // length octets would be longer than any reply.
                if (octets == 0 || octets > 4 || octets > end - at) return false;
                length = 0;
                for (size_t k = 0; k < octets; ++k) length = length << 8 | byte(at++);
            }
            if (length > end - at) return false;
            const size_t value_end = at + length;
            if (first & 0x20) {
                if (!parse(at, value_end, depth + 1, out, found)) return false;
            } else if (const Masking how = masking_of(tag); how != Masking::None) {
                found = true;
                if (out) mask_value(out + 2 * at, 2 * length, how);
            }
            at = value_end;
        }
        return true;
    }

  private:
    int byte(size_t i) const {
        return hex_digit_value(hex_[2 * i]) << 4 | hex_digit_value(hex_[2 * i + 1]);
    }
    std::string_view hex_;
};

}  // namespace

std::string mask_chip_data(std::string_view text) {
    std::string masked(text);
    if (text.size() % 2 != 0 || text.empty()) return masked;
    for (char c : text)
        if (hex_digit_value(c) < 0) return masked;

    const size_t bytes = text.size() / 2;
    const TlvWalk walk(text);
    // Data objects and a status word, else data objects alone (a control that hands over
    // the data field without its status word).
    for (const size_t end : {bytes >= 2 ? bytes - 2 : size_t{0}, bytes}) {
        if (end == 0) continue;
        bool found = false;
        if (!walk.parse(0, end, 0, nullptr, found)) continue;
        if (found) walk.parse(0, end, 0, masked.data(), found);
        return masked;
    }
    return masked;
}

std::string mask_card_data(std::string_view message) {
    if (!message.starts_with(kChipDataLabel)) return std::string(message);
    return std::string(kChipDataLabel) + mask_chip_data(message.substr(kChipDataLabel.size()));
}

std::string stored_log_message(std::string_view message) {
    // Only a chip data message can need the setting; every other line skips reading it.
    if (!message.starts_with(kChipDataLabel)) return std::string(message);
    std::string setting = environment_variable("CZQIC_LOG_CARD_DATA");
    if (setting.empty()) setting = machine_setting("LogCardData");
    return setting == "clear" ? std::string(message) : mask_card_data(message);
}

}  // namespace czqic
