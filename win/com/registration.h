// Self-registration of an in-process server: its classes under HKCR\CLSID and their
// ProgIDs, and its type library, which every server here carries as resource 1. What
// registration writes, unregistration removes, and nothing else.
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
};

// Raise AutomationError on failure.
void register_server(HMODULE module, std::span<const ServerClass> classes);
void unregister_server(HMODULE module, std::span<const ServerClass> classes);

// The type library embedded in the module, loaded without registering it.
ComPtr<ITypeLib> load_module_type_library(HMODULE module);
ComPtr<ITypeInfo> type_info_of(ITypeLib* library, const GUID& guid);

}  // namespace czqic::win
