#include "win/com/registration.h"

#include <olectl.h>

#include <algorithm>
#include <cwchar>

#include "platform/win32/com_error.h"
#include "platform/win32/convert.h"
#include "platform/win32/module.h"
#include "win/com/class_factory.h"

namespace czqic::win {
namespace {

void check_status(LSTATUS status, const char* what) {
    if (status != ERROR_SUCCESS) check(HRESULT_FROM_WIN32(status), what);
}

void set_value(const std::wstring& key_path, const wchar_t* name, const std::wstring& data) {
    ScopedHKey key;
    check_status(
        RegCreateKeyExW(HKEY_CLASSES_ROOT, key_path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_SET_VALUE, nullptr, key.out(), nullptr),
        "creating a registry key");
    const auto bytes = static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t));
    check_status(RegSetValueExW(key.get(), name, 0, REG_SZ,
                                reinterpret_cast<const BYTE*>(data.c_str()), bytes),
                 "writing a registry value");
}

void delete_tree(const std::wstring& key_path) {
    const LSTATUS status = RegDeleteTreeW(HKEY_CLASSES_ROOT, key_path.c_str());
    if (status == ERROR_FILE_NOT_FOUND) return;  // never registered, or removed already
    check_status(status, "removing a registry key");
    // RegDeleteTree empties the key; the key itself goes separately.
    const LSTATUS gone = RegDeleteKeyW(HKEY_CLASSES_ROOT, key_path.c_str());
    if (gone != ERROR_FILE_NOT_FOUND) check_status(gone, "removing a registry key");
}

}  // namespace

ComPtr<ITypeLib> load_module_type_library(HMODULE module) {
    ComPtr<ITypeLib> library;
    check(LoadTypeLibEx(module_path(module).c_str(), REGKIND_NONE, library.out()),
          "loading the type library");
    return library;
}

ComPtr<ITypeInfo> type_info_of(ITypeLib* library, const GUID& guid) {
    ComPtr<ITypeInfo> info;
    check(library->GetTypeInfoOfGuid(guid, info.out()), "finding a type description");
    return info;
}

namespace {

void register_server(HMODULE module, std::span<const ServerClass> classes) {
    const std::wstring path = module_path(module);
    auto library = load_module_type_library(module);
    TLIBATTR* attr = nullptr;
    check(library->GetLibAttr(&attr), "reading the type library");
    const std::wstring libid = guid_text(attr->guid);
    const std::wstring version =
        std::to_wstring(attr->wMajorVerNum) + L"." + std::to_wstring(attr->wMinorVerNum);
    library->ReleaseTLibAttr(attr);

    for (const ServerClass& c : classes) {
        const std::wstring key = L"CLSID\\" + guid_text(c.clsid);
        set_value(key, nullptr, c.description);
        set_value(key + L"\\InprocServer32", nullptr, path);
        set_value(key + L"\\InprocServer32", L"ThreadingModel", L"Apartment");
        set_value(key + L"\\ProgID", nullptr, c.progid);
        set_value(key + L"\\TypeLib", nullptr, libid);
        set_value(key + L"\\Version", nullptr, version);
        set_value(c.progid, nullptr, c.description);
        set_value(std::wstring(c.progid) + L"\\CLSID", nullptr, guid_text(c.clsid));
    }
    std::wstring writable_path = path;  // the API takes a non-const string it does not change
    check(RegisterTypeLib(library.get(), writable_path.data(), nullptr),
          "registering the type library");
}

// Whether HKCR\TypeLib\{libid}\major.minor\lcid\<win32|win64> exists.
bool type_library_registered(const TLIBATTR& attr) {
    wchar_t version[32];
    std::swprintf(version, 32, L"%x.%x\\%lx\\%ls", attr.wMajorVerNum, attr.wMinorVerNum,
                  static_cast<unsigned long>(attr.lcid),
                  attr.syskind == SYS_WIN64 ? L"win64" : L"win32");
    const std::wstring key = L"TypeLib\\" + guid_text(attr.guid) + L"\\" + version;
    ScopedHKey found;
    return RegOpenKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, found.out()) == ERROR_SUCCESS;
}

void unregister_server(HMODULE module, std::span<const ServerClass> classes) {
    auto library = load_module_type_library(module);
    TLIBATTR* attr = nullptr;
    check(library->GetLibAttr(&attr), "reading the type library");
    const TLIBATTR copy = *attr;
    library->ReleaseTLibAttr(attr);
    library.reset();

    for (const ServerClass& c : classes) {
        delete_tree(L"CLSID\\" + guid_text(c.clsid));
        delete_tree(c.progid);
    }
    // Unregistering what is not registered is not an error: asked only when this module's
    // library version is registered for this architecture, so a second unregistration
    // (which oleaut32 answers with E_INVALIDARG) succeeds.
    if (!type_library_registered(copy)) return;
    const HRESULT hr =
        UnRegisterTypeLib(copy.guid, copy.wMajorVerNum, copy.wMinorVerNum, copy.lcid, copy.syskind);
    if (hr != TYPE_E_REGISTRYACCESS && hr != TYPE_E_CANTLOADLIBRARY)
        check(hr, "unregistering the type library");
}

}  // namespace

HRESULT server_class_object(std::span<const ServerClass> classes, REFCLSID clsid, REFIID iid,
                            void** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    auto found =
        std::ranges::find_if(classes, [&](const ServerClass& c) { return c.clsid == clsid; });
    if (found == classes.end()) return CLASS_E_CLASSNOTAVAILABLE;
    return hand_out(new ClassFactory(found->create), iid, out);
}

HRESULT server_can_unload(bool (*held_elsewhere)()) {
    if (!ServerCounts::idle()) return S_FALSE;
    return held_elsewhere && held_elsewhere() ? S_FALSE : S_OK;
}

BOOL server_dll_main(DWORD reason, void* reserved, bool (*release_current)()) {
    switch (reason) {
        case DLL_THREAD_DETACH:
            release_current();
            break;
        case DLL_PROCESS_DETACH:
            if (!reserved) release_current();  // FreeLibrary, not process exit
            break;
        default:
            break;
    }
    return TRUE;
}

HRESULT server_register(std::span<const ServerClass> classes, const wchar_t* source) {
    return com_boundary({IID_NULL, source}, nullptr,
                        [&] { register_server(this_module(), classes); });
}

HRESULT server_unregister(std::span<const ServerClass> classes, const wchar_t* source) {
    return com_boundary({IID_NULL, source}, nullptr,
                        [&] { unregister_server(this_module(), classes); });
}

}  // namespace czqic::win
