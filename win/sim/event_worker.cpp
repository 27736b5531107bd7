#include "win/sim/event_worker.h"

#include <objbase.h>

namespace czqic::win {

EventWorker::EventWorker()
    : wake_(CreateEventW(nullptr, FALSE, FALSE, nullptr)),
      thread_(CreateThread(nullptr, 0, thread_main, this, 0, nullptr)) {}

EventWorker::~EventWorker() {
    {
        ScopedSrwLock hold(lock_, ScopedSrwLock::kExclusive);
        stopping_ = true;
    }
    SetEvent(wake_.get());
    if (!thread_.valid()) return;
    HANDLE handles[] = {thread_.get()};
    DWORD index = 0;
    CoWaitForMultipleHandles(0, INFINITE, 1, handles, &index);
}

void EventWorker::post(Job job) {
    {
        ScopedSrwLock hold(lock_, ScopedSrwLock::kExclusive);
        jobs_.push_back(std::move(job));
    }
    SetEvent(wake_.get());
}

DWORD WINAPI EventWorker::thread_main(void* self) {
    const ScopedComApartment joined(COINIT_MULTITHREADED);
    static_cast<EventWorker*>(self)->run();
    return 0;
}

void EventWorker::run() {
    for (;;) {
        Job job;
        bool wanted = true;
        {
            ScopedSrwLock hold(lock_, ScopedSrwLock::kExclusive);
            if (!jobs_.empty()) {
                job = std::move(jobs_.front());
                jobs_.pop_front();
                wanted = !stopping_;
            } else if (stopping_) {
                return;
            }
        }
        if (job)
            job(wanted);
        else
            WaitForSingleObject(wake_.get(), INFINITE);
    }
}

}  // namespace czqic::win
