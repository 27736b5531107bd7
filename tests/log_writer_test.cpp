#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "log/file_log_writer.h"
#include "log/log_files.h"
#include "platform/dispatch.h"
#include "tests/support/errors.h"
#include "tests/support/scratch.h"

namespace czqic::testing {
namespace {

namespace fs = std::filesystem;

AutomationError write_and_catch(FileLogWriter& writer, const std::string& path) {
    SCOPED_TRACE("WriteLog to " + path);
    return error_from([&] { writer.WriteLog(path, "CardReaderInit:10120100", kLogTag); });
}

class FileLogWriterTest : public ::testing::Test {
  protected:
    TempDir root;
    EnvGuard drive_root{"CZQIC_DRIVE_ROOT", root.str().c_str()};
    fs::path log_file = root.path() / "C" / "QUIRN" / "pq" / "log" / "Qor.log";
};

TEST_F(FileLogWriterTest, AppendsOneTimestampedTaggedLinePerCallCreatingTheFolders) {
    FileLogWriter writer;
    EXPECT_EQ(writer.WriteLog(kLogPath, "CardReaderInit:10120100", kLogTag), 0);
    EXPECT_EQ(writer.WriteLog(kLogPath, "Event ResetComplete404", kLogTag), 0);
    FileLogWriter second;  // each call opens afresh: another writer appends, never truncates
    EXPECT_EQ(second.WriteLog(kLogPath, "CardReaderReset", "Other"), 0);

    auto lines = file_lines(log_file);
    ASSERT_EQ(lines.size(), 3u);
    const std::regex stamp(R"(^\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3} )");
    for (const auto& line : lines) EXPECT_TRUE(std::regex_search(line, stamp)) << line;
    EXPECT_EQ(lines[0].substr(24), "[Qor] CardReaderInit:10120100");
    EXPECT_EQ(lines[1].substr(24), "[Qor] Event ResetComplete404");
    EXPECT_EQ(lines[2].substr(24), "[Other] CardReaderReset");
    EXPECT_EQ(file_text(log_file).back(), '\n');
}

TEST_F(FileLogWriterTest, WritesALargeMessageWhole) {
    std::string message(1 << 20, 'x');
    message.back() = 'y';
    FileLogWriter writer;
    writer.WriteLog(kLogPath, message, kLogTag);
    std::string text = file_text(log_file);
    ASSERT_EQ(text.size(), 24 + 6 + message.size() + 1);
    EXPECT_EQ(text.substr(30), message + "\n");
}

TEST_F(FileLogWriterTest, RegisteredClassIsCreatableByClsidAndProgIdAndTapsAfterWriting) {
    ClassRegistry classes;
    std::vector<std::string> tapped;
    std::vector<size_t> lines_when_tapped;
    register_file_log_writer(classes, [&](const std::string& message) {
        tapped.push_back(message);
        lines_when_tapped.push_back(file_lines(log_file).size());
    });
    auto by_clsid = classes.create_as<LogWriter>(kLogWriterClsid);
    auto by_progid = classes.create_as<LogWriter>(kLogWriterProgId);
    EXPECT_NE(by_clsid, by_progid);  // a new object per creation
    by_clsid->WriteLog(kLogPath, "CardReaderEnable end:0", kLogTag);
    by_progid->WriteLog(kLogPath, "mstrChipCardData:9000", kLogTag);

    EXPECT_EQ(tapped,
              (std::vector<std::string>{"CardReaderEnable end:0", "mstrChipCardData:9000"}));
    EXPECT_EQ(lines_when_tapped, (std::vector<size_t>{1, 2}));
}

TEST_F(FileLogWriterTest, FolderReplacedByAFileMidRunIsNoticedOnTheNextLine) {
    FileLogWriter writer;
    writer.WriteLog(kLogPath, "CardReaderInit:10120100", kLogTag);
    fs::remove_all(log_file.parent_path());
    std::ofstream(log_file.parent_path()) << "not a folder";

    AutomationError e = write_and_catch(writer, kLogPath);
    EXPECT_EQ(e.number(), 75);
    EXPECT_EQ(e.hresult(), 0x800A004Bu);
    EXPECT_NE(e.description().find(log_file.string()), std::string::npos) << e.description();
}

TEST_F(FileLogWriterTest, TargetThatIsAFolderCannotBeOpened) {
    fs::create_directories(log_file);
    FileLogWriter writer;
    AutomationError e = write_and_catch(writer, kLogPath);
    EXPECT_EQ(e.number(), 75);
    EXPECT_EQ(e.description(),
              "Path/File access error: cannot open " + log_file.string() + ": Is a directory");
}

TEST(LogWriterFailureTest, RootThatIsAFileRaisesPathFileAccessErrorNamingTheFolder) {
    TempDir dir;
    fs::path blocker = dir.path() / "blocker";
    std::ofstream(blocker) << "a file where the drive root should be";
    EnvGuard drive_root("CZQIC_DRIVE_ROOT", blocker.c_str());
    bool tapped = false;
    FileLogWriter writer([&](const std::string&) { tapped = true; });

    AutomationError e = write_and_catch(writer, kLogPath);
    EXPECT_EQ(e.number(), 75);
    EXPECT_EQ(e.hresult(), 0x800A004Bu);
    EXPECT_TRUE(e.description().starts_with("Path/File access error: ")) << e.description();
    EXPECT_NE(e.description().find((blocker / "C" / "QUIRN" / "pq" / "log").string()),
              std::string::npos)
        << e.description();
    EXPECT_NE(e.description().find("Not a directory"), std::string::npos) << e.description();
    EXPECT_FALSE(tapped);  // nothing reached the file, so nothing is echoed
}

TEST(LogWriterFailureTest, FullDeviceRaisesDiskFull) {
    if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full here";
    bool tapped = false;
    FileLogWriter writer([&](const std::string&) { tapped = true; });
    AutomationError e = write_and_catch(writer, "/dev/full");
    EXPECT_EQ(e.number(), 61);
    EXPECT_EQ(e.hresult(), 0x800A003Du);
    EXPECT_EQ(e.description(), "Disk full: cannot write /dev/full: No space left on device");
    EXPECT_FALSE(tapped);
}

TEST(DrivePathTest, DriveRootComesFromTheFirstVariableThatIsSet) {
    EnvGuard home("HOME", "/home/clerk");
    {
        EnvGuard root("CZQIC_DRIVE_ROOT", "/srv/drives/");
        EnvGuard state("XDG_STATE_HOME", "/var/state");
        EXPECT_EQ(map_drive_path(kLogPath), "/srv/drives/C/QUIRN/pq/log/Qor.log");
    }
    {
        EnvGuard root("CZQIC_DRIVE_ROOT", "");
        EnvGuard state("XDG_STATE_HOME", "/var/state");
        EXPECT_EQ(map_drive_path(kLogPath), "/var/state/czqic/C/QUIRN/pq/log/Qor.log");
    }
    {
        EnvGuard root("CZQIC_DRIVE_ROOT", nullptr);
        EnvGuard state("XDG_STATE_HOME", "relative/state");  // not absolute: ignored
        EXPECT_EQ(map_drive_path(kLogPath),
                  "/home/clerk/.local/state/czqic/C/QUIRN/pq/log/Qor.log");
    }
    // Without a root the message says which variables were seen, a relative one included.
    for (const char* state_value : {static_cast<const char*>(nullptr), "relative/state"}) {
        EnvGuard root("CZQIC_DRIVE_ROOT", nullptr);
        EnvGuard state("XDG_STATE_HOME", state_value);
        EnvGuard no_home("HOME", nullptr);
        const AutomationError e = error_from([] { map_drive_path(kLogPath); });
        EXPECT_EQ(e.number(), 75);
        EXPECT_EQ(e.description().find("XDG_STATE_HOME is relative") != std::string::npos,
                  state_value != nullptr)
            << e.description();
    }
}

TEST(DrivePathTest, WindowsFormsMapUnderTheDriveLetter) {
    EnvGuard root("CZQIC_DRIVE_ROOT", "/r");
    EXPECT_EQ(map_drive_path("c:\\QUIRN\\pq\\log\\Qor.log"), "/r/C/QUIRN/pq/log/Qor.log");
    EXPECT_EQ(map_drive_path("D:/logs/a.log"), "/r/D/logs/a.log");
    EXPECT_EQ(map_drive_path("\\QUIRN\\x.log"), "/r/C/QUIRN/x.log");
    EXPECT_EQ(map_drive_path("/tmp/already\\posix.log"), "/tmp/already\\posix.log");
    EXPECT_EQ(map_drive_path("logs\\here.log"), "logs/here.log");
    EXPECT_EQ(map_drive_path("C:\\a\\.\\b...c\\..d.log"), "/r/C/a/./b...c/..d.log");
}

TEST(DrivePathTest, ParentComponentsAndNetworkPathsAreRejected) {
    EnvGuard root("CZQIC_DRIVE_ROOT", "/r");
    for (const char* bad : {"C:\\QUIRN\\..\\..\\etc\\passwd", "C:\\..", "/var/log/../x",
                            "..\\x.log", "\\\\server\\share\\Qor.log", ""}) {
        const AutomationError e = error_from([&] { map_drive_path(bad); });
        EXPECT_EQ(e.number(), 75) << bad;
        EXPECT_EQ(e.hresult(), 0x800A004Bu) << bad;
    }
}

// --- Day files ---------------------------------------------------------------------------

LogTime at(LogDate day, int hour, int minute, int second, int millisecond = 0) {
    return {day.year, day.month, day.day, hour, minute, second, millisecond};
}

TEST(DayFileNames, NameAndParseAgreeAndNothingElseCountsAsADayFile) {
    const LogDate feb1{2026, 2, 1};
    EXPECT_EQ(day_file_name("Qor.log", feb1), "Qor.2026-02-01.log");
    EXPECT_EQ(day_file_name("Qor.log", feb1, 2), "Qor.2026-02-01.2.log");
    EXPECT_EQ(day_file_name("Qor", feb1), "Qor.2026-02-01");
    for (int copy : {0, 1, 99}) {
        auto parsed = parse_day_file_name("Qor.log", day_file_name("Qor.log", feb1, copy));
        ASSERT_TRUE(parsed) << copy;
        EXPECT_EQ(parsed->date, feb1);
        EXPECT_EQ(parsed->copy, copy);
    }
    for (const char* other :
         {"Qor.log", "Qor.2026-02-30.log", "Qor.2026-2-01.log", "Other.2026-02-01.log",
          "Qor.2026-02-01.0.log", "Qor.2026-02-01.01.log", "Qor.2026-02-01.-1.log",
          "Qor.2026-02-01.txt", "Qor.2026-02-01.log.gz", "Qor.2026-02-01x.log", "Qor..log"})
        EXPECT_FALSE(parse_day_file_name("Qor.log", other)) << other;
}

TEST(DayFileRetention, LimitsComeFromWholeNumbersElseTheDefaults) {
    constexpr uint64_t MiB = 1 << 20;
    // The two settings' texts, and the days and bytes they give.
    const std::tuple<const char*, const char*, int, uint64_t> rows[] = {
        {"", "", 90, 1024 * MiB},
        {"30", "10", 30, 10 * MiB},
        {"0", "0", 0, 0},
        {"-1", "x", 90, 1024 * MiB},
        {" 30", "30 ", 90, 1024 * MiB},
        {"99999999999999999999", "4294967296", 90, 1024 * MiB},
        {"36525", "4294967295", 36525, 4294967295 * MiB},
    };
    for (const auto& [keep_days, max_mb, days, bytes] : rows) {
        const RetentionLimits limits = retention_limits_from(keep_days, max_mb);
        EXPECT_EQ(limits.keep_days, days) << keep_days;
        EXPECT_EQ(limits.max_bytes, bytes) << max_mb;
    }
    EnvGuard days("CZQIC_LOG_KEEP_DAYS", "7");
    EnvGuard mb("CZQIC_LOG_MAX_MB", "3");
    EXPECT_EQ(retention_limits().keep_days, 7);
    EXPECT_EQ(retention_limits().max_bytes, 3 * MiB);
}

TEST(DayFileRetention, OlderThanTheKeptDaysThenOldestWhileAllTogetherAreTooLarge) {
    const std::vector<FolderEntry> folder = {
        {"Qor.log", 100},           {"Qor.2026-01-05.log", 10},   {"Qor.2026-01-06.log", 20},
        {"Qor.2026-04-01.log", 30}, {"Qor.2026-04-01.1.log", 40}, {"notes.txt", 1000},
    };
    const LogDate apr6{2026, 4, 6};
    // 2026-01-05 is 91 days before 2026-04-06, 2026-01-06 is 90.
    EXPECT_EQ(day_files_to_remove("Qor.log", folder, apr6, {90, 1000}),
              std::vector<std::string>{"Qor.2026-01-05.log"});
    EXPECT_EQ(day_files_to_remove("Qor.log", folder, apr6, {90, 150}),
              (std::vector<std::string>{"Qor.2026-01-05.log", "Qor.2026-01-06.log",
                                        "Qor.2026-04-01.log"}));
    EXPECT_EQ(day_files_to_remove("Qor.log", folder, apr6, {0, 1000}).size(), 4u);
}

class DayFilesTest : public FileLogWriterTest {
  protected:
    LogTime now{};
    FileLogWriter writer{{}, [this] { return now; }};
    fs::path folder = log_file.parent_path();
    fs::path day_file(const char* date) const {
        return folder / ("Qor." + std::string(date) + ".log");
    }
    void write(LogTime when, const std::string& message) {
        now = when;
        writer.WriteLog(kLogPath, message, kLogTag);
    }
    static std::vector<std::string> messages(const fs::path& file) {
        std::vector<std::string> out;
        for (const auto& line : file_lines(file)) out.push_back(line.substr(30));
        return out;
    }
};

TEST_F(DayFilesTest, AcrossMidnightAndAcross91DaysEachFileHoldsItsDayAndOldDaysGo) {
    const LogDate jan5{2026, 1, 5}, jan6{2026, 1, 6}, apr6{2026, 4, 6};
    write(at(jan5, 23, 59, 59, 999), "a");
    write(at(jan5, 23, 59, 59, 999), "b");
    write(at(jan6, 0, 0, 0, 0), "c");
    EXPECT_EQ(messages(day_file("2026-01-05")), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(messages(log_file), std::vector<std::string>{"c"});
    EXPECT_EQ(file_lines(log_file)[0].substr(0, 24), "2026-01-06 00:00:00.000 ");

    // Owner and group only, on the files and on the folders made for them.
    for (const fs::path& file : {log_file, day_file("2026-01-05")})
        EXPECT_EQ(fs::status(file).permissions() & fs::perms::all,
                  fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read)
            << file;
    for (fs::path f = folder; f != root.path(); f = f.parent_path())
        EXPECT_EQ(fs::status(f).permissions() & fs::perms::all,
                  fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec)
            << f;

    // 2026-01-05 is 91 days before 2026-04-06 and goes; 2026-01-06 is 90 and stays.
    write(at(apr6, 8, 0, 0), "d");
    EXPECT_FALSE(fs::exists(day_file("2026-01-05")));
    EXPECT_EQ(messages(day_file("2026-01-06")), std::vector<std::string>{"c"});
    EXPECT_EQ(messages(log_file), std::vector<std::string>{"d"});
}

TEST_F(DayFilesTest, AnOldFileIsNamedAfterItsLastLineAndNeverReplacesADayFile) {
    fs::create_directories(folder);
    // A log from before day files: lines of many days, the last on 2026-01-02.
    std::ofstream(log_file) << "2025-06-30 10:00:00.000 [Qor] old\n"
                            << "2026-01-02 10:00:00.000 [Qor] last\n";
    std::ofstream(day_file("2026-01-02")) << "2026-01-02 09:00:00.000 [Qor] kept\n";
    write(at({2026, 1, 5}, 9, 0, 0), "new");
    EXPECT_EQ(messages(day_file("2026-01-02")), std::vector<std::string>{"kept"});
    EXPECT_EQ(messages(folder / "Qor.2026-01-02.1.log"), (std::vector<std::string>{"old", "last"}));
    EXPECT_EQ(messages(log_file), std::vector<std::string>{"new"});
}

TEST_F(DayFilesTest, ProcessesWritingAcrossMidnightLoseNoLineAndNoneLandsInTheWrongDay) {
    // One clock for all: a counter in shared memory, a millisecond a reading, from
    // 23:59:59.700 on 2026-01-05, so midnight falls while every writer is busy.
    struct Shared {
        std::atomic<int64_t> ticks;
        std::atomic<int> ready;
    };
    void* mapped =
        ::mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(mapped, MAP_FAILED);
    auto* shared = new (mapped) Shared{};
    auto shared_clock = [shared] {
        using namespace std::chrono;
        const auto t = sys_days(year(2026) / January / 5) + hours(23) + minutes(59) + seconds(59) +
                       milliseconds(700) + milliseconds(shared->ticks.fetch_add(1));
        const auto day = floor<days>(t);
        const year_month_day ymd(day);
        const hh_mm_ss time(t - day);
        return LogTime{static_cast<int>(ymd.year()),
                       static_cast<int>(unsigned(ymd.month())),
                       static_cast<int>(unsigned(ymd.day())),
                       static_cast<int>(time.hours().count()),
                       static_cast<int>(time.minutes().count()),
                       static_cast<int>(time.seconds().count()),
                       static_cast<int>(time.subseconds().count())};
    };
    constexpr int kWriters = 6;
    constexpr int kLines = 100;
    // The race is narrow: a few rounds make a writer that misses the rename show.
    for (int round = 0; round < 4; ++round) {
        SCOPED_TRACE(round);
        fs::remove_all(folder);
        shared->ticks = 0;
        shared->ready = 0;
        in_child_processes(kWriters, [&](int w) {
            FileLogWriter child({}, shared_clock);
            ++shared->ready;
            while (shared->ready < kWriters) std::this_thread::yield();
            int status = 0;
            for (int k = 0; k < kLines; ++k) {
                try {
                    child.WriteLog(kLogPath, std::to_string(w) + ":" + std::to_string(k), kLogTag);
                } catch (const AutomationError&) {
                    status = 1;
                }
            }
            return status;
        });

        std::set<std::string> seen;
        for (const auto& [file, date] : {std::pair{day_file("2026-01-05"), "2026-01-05 "},
                                         std::pair{log_file, "2026-01-06 "}}) {
            std::string last_stamp;
            const auto lines = file_lines(file);
            EXPECT_FALSE(lines.empty()) << file;
            for (const auto& line : lines) {
                EXPECT_TRUE(line.starts_with(date)) << file << ": " << line;
                EXPECT_GE(line.substr(0, 23), last_stamp) << "lines out of time order";
                last_stamp = line.substr(0, 23);
                EXPECT_TRUE(seen.insert(line.substr(30)).second) << "twice: " << line;
            }
        }
        EXPECT_EQ(seen.size(), size_t{kWriters * kLines});
        EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 2);
    }
    ::munmap(mapped, sizeof(Shared));
}

// The log file held in memory, whose renames and removals can be refused as a file
// system may refuse them (a virus scanner holding the file, a read-only share).
class MemoryLogFile final : public LogFile {
  public:
    std::map<std::string, std::string> files;
    bool refuse_rename = false;
    bool refuse_remove = false;

