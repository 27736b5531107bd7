#include "win/tests/client.h"

#include <windows.h>

#include <gtest/gtest.h>

#include "platform/win32/scoped.h"

namespace czqic::win::testing {

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

}  // namespace czqic::win::testing

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    const czqic::win::ScopedComApartment apartment;
    return RUN_ALL_TESTS();
}
