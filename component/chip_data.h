// The hexadecimal text form of chip data: two characters per byte, most significant
// digit first, no separators. Commands go from text to the control's array of byte
// values (Qor_ChipTrnsp); replies come back from an array to upper-case text (the host
// form's ChipDataReceived handler, through its host).
#pragma once

#include <string>
#include <string_view>

#include "platform/automation.h"

namespace czqic {

// The longest command text the control can be given: the byte index and character
// position are 16-bit, so 32,768 characters (16,384 bytes).
inline constexpr size_t kMaxChipCommandChars = 32768;

// Raises AutomationError (Type mismatch) naming the problem when the text is empty, of
// odd length, or holds a character that is not a hexadecimal digit (either case).
void check_chip_command(std::string_view text);

// The command as an array of byte values held as Doubles, index 0 first, kept in the
// array's compact byte form. The text must have passed check_chip_command; longer than
// kMaxChipCommandChars raises Overflow.
Value chip_command_to_array(std::string_view text);

// The reply as text: each element as upper-case hexadecimal, padded to two digits; an
// element above 255 keeps all its digits. Anything but an array raises Type mismatch.
std::string chip_reply_to_text(const Value& data);

}  // namespace czqic
