// Chip replies as the log writers see them, from any device: masking keeps the text's
// length, changes nothing but hexadecimal digits into '*', changes nothing at all in text
// that is not whole bytes in hex, and masks a chip data message exactly as its value.
// A masked text is left as it stands when masked again.
//
// Input: byte 0 chooses the form: even, the rest as bytes written in hex (upper or lower
// case by bit 1), so coverage can steer through the TLV structure; odd, the rest as text.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "log/card_data.h"
#include "platform/hex.h"
#include "platform/text.h"

namespace {

[[noreturn]] void fault(std::string_view text, const char* what) {
    std::fprintf(stderr, "FAULT: chip data \"%s\": %s\n",
                 czqic::escape_controls(czqic::elide_middle(text)).c_str(), what);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    std::string text;
    if (data[0] % 2 == 0) {
        const char* digits = data[0] & 2 ? "0123456789abcdef" : "0123456789ABCDEF";
        for (size_t i = 1; i < size; ++i) {
            text += digits[data[i] >> 4];
            text += digits[data[i] & 15];
        }
    } else {
        text.assign(reinterpret_cast<const char*>(data + 1), size - 1);
    }

    const std::string masked = czqic::mask_chip_data(text);
    if (masked.size() != text.size()) fault(text, "masking changed the length");
    bool whole_hex = text.size() % 2 == 0;
    for (char c : text) whole_hex = whole_hex && czqic::hex_digit_value(c) >= 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if (masked[i] == text[i]) continue;
        if (!whole_hex) fault(text, "masked text that is not whole bytes in hex");
        if (masked[i] != '*') fault(text, "changed a character into something other than '*'");
    }
    if (czqic::mask_chip_data(masked) != masked) fault(text, "masking twice differs from once");
    if (czqic::mask_card_data("mstrChipCardData:" + text) != "mstrChipCardData:" + masked)
        fault(text, "the chip data message is masked differently from its value");
    return 0;
}
