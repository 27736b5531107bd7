// The four exports of the in-process server CZQICCardReader.dll.
#include <windows.h>

#include <olectl.h>

#include "CZQICCardReader.h"
#include "win/com/registration.h"
#include "win/component/reader_object.h"
#include "win/component/thread_runtime.h"

namespace {

using namespace czqic::win;

constexpr wchar_t kSource[] = L"CZQICCardReader";

const ServerClass kClasses[] = {
    {CLSID_ColsZQICCardReader, L"ColsZQICCardReader", L"CZQICCardReader.ColsZQICCardReader",
     create_reader_object},
};

}  // namespace

STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, void** out) {
    return server_class_object(kClasses, clsid, iid, out);
}

// The thread's shared values and hidden window go with the thread or the library, never
// merely because nothing is alive at the moment.
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
    return server_dll_main(reason, reserved, ThreadRuntime::release_current);
}

STDAPI DllCanUnloadNow() {
    return server_can_unload(ThreadRuntime::held_elsewhere);
}

STDAPI DllRegisterServer() {
    return server_register(kClasses, kSource);
}

STDAPI DllUnregisterServer() {
    return server_unregister(kClasses, kSource);
}
