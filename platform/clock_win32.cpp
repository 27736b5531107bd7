// The real clock on Windows: the time of day from GetLocalTime (what Visual Basic's Time
// reads), a monotonic tick count, and kernel32's Sleep.

#include <windows.h>

#include <cmath>

#include "platform/clock.h"

namespace czqic {
namespace {

class RealClock final : public Clock {
  public:
    double time_of_day() override {
        SYSTEMTIME now{};
        GetLocalTime(&now);
        return now.wHour * 3600.0 + now.wMinute * 60.0 + now.wSecond + now.wMilliseconds / 1000.0;
    }
    int64_t now_ms() override { return static_cast<int64_t>(GetTickCount64()); }
    void sleep_ms(int64_t ms) override {
        if (ms > 0) Sleep(static_cast<DWORD>(ms));
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