    void open_and_lock() override {
        held_ = "Qor.log";
        files[held_];
    }
    bool still_named() override { return true; }
    bool regular() override { return true; }
    uint64_t size() override { return files[held_].size(); }
    size_t read_at(uint64_t offset, char* data, size_t length) override {
        const std::string& text = files[held_];
        if (offset >= text.size()) return 0;
        return text.copy(data, length, static_cast<size_t>(offset));
    }
    std::optional<LogDate> modified_on() override { return std::nullopt; }
    std::string file_name() override { return "Qor.log"; }
    bool exists_beside(const std::string& name) override { return files.count(name) != 0; }
    bool rename_to(const std::string& name) override {
        if (refuse_rename) return false;
        files[name] = std::move(files[held_]);
        files.erase(held_);
        held_ = name;
        return true;
    }
    void append(std::string_view line) override { files[held_] += line; }
    void close() override {}
    std::optional<std::vector<FolderEntry>> list_folder(
        const std::function<bool(std::string_view)>& wanted) override {
        std::vector<FolderEntry> entries;
        for (const auto& [name, text] : files)
            if (wanted(name)) entries.push_back({name, text.size()});
        return entries;
    }
    bool remove_beside(const std::string& name) override {
        if (refuse_remove) return false;
        files.erase(name);
        return true;
    }

