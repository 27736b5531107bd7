#include "win/czqic/win_host.h"

#include <algorithm>

#include "component/members.h"
#include "platform/text.h"
#include "platform/win32/com/client.h"
#include "platform/win32/com/convert.h"
#include "platform/win32/com/error.h"
#include "tools/cli/session.h"

namespace czqic::cli {
namespace {

using win::ComPtr;
using win::ScopedBstr;
using win::ScopedVariant;

// Member names are ASCII, and the type library's match GetIDsOfNames's rule: case aside.
std::string upper(std::string_view text) {
    std::string result(text);
    std::ranges::transform(result, result.begin(), ascii_upper<char>);
    return result;
}

std::wstring registry_text(const std::wstring& key) {
    wchar_t value[1024] = {};
    DWORD size = sizeof value;
    if (RegGetValueW(HKEY_CLASSES_ROOT, key.c_str(), nullptr, RRF_RT_REG_SZ, nullptr, value,
                     &size) != ERROR_SUCCESS)
        return {};
    return value;
}

[[noreturn]] void not_registered(const std::string& why) {
    throw UsageError(std::string(kProgId) + " cannot be used: " + why);
}

// The registered type library's description of the class's default interface, read
// without creating an object (creating one would already talk to the device).
ComPtr<ITypeInfo> default_interface_info() {
    CLSID clsid{};
    if (FAILED(CLSIDFromProgID(win::widen(kProgId).c_str(), &clsid)))
        not_registered("the class is not registered");
    const std::wstring key = L"CLSID\\" + win::guid_text(clsid);
    const std::wstring libid_text = registry_text(key + L"\\TypeLib");
    const std::wstring version = registry_text(key + L"\\Version");
    GUID libid{};
    if (libid_text.empty() || FAILED(CLSIDFromString(libid_text.c_str(), &libid)))
        not_registered("its type library is not registered");
    WORD major = 1, minor = 0;
    if (const size_t dot = version.find(L'.'); dot != std::wstring::npos) {
        major = static_cast<WORD>(std::stoi(version.substr(0, dot)));
        minor = static_cast<WORD>(std::stoi(version.substr(dot + 1)));
    }
    ComPtr<ITypeLib> library;
    ComPtr<ITypeInfo> coclass;
    if (FAILED(LoadRegTypeLib(libid, major, minor, LOCALE_NEUTRAL, library.out())) ||
        FAILED(library->GetTypeInfoOfGuid(clsid, coclass.out())))
        not_registered("its type library cannot be loaded");
    TYPEATTR* raw = nullptr;
    if (FAILED(coclass->GetTypeAttr(&raw))) not_registered("its type library cannot be read");
    const win::ScopedTypeAttr attr(coclass.get(), raw);
    for (UINT i = 0; i < attr->cImplTypes; ++i) {
        INT flags = 0;
        HREFTYPE ref;
        ComPtr<ITypeInfo> info;
        if (FAILED(coclass->GetImplTypeFlags(i, &flags)) || !(flags & IMPLTYPEFLAG_FDEFAULT) ||
            (flags & IMPLTYPEFLAG_FSOURCE))
            continue;
        if (SUCCEEDED(coclass->GetRefTypeOfImplType(i, &ref)) &&
            SUCCEEDED(coclass->GetRefTypeInfo(ref, info.out())))
            return info;
    }
    not_registered("its type library names no default interface");
}

}  // namespace

WinHost::WinHost() : NumberedHost(sim_console_), clock_(make_real_clock()), loop_(*clock_) {}

WinHost::~WinHost() {
    release_all();
    sim_console_.release();
    // The panel's form and windows go before the library can.
    if (panel_) panel_->release();
}

const WinHost::PanelExports& WinHost::panel() {
    if (panel_) return *panel_;
    const CLSID clsid = win::class_id_of(kProgId);
    const std::wstring path =
        registry_text(L"CLSID\\" + win::guid_text(clsid) + L"\\InprocServer32");
    if (path.empty()) not_registered("its server is not registered in process");
    component_module_.reset(LoadLibraryW(path.c_str()));
    if (!component_module_) not_registered("its server cannot be loaded");
    auto find = [&](const char* name) {
        FARPROC found = GetProcAddress(component_module_.get(), name);
        if (!found) not_registered(std::string("its server has no ") + name);
        // Through void(*)() as any exported function must be, typed by its declaration.
        return reinterpret_cast<void (*)()>(found);
    };
    PanelExports exports{};
    exports.click = reinterpret_cast<decltype(exports.click)>(find("CzqicPanelClick"));
    exports.get_text = reinterpret_cast<decltype(exports.get_text)>(find("CzqicPanelGetText"));
    exports.set_text = reinterpret_cast<decltype(exports.set_text)>(find("CzqicPanelSetText"));
    exports.release = reinterpret_cast<decltype(exports.release)>(find("CzqicPanelRelease"));
    panel_ = exports;
    return *panel_;
}

IDispatch* WinHost::SimConsole::console() {
    if (!console_) {
        const CLSID clsid = win::class_id_of(kSimConsoleProgId);
        const HRESULT hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                                            console_.out_void());
        if (FAILED(hr)) win::raise_call_failure(hr, nullptr, IID_IClassFactory);
    }
    return console_.get();
}

