#include <algorithm>
#include <climits>

#include "platform/message_loop.h"

namespace czqic {

struct Timer::Slot {
    int64_t interval_ms;
    bool enabled = false;
    int64_t next_due = 0;
    std::function<void()> on_tick;
};

struct MessageLoop::Impl {
    struct Message {
        int64_t due;
        uint64_t seq;
        std::function<void()> fn;
        std::weak_ptr<void> owner;
        bool owned;
    };
    bool run_one_due(int64_t now);

    std::vector<Message> queue;
    std::vector<std::weak_ptr<Timer::Slot>> timers;
    uint64_t seq = 0;
};

MessageLoop::MessageLoop(Clock& clock) : clock_(clock), impl_(std::make_unique<Impl>()) {}

MessageLoop::~MessageLoop() = default;

Timer::Timer(MessageLoop& loop, int64_t interval_ms, std::function<void()> on_tick)
    : loop_(loop), slot_(std::make_shared<Slot>()) {
    slot_->interval_ms = std::max<int64_t>(1, interval_ms);
    slot_->on_tick = std::move(on_tick);
    loop_.impl_->timers.push_back(slot_);
}

Timer::~Timer() {
    auto& timers = loop_.impl_->timers;
    std::erase_if(timers, [this](const std::weak_ptr<Slot>& w) {
        auto s = w.lock();
        return !s || s == slot_;
    });
}

bool Timer::enabled() const {
    return slot_->enabled;
}

void Timer::set_enabled(bool on) {
    if (on == slot_->enabled) return;
    slot_->enabled = on;
    if (on) slot_->next_due = loop_.clock().now_ms() + slot_->interval_ms;
}

int64_t Timer::interval_ms() const {
    return slot_->interval_ms;
}

void MessageLoop::post(std::function<void()> fn, int64_t delay_ms, std::weak_ptr<void> owner) {
    // An empty weak_ptr orders equal to a default one; any other has had an owner.
    const bool owned =
        owner.owner_before(std::weak_ptr<void>{}) || std::weak_ptr<void>{}.owner_before(owner);
    impl_->queue.push_back(Impl::Message{clock_.now_ms() + std::max<int64_t>(0, delay_ms),
                                         impl_->seq++, std::move(fn), std::move(owner), owned});
}

bool MessageLoop::Impl::run_one_due(int64_t now) {
    auto best = queue.end();
    for (auto it = queue.begin(); it != queue.end(); ++it) {
        if (it->due > now) continue;
        if (best == queue.end() || it->due < best->due ||
            (it->due == best->due && it->seq < best->seq))
            best = it;
    }
    if (best != queue.end()) {
        Message m = std::move(*best);
        queue.erase(best);
        if (m.owned && m.owner.expired()) return true;
        m.fn();
        return true;
    }
    std::shared_ptr<Timer::Slot> due;
    for (auto& w : timers) {
        auto s = w.lock();
        if (s && s->enabled && s->next_due <= now && (!due || s->next_due < due->next_due)) due = s;
    }
    if (!due) return false;
    // The next tick is measured from this one, like WM_TIMER: missed intervals are not
    // made up, and a tick whose handler pumps is not re-entered before an interval.
    due->next_due = now + due->interval_ms;
    auto tick = due->on_tick;
    tick();
    return true;
}

int MessageLoop::pump() {
    const int64_t now = clock_.now_ms();
    int ran = 0;
    while (impl_->run_one_due(now)) ++ran;
    return ran;
}

void MessageLoop::pump_for(int64_t ms) {
    const int64_t end = clock_.now_ms() + std::max<int64_t>(0, ms);
    for (;;) {
        pump();
        int64_t next = next_due_ms();
        if (next > end) break;
        clock_.sleep_until_ms(next);
    }
    clock_.sleep_until_ms(end);
    pump();
}

int64_t MessageLoop::next_due_ms() const {
    int64_t next = INT64_MAX;
    for (auto& m : impl_->queue) next = std::min(next, m.due);
    for (auto& w : impl_->timers)
        if (auto s = w.lock(); s && s->enabled) next = std::min(next, s->next_due);
    return next;
}

size_t MessageLoop::pending_messages() const {
    return impl_->queue.size();
}

}  // namespace czqic
