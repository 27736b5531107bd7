// The owning thread's message queue on posix, where nothing outside the component posts
// to the thread: pumping runs what the queue and the timers hold, and waiting is the
// clock's own sleep until the next of them comes due.

#include <algorithm>
#include <climits>

#include "platform/message_loop_queue.h"

namespace czqic {

struct MessageLoop::Impl::Os {
    // Messages first, then the timer due earliest (the first created among equals).
    static bool run_one_due(Impl& impl, int64_t now);
};

MessageLoop::Impl::Impl(Clock& c) : clock(c) {}

MessageLoop::Impl::~Impl() = default;

// Timers are only counted here: pumping finds the ones due.
void MessageLoop::Impl::message_posted() {}
void MessageLoop::Impl::timer_switched(Timer::Slot&) {}
void MessageLoop::Impl::timer_removed(Timer::Slot&) {}

bool MessageLoop::Impl::Os::run_one_due(Impl& impl, int64_t now) {
    if (impl.run_one_message_due(now)) return true;
    std::shared_ptr<Timer::Slot> due;
    for (auto& [id, w] : impl.timers) {
        auto s = w.lock();
        // A tick at the end of the clock's scale is never due: its successor would be
        // due at the same instant, and pumping would not end.
        if (s && s->enabled && s->next_due <= now && s->next_due != INT64_MAX &&
            (!due || s->next_due < due->next_due))
            due = s;
    }
    if (!due) return false;
    fire(due, now);
    return true;
}

int MessageLoop::pump() {
    const int64_t now = clock_.now_ms();
    int ran = 0;
    while (Impl::Os::run_one_due(*impl_, now)) ++ran;
    return ran;
}

void MessageLoop::pump_for(int64_t ms) {
    const int64_t end = saturating_add(clock_.now_ms(), std::max<int64_t>(0, ms));
    for (;;) {
        pump();
        const int64_t next = next_due_ms();
        // INT64_MAX is nothing due, or only what waits for the final pump.
        if (next > end || next == INT64_MAX) break;
        clock_.sleep_until_ms(next);
    }
    clock_.sleep_until_ms(end);
    pump();
}

}  // namespace czqic