std::optional<std::string> WinHost::SimConsole::scenario_problem() {
    try {
        const std::string problem =
            to_string(call_by_name(console(), "ScenarioError", InvokeKind::PropertyGet, {}));
        if (problem.empty()) return std::nullopt;
        return problem;
    } catch (const AutomationError& e) {
        return "cannot be loaded: the simulated reader is not available: " + e.description();
    }
}

void WinHost::load_shapes() {
    if (shapes_) return;
    auto info = default_interface_info();
    TYPEATTR* raw = nullptr;
    if (FAILED(info->GetTypeAttr(&raw))) not_registered("its type library cannot be read");
    const win::ScopedTypeAttr attr(info.get(), raw);
    std::map<std::string, MemberShape> shapes;
    for (UINT i = 0; i < attr->cFuncs; ++i) {
        FUNCDESC* desc = nullptr;
        if (FAILED(info->GetFuncDesc(i, &desc))) continue;
        const win::ScopedFuncDesc func(info.get(), desc);
        ScopedBstr name;
        UINT count = 0;
        if (FAILED(info->GetNames(func->memid, name.out(), 1, &count)) || count == 0) continue;
        // IDispatch's own members are not the class's.
        if (func->wFuncFlags & FUNCFLAG_FRESTRICTED) continue;
        MemberShape& shape = shapes[upper(win::narrow_bstr(name.get()))];
        switch (func->invkind) {
            case INVOKE_FUNC:
                shape.method = true;
                break;
            case INVOKE_PROPERTYGET:
                shape.get = true;
                break;
            case INVOKE_PROPERTYPUT:
            case INVOKE_PROPERTYPUTREF:
                shape.let = true;
                shape.let_type = func->cParams > 0 && func->lprgelemdescParam[0].tdesc.vt == VT_I4
                                     ? ArgType::Long
                                     : ArgType::String;
                break;
        }
    }
    shapes_ = std::move(shapes);
}

std::optional<MemberShape> WinHost::member(std::string_view name) {
    load_shapes();
    auto it = shapes_->find(upper(name));
    if (it == shapes_->end()) return std::nullopt;
    return it->second;
}

std::optional<std::string> WinHost::SimConsole::check_set(std::string_view key,
                                                          std::string_view value) {
    try {
        Value args[] = {Value(std::string(key)), Value(std::string(value))};
        const std::string problem =
            to_string(call_by_name(console(), "CheckState", InvokeKind::Method, args));
        if (problem.empty()) return std::nullopt;
        return problem;
    } catch (const AutomationError& e) {
        return e.description();
    }
}

// The test panel is the component's hidden form, reached through its server's exports.
void WinHost::panel_click(std::string_view button) {
    const HRESULT hr = panel().click(win::widen(button).c_str());
    if (FAILED(hr)) win::raise_thread_failure(hr);
}

std::string WinHost::panel_read(std::string_view text_box) {
    ScopedBstr text;
    const HRESULT hr = panel().get_text(win::widen(text_box).c_str(), text.out());
    if (FAILED(hr)) win::raise_thread_failure(hr);
    return win::narrow_bstr(text.get());
}

void WinHost::panel_write(std::string_view text_box, std::string_view text) {
    const HRESULT hr = panel().set_text(win::widen(text_box).c_str(), win::widen(text).c_str());
    if (FAILED(hr)) win::raise_thread_failure(hr);
}

ComPtr<IDispatch> WinHost::new_object() {
    const CLSID clsid = win::class_id_of(kProgId);
    ComPtr<IDispatch> object;
    const HRESULT hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER,
                                        IID_IDispatch, object.out_void());
    if (FAILED(hr)) win::raise_thread_failure(hr);
    return object;
}

Value WinHost::call_by_name(IDispatch* object, std::string_view name, InvokeKind kind,
                            std::span<Value> args) {
    std::wstring wide = win::widen(name);
    LPOLESTR names[] = {wide.data()};
    DISPID id = DISPID_UNKNOWN;
    const HRESULT found = object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
    if (FAILED(found)) win::raise_call_failure(found, object, IID_IDispatch);
    WORD flags = DISPATCH_METHOD;
    if (kind == InvokeKind::PropertyGet) flags = DISPATCH_PROPERTYGET;
    if (kind == InvokeKind::PropertyPut) flags = DISPATCH_PROPERTYPUT;
    win::OutgoingArgs outgoing(args, kind == InvokeKind::PropertyPut);
    ScopedVariant result;
    EXCEPINFO excepinfo{};
    UINT bad_argument = 0;
    const HRESULT hr = object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, outgoing.params(),
                                      result.out(), &excepinfo, &bad_argument);
    if (FAILED(hr)) win::raise_call_failure(hr, object, IID_IDispatch, &excepinfo);
    outgoing.write_back();
    return win::variant_to_value(result.get());
}

void WinHost::SimConsole::raise(std::string_view event, std::optional<Value> data) {
    Value args[] = {Value(std::string(event)), data ? *data : Value()};
    call_by_name(console(), "Fire", InvokeKind::Method, args);
}

void WinHost::SimConsole::set(std::string_view key, std::string_view value) {
    Value args[] = {Value(std::string(key)), Value(std::string(value))};
    call_by_name(console(), "SetState", InvokeKind::Method, args);
}

}  // namespace czqic::cli
