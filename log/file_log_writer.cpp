#include "log/file_log_writer.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <optional>
#include <system_error>
#include <vector>

#include "log/card_data.h"
#include "log/log_line.h"

namespace czqic {
namespace {

[[noreturn]] void fail_access(std::string_view detail) {
    raise_log_error(log_error::kPathFileAccess, detail);
}

std::string os_reason(int err) {
    return std::system_category().message(err);
}

std::string env(const char* name) {
    const char* value = std::getenv(name);
    return value ? std::string(value) : std::string();
}

// Read on every call: the variables may change between log lines (tests do change them),
// and a log line is rare enough that the lookup costs nothing.
std::string drive_root(std::string_view for_path) {
    std::string root = env("CZQIC_DRIVE_ROOT");
    if (root.empty()) {
        std::string state = env("XDG_STATE_HOME");
        // The XDG rules say a relative value is to be ignored.
        if (!state.empty() && state.front() == '/') root = state + "/czqic";
    }
    if (root.empty()) {
        std::string home = env("HOME");
        if (!home.empty()) root = home + "/.local/state/czqic";
    }
    if (root.empty()) {
        const bool relative_state = !env("XDG_STATE_HOME").empty();
        fail_access("cannot place " + std::string(for_path) +
                    (relative_state
                         ? ": XDG_STATE_HOME is relative, which does not count, and "
                           "neither CZQIC_DRIVE_ROOT nor HOME is set"
                         : ": none of CZQIC_DRIVE_ROOT, XDG_STATE_HOME and HOME is set"));
    }
    while (root.size() > 1 && root.back() == '/') root.pop_back();
    return root;
}

void reject_parent_components(std::string_view original, std::string_view slashed) {
    size_t start = 0;
    while (start <= slashed.size()) {
        size_t end = slashed.find('/', start);
        if (end == std::string_view::npos) end = slashed.size();
        if (slashed.substr(start, end - start) == "..")
            fail_access("cannot open " + std::string(original) +
                        ": \"..\" is not allowed in a log path");
        start = end + 1;
    }
}

// Closes on every path out; close() is checked separately where its result matters,
// since a deferred write error may only surface there.
class FileDescriptor {
  public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    // Closes now; returns 0 or the errno of a failed close. EINTR is not an error here:
    // on Linux the descriptor is gone either way and retrying could close another one.
    int close() {
        int fd = fd_;
        fd_ = -1;
        if (::close(fd) != 0 && errno != EINTR) return errno;
        return 0;
    }

  private:
    int fd_;
};

[[noreturn]] void fail_write(const std::string& file, int err) {
    std::string detail = "cannot write " + file + ": " + os_reason(err);
    raise_log_error(err == ENOSPC || err == EDQUOT ? log_error::kDiskFull : log_error::kDeviceIo,
                    detail);
}

LogTime time_now() {
    auto now = std::chrono::system_clock::now();
    std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000;
    if (ms < 0) ms += 1000;
    std::tm local{};
    localtime_r(&seconds, &local);
    return {local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,       local.tm_hour,
            local.tm_min,         local.tm_sec,     static_cast<int>(ms)};
}

// What may never take a line: a FIFO waits for a reader, a socket or a block device is
// no log. A folder fails the open by itself; a character device (/dev/null, /dev/full)
// answers at once and is kept as a deliberate sink.
bool blocks(const struct stat& st) {
    return S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode) || S_ISBLK(st.st_mode);
}

// The log holds card data and who did what: the owner writes, the group (a log shipper)
// may read, nobody else. Folders that exist already keep their modes.
constexpr mode_t kFileMode = 0640;
constexpr mode_t kFolderMode = 0750;

void create_folders(const std::string& file) {
    const std::string parent = std::filesystem::path(file).parent_path().string();
    struct stat st {};
    if (parent.empty() || (::stat(parent.c_str(), &st) == 0 && S_ISDIR(st.st_mode))) return;
    auto fail = [&](int err) {
        fail_access("cannot create folder " + parent + " for " + file + ": " + os_reason(err));
    };
    // From the top down, making each one that is missing.
    for (size_t at = parent.find('/', 1);; at = parent.find('/', at + 1)) {
        const std::string folder = parent.substr(0, at);
        if (::mkdir(folder.c_str(), kFolderMode) != 0 && errno != EEXIST) fail(errno);
        if (at == std::string::npos) break;
    }
    if (::stat(parent.c_str(), &st) != 0) fail(errno);
    if (!S_ISDIR(st.st_mode)) fail(ENOTDIR);
}

std::optional<LogDate> local_date(time_t when) {
    std::tm local{};
    if (!localtime_r(&when, &local)) return std::nullopt;
    return LogDate{local.tm_year + 1900, local.tm_mon + 1, local.tm_mday};
}

// The log file as the path names it, opened for one line and held under flock, which
// every writer process takes before it touches the file.
class PosixLogFile final : public LogFile {
  public:
    explicit PosixLogFile(std::string file)
        : file_(std::move(file)),
          folder_(std::filesystem::path(file_).parent_path().string()),
          name_(std::filesystem::path(file_).filename().string()) {}

