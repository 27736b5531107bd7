#include "platform/win32/com/server_exports.h"

#include <algorithm>

#include "platform/win32/com/error.h"
#include "platform/win32/com/server_class_factory.h"
#include "platform/win32/module.h"

using namespace czqic::win;

STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, void** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    const auto classes = this_server().classes;
    auto found =
        std::ranges::find_if(classes, [&](const ServerClass& c) { return c.clsid == clsid; });
    if (found == classes.end()) return CLASS_E_CLASSNOTAVAILABLE;
    return hand_out(new ClassFactory(*found), iid, out);
}

// Yes once no object or lock of the server is alive and no thread holds any of its
// per-thread state. It clears nothing.
STDAPI DllCanUnloadNow() {
    if (!ServerCounts::idle()) return S_FALSE;
    const auto held_by_threads = this_server().held_by_threads;
    return held_by_threads && held_by_threads() ? S_FALSE : S_OK;
}

STDAPI DllRegisterServer() {
    return com_boundary({IID_NULL, this_server().source}, nullptr,
                        [] { register_server(this_module(), this_server().classes); });
}

STDAPI DllUnregisterServer() {
    return com_boundary({IID_NULL, this_server().source}, nullptr,
                        [] { unregister_server(this_module(), this_server().classes); });
}
