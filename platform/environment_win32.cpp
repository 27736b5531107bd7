#include <windows.h>

#include "platform/environment.h"
#include "platform/win32/convert.h"

namespace czqic {

std::string environment_variable(const char* name) {
    const std::wstring wide = win::widen(name);
    std::wstring value(256, L'\0');
    for (;;) {
        const DWORD length =
            GetEnvironmentVariableW(wide.c_str(), value.data(), static_cast<DWORD>(value.size()));
        if (length == 0) return {};
        // Too small: length is the size needed, terminator included.
        if (length >= value.size()) {
            value.resize(length);
            continue;
        }
        value.resize(length);
        return win::narrow(value);
    }
}

std::string user_setting(const char* name) {
    std::wstring value(256, L'\0');
    DWORD size = static_cast<DWORD>(value.size() * sizeof(wchar_t));
    if (RegGetValueW(HKEY_CURRENT_USER, L"Software\\CZQICCardReader", win::widen(name).c_str(),
                     RRF_RT_REG_SZ, nullptr, value.data(), &size) != ERROR_SUCCESS)
        return {};
    value.resize(size / sizeof(wchar_t));
    while (!value.empty() && value.back() == L'\0') value.pop_back();
    return win::narrow(value);
}

}  // namespace czqic
