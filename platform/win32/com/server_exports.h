// The four exports of every in-process server here (DllGetClassObject, DllCanUnloadNow,
// DllRegisterServer, DllUnregisterServer), written once in server_exports.cpp, which the
// build compiles into each server, over what the server says of itself.
#pragma once

#include <windows.h>

#include <span>

#include "platform/win32/com/server_registration.h"

namespace czqic::win {

struct ServerModule {
    std::span<const ServerClass> classes;
    // Names the server in the error information of a failed registration.
    const wchar_t* source;
    // For a server that keeps per-thread state: whether any thread holds some, whose
    // windows and timers would outlive the library's code if it were unloaded now.
    bool (*held_by_threads)() = nullptr;
};

// Defined by each server.
const ServerModule& this_server();

}  // namespace czqic::win
