// The real clock on posix: the local time of day from localtime_r, the steady clock for
// the monotonic count, and a real sleep of the calling thread.

#include <chrono>
#include <ctime>
#include <thread>

#include "platform/clock_os.h"

namespace czqic::os_clock {

double local_time_of_day() {
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

int64_t monotonic_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void sleep_ms(int64_t ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

}  // namespace czqic::os_clock
