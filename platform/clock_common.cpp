// The clocks as every platform has them: the virtual clock is pure arithmetic, and the
// real clock asks the operating system only for the time and the sleep.

#include <cmath>

#include "platform/clock.h"
#include "platform/clock_os.h"

namespace czqic {
namespace {

class RealClock final : public Clock {
  public:
    double time_of_day() override { return os_clock::local_time_of_day(); }
    int64_t now_ms() override { return os_clock::monotonic_ms(); }
    void sleep_ms(int64_t ms) override {
        if (ms > 0) os_clock::sleep_ms(ms);
    }
    void sleep_until_ms(int64_t when_ms) override { sleep_ms(when_ms - now_ms()); }
    bool is_virtual() const override { return false; }
};

}  // namespace

std::unique_ptr<Clock> make_real_clock() {
    return std::make_unique<RealClock>();
}

double VirtualClock::time_of_day() {
    double t = std::fmod(start_ + static_cast<double>(now_ms_) / 1000.0, 86400.0);
    return t < 0 ? t + 86400.0 : t;
}

}  // namespace czqic
