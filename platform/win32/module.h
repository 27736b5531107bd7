// The module (DLL or EXE) this code is linked into. Every server links the toolkit
// statically, so each asks about itself: its own window classes, type library and path.
#pragma once

#include <windows.h>

#include <string>

namespace czqic::win {

HMODULE this_module();
// Raises AutomationError when the path cannot be read.
std::wstring module_path(HMODULE module);

}  // namespace czqic::win
