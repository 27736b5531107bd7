#include "operations/frame.h"

#include <cmath>

#include "platform/automation.h"

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
    context_.write_log(method_ + " err:" + description);
    return kFailed;
}

void Operation::begin(bool mark_pending) {
    context_.started_at() = context_.clock().time_of_day();
    if (mark_pending) status() = kPending;
}

void Operation::log(std::string_view message) {
    context_.write_log(message);
}

void Operation::progress(std::string_view label) {
    log(std::string(label) + std::to_string(status()));
}

void Operation::wait(int64_t limit_seconds, PassOrder order, const std::function<bool()>& done) {
    Clock& clock = context_.clock();
    MessageLoop& loop = context_.loop();
    const WaitMode mode = context_.wait_mode();
    for (;;) {
        if (elapsed_seconds(context_.started_at(), clock.time_of_day()) >= limit_seconds) return;
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
