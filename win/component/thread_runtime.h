// The process-wide values of the component (status words, chip data, host form, log
// writer) live in one Runtime per apartment thread: everything a Visual Basic server
// keeps per thread, with that thread's clock, message loop and class table. Created with
// the thread's first object and torn down, form, control, windows and timers, when the
// thread lets go of its last one. The values the class shares (status words, chip data)
// stay the thread's while the library is loaded: a new object finds them as the last
// one left them.
#pragma once

#include <windows.h>

#include <oaidl.h>

#include <memory>

#include "component/runtime.h"
#include "platform/clock.h"
#include "platform/dispatch.h"
#include "platform/message_loop.h"
#include "platform/win32/com/server_per_thread.h"
#include "platform/win32/scoped.h"

namespace czqic::win {

class ThreadRuntime {
  public:
    // A holder of the calling thread's runtime (an object of the class, or the test
    // panel): the runtime lives while its thread has one.
    struct Hold : PerThread<ThreadRuntime>::Hold {
        Hold();
    };
    // Code of the thread's runtime running for the scope, entered from outside (a call of
    // an object, a panel export): a last release meanwhile waits for the scope's end.
    using Call = PerThread<ThreadRuntime>::Call;
    // The test panel's runtime: the first use on a thread holds it until release_panel.
    static ThreadRuntime& panel();
    static void release_panel();
    // Whether any thread has a runtime.
    static bool held();

    ~ThreadRuntime();
    ThreadRuntime(const ThreadRuntime&) = delete;  // the thread's one copy
    ThreadRuntime& operator=(const ThreadRuntime&) = delete;

    Runtime& runtime() { return runtime_; }
    ITypeInfo* class_info() const { return class_info_.get(); }
    ITypeInfo* dispatch_info() const { return dispatch_info_.get(); }
    ITypeInfo* events_info() const { return events_info_.get(); }

  private:
    ThreadRuntime();
    static std::unique_ptr<ThreadRuntime> make();

    bool panel_held_ = false;
    std::unique_ptr<Clock> clock_;
    MessageLoop loop_;
    ClassRegistry classes_;
    Runtime runtime_;
    ComPtr<ITypeInfo> class_info_;
    ComPtr<ITypeInfo> dispatch_info_;
    ComPtr<ITypeInfo> events_info_;
};

}  // namespace czqic::win
