// QorLogWriter.dll: the log writer the component creates by its class identifier. Each
// WriteLog appends one timestamped, tagged line to the file named by the path, creating
// the folders on the way, by the same line rule and with the same errors as the Linux
// writer (log/log_line.h), card-holder data masked (log/card_data.h), one file a day
// (log/log_files.h). With CZQIC_LOG_ECHO=stdout every message is also echoed, as stored,
// to standard output as "log: MESSAGE", which is what czqic.exe's --log - shows.
#include <windows.h>

#include <olectl.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "QorLogWriter.h"
#include "log/card_data.h"
#include "log/log_files.h"
#include "log/log_line.h"
#include "platform/win32/com/convert.h"
#include "platform/win32/com/error.h"
#include "platform/win32/com/server_class_factory.h"
#include "platform/win32/com/server_exports.h"
#include "platform/win32/com/server_registration.h"
#include "platform/win32/com/typed_dispatch.h"
#include "platform/win32/console.h"
#include "platform/win32/module.h"

namespace {

using namespace czqic;
using namespace czqic::win;

constexpr wchar_t kSource[] = L"QorLog.LogWriter";
const ErrorOrigin kOrigin{IID__LogWriter, kSource};

std::string reason(DWORD error) {
    return hresult_description(HRESULT_FROM_WIN32(error));
}

[[noreturn]] void access_error(const std::wstring& path, const char* what) {
    raise_log_error(log_error::kPathFileAccess,
                    std::string(what) + " " + narrow(path) + ": " + reason(GetLastError()));
}

[[noreturn]] void write_error(const std::wstring& path, DWORD error) {
    const bool full = error == ERROR_DISK_FULL || error == ERROR_HANDLE_DISK_FULL;
    raise_log_error(full ? log_error::kDiskFull : log_error::kDeviceIo,
                    "cannot write " + narrow(path) + ": " + reason(error));
}

void create_folders(const std::wstring& path) {
    // Every folder above the file, from the root down; existing ones are fine.
    for (size_t at = path.find_first_of(L"\\/", 3); at != std::wstring::npos;
         at = path.find_first_of(L"\\/", at + 1)) {
        const std::wstring folder = path.substr(0, at);
        if (!CreateDirectoryW(folder.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
            access_error(folder, "cannot create folder");
    }
}

// Holds the whole file locked while a line goes in and, if the write fails, while it is
// taken back out: writers in other processes append only between whole lines.
class ScopedFileLock {
  public:
    explicit ScopedFileLock(HANDLE file) : file_(file) {
        locked_ = LockFileEx(file_, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &overlapped_);
    }
    ~ScopedFileLock() {
        if (locked_) UnlockFileEx(file_, 0, MAXDWORD, MAXDWORD, &overlapped_);
    }
    ScopedFileLock(const ScopedFileLock&) = delete;  // one lock, released once
    ScopedFileLock& operator=(const ScopedFileLock&) = delete;
    bool locked() const { return locked_ != FALSE; }

  private:
    HANDLE file_;
    OVERLAPPED overlapped_{};
    BOOL locked_ = FALSE;
};

std::optional<LogDate> local_date(const FILETIME& utc) {
    FILETIME local{};
    SYSTEMTIME day{};
    if (!FileTimeToLocalFileTime(&utc, &local) || !FileTimeToSystemTime(&local, &day))
        return std::nullopt;
    return LogDate{day.wYear, day.wMonth, day.wDay};
}

// The log file as the path names it, opened for one line and held under LockFileEx,
// which every writer process takes before it touches the file. Opened with
// FILE_SHARE_DELETE so that the writer holding the lock can rename it at a new day while
// others have it open.
class Win32LogFile final : public LogFile {
  public:
    explicit Win32LogFile(std::wstring path) : path_(std::move(path)) {
        const size_t slash = path_.find_last_of(L"\\/");
        folder_ = slash == std::wstring::npos ? std::wstring() : path_.substr(0, slash + 1);
        name_ = path_.substr(folder_.size());
    }

    void open_and_lock() override {
        lock_.reset();
        file_.reset();
        create_folders(path_);
        file_.emplace(CreateFileW(path_.c_str(), GENERIC_READ | GENERIC_WRITE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file_->valid()) access_error(path_, "cannot open");
        lock_.emplace(file_->get());
        if (!lock_->locked()) write_error(path_, GetLastError());
    }

    bool still_named() override {
        BY_HANDLE_FILE_INFORMATION held{}, named{};
        ScopedHandle by_name(CreateFileW(path_.c_str(), FILE_READ_ATTRIBUTES,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                         nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        return by_name.valid() && GetFileInformationByHandle(file_->get(), &held) &&
               GetFileInformationByHandle(by_name.get(), &named) &&
               held.dwVolumeSerialNumber == named.dwVolumeSerialNumber &&
               held.nFileIndexHigh == named.nFileIndexHigh &&
               held.nFileIndexLow == named.nFileIndexLow;
    }
    bool regular() override { return GetFileType(file_->get()) == FILE_TYPE_DISK; }
    uint64_t size() override {
        LARGE_INTEGER size{};
        return GetFileSizeEx(file_->get(), &size) ? static_cast<uint64_t>(size.QuadPart) : 0;
    }
    size_t read_at(uint64_t offset, char* data, size_t length) override {
        size_t done = 0;
        while (done < length) {
            OVERLAPPED at{};
            at.Offset = static_cast<DWORD>(offset + done);
            at.OffsetHigh = static_cast<DWORD>((offset + done) >> 32);
            DWORD read = 0;
            if (!ReadFile(file_->get(), data + done, static_cast<DWORD>(length - done), &read,
                          &at) ||
                read == 0)
                break;
            done += read;
        }
        return done;
    }
    std::optional<LogDate> modified_on() override {
        FILETIME written{};
        if (!GetFileTime(file_->get(), nullptr, nullptr, &written)) return std::nullopt;
        return local_date(written);
    }
    std::string file_name() override { return narrow(name_); }
    bool exists_beside(const std::string& name) override {
        return GetFileAttributesW(beside(name).c_str()) != INVALID_FILE_ATTRIBUTES ||
               GetLastError() != ERROR_FILE_NOT_FOUND;
    }
    bool rename_to(const std::string& name) override {
        return MoveFileExW(path_.c_str(), beside(name).c_str(), 0) != FALSE;
    }

    void append(std::string_view line) override {
        HANDLE file = file_->get();
        LARGE_INTEGER end{};
        if (!SetFilePointerEx(file, LARGE_INTEGER{}, &end, FILE_END))
            write_error(path_, GetLastError());
        // A line cut short (the disk filled up part-way) is taken back out, so the file
        // never holds half a line with the next one glued onto it.
        auto fail_and_undo = [&](DWORD error) {
            if (SetFilePointerEx(file, end, nullptr, FILE_BEGIN)) SetEndOfFile(file);
            write_error(path_, error);
        };
        const char* data = line.data();
        size_t left = line.size();
        while (left > 0) {
            DWORD written = 0;
            if (!WriteFile(file, data, static_cast<DWORD>(left), &written, nullptr))
                fail_and_undo(GetLastError());
            if (written == 0) fail_and_undo(ERROR_WRITE_FAULT);
            data += written;
            left -= written;
        }
    }
    void close() override {
        lock_.reset();
        file_.reset();
    }

    std::optional<std::vector<FolderEntry>> list_folder(
        const std::function<bool(std::string_view name)>& wanted) override {
        WIN32_FIND_DATAW found{};
        ScopedFind search(FindFirstFileW((folder_ + L"*").c_str(), &found));
        if (!search.valid()) return std::nullopt;
        std::vector<FolderEntry> entries;
        do {
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
            const std::string name = narrow(found.cFileName);
            if (wanted(name))
                entries.push_back(
                    {name, static_cast<uint64_t>(found.nFileSizeHigh) << 32 | found.nFileSizeLow});
        } while (FindNextFileW(search.get(), &found));
        if (GetLastError() != ERROR_NO_MORE_FILES) return std::nullopt;
        return entries;
    }
    bool remove_beside(const std::string& name) override {
        return DeleteFileW(beside(name).c_str()) || GetLastError() == ERROR_FILE_NOT_FOUND;
    }

  private:
    std::wstring beside(const std::string& name) const { return folder_ + widen(name); }

    std::wstring path_;
    std::wstring folder_;  // with its final separator; empty for a bare file name
    std::wstring name_;
    std::optional<ScopedHandle> file_;
    std::optional<ScopedFileLock> lock_;  // released before the handle is closed
};

LogTime time_now() {
    SYSTEMTIME now{};
    GetLocalTime(&now);
    return {now.wYear,   now.wMonth,  now.wDay,         now.wHour,
            now.wMinute, now.wSecond, now.wMilliseconds};
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
        return com_boundary(kOrigin, nullptr, [&] {
            if (!result) return E_POINTER;
            *result = 0;
            const std::string stored = stored_log_message(narrow_bstr(message));
            Win32LogFile file(std::wstring(path ? path : L""));
            daily_.write(file, time_now, narrow_bstr(tag), stored, "\r\n");
            if (environment_is(L"CZQIC_LOG_ECHO", L"stdout"))
                write_line(STD_OUTPUT_HANDLE, "log: " + stored);
            return S_OK;
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
    DailyLog daily_;
};

HRESULT create_log_writer(REFIID iid, void** out) {
    auto library = load_module_type_library(this_module());
    auto info = type_info_of(library.get(), IID__LogWriter);
    HREFTYPE ref;
    ComPtr<ITypeInfo> vtable_info;
    // Index -1 of a dual interface's dispatch description is its vtable description.
    check(info->GetRefTypeOfImplType(static_cast<UINT>(-1), &ref), "reading the type library");
    check(info->GetRefTypeInfo(ref, vtable_info.out()), "reading the type library");
    return hand_out(new LogWriterObject(std::move(info), std::move(vtable_info)), iid, out);
}

const ServerClass kClasses[] = {
    {CLSID_LogWriter, L"LogWriter", kSource, "LogWriter", create_log_writer},
};

}  // namespace

const ServerModule& czqic::win::this_server() {
    static const ServerModule server{kClasses, kSource};
    return server;
}
