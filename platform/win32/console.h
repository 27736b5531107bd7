// Lines written straight to the process's standard output or error handle, so that the
// servers' diagnostic echoes interleave correctly with the host's own flushed lines
// whatever C run-time buffers either side keeps.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

namespace czqic::win {

inline void write_line(DWORD which, std::string_view text) {
    HANDLE out = GetStdHandle(which);
    if (out == nullptr || out == INVALID_HANDLE_VALUE) return;
    std::string line(text);
    line += '\n';
    DWORD written = 0;
    WriteFile(out, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}

// Whether the environment variable holds exactly the value.
inline bool environment_is(const wchar_t* name, std::wstring_view value) {
    wchar_t buffer[64] = {};
    const DWORD length = GetEnvironmentVariableW(name, buffer, 64);
    return length > 0 && length < 64 && std::wstring_view(buffer, length) == value;
}

}  // namespace czqic::win
