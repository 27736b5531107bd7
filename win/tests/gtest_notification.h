// GoogleTest's Notification for mingw-w64's win32 thread model, which has no std::mutex:
// the same one-shot signal over a manual-reset event. Included ahead of GoogleTest's
// own headers, which then leave theirs out.
#pragma once

#include <windows.h>

namespace testing::internal {

class Notification {
  public:
    Notification() : event_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
    ~Notification() { CloseHandle(event_); }
    Notification(const Notification&) = delete;  // owns the event handle
    Notification& operator=(const Notification&) = delete;

    void Notify() { SetEvent(event_); }
    void WaitForNotification() { WaitForSingleObject(event_, INFINITE); }

  private:
    HANDLE event_;
};

}  // namespace testing::internal

#define GTEST_HAS_NOTIFICATION_ 1
