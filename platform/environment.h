// Settings a host passes to the component from outside: the process environment and, on
// Windows, the user's and the machine's registry values beside it.
#pragma once

#include <string>

namespace czqic {

// The variable's value; empty when it is unset. On Windows this reads the process's
// current environment (what SetEnvironmentVariable wrote), not the C run-time's copy.
std::string environment_variable(const char* name);

// The user's value of that name under HKEY_CURRENT_USER\Software\CZQICCardReader on
// Windows; always empty elsewhere.
std::string user_setting(const char* name);

// The machine's value of that name under HKEY_LOCAL_MACHINE\Software\CZQICCardReader on
// Windows, a string or a number in decimal; always empty elsewhere. One setting for both
// architectures: the 64-bit registry view is read first, then the 32-bit one.
std::string machine_setting(const char* name);

}  // namespace czqic
