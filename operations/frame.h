// The operation frame every device method shares: the error trap, the start time and
// pending mark, the progress lines, and the wait loop that pumps and sleeps in 300 ms
// passes until the awaited word changes or the time limit is reached. It knows nothing
// of the class whose methods use it: it works through OperationContext.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "platform/clock.h"
#include "platform/dispatch.h"
#include "platform/message_loop.h"

namespace czqic {

// The status word's mark while an operation waits for the control to report.
inline constexpr int32_t kPending = 10120100;

// Result codes. The frame gives kFailed for a trapped failure; each operation's mapping
// gives the rest.
inline constexpr int32_t kOk = 0;
inline constexpr int32_t kTimedOut = 10120001;
inline constexpr int32_t kFailed = 10120003;
// The reset or retain ended with its status word at 413, which no handler stores.
inline constexpr int32_t kEndedOn413 = 10120006;
inline constexpr int32_t kCaptured = 10120011;

enum class PassOrder { PumpThenSleep, SleepThenPump };

inline constexpr int64_t kPassSleepMs = 300;
inline constexpr int64_t kDeviceLimitSeconds = 60;
// CardReaderRead's wait for the card, and CardReaderDisable's for the withdrawal of entry.
inline constexpr int64_t kCardWaitSeconds = 10;
inline constexpr int64_t kEntryCancelWaitSeconds = 1;
// How long CardReaderReturn waits for the card to be taken until TimeOutCard says otherwise.
inline constexpr int32_t kCardTakenDefaultSeconds = 3;

// Whole seconds from start to now, both times of day: rounded half to even and taken
// modulo a day, so a wait that crosses midnight still measures forward.
int64_t elapsed_seconds(double start, double now);

// What the frame reaches of the object an operation runs on and of the thread it runs
// in, and nothing more.
class OperationContext {
  public:
    // The process-wide status word that the control's handlers write.
    virtual int32_t& status_word() = 0;
    // The control, found afresh on every call: a wait's pumping may unload the form.
    virtual Dispatch& control() = 0;
    virtual Clock& clock() = 0;
    virtual MessageLoop& loop() = 0;
    virtual WaitMode wait_mode() const = 0;
    // Writes one line, keeping what the writer returned as the object's last log result;
    // failures raise.
    virtual void write_log(std::string_view message) = 0;
    // The object's start time, which every wait measures from. It belongs to the object,
    // not to the call: a call on the same object nested inside a wait moves it for the
    // outer wait too.
    virtual double& started_at() = 0;

  protected:
    ~OperationContext() = default;
};

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
    Operation(OperationContext& context, std::string_view method)
        : context_(context), method_(method) {}

    // Runs body under the method's error trap: a failure logs "<method> err:" with its
    // description and gives 10120003. A failure of that log line itself is not trapped.
    int32_t run(const std::function<int32_t(Operation&)>& body);

    Dispatch& control() { return context_.control(); }
    int32_t& status() { return context_.status_word(); }

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
    OperationContext& context_;
    std::string method_;
};

}  // namespace czqic
