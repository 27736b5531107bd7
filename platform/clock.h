// The one source of time for the component: the time of day the wait loops measure,
// the sleep between their passes, and a monotonic count that orders queued messages.
// The real clock blocks; the virtual clock jumps, so a 60-second wait costs nothing.
#pragma once

#include <climits>
#include <cstdint>
#include <memory>
#include <stdexcept>

namespace czqic {

// Instants are summed with this: an instant beyond the end of the scale is the end of the
// scale, so a huge delay or pump is "never" rather than a time in the past.
constexpr int64_t saturating_add(int64_t a, int64_t b) {
    int64_t sum = 0;
    if (__builtin_add_overflow(a, b, &sum)) return b > 0 ? INT64_MAX : INT64_MIN;
    return sum;
}

class Clock {
  public:
    virtual ~Clock() = default;
    // Seconds since local midnight with a fraction, from 0 up to (not including) 86400.
    virtual double time_of_day() = 0;
    // Milliseconds on a monotonic scale; only differences mean anything.
    virtual int64_t now_ms() = 0;
    // Blocks the thread (real) or moves time forward (virtual); nothing else runs.
    virtual void sleep_ms(int64_t ms) = 0;
    // Blocks until now_ms() reaches the given instant (at once if it has).
    virtual void sleep_until_ms(int64_t when_ms) = 0;
    virtual bool is_virtual() const = 0;
};

// Local wall-clock time and a steady clock; sleep is a real sleep.
std::unique_ptr<Clock> make_real_clock();

// Starts at the given time of day (seconds since midnight) and moves only when slept
// on; the time of day wraps at midnight, the monotonic count does not.
class VirtualClock final : public Clock {
  public:
    explicit VirtualClock(double start_time_of_day = 12 * 3600.0) : start_(start_time_of_day) {}

    double time_of_day() override;
    int64_t now_ms() override { return now_ms_; }
    // At the end of its scale the clock cannot move: a wait that sleeps there would never
    // see its time limit pass, so the sleep fails instead (the operation's error path).
    void sleep_ms(int64_t ms) override {
        if (ms <= 0) return;
        if (now_ms_ == INT64_MAX)
            throw std::range_error("the virtual clock has reached the end of its scale");
        now_ms_ = saturating_add(now_ms_, ms);
    }
    void sleep_until_ms(int64_t when_ms) override {
        if (when_ms > now_ms_) now_ms_ = when_ms;
    }
    bool is_virtual() const override { return true; }

  private:
    double start_;
    int64_t now_ms_ = 0;
};

}  // namespace czqic
