// What the real clock asks of the operating system; each platform's clock file answers.
#pragma once

#include <cstdint>

namespace czqic::os_clock {

// Seconds since local midnight with a fraction.
double local_time_of_day();
// Milliseconds on the system's monotonic scale.
int64_t monotonic_ms();
// Blocks the calling thread; ms is positive.
void sleep_ms(int64_t ms);

}  // namespace czqic::os_clock
