// The device thread of a demanding vendor control, for the strict stand-ins: a thread of
// the multithreaded apartment that runs the jobs the control hands it, in order. A job is
// told whether it is still wanted; once the control stops the thread, the jobs left only
// release what they hold.
#pragma once

#include <windows.h>

#include <deque>
#include <functional>

#include "platform/win32/scoped.h"

namespace czqic::win {

class EventWorker {
  public:
    using Job = std::function<void(bool wanted)>;

    EventWorker();
    // Stops the thread and waits for it while the calling apartment keeps answering
    // calls, since a job may be calling into it.
    ~EventWorker();
    EventWorker(const EventWorker&) = delete;  // owns the thread
    EventWorker& operator=(const EventWorker&) = delete;

    void post(Job job);

  private:
    static DWORD WINAPI thread_main(void* self);
    void run();

    SRWLOCK lock_ = SRWLOCK_INIT;
    std::deque<Job> jobs_;
    bool stopping_ = false;
    ScopedHandle wake_;
    ScopedHandle thread_;
};

}  // namespace czqic::win
