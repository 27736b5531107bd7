// The owning thread's message queue on posix. Pumping runs what the queue and the timers
// hold; waiting is the clock's own sleep until the next of them comes due, cut short on
// the real clock when another thread hands the owner a message.

#include <algorithm>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <mutex>

#include "platform/message_loop_queue.h"

namespace czqic {

struct MessageLoop::Impl::Os {
    // Messages first, then the timer due earliest (the first created among equals).
    static bool run_one_due(Impl& impl, int64_t now);
    // Sleeps until when, or on the real clock until a message is handed over.
    void wait_until(Clock& clock, int64_t when);

    struct Handed {
        std::function<void()> fn;
        std::weak_ptr<void> owner;
    };
    std::mutex inbox_lock;
    std::condition_variable inbox_filled;
    std::vector<Handed> inbox;  // guarded by inbox_lock
};

MessageLoop::Impl::Impl(Clock& c) : clock(c), os(std::make_unique<Os>()) {}

MessageLoop::Impl::~Impl() = default;

// Timers are only counted here: pumping finds the ones due.
void MessageLoop::Impl::message_posted() {}
void MessageLoop::Impl::timer_switched(Timer::Slot&) {}
void MessageLoop::Impl::timer_removed(Timer::Slot&) {}

void MessageLoop::Impl::wait_for_message(int64_t when) {
    os->wait_until(clock, when);
}

bool MessageLoop::Impl::wait_for_work(int64_t end) {
    wait_for_message(std::min(end, next_due()));
    return true;
}

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

void MessageLoop::Impl::Os::wait_until(Clock& clock, int64_t when) {
    // Virtual time cannot be interrupted: it jumps, and a handed message waits for the
    // next pump like any other.
    if (clock.is_virtual()) return clock.sleep_until_ms(when);
    std::unique_lock hold(inbox_lock);
    const int64_t left = when - clock.now_ms();
    if (left > 0)
        inbox_filled.wait_for(hold, std::chrono::milliseconds(left),
                              [this] { return !inbox.empty(); });
}

void MessageLoop::post_from_any_thread(std::function<void()> fn, std::weak_ptr<void> owner) {
    Impl::Os& os = *impl_->os;
    {
        std::lock_guard hold(os.inbox_lock);
        os.inbox.push_back({std::move(fn), std::move(owner)});
    }
    os.inbox_filled.notify_one();
}

int MessageLoop::pump() {
    std::vector<Impl::Os::Handed> handed;
    {
        std::lock_guard hold(impl_->os->inbox_lock);
        handed.swap(impl_->os->inbox);
    }
    for (auto& h : handed) post(std::move(h.fn), 0, std::move(h.owner));
    const int64_t now = clock_.now_ms();
    int ran = 0;
    while (Impl::Os::run_one_due(*impl_, now)) ++ran;
    return ran;
}

}  // namespace czqic