  private:
    std::string held_;
};

TEST(DailyLogTest, ARefusedRenameOrRemovalNeverFailsALineAndIsTriedAgainAtTheNext) {
    MemoryLogFile file;
    DailyLog log;
    auto write = [&](LogTime when, const char* message) {
        log.write(
            file, [when] { return when; }, "Qor", message, "\n");
    };
    file.files["Qor.2025-10-01.log"] = "2025-10-01 10:00:00.000 [Qor] too old\n";
    file.refuse_remove = true;
    write(at({2026, 1, 5}, 10, 0, 0), "a");
    EXPECT_EQ(file.files.count("Qor.2025-10-01.log"), 1u);
    file.refuse_remove = false;
    write(at({2026, 1, 5}, 11, 0, 0), "b");
    EXPECT_EQ(file.files.count("Qor.2025-10-01.log"), 0u);

    file.refuse_rename = true;
    write(at({2026, 1, 6}, 10, 0, 0), "c");
    EXPECT_EQ(file.files.size(), 1u);
    file.refuse_rename = false;
    write(at({2026, 1, 6}, 11, 0, 0), "d");
    // Nothing lost: the old day's lines and those written while the rename was refused
    // went together, named after the last of them.
    EXPECT_EQ(file.files["Qor.2026-01-06.log"],
              "2026-01-05 10:00:00.000 [Qor] a\n2026-01-05 11:00:00.000 [Qor] b\n"
              "2026-01-06 10:00:00.000 [Qor] c\n");
    EXPECT_EQ(file.files["Qor.log"], "2026-01-06 11:00:00.000 [Qor] d\n");
}

}  // namespace
}  // namespace czqic::testing
