#include "operations/frame.h"

#include <cmath>

namespace czqic {

int64_t elapsed_seconds(double start, double now) {
    const double sum = round_half_even(now - start + 86400.0);
    const double rem = std::fmod(sum, 86400.0);
    return static_cast<int64_t>(rem < 0 ? rem + 86400.0 : rem);
}

int32_t Operation::run(const std::function<int32_t(Operation&)>& body) {
    std::string description;
    try {
        return body(*this);
    } catch (const AutomationError& e) {
        description = e.description();
    } catch (const std::exception& e) {
        description = e.what();
    }
    reader_.last_log_result_ = rt().log(method_ + " err:" + description);
    return kFailed;
}

void Operation::begin(bool mark_pending) {
    reader_.start_time_ = rt().clock().time_of_day();
    if (mark_pending) status() = kPending;
}

void Operation::log(std::string_view message) {
    reader_.log(message);
}

void Operation::progress(std::string_view label) {
    log(std::string(label) + std::to_string(status()));
}

void Operation::wait(int64_t limit_seconds, PassOrder order, const std::function<bool()>& done) {
    Clock& clock = rt().clock();
    MessageLoop& loop = rt().loop();
    const WaitMode mode = rt().wait_mode();
    for (;;) {
        if (elapsed_seconds(reader_.start_time_, clock.time_of_day()) >= limit_seconds) return;
        if (done()) return;
        // Sleeping runs nothing: events are only ever seen at the pump step. The wait mode
        // decides only how soon after an event's arrival the pass ends.
        if (order == PassOrder::PumpThenSleep) {
            // What the pump ran reached the thread during this pass, so a responsive pass
            // is over: its sleep would only delay the test that sees the outcome.
            const int ran = loop.pump();
            if (ran == 0 || mode == WaitMode::Standard) loop.sleep(kPassSleepMs, mode);
        } else {
            loop.sleep(kPassSleepMs, mode);
            loop.pump();
        }
    }
}

int32_t Operation::waiting(const WaitingStep& step) {
    const std::string label(step.label);
    begin();
    if (step.prepare) step.prepare();
    if (!step.start_line_after_calls) progress(label + ":");
    step.start(control());
    if (step.start_line_after_calls) progress(label + ":");
    wait(step.limit_seconds, step.order, [this] { return status() != kPending; });
    progress(label + " end:");
    return status();
}

}  // namespace czqic
