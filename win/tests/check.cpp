#include "win/tests/check.h"

#include <cstdio>
#include <exception>

#include <windows.h>

#include "platform/win32/scoped.h"

namespace czqic::check {
namespace {

int passed = 0;
int failed = 0;
std::string current;

}  // namespace

void group(const std::string& name, const std::function<void()>& body) {
    current = name;
    std::printf("== %s\n", name.c_str());
    try {
        body();
    } catch (const std::exception& e) {
        expect(false, "runs to the end", std::string("threw: ") + e.what());
    } catch (...) {
        expect(false, "runs to the end", "threw a non-standard exception");
    }
    std::fflush(stdout);
}

bool expect(bool ok, const std::string& what, const std::string& detail) {
    if (ok) {
        ++passed;
        std::printf("  ok   %s\n", what.c_str());
    } else {
        ++failed;
        std::printf("  FAIL %s: %s%s%s\n", current.c_str(), what.c_str(),
                    detail.empty() ? "" : ": ", detail.c_str());
    }
    return ok;
}

void pump_for(unsigned long ms) {
    const ULONGLONG end = GetTickCount64() + ms;
    for (ULONGLONG now = GetTickCount64(); now < end; now = GetTickCount64()) {
        MsgWaitForMultipleObjectsEx(0, nullptr, static_cast<DWORD>(end - now), QS_ALLINPUT,
                                    MWMO_INPUTAVAILABLE);
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
}

int run(const std::function<void()>& groups) {
    const win::ScopedComApartment apartment;
    groups();
    std::printf("%d checks passed, %d failed\n", passed, failed);
    std::fflush(stdout);
    return failed == 0 ? 0 : 1;
}

}  // namespace czqic::check
