#include <windows.h>

#include <cstring>
#include <optional>

#include "platform/environment.h"
#include "platform/win32/com/convert.h"
#include "platform/win32/scoped.h"

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

namespace {

// The value in one registry view; nullopt when the key or the value is not there.
std::optional<std::string> machine_value(const std::wstring& name, REGSAM view) {
    win::ScopedHKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\CZQICCardReader", 0, KEY_QUERY_VALUE | view,
                      out_param(key)) != ERROR_SUCCESS)
        return std::nullopt;
    std::optional<std::string> result;
    DWORD type = 0;
    // Settings are short; a longer value counts as absent.
    wchar_t data[256] = {};
    DWORD size = sizeof data;
    if (RegQueryValueExW(key.get(), name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(data),
                         &size) == ERROR_SUCCESS) {
        if (type == REG_DWORD && size == sizeof(DWORD)) {
            DWORD number = 0;
            memcpy(&number, data, sizeof number);
            result = std::to_string(number);
        } else if (type == REG_SZ || type == REG_EXPAND_SZ) {
            std::wstring text(data, size / sizeof(wchar_t));
            while (!text.empty() && text.back() == L'\0') text.pop_back();
            result = win::narrow(text);
        }
    }
    return result;
}

}  // namespace

std::string machine_setting(const char* name) {
    const std::wstring wide = win::widen(name);
    if (auto value = machine_value(wide, KEY_WOW64_64KEY)) return *value;
    return machine_value(wide, KEY_WOW64_32KEY).value_or(std::string());
}

}  // namespace czqic
