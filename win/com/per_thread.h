// What a server keeps per apartment thread: one T for each thread, made on the thread's
// first use and kept for as long as the library stays loaded; it goes when its thread
// ends or when the library is unloaded on it (DllMain). A thread only ever reaches its
// own T; the lock guards the table itself.
#pragma once

#include <windows.h>

#include <map>
#include <memory>

#include "platform/win32/scoped.h"

namespace czqic::win {

template <class T>
class PerThread {
  public:
    PerThread() = default;
    PerThread(const PerThread&) = delete;  // owns every thread's T
    PerThread& operator=(const PerThread&) = delete;

    // The calling thread's T; the first call makes it with make(), outside the lock, as
    // making one may call into other servers.
    template <class Make>
    T& current(Make&& make) {
        const DWORD thread = GetCurrentThreadId();
        {
            ScopedSrwLock hold(lock_, ScopedSrwLock::kShared);
            if (auto it = items_.find(thread); it != items_.end()) return *it->second;
        }
        std::unique_ptr<T> fresh = make();
        T& made = *fresh;
        ScopedSrwLock hold(lock_, ScopedSrwLock::kExclusive);
        items_[thread] = std::move(fresh);
        return made;
    }

    // Whether a thread other than the calling one has a T: its window and timers would
    // outlive the library's code if the library were unloaded now.
    bool held_elsewhere() {
        ScopedSrwLock hold(lock_, ScopedSrwLock::kShared);
        const DWORD thread = GetCurrentThreadId();
        for (const auto& item : items_)
            if (item.first != thread) return true;
        return false;
    }

    // Tears down the calling thread's T; true when no thread has one left.
    bool release_current() {
        std::unique_ptr<T> taken;
        {
            ScopedSrwLock hold(lock_, ScopedSrwLock::kExclusive);
            if (auto it = items_.find(GetCurrentThreadId()); it != items_.end()) {
                taken = std::move(it->second);
                items_.erase(it);
            }
        }
        // Destroyed outside the lock: the teardown may call into other servers.
        taken.reset();
        ScopedSrwLock hold(lock_, ScopedSrwLock::kShared);
        return items_.empty();
    }

  private:
    SRWLOCK lock_ = SRWLOCK_INIT;
    std::map<DWORD, std::unique_ptr<T>> items_;
};

}  // namespace czqic::win
