// The real clock on Windows: the time of day from GetLocalTime (what Visual Basic's Time
// reads), a monotonic tick count, and kernel32's Sleep.

#include <windows.h>

#include "platform/clock_os.h"

namespace czqic::os_clock {

double local_time_of_day() {
    SYSTEMTIME now{};
    GetLocalTime(&now);
    return now.wHour * 3600.0 + now.wMinute * 60.0 + now.wSecond + now.wMilliseconds / 1000.0;
}

int64_t monotonic_ms() {
    return static_cast<int64_t>(GetTickCount64());
}

void sleep_ms(int64_t ms) {
    Sleep(static_cast<DWORD>(ms));
}

}  // namespace czqic::os_clock
