// A log message read as the component writes it: which operation's line, or which
// event's, and the value it carries.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "diag/records.h"

namespace czqic::diag {

struct Message {
    enum class Kind : uint8_t {
        Unknown,
        Start,  // "CardReaderReset:N", "CardReaderRead start:N F", "CardReaderWrite2:N"
        End,    // "CardReaderReset end:N", "CardReaderRead Start end :N", "CardReaderEnable end:N"
        Error,  // "CardReaderReset err:TEXT"
        Event,  // "Event ResetCompleteN"
        ChipData,   // "mstrChipCardData:TEXT"
        TimerTick,  // "CardReaderReset", Timer1's own line
    };
    Kind kind = Kind::Unknown;
    Op op = Op::Init;
    int track = 0;  // CardReaderWrite's track, 1 to 3
    uint8_t event = 0;
    std::optional<int32_t> status;
    std::string_view text;  // the error's description or the chip data

    void unknown() { kind = Kind::Unknown; }
};

// Reads message into m (views into message); m.kind is Unknown for any other message.
void read_message(std::string_view message, Message& m);

}  // namespace czqic::diag
