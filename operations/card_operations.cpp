// Device management, card entry and reading, and card exit: each method states its
// control calls, its labels and its mapping, and leaves the rest to the frame.
#include <array>

#include "operations/frame.h"

namespace czqic {
namespace {

// Reset and retain share one mapping; 413 is produced by no handler but still mapped.
int32_t map_reset_like(int32_t status) {
    switch (status) {
        case ev::kResetComplete:
            return kOk;
        case ev::kCardCaptured:
            return kCaptured;
        case ev::kStatus413:
            return kEndedOn413;
        case kPending:
            return kTimedOut;
        default:
            return kFailed;
    }
}

Value arg(const char* s) {
    return Value(s);
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
        return map_reset_like(op.waiting({.label = "CardReaderReset",
                                          .start_line_after_calls = true,
                                          .limit_seconds = kDeviceLimitSeconds,
                                          .order = PassOrder::PumpThenSleep,
                                          .start = [](Dispatch& c) {
                                              c.call(ctl::kCancelWait);
                                              std::array<Value, 1> action{arg("EJECT")};
                                              c.call(ctl::kReset, action);
                                          }}));
    });
}

int32_t ColsZQICCardReader::CardReaderRetain() {
    return Operation(*this, "CardReaderRetain").run([](Operation& op) {
        return map_reset_like(op.waiting({.label = "CardReaderRetain",
                                          .start_line_after_calls = true,
                                          .limit_seconds = kDeviceLimitSeconds,
                                          .order = PassOrder::PumpThenSleep,
                                          .start = [](Dispatch& c) {
                                              c.call(ctl::kCancelWait);
                                              c.call(ctl::kRetain);
                                          }}));
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
        return op.status() == 0 ? kOk : kFailed;
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
        const int32_t s = op.status();
        return s == 0 || s == ev::kCardAccepted || s == ev::kStatus460 ? kOk : kFailed;
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
        if (op.status() != ev::kCardAccepted) return kFailed;

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
        if (status == ev::kCardTaken || status == 0) return kOk;
        const int32_t result = status == kPending ? kTimedOut : kFailed;
        // The card is left where it is: stop the control waiting, do not await it.
        op.control().call(ctl::kCancelWait);
        return result;
    });
}

int32_t ColsZQICCardReader::CardReaderDisable() {
    return Operation(*this, "CardReaderDisable").run([this](Operation& op) {
        op.progress("CardReaderDisable:");
        if (entry_enabled_ == 1 && op.status() != ev::kCardAccepted) {
            op.begin(false);
            int32_t& second = op.rt().second_status_word;
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
