// The part of the owning thread's message queue that every platform keeps the same way:
// posted messages with their owners, the table of timers, and running one of either.
// Each platform's file adds only how the thread waits and how its timers come due.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <utility>

#include "platform/message_loop.h"

namespace czqic {

struct Timer::Slot {
    uintptr_t id = 0;
    int64_t interval_ms = 1;
    bool enabled = false;
    int64_t next_due = 0;
    std::function<void()> on_tick;
};

struct MessageLoop::Impl {
    struct Message {
        std::function<void()> fn;
        std::weak_ptr<void> owner;
        bool owned;
    };
    // Due instant, then posting order: the first key is the next message to run, and
    // equal instants keep first in, first out.
    using Key = std::pair<int64_t, uint64_t>;
    // What the platform keeps beside the queue, defined in its own file.
    struct Os;

    // Timer ids below this stay free for a platform's own timers.
    static constexpr uintptr_t kFirstTimerId = 16;

    // Both defined by the platform, where its part is complete.
    explicit Impl(Clock& c);
    ~Impl();
    Impl(const Impl&) = delete;  // the thread's one queue
    Impl& operator=(const Impl&) = delete;

    // Runs the message due earliest by now (the first posted among equals), or drops it
    // unseen when its owner is gone. False when no message is due.
    bool run_one_message_due(int64_t now);
    int64_t next_message_due() const;
    // The next tick is measured from this one, like WM_TIMER: missed intervals are not
    // made up, and a tick whose handler pumps is not re-entered before an interval.
    static void fire(const std::shared_ptr<Timer::Slot>& slot, int64_t now);

    // What the platform does when a message joins the queue and when a timer is switched
    // on or off or goes away (the slot's state is already the new one).
    void message_posted();
    void timer_switched(Timer::Slot& slot);
    void timer_removed(Timer::Slot& slot);
    // Blocks the real clock's thread until the instant when, or until the owning thread
    // has a message to pump, whichever comes first.
    void wait_for_message(int64_t when);
    // pump_for's wait: until end or the next message or tick, whichever comes first.
    // False, at once, when the loop cannot wait (Windows: a quit that belongs to the
    // client's own loop is queued).
    bool wait_for_work(int64_t end);
    // The next instant a message or an enabled timer's tick is due.
    int64_t next_due() const;

    Clock& clock;
    std::map<Key, Message> queue;
    uint64_t seq = 0;
    // Ordered by id, which is creation order.
    std::map<uintptr_t, std::weak_ptr<Timer::Slot>> timers;
    uintptr_t next_timer_id = kFirstTimerId;
    // Declared last: the platform's part goes first, before anything it could reach.
    std::unique_ptr<Os> os;
};

}  // namespace czqic
