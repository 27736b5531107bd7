// The owning thread's message queue: messages posted for a later instant, window-style
// timers, and the pumping that runs whatever is due. Nothing here runs on another
// thread: a message or a tick runs only inside pump() on the thread that pumps, and
// post_from_any_thread is the one member another thread may call.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "platform/clock.h"

namespace czqic {

class MessageLoop;

// How a waiting method spends the sleep between two pumps. Standard sleeps the whole
// time, so an outcome is seen at the first pump after it; Responsive ends the sleep as
// soon as something is queued for the owning thread, so it is seen at the next pump.
enum class WaitMode { Standard, Responsive };

// A window-style timer on the owning thread. A newly enabled timer first fires one
// interval later; an overdue timer fires once, not once per missed interval. The timer
// is gone with this object: a tick never reaches a destroyed owner.
class Timer {
  public:
    Timer(MessageLoop& loop, int64_t interval_ms, std::function<void()> on_tick);
    ~Timer();
    Timer(const Timer&) = delete;  // owns its slot in the loop
    Timer& operator=(const Timer&) = delete;

    bool enabled() const;
    void set_enabled(bool on);
    int64_t interval_ms() const;

  private:
    friend class MessageLoop;
    struct Slot;
    MessageLoop& loop_;
    std::shared_ptr<Slot> slot_;
};

class MessageLoop {
  public:
    explicit MessageLoop(Clock& clock);
    ~MessageLoop();
    MessageLoop(const MessageLoop&) = delete;  // the thread's one queue
    MessageLoop& operator=(const MessageLoop&) = delete;

    Clock& clock() { return clock_; }

    // Queues fn to run at the first pump at least delay_ms from now. While owner is
    // given, the message is dropped unseen once the owner is gone.
    void post(std::function<void()> fn, int64_t delay_ms = 0, std::weak_ptr<void> owner = {});

    // Safe from any thread: hands fn to the owning thread, where it joins the queue as
    // post(fn, 0, owner) would at the start of the next pump, and wakes the thread if it
    // waits in pump_for. For a worker that watches a device on the owner's behalf.
    void post_from_any_thread(std::function<void()> fn, std::weak_ptr<void> owner = {});

    // Runs every message and timer tick due now, in due order (messages before ticks due
    // at the same instant), including those that become due by what they post. Returns
    // the number run. Handlers may pump again: nested pumping is allowed.
    int pump();

    // The client's own message loop for ms milliseconds of the clock in use: pumps,
    // then waits for the next due message or tick, until the time is up.
    void pump_for(int64_t ms);

    // Blocks for ms of the clock in use without pumping. Responsive ends the sleep as soon
    // as a message or a timer tick is due for the owning thread (one posted, handed over
    // or coming due): on the virtual clock by jumping to that instant.
    void sleep(int64_t ms, WaitMode mode);

    // Instant of the next due message or enabled timer, or INT64_MAX when none.
    int64_t next_due_ms() const;

  private:
    friend class Timer;
    // The queue and timers as the platform keeps them (on Windows, with the hidden
    // window whose messages wake the thread).
    struct Impl;

    Clock& clock_;
    std::unique_ptr<Impl> impl_;
};

}  // namespace czqic
