// The operation frame every device method shares: the error trap, the start time and
// pending mark, the progress lines, and the wait loop that pumps and sleeps in 300 ms
// passes until the awaited word changes or the time limit is reached.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "component/reader.h"
#include "device/host_form.h"

namespace czqic {

enum class PassOrder { PumpThenSleep, SleepThenPump };

inline constexpr int64_t kPassSleepMs = 300;
inline constexpr int64_t kDeviceLimitSeconds = 60;
// CardReaderRead's wait for the card, and CardReaderDisable's for the withdrawal of entry.
inline constexpr int64_t kCardWaitSeconds = 10;
inline constexpr int64_t kEntryCancelWaitSeconds = 1;

// Whole seconds from start to now, both times of day: rounded half to even and taken
// modulo a day, so a wait that crosses midnight still measures forward.
int64_t elapsed_seconds(double start, double now);

// One waiting step of an operation: its label ("CardReaderReset" logs
// "CardReaderReset:" and "CardReaderReset end:"), whether the start line follows the
// control calls or precedes them, its limit and pass order, and the calls themselves.
struct WaitingStep {
    std::string_view label;
    bool start_line_after_calls;
    int64_t limit_seconds;
    PassOrder order;
    std::function<void(Dispatch& control)> start;
    // Work that belongs after the pending mark and before the start line (optional).
    std::function<void()> prepare = {};
};

class Operation {
  public:
    Operation(ColsZQICCardReader& reader, std::string_view method)
        : reader_(reader), method_(method) {}

    // Runs body under the method's error trap: a failure logs "<method> err:" with its
    // description and gives 10120003. A failure of that log line itself is not trapped.
    int32_t run(const std::function<int32_t(Operation&)>& body);

    ColsZQICCardReader& reader() { return reader_; }
    Runtime& rt() { return reader_.rt_; }
    Dispatch& control() { return reader_.rt_.form().control(); }
    int32_t& status() { return reader_.rt_.status_word; }

    // Records the start time, and marks the status word pending unless told not to.
    void begin(bool mark_pending = true);
    // Logs the label immediately followed by the status word's digits.
    void progress(std::string_view label);
    void log(std::string_view message);
    // Passes until the limit is reached or done() holds; time is tested first.
    void wait(int64_t limit_seconds, PassOrder order, const std::function<bool()>& done);
    // The standard waiting step: begin, calls and start line, wait for the status word
    // to leave pending, end line. Returns the final status word.
    int32_t waiting(const WaitingStep& step);

  private:
    ColsZQICCardReader& reader_;
    std::string method_;
};

}  // namespace czqic
