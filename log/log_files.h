// The one rule for the log files on disk, kept by both log writers (the Linux one in
// file_log_writer.cpp, the Windows one in QorLogWriter.dll), each supplying only its
// platform's file operations (LogFile):
// - the file the path names ("Qor.log") is today's, by the local date;
// - at the first line of a later day it is renamed after the date of its last line
//   ("Qor.2026-02-01.log"; "Qor.2026-02-01.1.log" and on when that name is taken, which
//   only a clock set back can cause), under the lock that serialises the writers, and a
//   new file is begun;
// - day files older than the kept number of days are removed, then the oldest while all
//   the files together are above the size limit (CZQIC_LOG_KEEP_DAYS, CZQIC_LOG_MAX_MB,
//   on Windows also the machine's LogKeepDays and LogMaxMB settings);
// - none of that ever fails a line: a rename or removal that fails is tried again at the
//   next line.
#pragma once

#include <compare>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "log/log_line.h"

namespace czqic {

struct LogDate {
    int year;
    int month;
    int day;
    auto operator<=>(const LogDate&) const = default;
};

LogDate date_of(const LogTime& time);

// Whole days from one date to a later one (negative when it is earlier).
int days_between(LogDate from, LogDate to);

// The date that many days later (earlier when negative), kept within the years a log line
// can show (0001 to 9999).
LogDate date_after(LogDate date, int64_t days);

// The date a log line begins with ("2026-02-01 ..."), when it begins with a real date.
std::optional<LogDate> date_of_line(std::string_view line);

// "Qor.log" on 2026-02-01: "Qor.2026-02-01.log", copy 2 "Qor.2026-02-01.2.log". A name
// without an extension gets the date at its end ("Qor" -> "Qor.2026-02-01").
std::string day_file_name(std::string_view file_name, LogDate date, int copy = 0);

struct DayFile {
    LogDate date;
    int copy;
};
// What day_file_name made this name from, if it did (for this file name).
std::optional<DayFile> parse_day_file_name(std::string_view file_name, std::string_view name);

struct RetentionLimits {
    int keep_days = 90;
    uint64_t max_bytes = uint64_t{1024} << 20;
};
// The limits from the settings' text: a whole number of days from 0 and of mebibytes
// from 0 (0 keeps no day file); anything else (unset, not a number, too large) is the
// default, 90 days and 1024 MiB.
RetentionLimits retention_limits_from(std::string_view keep_days, std::string_view max_mb);
// The limits this process's settings give (the variable, else on Windows the machine's
// value).
RetentionLimits retention_limits();

struct FolderEntry {
    std::string name;
    uint64_t size;
};
// Of the files in the log's folder (the log itself among them), the day files to remove
// on the given day, oldest first.
std::vector<std::string> day_files_to_remove(std::string_view file_name,
                                             const std::vector<FolderEntry>& folder, LogDate today,
                                             const RetentionLimits& limits);

// One platform's operations on the log file a path names and on its folder. Only
// open_and_lock, append and close may raise (the log errors of log_line.h); everything
// rotation uses answers failure instead, since rotation must never fail a line.
class LogFile {
  public:
    virtual ~LogFile() = default;

    // Opens the file, creating it and its folders when missing, and waits for the lock
    // every writer takes before touching it. Closes what was open before.
    virtual void open_and_lock() = 0;
    // Whether the path still names the file held: another writer may have renamed it
    // while this one waited for the lock.
    virtual bool still_named() = 0;
    // Whether the file held is a regular file: only those rotate (a device does not).
    virtual bool regular() = 0;
    virtual uint64_t size() = 0;
    // Up to length bytes from offset into data; how many were read, 0 on failure.
    virtual size_t read_at(uint64_t offset, char* data, size_t length) = 0;
    // The local date the file was last written, when known.
    virtual std::optional<LogDate> modified_on() = 0;
    // The name of the file in its folder ("Qor.log").
    virtual std::string file_name() = 0;
    // Whether a file of that name stands beside it.
    virtual bool exists_beside(const std::string& name) = 0;
    // Renames the file held to that name in the same folder, keeping it open and locked.
    virtual bool rename_to(const std::string& name) = 0;
    // Appends the line whole, or raises having taken back any part of it.
    virtual void append(std::string_view line) = 0;
    // Releases the lock and the file; raises when a deferred write error shows there.
    virtual void close() = 0;
    // The regular files of the folder whose names pass wanted, with their sizes.
    virtual std::optional<std::vector<FolderEntry>> list_folder(
        const std::function<bool(std::string_view name)>& wanted) = 0;
    // Removes that file of the folder; true when it is gone (or was already).
    virtual bool remove_beside(const std::string& name) = 0;
};

// The writing side of the rule, one per log writer object: it remembers whether old day
// files are still to be looked at (at its first line, after each rotation, and after a
// removal that failed).
class DailyLog {
  public:
    // Writes one line "log_line(now(), tag, message, end_of_line)" into today's file.
    // now is read under the lock, so lines in a file are in the order of their times and
    // every line lands in the file of its date. Old day files are judged by the date
    // kept_by gives, when given (a virtual clock's lines run ahead of the system's date;
    // they must not make real days look old), else by the line's.
    void write(LogFile& file, const std::function<LogTime()>& now, std::string_view tag,
               std::string_view message, std::string_view end_of_line,
               const std::function<LogTime()>& kept_by = {});

  private:
    bool retention_due_ = true;
};

}  // namespace czqic
