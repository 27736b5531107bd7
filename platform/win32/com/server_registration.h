// An in-process server's table of classes and the exports written over it: the class
// objects, and self-registration of its classes under HKCR\CLSID with their ProgIDs and
// of its type library, which every server here carries as resource 1. What registration
// writes, unregistration removes, and nothing else, except the keys the 32-bit and 64-bit
// builds share (ProgIDs, the type library's own keys): those stay while the other
// architecture's build still has its class registered. DllCanUnloadNow is each server's
// own.
#pragma once

#include <windows.h>

#include <oaidl.h>

#include <span>
#include <string>

#include "platform/win32/scoped.h"

namespace czqic::win {

struct ServerClass {
    const CLSID& clsid;
    const wchar_t* description;  // the CLSID key's default value
    const wchar_t* progid;
    HRESULT (*create)(REFIID iid, void** out);  // what the class factory runs
};

// DllGetClassObject.
HRESULT server_class_object(std::span<const ServerClass> classes, REFCLSID clsid, REFIID iid,
                            void** out);
// DllCanUnloadNow: yes once no object or lock of the server is alive and, for a server
// that keeps per-thread state, no thread holds any (held_by_threads). It clears nothing.
HRESULT server_can_unload(bool (*held_by_threads)() = nullptr);
// DllRegisterServer and DllUnregisterServer of this module; source names the server in
// the error information of a failure.
HRESULT server_register(std::span<const ServerClass> classes, const wchar_t* source);
HRESULT server_unregister(std::span<const ServerClass> classes, const wchar_t* source);

// The type library embedded in the module, loaded without registering it.
ComPtr<ITypeLib> load_module_type_library(HMODULE module);
ComPtr<ITypeInfo> type_info_of(ITypeLib* library, const GUID& guid);

}  // namespace czqic::win
