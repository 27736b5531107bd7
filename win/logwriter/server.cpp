// QorLogWriter.dll: the log writer the component creates by its class identifier. Each
// WriteLog appends one timestamped, tagged line to the file named by the path, creating
// the folders on the way. With CZQIC_LOG_ECHO=stdout every message is also echoed to
// standard output as "log: MESSAGE", which is what czqic.exe's --log - shows.
#include <windows.h>

#include <olectl.h>

#include <cstdio>
#include <string>

#include "QorLogWriter.h"
#include "platform/win32/com_error.h"
#include "platform/win32/console.h"
#include "platform/win32/convert.h"
#include "platform/win32/dispatch_object.h"
#include "platform/win32/module.h"
#include "win/com/class_factory.h"
#include "win/com/registration.h"

namespace {

using namespace czqic;
using namespace czqic::win;

constexpr wchar_t kSource[] = L"QorLog.LogWriter";
const ErrorOrigin kOrigin{IID__LogWriter, kSource};
constexpr int32_t kPathFileAccessError = 75;

[[noreturn]] void file_error(const std::wstring& path, const char* what) {
    raise_runtime_error(kPathFileAccessError,
                        "Path/File access error: " + narrow(path) + ": " + what + ": " +
                            hresult_description(HRESULT_FROM_WIN32(GetLastError())));
}

void create_folders(const std::wstring& path) {
    // Every folder above the file, from the root down; existing ones are fine.
    for (size_t at = path.find_first_of(L"\\/", 3); at != std::wstring::npos;
         at = path.find_first_of(L"\\/", at + 1)) {
        const std::wstring folder = path.substr(0, at);
        if (!CreateDirectoryW(folder.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
            file_error(folder, "cannot create the folder");
    }
}

void append_line(const std::wstring& path, const std::string& line) {
    create_folders(path);
    ScopedHandle file(CreateFileW(path.c_str(), FILE_APPEND_DATA,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid()) file_error(path, "cannot open the file");
    DWORD written = 0;
    if (!WriteFile(file.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr) ||
        written != line.size())
        file_error(path, "cannot write the file");
}

std::string timestamp() {
    SYSTEMTIME now{};
    GetLocalTime(&now);
    char text[32];
    std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u.%03u", now.wYear, now.wMonth,
                  now.wDay, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds);
    return text;
}

class LogWriterObject final : public ComObject<TypedDispatch<_LogWriter>, ISupportErrorInfo> {
  public:
    LogWriterObject(ComPtr<ITypeInfo> info, ComPtr<ITypeInfo> vtable_info)
        : info_(std::move(info)), vtable_info_(std::move(vtable_info)) {}

    // Late-bound callers are served by the type information calling our own slots.
    STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                        EXCEPINFO* excepinfo, UINT* bad_argument) override {
        return DispInvoke(static_cast<_LogWriter*>(this), vtable_info_.get(), id, flags, params,
                          result, excepinfo, bad_argument);
    }

    STDMETHODIMP WriteLog(BSTR path, BSTR message, BSTR tag, LONG* result) override {
        if (!result) return E_POINTER;
        *result = 0;
        return com_boundary(kOrigin, nullptr, [&] {
            const std::string text = narrow_bstr(message);
            append_line(std::wstring(path ? path : L""),
                        timestamp() + " [" + narrow_bstr(tag) + "] " + text + "\r\n");
            if (environment_is(L"CZQIC_LOG_ECHO", L"stdout"))
                write_line(STD_OUTPUT_HANDLE, "log: " + text);
        });
    }

    STDMETHODIMP InterfaceSupportsErrorInfo(REFIID iid) override {
        return iid == IID__LogWriter ? S_OK : S_FALSE;
    }

  private:
    ITypeInfo* dispatch_info() override { return info_.get(); }
    IUnknown* find_interface(REFIID iid) override {
        if (iid == IID_IUnknown || iid == IID_IDispatch || iid == IID__LogWriter)
            return static_cast<_LogWriter*>(this);
        if (iid == IID_ISupportErrorInfo) return static_cast<ISupportErrorInfo*>(this);
        return nullptr;
    }
    ComPtr<ITypeInfo> info_;         // the dispatch side, as clients see it
    ComPtr<ITypeInfo> vtable_info_;  // the slots DispInvoke calls
};

HRESULT create_log_writer(REFIID iid, void** out) {
    return com_boundary({IID_IClassFactory, kSource}, nullptr, [&] {
        auto library = load_module_type_library(this_module());
        auto info = type_info_of(library.get(), IID__LogWriter);
        HREFTYPE ref;
        ComPtr<ITypeInfo> vtable_info;
        // Index -1 of a dual interface's dispatch description is its vtable description.
        check(info->GetRefTypeOfImplType(static_cast<UINT>(-1), &ref), "reading the type library");
        check(info->GetRefTypeInfo(ref, vtable_info.out()), "reading the type library");
        check(hand_out(new LogWriterObject(std::move(info), std::move(vtable_info)), iid, out),
              "LogWriter");
    });
}

const ServerClass kClasses[] = {
    {CLSID_LogWriter, L"LogWriter", L"QorLog.LogWriter", create_log_writer},
};

}  // namespace

STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, void** out) {
    return server_class_object(kClasses, clsid, iid, out);
}

STDAPI DllCanUnloadNow() {
    return server_can_unload();
}

STDAPI DllRegisterServer() {
    return server_register(kClasses, kSource);
}

STDAPI DllUnregisterServer() {
    return server_unregister(kClasses, kSource);
}
