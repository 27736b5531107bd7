// Chip power-up and command exchange. Commands and replies travel as hexadecimal text
// in the process-wide chip data; the reply is stored there by the ChipDataReceived
// handler during the wait.
#include <array>

#include "component/chip_data.h"
#include "component/reader.h"
#include "component/results.h"

namespace czqic {

int32_t ColsZQICCardReader::QOR_WaitChip() {
    return Operation(*this, "QOR_WaitChip").run([](Operation& op) {
        const int32_t status = op.waiting({.label = "QOR_WaitChip",
                                           .start_line_after_calls = false,
                                           .limit_seconds = kDeviceLimitSeconds,
                                           .order = PassOrder::SleepThenPump,
                                           .start = [](Dispatch& c) {
                                               Value command("INIT");
                                               Value by_ref = Value::by_ref(command);
                                               c.call(ctl::kChipInit, {&by_ref, 1});
                                           }});
        return mapping::wait_chip(status);
    });
}

int32_t ColsZQICCardReader::Qor_ChipTrnsp() {
    return Operation(*this, "Qor_ChipTrnsp").run([this](Operation& op) {
        // A malformed command is refused before anything changes: sending it would give
        // the chip different bytes from the ones the client wrote.
        check_chip_command(rt_.chip_card_data);
        Value command_array;
        const int32_t status =
            op.waiting({.label = "Qor_ChipTrnsp",
                        .start_line_after_calls = false,
                        .limit_seconds = kDeviceLimitSeconds,
                        .order = PassOrder::SleepThenPump,
                        .start =
                            [this, &command_array](Dispatch& c) {
                                Value command("SEND");
                                std::array<Value, 4> args{Value::by_ref(command), Value(int16_t{0}),
                                                          command_array, Value(int32_t{-1})};
                                c.call(ctl::kChipSend, args);
                                // Emptied after the call and before the wait, so what the client
                                // finds afterwards is the reply, or nothing. Only a reply the
                                // control delivered inside the call stays: a failure reported
                                // there must not leave the command looking like an answer.
                                if (rt_.status_word != ev::kChipDataReceived)
                                    rt_.chip_card_data.clear();
                            },
                        // Converted once the pending mark is set: text too long for the control
                        // fails here, before the start line and the call.
                        .prepare =
                            [this, &command_array] {
                                command_array = chip_command_to_array(rt_.chip_card_data);
                            }});
        return mapping::chip_exchange(status);
    });
}

}  // namespace czqic
