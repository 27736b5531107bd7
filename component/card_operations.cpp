// Device management, card entry and reading, and card exit: each method states its
// control calls, its labels and its mapping, and leaves the rest to the frame.
#include <array>

#include "component/reader.h"
#include "component/results.h"

namespace czqic {
namespace {

Value arg(const char* s) {
    return Value(s);
}

// The waiting step of a reset and of a retain: whatever the control waits for is
// cancelled first, then the action runs; the start line follows both calls.
WaitingStep after_cancelled_wait(std::string_view label, void (*action)(Dispatch& control)) {
    return {.label = label,
            .start_line_after_calls = true,
            .limit_seconds = kDeviceLimitSeconds,
            .order = PassOrder::PumpThenSleep,
            .start = [action](Dispatch& c) {
                c.call(ctl::kCancelWait);
                action(c);
            }};
}

}  // namespace

int32_t ColsZQICCardReader::CardReaderInit() {
    return Operation(*this, "CardReaderInit").run([this](Operation& op) {
        op.waiting({.label = "CardReaderInit",
                    .start_line_after_calls = true,
                    .limit_seconds = kDeviceLimitSeconds,
                    .order = PassOrder::PumpThenSleep,
                    .start = [](Dispatch& c) { c.call(ctl::kOpen); }});
        // The open's outcome shows only in the end line; the reset decides the result.
        return CardReaderReset();
    });
}

int32_t ColsZQICCardReader::CardReaderReset() {
    return Operation(*this, "CardReaderReset").run([](Operation& op) {
        return mapping::reset_like(
            op.waiting(after_cancelled_wait("CardReaderReset", [](Dispatch& c) {
                std::array<Value, 1> action{arg("EJECT")};
                c.call(ctl::kReset, action);
            })));
    });
}

int32_t ColsZQICCardReader::CardReaderRetain() {
    return Operation(*this, "CardReaderRetain").run([](Operation& op) {
        return mapping::reset_like(op.waiting(
            after_cancelled_wait("CardReaderRetain", [](Dispatch& c) { c.call(ctl::kRetain); })));
    });
}

int32_t ColsZQICCardReader::CardReaderGetStatus() {
    return Operation(*this, "CardReaderGetStatus").run([this](Operation&) {
        RefreshReaderStatus();
        return reader_status_;
    });
}

int32_t ColsZQICCardReader::CardReaderClear() {
    return Operation(*this, "CardReaderClear").run([](Operation& op) {
        op.begin();
        op.status() = to_i2(op.control().call(ctl::kClear));
        return mapping::clear(op.status());
    });
}

int32_t ColsZQICCardReader::CardReaderEnable() {
    return Operation(*this, "CardReaderEnable").run([this](Operation& op) {
        op.status() = kPending;
        std::array<Value, 2> args{arg("1,2,3"), Value(int32_t{-1})};
        const int32_t answer = to_i2(op.control().call(ctl::kAcceptAndRead, args));
        // A card accepted inside the call has stored its value already: the immediate
        // answer must not hide it from the read that follows.
        if (op.status() == kPending) op.status() = answer;
        op.progress("CardReaderEnable end:");
        // Entry is open whatever the control answered; Disable relies on the flag.
        entry_enabled_ = 1;
        return mapping::enable(op.status());
    });
}

int32_t ColsZQICCardReader::CardReaderRead() {
    return Operation(*this, "CardReaderRead").run([this](Operation& op) {
        // No pending mark: a card accepted before this call has already stored its value.
        op.begin(false);
        op.log("CardReaderRead start:" + std::to_string(op.status()) + " " +
               std::to_string(entry_enabled_));
        op.wait(kCardWaitSeconds, PassOrder::PumpThenSleep,
                [&op] { return op.status() == ev::kCardAccepted; });
        op.progress("CardReaderRead Start end :");
        if (const auto result = mapping::read(op.status())) return *result;

        read_text_ = {};
        read_len_ = {};
        entry_enabled_ = 0;
        int64_t total = 0;
        for (int track : {2, 3, 1}) {
            const std::string how = to_string(op.control().get(ctl::kTrack1Status + track - 1));
            if (how != "INVALID" && how != "READ") continue;
            std::string data = to_string(op.control().get(ctl::kTrack1Data + track - 1));
            read_len_[track - 1] = char_length(data);
            read_text_[track - 1] = std::move(data);
            total += read_len_[track - 1];
        }
        return total != 0 ? kOk : kFailed;
    });
}

int32_t ColsZQICCardReader::CardReaderReturn() {
    return Operation(*this, "CardReaderReturn").run([this](Operation& op) {
        const int32_t status = op.waiting({.label = "CardReaderReturn",
                                           .start_line_after_calls = false,
                                           .limit_seconds = card_taken_limit_,
                                           .order = PassOrder::SleepThenPump,
                                           .start = [](Dispatch& c) {
                                               std::array<Value, 1> eject{Value(int32_t{-1})};
                                               c.call(ctl::kEject, eject);
                                           }});
        const int32_t result = mapping::card_return(status);
        // A card not taken is left where it is: stop the control waiting, do not await it.
        if (result != kOk) op.control().call(ctl::kCancelWait);
        return result;
    });
}

int32_t ColsZQICCardReader::CardReaderDisable() {
    return Operation(*this, "CardReaderDisable").run([this](Operation& op) {
        op.progress("CardReaderDisable:");
        if (entry_enabled_ == 1 && op.status() != ev::kCardAccepted) {
            op.begin(false);
            int32_t& second = rt_.second_status_word;
            second = kPending;
            op.control().call(ctl::kCancelAccept);
            op.wait(kEntryCancelWaitSeconds, PassOrder::SleepThenPump,
                    [&second] { return second != kPending; });
            op.progress("CardReaderDisable end:");
            entry_enabled_ = 0;
        }
        // Withdrawing entry succeeds whether or not the control confirmed it.
        return kOk;
    });
}

}  // namespace czqic
