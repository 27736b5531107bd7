// Where C++ errors and COM errors meet. Inward (a server's methods and exports):
// com_boundary runs the body and turns whatever it throws into the HRESULT plus the
// standard error information, IErrorInfo and, for IDispatch::Invoke, EXCEPINFO; inside,
// raise_failure() refuses with an HRESULT of the body's choosing. Outward (a client's
// calls): check(), raise_call_failure() and raise_thread_failure() turn a failed HRESULT
// and its error information back into AutomationError, so callers write straight-line
// code.
#pragma once

#include <windows.h>

#include <oaidl.h>

#include <string>
#include <type_traits>
#include <utility>

#include "platform/automation.h"

namespace czqic::win {

// Who reports a failure: the interface whose call failed and the component's name, as
// IErrorInfo carries them. An apartment-threaded object also names the thread that owns
// it: a caller that holds its pointer on another thread (never marshalled) is turned away.
struct ErrorOrigin {
    const IID& iid;
    const wchar_t* source;
    DWORD owner_thread = 0;  // 0: any thread may call
};

// Translates the exception being handled; for use in a catch block only.
HRESULT report_current_exception(const ErrorOrigin& origin, EXCEPINFO* excepinfo) noexcept;

// Runs body as one COM call. A call from a thread other than the origin's owner fails
// with RPC_E_WRONG_THREAD before the body runs, touching nothing (that thread may not even
// have COM). A body returns nothing (S_OK) or its own HRESULT. A thrown AutomationError
// returns its HRESULT with its description in IErrorInfo; with excepinfo given
// (IDispatch::Invoke) the description goes there as well and the call returns
// DISP_E_EXCEPTION.
template <class Body>
HRESULT com_boundary(const ErrorOrigin& origin, EXCEPINFO* excepinfo, Body&& body) noexcept {
    if (origin.owner_thread != 0 && origin.owner_thread != GetCurrentThreadId())
        return RPC_E_WRONG_THREAD;
    try {
        if constexpr (std::is_void_v<std::invoke_result_t<Body>>) {
            std::forward<Body>(body)();
            return S_OK;
        } else {
            return std::forward<Body>(body)();
        }
    } catch (...) {
        return report_current_exception(origin, excepinfo);
    }
}

// The Visual Basic error number of an HRESULT: the low word of a FACILITY_CONTROL code
// (0x800A000D is error 13), the HRESULT itself otherwise.
int32_t error_number(HRESULT hr);
// The standard text of an HRESULT that came without error information.
std::string hresult_description(HRESULT hr);

// Raises AutomationError for hr with a description of the caller's own: inside
// com_boundary, the call fails with hr and that description.
[[noreturn]] void raise_failure(HRESULT hr, std::string description);

// A failed call of object's interface iid: the description from EXCEPINFO (after
// DISP_E_EXCEPTION) or from the object's IErrorInfo when it supports error information,
// else the HRESULT's own text.
[[noreturn]] void raise_call_failure(HRESULT hr, IUnknown* object, const IID& iid,
                                     EXCEPINFO* excepinfo = nullptr);
// The description a failed call that has no interface to ask left in the calling
// thread's error information (a class factory's refusal, an export's failure), else the
// HRESULT's own text.
std::string thread_failure_text(HRESULT hr);
// Raises AutomationError for such a call.
[[noreturn]] void raise_thread_failure(HRESULT hr);
// Raises AutomationError for a failed HRESULT of a call that has no error information,
// naming what failed.
inline void check(HRESULT hr, const char* what) {
    if (FAILED(hr)) raise_failure(hr, std::string(what) + ": " + hresult_description(hr));
}

}  // namespace czqic::win
