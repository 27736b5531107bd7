// Track writing: one complete frame per track that is both writable and has text; the
// first track that does not complete ends the operation and keeps the texts for a retry.
#include <array>

#include "component/reader.h"
#include "component/results.h"

namespace czqic {

int32_t ColsZQICCardReader::CardReaderWrite() {
    return Operation(*this, "CardReaderWrite").run([this](Operation& op) {
        // The counter is the instance's loop index, so a re-entrant write on the same
        // object shares it.
        for (loop_index_ = 1; loop_index_ <= 3; ++loop_index_) {
            const int track = loop_index_;
            // The flag is read for every track, also one with no text.
            const bool writable = to_bool(op.control().get(ctl::kWritable1 + track - 1));
            if (!writable || write_text_[track - 1].empty()) continue;
            const std::string label = "CardReaderWrite" + std::to_string(track);
            const int32_t status =
                op.waiting({.label = label,
                            .start_line_after_calls = false,
                            .limit_seconds = kDeviceLimitSeconds,
                            .order = PassOrder::SleepThenPump,
                            .start = [this, track](Dispatch& c) {
                                // The text goes by reference: what the control changes in it stays.
                                std::array<Value, 2> args{Value(std::to_string(track)), Value()};
                                Value text(write_text_[track - 1]);
                                args[1] = Value::by_ref(text);
                                c.call(ctl::kWriteTrack, args);
                                write_text_[track - 1] = to_string(text);
                            }});
            if (const int32_t result = mapping::write_track(status); result != kOk) return result;
        }
        write_text_ = {};
        return kOk;
    });
}

}  // namespace czqic
