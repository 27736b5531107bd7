#include <chrono>
#include <cmath>
#include <ctime>
#include <thread>

#include "platform/clock.h"

namespace czqic {
namespace {

class RealClock final : public Clock {
  public:
    double time_of_day() override {
        auto now = std::chrono::system_clock::now();
        std::time_t t = std::chrono::system_clock::to_time_t(now);
        std::tm local{};
        localtime_r(&t, &local);
        auto micros =
            std::chrono::duration_cast<std::chrono::microseconds>(now.time_since_epoch()).count() %
            1000000;
        if (micros < 0) micros += 1000000;
        return local.tm_hour * 3600.0 + local.tm_min * 60.0 + local.tm_sec + micros / 1e6;
    }
    int64_t now_ms() override {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::steady_clock::now().time_since_epoch())
            .count();
    }
    void sleep_ms(int64_t ms) override {
        if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
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
