#include "platform/win32/com/error.h"

#include <new>

#include "platform/win32/com/convert.h"
#include "platform/win32/scoped.h"

namespace czqic::win {
namespace {

constexpr HRESULT kFacilityControlMask = 0xFFFF0000;
constexpr HRESULT kFacilityControlBase = static_cast<HRESULT>(0x800A0000);

void set_error_info(const ErrorOrigin& origin, const std::wstring& description) {
    ComPtr<ICreateErrorInfo> create;
    if (FAILED(CreateErrorInfo(create.out()))) return;
    create->SetGUID(origin.iid);
    create->SetSource(const_cast<LPOLESTR>(origin.source));
    create->SetDescription(const_cast<LPOLESTR>(description.c_str()));
    auto info = create.query<IErrorInfo>(IID_IErrorInfo);
    SetErrorInfo(0, info.get());
}

std::string trimmed(std::string text) {
    while (!text.empty() &&
           (text.back() == '\n' || text.back() == '\r' || text.back() == ' ' || text.back() == '.'))
        text.pop_back();
    return text;
}

}  // namespace

HRESULT report_current_exception(const ErrorOrigin& origin, EXCEPINFO* excepinfo) noexcept {
    HRESULT hr = E_FAIL;
    std::wstring description;
    try {
        try {
            throw;
        } catch (const AutomationError& e) {
            hr = static_cast<HRESULT>(e.hresult());
            description = widen(e.description());
        } catch (const std::bad_alloc&) {
            hr = E_OUTOFMEMORY;
            description = L"Out of memory";
        } catch (const std::exception& e) {
            hr = E_FAIL;
            description = widen(e.what());
        } catch (...) {
            hr = E_UNEXPECTED;
            description = L"Unexpected failure";
        }
        // A failure must always read as one, whatever number the error carried.
        if (SUCCEEDED(hr)) hr = E_FAIL;
        set_error_info(origin, description);
        if (!excepinfo) return hr;
        *excepinfo = EXCEPINFO{};
        excepinfo->scode = hr;
        excepinfo->bstrSource = SysAllocString(origin.source);
        excepinfo->bstrDescription = SysAllocString(description.c_str());
        return DISP_E_EXCEPTION;
    } catch (...) {
        // Only allocation can fail here; the HRESULT still tells the caller what happened.
        return hr;
    }
}

int32_t error_number(HRESULT hr) {
    if ((hr & kFacilityControlMask) == kFacilityControlBase) return HRESULT_CODE(hr);
    return static_cast<int32_t>(hr);
}

std::string hresult_description(HRESULT hr) {
    switch (hr) {
        case DISP_E_MEMBERNOTFOUND:
            return "Member not found";
        case DISP_E_BADPARAMCOUNT:
            return "Invalid number of parameters";
        case DISP_E_TYPEMISMATCH:
            return "Type mismatch";
        case DISP_E_OVERFLOW:
            return "Overflow";
        case DISP_E_UNKNOWNNAME:
            return "Unknown name";
        case E_NOINTERFACE:
            return "No such interface supported";
        default:
            break;
    }
    if ((hr & kFacilityControlMask) == kFacilityControlBase)
        return runtime_error_description(HRESULT_CODE(hr));
    wchar_t* text = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, static_cast<DWORD>(hr), 0, reinterpret_cast<LPWSTR>(&text), 0, nullptr);
    const ScopedLocalText buffer(text);
    if (length == 0 || !buffer) return "Automation error";
    std::string result = trimmed(narrow(buffer.get(), length));
    return result.empty() ? "Automation error" : result;
}

void raise_failure(HRESULT hr, std::string description) {
    throw AutomationError(error_number(hr), static_cast<uint32_t>(hr), std::move(description));
}

void raise_call_failure(HRESULT hr, IUnknown* object, const IID& iid, EXCEPINFO* excepinfo) {
    if (hr == DISP_E_EXCEPTION && excepinfo) {
        if (excepinfo->pfnDeferredFillIn) excepinfo->pfnDeferredFillIn(excepinfo);
        ScopedBstr description;
        description.reset(std::exchange(excepinfo->bstrDescription, nullptr));
        ScopedBstr source;
        source.reset(std::exchange(excepinfo->bstrSource, nullptr));
        ScopedBstr help;
        help.reset(std::exchange(excepinfo->bstrHelpFile, nullptr));
        // A server reports either a Visual Basic error number or an SCODE, not both.
        const HRESULT code = excepinfo->scode != 0
                                 ? excepinfo->scode
                                 : kFacilityControlBase + static_cast<HRESULT>(excepinfo->wCode);
        std::string text = narrow_bstr(description.get());
        if (text.empty()) text = hresult_description(code);
        raise_failure(code, std::move(text));
    }
    // The thread's error information is the failed call's only when the object says it
    // reports through it for that interface.
    if (object) {
        auto support =
            ComPtr<IUnknown>::share(object).query<ISupportErrorInfo>(IID_ISupportErrorInfo);
        if (support && support->InterfaceSupportsErrorInfo(iid) == S_OK) raise_thread_failure(hr);
    }
    raise_failure(hr, hresult_description(hr));
}

std::string thread_failure_text(HRESULT hr) {
    ComPtr<IErrorInfo> info;
    ScopedBstr description;
    if (GetErrorInfo(0, info.out()) == S_OK && info &&
        SUCCEEDED(info->GetDescription(description.out())) && description.length() > 0)
        return narrow_bstr(description.get());
    return hresult_description(hr);
}

void raise_thread_failure(HRESULT hr) {
    raise_failure(hr, thread_failure_text(hr));
}

}  // namespace czqic::win
