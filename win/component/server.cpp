// The four exports of the in-process server CZQICCardReader.dll.
#include <windows.h>

#include <olectl.h>

#include "CZQICCardReader.h"
#include "platform/win32/com_error.h"
#include "platform/win32/module.h"
#include "win/com/class_factory.h"
#include "win/com/registration.h"
#include "win/component/reader_object.h"
#include "win/component/thread_runtime.h"

namespace {

using namespace czqic::win;

constexpr wchar_t kSource[] = L"CZQICCardReader";

const ServerClass kClasses[] = {
    {CLSID_ColsZQICCardReader, L"ColsZQICCardReader", L"CZQICCardReader.ColsZQICCardReader"},
};

}  // namespace

STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, void** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (clsid != CLSID_ColsZQICCardReader) return CLASS_E_CLASSNOTAVAILABLE;
    return hand_out(new ClassFactory(create_reader_object), iid, out);
}

STDAPI DllCanUnloadNow() {
    if (!ServerCounts::idle()) return S_FALSE;
    // Nothing is alive: the thread's shared values and hidden window can go with the
    // library. Their teardown may touch other servers, so the counts are read again.
    const bool no_runtime_left = ThreadRuntime::release_current();
    return no_runtime_left && ServerCounts::idle() ? S_OK : S_FALSE;
}

STDAPI DllRegisterServer() {
    return com_boundary({IID_NULL, kSource}, nullptr,
                        [] { register_server(this_module(), kClasses); });
}

STDAPI DllUnregisterServer() {
    return com_boundary({IID_NULL, kSource}, nullptr,
                        [] { unregister_server(this_module(), kClasses); });
}
