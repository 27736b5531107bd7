// What a server keeps per apartment thread: one T for each thread that holds something of
// the server, made with the thread's first holder and torn down when its last one lets
// go, so that a thread that releases everything leaves no window, timer or control
// behind. Nothing is torn down while code of the thread's T runs (a release can come
// from a client's message handler while a call pumps, or while a timer tick waits): the
// end of that code does it. DllMain never does: it holds the loader lock, under which
// windows may not be destroyed nor locks taken. A thread only ever reaches its own T;
// the lock guards the table itself.
#pragma once

#include <windows.h>

#include <map>
#include <memory>
#include <utility>

#include "platform/win32/scoped.h"

namespace czqic::win {

template <class T>
class PerThread {
  public:
    PerThread() { instance_ = this; }
    PerThread(const PerThread&) = delete;  // owns every thread's T
    PerThread& operator=(const PerThread&) = delete;

    // The calling thread's T, counting one more holder; the first makes it with make(),
    // outside the lock, as making one may call into other servers.
    template <class Make>
    T& acquire(Make&& make) {
        const DWORD thread = GetCurrentThreadId();
        {
            ScopedSrwLock hold(lock_, ScopedSrwLock::kExclusive);
            if (auto it = items_.find(thread); it != items_.end()) {
                ++it->second.holders;
                return *it->second.item;
            }
        }
        std::unique_ptr<T> fresh = make();
        T& made = *fresh;
        ScopedSrwLock hold(lock_, ScopedSrwLock::kExclusive);
        Entry& entry = items_[thread];
        entry.item = std::move(fresh);
        entry.holders = 1;
        return made;
    }

    // One holder of owner's T lets go. The last one's release tears the T down, unless
    // code of the T is running (the end of that code does it) or the release comes from
    // another thread, which may not touch the owner's windows.
    void release(DWORD owner) {
        std::unique_ptr<T> taken;
        {
            ScopedSrwLock hold(lock_, ScopedSrwLock::kExclusive);
            auto it = items_.find(owner);
            if (it == items_.end()) return;
            if (--it->second.holders > 0 || it->second.busy > 0 || owner != GetCurrentThreadId())
                return;
            taken = std::move(it->second.item);
            items_.erase(it);
        }
        // Destroyed outside the lock: the teardown may call into other servers.
        taken.reset();
    }

    // Whether any thread has a T: its windows and timers would outlive the library's code
    // if the library were unloaded now.
    bool held() {
        ScopedSrwLock hold(lock_, ScopedSrwLock::kShared);
        return !items_.empty();
    }

    // One holder of the calling thread's T (an object of the server) for its lifetime,
    // released on the thread that made it.
    class Hold {
      public:
        template <class Make>
        Hold(PerThread& table, Make&& make)
            : item_(&table.acquire(std::forward<Make>(make))), owner_(GetCurrentThreadId()) {}
        ~Hold() {
            if (item_) instance_->release(owner_);
        }
        Hold(Hold&& other) noexcept
            : item_(std::exchange(other.item_, nullptr)), owner_(other.owner_) {}
        Hold(const Hold&) = delete;  // one count per holder
        Hold& operator=(const Hold&) = delete;
        Hold& operator=(Hold&&) = delete;
        T& operator*() const { return *item_; }
        T* operator->() const { return item_; }

      private:
        T* item_;
        DWORD owner_;
    };

    // Code of the calling thread's T runs for the scope (a call of one of its objects):
    // a last release meanwhile waits for the outermost such scope, whose end tears the T
    // down. Only on the owning thread.
    class Call {
      public:
        Call() { instance_->enter(); }
        ~Call() {
            if (instance_->leave()) instance_->settle();
        }
        Call(const Call&) = delete;  // one entry per scope
        Call& operator=(const Call&) = delete;
    };

    // The same for code the T's own message loop runs (a timer tick), which still has the
    // loop and the form on the stack when the scope ends: the teardown it leaves waits
    // for the thread's next message dispatching, by a timer of the thread's own.
    class Tick {
      public:
        Tick() { instance_->enter(); }
        ~Tick() {
            if (instance_->leave()) SetTimer(nullptr, 0, 0, &PerThread::settle_later);
        }
        Tick(const Tick&) = delete;  // one entry per scope
        Tick& operator=(const Tick&) = delete;
    };

  private:
    struct Entry {
        std::unique_ptr<T> item;
        long holders = 0;
        long busy = 0;
    };

    void enter() {
        ScopedSrwLock hold(lock_, ScopedSrwLock::kExclusive);
        if (auto it = items_.find(GetCurrentThreadId()); it != items_.end()) ++it->second.busy;
    }

    // True when the scope left was the last running one of a T that no one holds.
    bool leave() {
        ScopedSrwLock hold(lock_, ScopedSrwLock::kExclusive);
        auto it = items_.find(GetCurrentThreadId());
        if (it == items_.end()) return false;
        return --it->second.busy == 0 && it->second.holders == 0;
    }

    // Tears the calling thread's T down if no one holds it and none of its code runs.
    void settle() {
        std::unique_ptr<T> taken;
        {
            ScopedSrwLock hold(lock_, ScopedSrwLock::kExclusive);
            auto it = items_.find(GetCurrentThreadId());
            if (it == items_.end() || it->second.holders > 0 || it->second.busy > 0) return;
            taken = std::move(it->second.item);
            items_.erase(it);
        }
        taken.reset();
    }

    static void CALLBACK settle_later(HWND, UINT, UINT_PTR timer, DWORD) {
        KillTimer(nullptr, timer);
        instance_->settle();
    }

    // The server's one table, for the scopes and the timer, which have no other way to it.
    static inline PerThread* instance_ = nullptr;

    SRWLOCK lock_ = SRWLOCK_INIT;
    std::map<DWORD, Entry> items_;
};

}  // namespace czqic::win
