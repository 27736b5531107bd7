#include "win/component/thread_runtime.h"

#include "CZQICCardReader.h"
#include "log/log_writer.h"
#include "panel/panel_form.h"
#include "platform/win32/console.h"
#include "platform/win32/convert.h"
#include "platform/win32/module.h"
#include "win/com/per_thread.h"
#include "win/com/registration.h"
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
    // Never destroyed: at process exit the runtimes are left as they are (DllMain).
    static auto* all = new PerThread<ThreadRuntime>;
    return *all;
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
    events_info_ = type_info_of(library.get(), DIID___ColsZQICCardReader);
}

ThreadRuntime::~ThreadRuntime() = default;

ThreadRuntime& ThreadRuntime::current() {
    return runtimes().current([] { return std::unique_ptr<ThreadRuntime>(new ThreadRuntime()); });
}

bool ThreadRuntime::release_current() {
    return runtimes().release_current();
}

bool ThreadRuntime::held_elsewhere() {
    return runtimes().held_elsewhere();
}

}  // namespace czqic::win
