#include "win/component/thread_runtime.h"

#include <map>
#include <string>
#include <utility>

#include "CZQICCardReader.h"
#include "component/reader.h"
#include "log/log_writer.h"
#include "panel/panel_form.h"
#include "platform/win32/com/convert.h"
#include "platform/win32/com/server_registration.h"
#include "platform/win32/console.h"
#include "platform/win32/module.h"
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

PerThread<ThreadRuntime>& runtimes() {
    // Never destroyed: at process exit the runtimes are left as they are.
    static auto* all = new PerThread<ThreadRuntime>;
    return *all;
}

// The shared values of threads whose runtime is gone, for their next one. A thread is
// known by a handle on it as well as by its id: a later thread given the same id starts
// from zero, and the values of a thread that has ended go the next time the table is
// used.
struct KeptValues {
    KeptValues(HANDLE self, const FormHost& values)
        : thread(self),
          status_word(values.status_word),
          second_status_word(values.second_status_word),
          chip_card_data(values.chip_card_data) {}
    ScopedHandle thread;
    int32_t status_word;
    int32_t second_status_word;
    std::string chip_card_data;
};

class KeptValuesTable {
  public:
    void keep(const FormHost& values) {
        HANDLE self = nullptr;
        if (!DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &self,
                             SYNCHRONIZE, FALSE, 0))
            return;
        ScopedSrwLock hold(lock_, ScopedSrwLock::kExclusive);
        drop_ended();
        items_.erase(GetCurrentThreadId());
        items_.try_emplace(GetCurrentThreadId(), self, values);
    }

    void restore(FormHost& values) {
        ScopedSrwLock hold(lock_, ScopedSrwLock::kExclusive);
        drop_ended();
        auto it = items_.find(GetCurrentThreadId());
        if (it == items_.end()) return;
        values.status_word = it->second.status_word;
        values.second_status_word = it->second.second_status_word;
        values.chip_card_data = std::move(it->second.chip_card_data);
        items_.erase(it);
    }

  private:
    void drop_ended() {
        std::erase_if(items_, [](const auto& item) {
            return WaitForSingleObject(item.second.thread.get(), 0) == WAIT_OBJECT_0;
        });
    }

    SRWLOCK lock_ = SRWLOCK_INIT;
    std::map<DWORD, KeptValues> items_;
};

KeptValuesTable& kept_values() {
    static auto* all = new KeptValuesTable;
    return *all;
}

// The form's timers tick through the runtime's own message loop, which is still on the
// stack when a tick's work returns.
constexpr FormTimers kTimers{
    .reset =
        [](ColsZQICCardReader& own_object) {
            const PerThread<ThreadRuntime>::Tick tick;
            return panel::kFormTimers.reset(own_object);
        },
    .refresh =
        [](HostForm& form) {
            const PerThread<ThreadRuntime>::Tick tick;
            panel::kFormTimers.refresh(form);
        },
};

}  // namespace

ThreadRuntime::ThreadRuntime()
    : clock_(make_real_clock()), loop_(*clock_), runtime_(*clock_, loop_, classes_, kTimers) {
    runtime_.report_failure = report_failure;
    // The log writer is reached through its dual interface, not by late binding.
    classes_.register_class(kLogWriterProgId, kLogWriterClsid,
                            [] { return make_log_writer_client(); });
    auto library = load_module_type_library(this_module());
    class_info_ = type_info_of(library.get(), CLSID_ColsZQICCardReader);
    dispatch_info_ = type_info_of(library.get(), IID__ColsZQICCardReader);
    events_info_ = type_info_of(library.get(), DIID___ColsZQICCardReader);
    kept_values().restore(runtime_);
}

ThreadRuntime::~ThreadRuntime() {
    // The unload may still change the shared values (the form's own object terminates).
    runtime_.unload_form();
    kept_values().keep(runtime_);
}

std::unique_ptr<ThreadRuntime> ThreadRuntime::make() {
    return std::unique_ptr<ThreadRuntime>(new ThreadRuntime());
}

ThreadRuntime::Hold::Hold() : PerThread<ThreadRuntime>::Hold(runtimes(), make) {}

ThreadRuntime& ThreadRuntime::panel() {
    ThreadRuntime& runtime = runtimes().acquire(make);
    // The panel holds the runtime once, however often it is used.
    if (runtime.panel_held_)
        runtimes().release(GetCurrentThreadId());
    else
        runtime.panel_held_ = true;
    return runtime;
}

void ThreadRuntime::release_panel() {
    ThreadRuntime& runtime = runtimes().acquire(make);
    const bool held = std::exchange(runtime.panel_held_, false);
    if (held) runtimes().release(GetCurrentThreadId());
    runtimes().release(GetCurrentThreadId());
}

bool ThreadRuntime::held() {
    return runtimes().held();
}

}  // namespace czqic::win
