#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "log/file_log_writer.h"
#include "platform/dispatch.h"
#include "tests/support/scratch.h"

namespace czqic {
namespace {

using testing::EnvGuard;
using testing::TempDir;

namespace fs = std::filesystem;

// Sets or clears one environment variable for the life of the guard.
std::vector<std::string> read_lines(const fs::path& file) {
    std::ifstream in(file);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::string read_all(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

AutomationError write_and_catch(FileLogWriter& writer, const std::string& path) {
    try {
        writer.WriteLog(path, "CardReaderInit:10120100", kLogTag);
    } catch (const AutomationError& e) {
        return e;
    }
    ADD_FAILURE() << "WriteLog to " << path << " did not fail";
    return AutomationError(0, 0, "");
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

    auto lines = read_lines(log_file);
    ASSERT_EQ(lines.size(), 3u);
    const std::regex stamp(R"(^\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3} )");
    for (const auto& line : lines) EXPECT_TRUE(std::regex_search(line, stamp)) << line;
    EXPECT_EQ(lines[0].substr(24), "[Qor] CardReaderInit:10120100");
    EXPECT_EQ(lines[1].substr(24), "[Qor] Event ResetComplete404");
    EXPECT_EQ(lines[2].substr(24), "[Other] CardReaderReset");
    EXPECT_EQ(read_all(log_file).back(), '\n');
}

TEST_F(FileLogWriterTest, WritesALargeMessageWhole) {
    std::string message(1 << 20, 'x');
    message.back() = 'y';
    FileLogWriter writer;
    writer.WriteLog(kLogPath, message, kLogTag);
    std::string text = read_all(log_file);
    ASSERT_EQ(text.size(), 24 + 6 + message.size() + 1);
    EXPECT_EQ(text.substr(30), message + "\n");
}

TEST_F(FileLogWriterTest, RegisteredClassIsCreatableByClsidAndProgIdAndTapsAfterWriting) {
    ClassRegistry classes;
    std::vector<std::string> tapped;
    std::vector<size_t> lines_when_tapped;
    register_file_log_writer(classes, [&](const std::string& message) {
        tapped.push_back(message);
        lines_when_tapped.push_back(read_lines(log_file).size());
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
        try {
            map_drive_path(kLogPath);
            ADD_FAILURE() << "mapped without any root";
        } catch (const AutomationError& e) {
            EXPECT_EQ(e.number(), 75);
            EXPECT_EQ(e.description().find("XDG_STATE_HOME is relative") != std::string::npos,
                      state_value != nullptr)
                << e.description();
        }
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
        try {
            std::string mapped = map_drive_path(bad);
            ADD_FAILURE() << "\"" << bad << "\" mapped to " << mapped;
        } catch (const AutomationError& e) {
            EXPECT_EQ(e.number(), 75) << bad;
            EXPECT_EQ(e.hresult(), 0x800A004Bu) << bad;
        }
    }
}

}  // namespace
}  // namespace czqic
