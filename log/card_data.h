// Card-holder data kept out of what the log writers store and echo. The component logs
// every chip reply whole ("mstrChipCardData:" and the reply as hex text), and a payment
// card's records carry the account number, track data and the card holder's name; the
// writers mask those values in place, so the line keeps its length and its structure.
// The component's own copy of the reply (ChipCardData) is never touched.
#pragma once

#include <string>
#include <string_view>

namespace czqic {

// The label of the one message whose value is chip data.
inline constexpr std::string_view kChipDataLabel = "mstrChipCardData:";

// Chip data text with its card-holder data masked. The text is read as bytes in hex
// (either case); when the bytes before the last two (the status word) parse completely
// as BER-TLV, constructed data objects walked recursively, or failing that when all of
// them do (a reply without a status word), the values of these data objects are masked:
//   5A (account number), 57 and 9F6B (track 2 data): the account number's first six and
//     last four digits stay when it has at least eleven; the separator D of track 2
//     data stays (track 2 data without one is masked whole); every other digit of the
//     value becomes '*';
//   56 (track 1 data), 9F1F, 9F20 (discretionary data), 5F20, 9F0B (card holder's
//     name): every digit of the value becomes '*'.
// Tags, lengths, other data objects and the status word are kept as they stand. Text
// that is not whole bytes in hex, or does not parse completely, or holds none of those
// data objects (an answer-to-reset, a challenge, a status word, an FCI) comes back
// unchanged.
std::string mask_chip_data(std::string_view text);

// The message with mask_chip_data applied to the value of a chip data message; any
// other message as it is.
std::string mask_card_data(std::string_view message);

// The message as a log writer stores and echoes it: masked by mask_card_data unless
// CZQIC_LOG_CARD_DATA is "clear" (on Windows, when the variable is unset, the machine's
// LogCardData setting). Read at every chip data message, so that switching it back
// takes effect at the next one.
std::string stored_log_message(std::string_view message);

}  // namespace czqic
