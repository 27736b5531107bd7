// An in-process server's table of classes and its self-registration: its classes under
// HKCR\CLSID with their ProgIDs, and its type library, which every server here carries as
// resource 1. What registration writes, unregistration removes, and nothing else, except
// the keys the 32-bit and 64-bit builds share (ProgIDs, the type library's own keys): those
// stay while the other architecture's build still has its class registered.
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
    const wchar_t* progid;       // also the source of a refused creation's error information
    const char* name;            // names the class in a refused creation's description
    // What the class factory runs: a new object's interface iid (hand_out); may throw.
    HRESULT (*create)(REFIID iid, void** out);
};

// DllRegisterServer and DllUnregisterServer of module; raise AutomationError.
void register_server(HMODULE module, std::span<const ServerClass> classes);
void unregister_server(HMODULE module, std::span<const ServerClass> classes);

// The type library embedded in the module, loaded without registering it.
ComPtr<ITypeLib> load_module_type_library(HMODULE module);
ComPtr<ITypeInfo> type_info_of(ITypeLib* library, const GUID& guid);

}  // namespace czqic::win
