// The log writer of the Linux build: the automation object the component creates by
// kLogWriterClsid, appending each message as one timestamped, tagged line to a file.
// Windows drive paths are kept under one local folder so that the component's fixed
// log path ("C:\QUIRN\pq\log\Qor.log") needs no change and no root access.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "log/log_files.h"
#include "log/log_line.h"
#include "log/log_writer.h"
#include "platform/clock.h"
#include "platform/dispatch.h"

namespace czqic {

// Where a log path lands on this machine. "X:\a\b" becomes "<root>/X/a/b" (drive letter
// upper-cased, backslashes turned into slashes), where <root> is $CZQIC_DRIVE_ROOT, else
// $XDG_STATE_HOME/czqic, else $HOME/.local/state/czqic. A path that starts with "/" is a
// POSIX path and stays as it is; "\a\b" is taken as the root of drive C; a relative path
// stays relative to the working directory. UNC paths and ".." components raise
// AutomationError 75 (Path/File access error).
std::string map_drive_path(std::string_view path);

class FileLogWriter final : public LogWriter {
  public:
    using Tap = std::function<void(const std::string& message)>;
    using Now = std::function<LogTime()>;

    // now gives the local time of day of each line; by default the system's. With
    // virtual_stamps, old day files are still judged by the system's date, so that a
    // virtual run days ahead removes none of the real ones.
    explicit FileLogWriter(Tap tap = {}, Now now = {}, bool virtual_stamps = false)
        : tap_(std::move(tap)), now_(std::move(now)), virtual_stamps_(virtual_stamps) {}

    // Appends "YYYY-MM-DD HH:MM:SS.mmm [TAG] MESSAGE\n" (local time) to the mapped file,
    // the message as stored_log_message gives it, by the rule of log_files.h (a day's
    // file, renamed on the first line of a later day, old day files removed). Missing
    // folders are made 0750 and the file 0640. The line is written whole before this
    // returns. Returns 0. Raises AutomationError 75 when the folder or file cannot be
    // opened, 61 when the disk is full and 57 for any other write failure, naming the
    // file and the reason; rotation itself never raises.
    int32_t WriteLog(const std::string& path, const std::string& message,
                     const std::string& tag) override;

  private:
    Tap tap_;
    Now now_;
    bool virtual_stamps_;
    DailyLog daily_;
};

// Registers FileLogWriter under kLogWriterProgId and kLogWriterClsid. When tap is set,
// every instance calls it with each message once the message is in the file, as stored
// there (card data masked); when virtual_stamps is set, it stamps every line (a virtual
// clock's time, log_time_of).
void register_file_log_writer(ClassRegistry& classes,
                              std::function<void(const std::string& message)> tap = {},
                              FileLogWriter::Now virtual_stamps = {});

// Line stamps from a clock: its time of day on today's date (the system's, when this is
// called), the date moving on at each midnight the clock passes. A virtual clock's lines
// then show the durations the run would have taken.
FileLogWriter::Now log_time_of(Clock& clock);

}  // namespace czqic
