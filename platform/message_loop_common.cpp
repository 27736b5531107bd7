// The queue, its owners and the timer table, kept once for every platform; pumping and
// waking are in each platform's own file.

#include <algorithm>
#include <climits>

#include "platform/message_loop_queue.h"

namespace czqic {

bool MessageLoop::Impl::run_one_message_due(int64_t now) {
    auto first = queue.begin();
    if (first == queue.end() || first->first.first > now) return false;
    Message m = std::move(first->second);
    queue.erase(first);
    if (m.owned && m.owner.expired()) return true;
    m.fn();
    return true;
}

int64_t MessageLoop::Impl::next_message_due() const {
    return queue.empty() ? INT64_MAX : queue.begin()->first.first;
}

void MessageLoop::Impl::fire(const std::shared_ptr<Timer::Slot>& slot, int64_t now) {
    // The caller's reference keeps the slot alive should the handler destroy its timer.
    slot->next_due = saturating_add(now, slot->interval_ms);
    auto on_tick = slot->on_tick;
    on_tick();
}

Timer::Timer(MessageLoop& loop, int64_t interval_ms, std::function<void()> on_tick)
    : loop_(loop), slot_(std::make_shared<Slot>()) {
    // A window timer counts its interval in 32 bits of milliseconds.
    slot_->interval_ms = std::clamp<int64_t>(interval_ms, 1, UINT_MAX);
    slot_->on_tick = std::move(on_tick);
    slot_->id = loop_.impl_->next_timer_id++;
    loop_.impl_->timers[slot_->id] = slot_;
}

Timer::~Timer() {
    loop_.impl_->timer_removed(*slot_);
    loop_.impl_->timers.erase(slot_->id);
}

bool Timer::enabled() const {
    return slot_->enabled;
}

void Timer::set_enabled(bool on) {
    if (on == slot_->enabled) return;
    slot_->enabled = on;
    if (on) slot_->next_due = saturating_add(loop_.clock().now_ms(), slot_->interval_ms);
    loop_.impl_->timer_switched(*slot_);
}

int64_t Timer::interval_ms() const {
    return slot_->interval_ms;
}

MessageLoop::MessageLoop(Clock& clock) : clock_(clock), impl_(std::make_unique<Impl>(clock)) {}

MessageLoop::~MessageLoop() = default;

void MessageLoop::post(std::function<void()> fn, int64_t delay_ms, std::weak_ptr<void> owner) {
    // An empty weak_ptr orders equal to a default one; any other has had an owner.
    const bool owned =
        owner.owner_before(std::weak_ptr<void>{}) || std::weak_ptr<void>{}.owner_before(owner);
    impl_->queue.emplace(
        Impl::Key{saturating_add(clock_.now_ms(), std::max<int64_t>(0, delay_ms)), impl_->seq++},
        Impl::Message{std::move(fn), std::move(owner), owned});
    impl_->message_posted();
}

void MessageLoop::sleep(int64_t ms, WaitMode mode) {
    if (mode == WaitMode::Standard || ms <= 0) return clock_.sleep_ms(ms);
    const int64_t now = clock_.now_ms();
    const int64_t until = std::min(saturating_add(now, ms), next_due_ms());
    if (!clock_.is_virtual()) return impl_->wait_for_message(until);
    // At the end of its scale the virtual clock cannot move; its own sleep says so.
    if (now == INT64_MAX) return clock_.sleep_ms(ms);
    clock_.sleep_until_ms(until);
}

int64_t MessageLoop::Impl::next_due() const {
    int64_t next = next_message_due();
    for (const auto& [id, w] : timers)
        if (auto s = w.lock(); s && s->enabled) next = std::min(next, s->next_due);
    return next;
}

int64_t MessageLoop::next_due_ms() const {
    return impl_->next_due();
}

void MessageLoop::pump_for(int64_t ms) {
    const int64_t end = saturating_add(clock_.now_ms(), std::max<int64_t>(0, ms));
    for (;;) {
        pump();
        if (clock_.now_ms() >= end) return;
        if (!impl_->wait_for_work(end)) break;
    }
    // The rest of the time passes without waiting on the queue; what it brought is run
    // at its end.
    clock_.sleep_until_ms(end);
    pump();
}

}  // namespace czqic
