// The process-wide values of the component (status words, chip data, host form, log
// writer) live in one Runtime per apartment thread: everything a Visual Basic server
// keeps per thread, with that thread's clock, message loop and class table. Created with
// the thread's first object; kept while the library stays loaded and torn down when the
// thread ends or the library is unloaded on it.
#pragma once

#include <windows.h>

#include <oaidl.h>

#include <memory>

#include "component/runtime.h"
#include "platform/clock.h"
#include "platform/dispatch.h"
#include "platform/message_loop.h"
#include "platform/win32/scoped.h"

namespace czqic::win {

class ThreadRuntime {
  public:
    // The calling thread's runtime, created on first use.
    static ThreadRuntime& current();
    // Tears down the calling thread's runtime; true when no thread has one left.
    static bool release_current();
    // Whether another thread has a runtime.
    static bool held_elsewhere();

    ~ThreadRuntime();
    ThreadRuntime(const ThreadRuntime&) = delete;  // the thread's one copy
    ThreadRuntime& operator=(const ThreadRuntime&) = delete;

    Runtime& runtime() { return runtime_; }
    ITypeInfo* class_info() const { return class_info_.get(); }
    ITypeInfo* dispatch_info() const { return dispatch_info_.get(); }
    ITypeInfo* events_info() const { return events_info_.get(); }

  private:
    ThreadRuntime();

    std::unique_ptr<Clock> clock_;
    MessageLoop loop_;
    ClassRegistry classes_;
    Runtime runtime_;
    ComPtr<ITypeInfo> class_info_;
    ComPtr<ITypeInfo> dispatch_info_;
    ComPtr<ITypeInfo> events_info_;
};

}  // namespace czqic::win
