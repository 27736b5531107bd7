// How each operation's result follows from the status word it ended on. The operations
// take their results from here, and a reader of the log can rebuild the result a client
// was given from the status word an operation's last line shows, with the same mapping.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "operations/frame.h"

namespace czqic {

namespace mapping {
// CardReaderReset and CardReaderRetain; CardReaderInit returns its own reset's result.
int32_t reset_like(int32_t status);
// CardReaderClear: the control's own answer, not an event.
int32_t clear(int32_t answer);
// CardReaderEnable: the immediate answer, or the value of a card accepted inside the call.
int32_t enable(int32_t status);
// CardReaderRead: nothing while a card was accepted (the tracks decide), else a failure.
std::optional<int32_t> read(int32_t status);
// CardReaderWrite, for each track written: kOk lets the write go on to the next track.
int32_t write_track(int32_t status);
// CardReaderReturn.
int32_t card_return(int32_t status);
// QOR_WaitChip.
int32_t wait_chip(int32_t status);
// Qor_ChipTrnsp.
int32_t chip_exchange(int32_t status);
}  // namespace mapping

// The result of the operation of that name ("CardReaderReset") that ended on this status
// word (for CardReaderWrite, the last track's), or nothing where the status word does not
// decide it: CardReaderRead after an accepted card, the methods that keep no status
// (CardReaderGetStatus, Reset) and names of no operation.
std::optional<int32_t> result_for(std::string_view operation, int32_t status);

}  // namespace czqic
