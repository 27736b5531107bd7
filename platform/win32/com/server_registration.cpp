#include "platform/win32/com/server_registration.h"

#include <olectl.h>

#include <algorithm>
#include <cwchar>
#include <vector>

#include "platform/win32/com/convert.h"
#include "platform/win32/com/error.h"
#include "platform/win32/module.h"

namespace czqic::win {
namespace {

void check_status(LSTATUS status, const char* what) {
    if (status != ERROR_SUCCESS) check(HRESULT_FROM_WIN32(status), what);
}

void set_value(const std::wstring& key_path, const wchar_t* name, const std::wstring& data) {
    ScopedHKey key;
    check_status(
        RegCreateKeyExW(HKEY_CLASSES_ROOT, key_path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_SET_VALUE, nullptr, out_param(key), nullptr),
        "creating a registry key");
    const auto bytes = static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t));
    check_status(RegSetValueExW(key.get(), name, 0, REG_SZ,
                                reinterpret_cast<const BYTE*>(data.c_str()), bytes),
                 "writing a registry value");
}

// Removes the key and everything below it in the given registry view (0: the process's).
void delete_tree(const std::wstring& key_path, REGSAM view = 0) {
    {
        ScopedHKey key;
        const LSTATUS status =
            RegOpenKeyExW(HKEY_CLASSES_ROOT, key_path.c_str(), 0,
                          DELETE | KEY_ENUMERATE_SUB_KEYS | KEY_QUERY_VALUE | KEY_SET_VALUE | view,
                          out_param(key));
        if (status == ERROR_FILE_NOT_FOUND) return;  // never registered, or removed already
        check_status(status, "removing a registry key");
        check_status(RegDeleteTreeW(key.get(), nullptr), "removing a registry key");
    }
    // RegDeleteTree empties the key; the key itself goes separately.
    const LSTATUS gone = RegDeleteKeyExW(HKEY_CLASSES_ROOT, key_path.c_str(), view, 0);
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

// The type library's own attributes, copied out of what it lends.
TLIBATTR library_attributes(ITypeLib* library) {
    TLIBATTR* raw = nullptr;
    check(library->GetLibAttr(&raw), "reading the type library");
    const ScopedLibAttr attr(library, raw);
    return *attr.get();
}

}  // namespace

void register_server(HMODULE module, std::span<const ServerClass> classes) {
    const std::wstring path = module_path(module);
    auto library = load_module_type_library(module);
    const TLIBATTR attr = library_attributes(library.get());
    const std::wstring libid = guid_text(attr.guid);
    const std::wstring version =
        std::to_wstring(attr.wMajorVerNum) + L"." + std::to_wstring(attr.wMinorVerNum);

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

namespace {

// HKCR\TypeLib\{libid}\major.minor\lcid\<win32|win64>: the library's path for one
// architecture, the only part of the library's keys that belongs to one.
std::wstring type_library_path_key(const TLIBATTR& attr) {
    wchar_t version[32];
    std::swprintf(version, 32, L"%x.%x\\%lx\\%ls", attr.wMajorVerNum, attr.wMinorVerNum,
                  static_cast<unsigned long>(attr.lcid),
                  attr.syskind == SYS_WIN64 ? L"win64" : L"win32");
    return L"TypeLib\\" + guid_text(attr.guid) + L"\\" + version;
}

bool key_exists(const std::wstring& key_path, REGSAM view = 0) {
    ScopedHKey found;
    return RegOpenKeyExW(HKEY_CLASSES_ROOT, key_path.c_str(), 0, KEY_READ | view,
                         out_param(found)) == ERROR_SUCCESS;
}

// Classes live in a registry view per architecture; ProgIDs and type libraries are
// shared by both. Whether the other architecture's build of this server still has the
// class registered (on 32-bit Windows there is one view, where ours is already gone).
bool registered_in_other_view(const CLSID& clsid) {
#ifdef _WIN64
    constexpr REGSAM other_view = KEY_WOW64_32KEY;
#else
    constexpr REGSAM other_view = KEY_WOW64_64KEY;
#endif
    return key_exists(L"CLSID\\" + guid_text(clsid) + L"\\InprocServer32", other_view);
}

// The interfaces registering the library writes under HKCR\Interface (a key each view
// has its own of): its dispinterfaces and its dual or automation interfaces.
std::vector<GUID> registered_interfaces(ITypeLib* library) {
    std::vector<GUID> found;
    for (UINT i = 0, count = library->GetTypeInfoCount(); i < count; ++i) {
        ComPtr<ITypeInfo> info;
        check(library->GetTypeInfo(i, info.out()), "reading the type library");
        TYPEATTR* raw = nullptr;
        check(info->GetTypeAttr(&raw), "reading the type library");
        const ScopedTypeAttr attr(info.get(), raw);
        if (attr->typekind == TKIND_DISPATCH ||
            (attr->typekind == TKIND_INTERFACE &&
             (attr->wTypeFlags & (TYPEFLAG_FOLEAUTOMATION | TYPEFLAG_FDUAL))))
            found.push_back(attr->guid);
    }
    return found;
}

}  // namespace

void unregister_server(HMODULE module, std::span<const ServerClass> classes) {
    auto library = load_module_type_library(module);
    const TLIBATTR copy = library_attributes(library.get());
    const std::vector<GUID> interfaces = registered_interfaces(library.get());
    library.reset();

    bool shared_in_use = false;
    for (const ServerClass& c : classes) {
        delete_tree(L"CLSID\\" + guid_text(c.clsid));
        // Removing the ProgID from under the other architecture's class would leave its
        // clients unable to create it by name. With no class left in either view it goes
        // from both: Windows shares it, older WOW64 registries (and Wine's) keep one per
        // view, and the other build's unregistration may have had to leave its own.
        if (registered_in_other_view(c.clsid)) {
            shared_in_use = true;
        } else {
            delete_tree(c.progid, KEY_WOW64_64KEY);
            delete_tree(c.progid, KEY_WOW64_32KEY);
        }
    }
    const std::wstring path_key = type_library_path_key(copy);
    if (shared_in_use) {
        // Only this architecture's part goes: its path of the library and this view's
        // interface keys. The library's own keys still serve the other architecture.
        delete_tree(path_key);
        for (const GUID& iid : interfaces) delete_tree(L"Interface\\" + guid_text(iid));
        return;
    }
    // Unregistering what is not registered is not an error: asked only when this module's
    // library version is registered for this architecture, so a second unregistration
    // (which oleaut32 answers with E_INVALIDARG) succeeds.
    if (!key_exists(path_key)) return;
    const HRESULT hr =
        UnRegisterTypeLib(copy.guid, copy.wMajorVerNum, copy.wMinorVerNum, copy.lcid, copy.syskind);
    if (hr != TYPE_E_REGISTRYACCESS && hr != TYPE_E_CANTLOADLIBRARY)
        check(hr, "unregistering the type library");
}

}  // namespace czqic::win
