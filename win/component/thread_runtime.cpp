#include "win/component/thread_runtime.h"

#include <map>

#include "CZQICCardReader.h"
#include "log/log_writer.h"
#include "panel/panel_form.h"
#include "win/common/com_object.h"
#include "win/common/console.h"
#include "win/common/convert.h"
#include "win/common/registration.h"
#include "win/component/log_writer_client.h"

namespace czqic::win {
namespace {

// Failures with nobody to return to (a termination, an event handler, a timer tick) go
// to the debugger's output; a host that wants them on its standard error says so.
void report_failure(std::string_view where, std::string_view description) {
    const std::string line = "czqic: " + std::string(where) + ": " + std::string(description);
    OutputDebugStringW(widen(line + "\n").c_str());
    if (environment_is(L"CZQIC_REPORT_FAILURES", L"stderr")) write_line(STD_ERROR_HANDLE, line);
}

class Registry {
  public:
    ThreadRuntime* find(DWORD thread) {
        AcquireSRWLockShared(&lock_);
        auto it = runtimes_.find(thread);
        ThreadRuntime* found = it == runtimes_.end() ? nullptr : it->second.get();
        ReleaseSRWLockShared(&lock_);
        return found;
    }
    void add(DWORD thread, std::unique_ptr<ThreadRuntime> runtime) {
        AcquireSRWLockExclusive(&lock_);
        runtimes_[thread] = std::move(runtime);
        ReleaseSRWLockExclusive(&lock_);
    }
    std::unique_ptr<ThreadRuntime> take(DWORD thread) {
        AcquireSRWLockExclusive(&lock_);
        std::unique_ptr<ThreadRuntime> taken;
        if (auto it = runtimes_.find(thread); it != runtimes_.end()) {
            taken = std::move(it->second);
            runtimes_.erase(it);
        }
        ReleaseSRWLockExclusive(&lock_);
        return taken;
    }
    bool empty() {
        AcquireSRWLockShared(&lock_);
        const bool none = runtimes_.empty();
        ReleaseSRWLockShared(&lock_);
        return none;
    }

  private:
    SRWLOCK lock_ = SRWLOCK_INIT;
    std::map<DWORD, std::unique_ptr<ThreadRuntime>> runtimes_;
};

Registry& registry() {
    static Registry instance;
    return instance;
}

}  // namespace

ThreadRuntime::ThreadRuntime()
    : clock_(make_real_clock()),
      loop_(*clock_),
      runtime_(*clock_, loop_, classes_, panel::kFormTimers) {
    runtime_.report_failure = report_failure;
    // The log writer is reached through its dual interface, not by late binding.
    classes_.register_class(kLogWriterProgId, kLogWriterClsid,
                            [] { return make_log_writer_client(); });
    auto library = load_module_type_library(this_module());
    class_info_ = type_info_of(library.get(), CLSID_ColsZQICCardReader);
    dispatch_info_ = type_info_of(library.get(), IID__ColsZQICCardReader);
}

ThreadRuntime::~ThreadRuntime() = default;

ThreadRuntime& ThreadRuntime::current() {
    const DWORD thread = GetCurrentThreadId();
    if (ThreadRuntime* found = registry().find(thread)) return *found;
    std::unique_ptr<ThreadRuntime> fresh(new ThreadRuntime());
    ThreadRuntime& result = *fresh;
    registry().add(thread, std::move(fresh));
    return result;
}

bool ThreadRuntime::release_current() {
    // Destroyed outside the lock: the teardown may call into other servers.
    registry().take(GetCurrentThreadId()).reset();
    return registry().empty();
}

}  // namespace czqic::win