    void open_and_lock() override {
        out_.reset();
        create_folders(file_);
        // A FIFO or a device would block the open or the write for good: only a regular
        // file is a log. Checked before the open, and again on what was opened (without
        // waiting for a reader) in case the path changed in between.
        struct stat named {};
        if (::stat(file_.c_str(), &named) == 0 && blocks(named))
            fail_access("cannot open " + file_ + ": not a regular file");
        int fd;
        do {
            fd = ::open(file_.c_str(),
                        O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, kFileMode);
            // A sink the process may only write (/dev/full for some users): no reading.
            if (fd < 0 && errno == EACCES)
                fd = ::open(file_.c_str(),
                            O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK,
                            kFileMode);
        } while (fd < 0 && errno == EINTR);
        if (fd < 0) fail_access("cannot open " + file_ + ": " + os_reason(errno));
        out_.emplace(fd);
        if (::fstat(fd, &opened_) != 0)
            fail_access("cannot open " + file_ + ": " + os_reason(errno));
        if (blocks(opened_)) fail_access("cannot open " + file_ + ": not a regular file");

        // Other processes append to the same file. Holding the lock from before the size
        // is read until after any repair makes that size the start of this line alone, so
        // cutting back to it removes only this line's part, never another writer's line.
        int locked;
        do {
            locked = ::flock(fd, LOCK_EX);
        } while (locked != 0 && errno == EINTR);
        if (locked != 0) fail_access("cannot lock " + file_ + ": " + os_reason(errno));
    }

    bool still_named() override {
        struct stat named {};
        return ::stat(file_.c_str(), &named) == 0 && named.st_dev == opened_.st_dev &&
               named.st_ino == opened_.st_ino;
    }
    bool regular() override { return S_ISREG(opened_.st_mode); }
    uint64_t size() override {
        struct stat now {};
        return ::fstat(out_->get(), &now) == 0 ? static_cast<uint64_t>(now.st_size) : 0;
    }
    size_t read_at(uint64_t offset, char* data, size_t length) override {
        size_t done = 0;
        while (done < length) {
            const ssize_t n =
                ::pread(out_->get(), data + done, length - done, static_cast<off_t>(offset + done));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            done += static_cast<size_t>(n);
        }
        return done;
    }
    std::optional<LogDate> modified_on() override {
        struct stat now {};
        if (::fstat(out_->get(), &now) != 0) return std::nullopt;
        return local_date(now.st_mtime);
    }
    std::string file_name() override { return name_; }
    bool exists_beside(const std::string& name) override {
        struct stat st {};
        return ::lstat(beside(name).c_str(), &st) == 0 || errno != ENOENT;
    }
    bool rename_to(const std::string& name) override {
        return ::rename(file_.c_str(), beside(name).c_str()) == 0;
    }

    void append(std::string_view line) override {
        // A line cut short (the disk filled up part-way) is taken back out, so the file
        // never holds half a line with the next one glued onto it.
        const int fd = out_->get();
        struct stat before {};
        const bool sized = ::fstat(fd, &before) == 0;
        auto fail_and_undo = [&](int err) {
            if (sized) (void)!::ftruncate(fd, before.st_size);
            fail_write(file_, err);
        };
        const char* data = line.data();
        size_t left = line.size();
        while (left > 0) {
            ssize_t n = ::write(fd, data, left);
            if (n < 0) {
                if (errno == EINTR) continue;
                fail_and_undo(errno);
            }
            // A zero-length write of a non-empty buffer makes no progress; treat it as
            // the device refusing rather than spinning.
            if (n == 0) fail_and_undo(EIO);
            data += n;
            left -= static_cast<size_t>(n);
        }
    }

    void close() override {
        if (!out_) return;
        const int err = out_->close();
        out_.reset();
        if (err != 0) fail_write(file_, err);
    }

    std::optional<std::vector<FolderEntry>> list_folder(
        const std::function<bool(std::string_view name)>& wanted) override {
        std::error_code ec;
        std::filesystem::directory_iterator it(folder_.empty() ? "." : folder_, ec);
        if (ec) return std::nullopt;
        std::vector<FolderEntry> entries;
        for (; it != std::filesystem::directory_iterator(); it.increment(ec)) {
            const std::string name = it->path().filename().string();
            if (!wanted(name)) continue;
            struct stat st {};
            if (::lstat(it->path().c_str(), &st) == 0 && S_ISREG(st.st_mode))
                entries.push_back({name, static_cast<uint64_t>(st.st_size)});
        }
        if (ec) return std::nullopt;
        return entries;
    }
    bool remove_beside(const std::string& name) override {
        return ::unlink(beside(name).c_str()) == 0 || errno == ENOENT;
    }

  private:
    std::string beside(const std::string& name) const {
        return folder_.empty() ? name : folder_ + "/" + name;
    }

    std::string file_;
    std::string folder_;
    std::string name_;
    std::optional<FileDescriptor> out_;
    struct stat opened_ {};
};

}  // namespace

std::string map_drive_path(std::string_view path) {
    if (path.empty()) fail_access("cannot open an empty log path");
    if (path.find('\0') != std::string_view::npos)
        fail_access("cannot open a log path with a NUL character");

    if (path.front() == '/') {
        reject_parent_components(path, path);
        return std::string(path);
    }

    std::string slashed(path);
    for (char& c : slashed)
        if (c == '\\') c = '/';
    reject_parent_components(path, slashed);

    if (slashed.starts_with("//"))
        fail_access("cannot open " + std::string(path) + ": network paths are not supported");

    auto is_letter = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); };
    std::string drive;
    std::string_view rest;
    if (slashed.size() >= 2 && is_letter(slashed[0]) && slashed[1] == ':') {
        drive = std::string(1, static_cast<char>(slashed[0] & ~0x20));
        rest = std::string_view(slashed).substr(2);
    } else if (slashed.front() == '/') {
        // "\dir\file" is the root of the current drive; a process here has no current
        // drive, and C is where such a program would have been started.
        drive = "C";
        rest = slashed;
    } else {
        return slashed;  // relative: the working directory, as on Windows
    }
    while (rest.starts_with('/')) rest.remove_prefix(1);

    std::string mapped = drive_root(path);
    if (mapped != "/") mapped += '/';
    mapped += drive;
    if (!rest.empty()) {
        mapped += '/';
        mapped += rest;
    }
    return mapped;
}

int32_t FileLogWriter::WriteLog(const std::string& path, const std::string& message,
                                const std::string& tag) {
    PosixLogFile file(map_drive_path(path));
    const std::string stored = stored_log_message(message);
    daily_.write(file, now_ ? now_ : time_now, tag, stored, "\n",
                 virtual_stamps_ ? time_now : FileLogWriter::Now{});
    if (tap_) tap_(stored);
    return 0;
}

void register_file_log_writer(ClassRegistry& classes,
                              std::function<void(const std::string& message)> tap,
                              FileLogWriter::Now virtual_stamps) {
    classes.register_class(
        kLogWriterProgId, kLogWriterClsid,
        [tap = std::move(tap), now = std::move(virtual_stamps)]() -> std::shared_ptr<Object> {
            return std::make_shared<FileLogWriter>(tap, now, static_cast<bool>(now));
        });
}

FileLogWriter::Now log_time_of(Clock& clock) {
    constexpr int64_t kDayMs = 86400000;
    const LogDate today = date_of(time_now());
    // Counted on the monotonic scale from here, so that every midnight passed moves the
    // date, however far one sleep jumps.
    const int64_t start_ms = std::llround(clock.time_of_day() * 1000.0);
    const int64_t start_count = clock.now_ms();
    return [&clock, today, start_ms, start_count] {
        const int64_t since = saturating_add(clock.now_ms(), -start_count);
        const int64_t ms = saturating_add(start_ms, since);
        const LogDate date = date_after(today, ms / kDayMs);
        return log_time(date.year, date.month, date.day, ms % kDayMs);
    };
}

}  // namespace czqic
