// The component with the real file log writer when the file system refuses: a log folder
// that cannot be made, a log file that turns into a folder mid-run, a full disk (/dev/full,
// and a small tmpfs where mounting is allowed). Operations must then take their documented
// paths: a method whose error line cannot be written either fails as a call with the
// writer's error, an event handler keeps the value it stored and its failure is reported,
// a Timer1 tick ends without a reset and tries again. While the file is writable, every
// message must land in it as exactly one whole line.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "log/file_log_writer.h"
#include "tests/support/harness.h"
#include "tests/support/scratch.h"

namespace czqic::testing {
namespace {

namespace fs = std::filesystem;

// One whole line as the file log writer writes it; the message is captured.
const std::regex kLine(R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3} \[Qor\] (.*))");

// Messages of the file's lines; a line that is not whole shows as "<BROKEN: ...>".
std::vector<std::string> file_messages(const fs::path& file) {
    std::vector<std::string> out;
    for (const auto& line : file_lines(file)) {
        std::smatch m;
        out.push_back(std::regex_match(line, m, kLine) ? m[1].str() : "<BROKEN: " + line + ">");
    }
    return out;
}

// The real file log writer, with every WriteLog call counted and its message kept before
// the write is tried, and an optional hook that changes the file system first.
class CountingFileWriter final : public LogWriter {
  public:
    struct Record {
        std::vector<std::string> messages;  // every call, whether or not it succeeded
        std::function<void(const std::string& message)> before;
    };
    explicit CountingFileWriter(std::shared_ptr<Record> record) : record_(std::move(record)) {}
    int32_t WriteLog(const std::string& path, const std::string& message,
                     const std::string& tag) override {
        record_->messages.push_back(message);
        if (record_->before) record_->before(message);
        return real_.WriteLog(path, message, tag);
    }

  private:
    std::shared_ptr<Record> record_;
    FileLogWriter real_;
};

class LogFaults : public ::testing::Test {
  protected:
    explicit LogFaults(const std::string& scenario = "")
        : drive_("CZQIC_DRIVE_ROOT", dir_.string()), h_(scenario) {
        register_file_log_writer(h_.classes);
    }
    ~LogFaults() override {
        reader_.reset();
        h_.rt.unload_form();
    }

    // Replaces the registered writer by the counting one (still the real file writer).
    std::shared_ptr<CountingFileWriter::Record> count_calls() {
        auto record = std::make_shared<CountingFileWriter::Record>();
        h_.classes.register_class(kLogWriterProgId, kLogWriterClsid, [record] {
            return std::make_shared<CountingFileWriter>(record);
        });
        return record;
    }

    fs::path folder() const { return dir_ / "C" / "QUIRN" / "pq" / "log"; }
    fs::path file() const { return folder() / "Qor.log"; }

    // Runs a method that must fail as a call; returns the error it failed with.
    template <class F>
    AutomationError fails_as_call(F&& method) {
        try {
            const int32_t result = method();
            ADD_FAILURE() << "returned " << result << " although its error line cannot be written";
        } catch (const AutomationError& e) {
            return e;
        }
        return AutomationError(0, 0, "");
    }

    size_t failures_starting(const std::string& prefix) const {
        size_t n = 0;
        for (const auto& f : h_.failures) n += f.starts_with(prefix) ? 1 : 0;
        return n;
    }

    TempDir temp_{"czqic-logfaults"};
    const fs::path dir_ = temp_.path();
    EnvGuard drive_;
    Harness h_;
    ReaderRef reader_;
};

TEST_F(LogFaults, FolderThatCannotBeMadeFailsLoggingMethodsAsCallsAndReportsHandlers) {
    fs::create_directories(dir_ / "C");
    std::ofstream(dir_ / "C" / "QUIRN") << "a file where the folder should be\n";
    reader_ = h_.make_reader();

    // The start line fails, then the error line: the method fails with the writer's error.
    const AutomationError e = fails_as_call([&] { return reader_->CardReaderReset(); });
    EXPECT_EQ(e.number(), 75);
    EXPECT_NE(e.description().find("cannot create folder"), std::string::npos) << e.description();
    EXPECT_EQ(h_.rt.status_word, kPending);

    // The reset's answer arrives: its handler stores 404 before its line fails.
    h_.loop.pump_for(1000);
    EXPECT_EQ(h_.rt.status_word, 404);
    EXPECT_EQ(failures_starting("Event ResetComplete: Path/File access error"), 1u);

    // Methods that write no line are untouched.
    EXPECT_EQ(reader_->CardReaderClear(), kOk);
    EXPECT_EQ(reader_->CardReaderGetStatus(), 1);

    // Timer1: each tick fails at its first line, starts no reset, and stays on.
    h_.device->state().device = "FATAL";
    EXPECT_EQ(reader_->CardReaderGetStatus(), 3);
    h_.clear_records();
    h_.failures.clear();
    h_.loop.pump_for(30000 + 100);
    EXPECT_EQ(failures_starting("Timer1: Path/File access error"), 1u);
    EXPECT_TRUE(h_.journal_matching("call: reset").empty());
    EXPECT_TRUE(h_.rt.form().timer1().enabled());
    h_.loop.pump_for(30000);
    EXPECT_EQ(failures_starting("Timer1: Path/File access error"), 2u);
    EXPECT_FALSE(fs::exists(file()));
}

TEST_F(LogFaults, FileThatTurnsIntoAFolderMidRunFailsTheSameWay) {
    auto record = count_calls();
    reader_ = h_.make_reader();
    ASSERT_EQ(reader_->CardReaderInit(), kOk);
    EXPECT_EQ(file_messages(file()), record->messages);

    fs::remove(file());
    fs::create_directory(file());
    record->messages.clear();

    const AutomationError e = fails_as_call([&] { return reader_->CardReaderEnable(); });
    EXPECT_EQ(e.number(), 75);
    EXPECT_NE(e.description().find(file().string()), std::string::npos) << e.description();
    // The end line failed before entry was marked open; the control's answer is stored.
    EXPECT_EQ(reader_->entry_enabled(), 0);
    EXPECT_EQ(h_.rt.status_word, 0);
    EXPECT_EQ(record->messages,
              (std::vector<std::string>{"CardReaderEnable end:0",
                                        "CardReaderEnable err:" + e.description()}));

    h_.loop.pump_for(2000);  // the card comes in anyway
    EXPECT_EQ(h_.rt.status_word, 405);
    EXPECT_EQ(failures_starting("Event CardAccepted: Path/File access error"), 1u);

    // Writable again: the next operation logs normally, into a fresh file.
    fs::remove(file());
    record->messages.clear();
    EXPECT_EQ(reader_->CardReaderRead(), kOk);
    EXPECT_EQ(file_messages(file()), record->messages);
    EXPECT_EQ(record->messages.size(), 2u);
}

TEST_F(LogFaults, DiskFullReachesTheCallerAsError61) {
    if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full here";
    fs::create_directories(folder());
    fs::create_symlink("/dev/full", file());
    reader_ = h_.make_reader();

    const AutomationError e = fails_as_call([&] { return reader_->CardReaderReset(); });
    EXPECT_EQ(e.number(), 61);
    EXPECT_TRUE(e.description().starts_with("Disk full")) << e.description();

    h_.loop.pump_for(1000);
    EXPECT_EQ(h_.rt.status_word, 404);
    EXPECT_EQ(failures_starting("Event ResetComplete: Disk full"), 1u);
}

TEST_F(LogFaults, DiskFullOnAProgressLineTakesTheErrorPathAndItsLineIsWritten) {
    if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full here";
    auto record = count_calls();
    fs::create_directories(folder());
    // Only the reset's start line meets the full disk; every other line finds the file.
    record->before = [this](const std::string& message) {
        std::error_code ec;
        fs::remove(file(), ec);
        if (message.starts_with("CardReaderReset:")) fs::create_symlink("/dev/full", file());
    };
    reader_ = h_.make_reader();
    EXPECT_EQ(reader_->CardReaderReset(), kFailed);
    EXPECT_EQ(h_.rt.status_word, kPending);
    const auto messages = file_messages(file());
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_TRUE(messages[0].starts_with("CardReaderReset err:Disk full: cannot write "))
        << messages[0];
}

// A small tmpfs, where this process may mount one (root in a container that allows it).
class TmpfsLogFaults : public LogFaults {
  protected:
    void SetUp() override {
        fs::create_directories(folder());
        if (::mount("tmpfs", folder().c_str(), "tmpfs", 0, "size=64k") != 0)
            GTEST_SKIP() << "cannot mount a tmpfs here: " << std::strerror(errno);
        mounted_ = true;
    }
    void TearDown() override {
        reader_.reset();
        h_.rt.unload_form();
        if (mounted_) ::umount2(folder().c_str(), MNT_DETACH);
    }

    // Pads the log file with one filler line up to the end of its last page, so that the
    // next byte needs a new page.
    void pad_to_page(size_t room = 0) {
        const size_t size = fs::exists(file()) ? fs::file_size(file()) : 0;
        size_t pad = 4096 - (size + room) % 4096;
        if (pad < 2) pad += 4096;
        std::ofstream(file(), std::ios::binary | std::ios::app)
            << std::string(pad - 1, '#') << '\n';
    }

    // Fills the file system up to its last byte.
    void fill(const fs::path& filler) {
        const int fd = ::open(filler.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(fd, 0);
        std::string block(4096, 'x');
        while (::write(fd, block.data(), block.size()) > 0) {
        }
        while (::write(fd, "x", 1) > 0) {
        }
        ::close(fd);
    }

    bool mounted_ = false;
};

TEST_F(TmpfsLogFaults, FullFileSystemFailsWith61AndRecoversWhenSpaceIsFreed) {
    auto record = count_calls();
    reader_ = h_.make_reader();
    ASSERT_EQ(reader_->CardReaderReset(), kOk);
    pad_to_page();
    fill(folder() / "filler");

    const AutomationError e = fails_as_call([&] { return reader_->CardReaderReset(); });
    EXPECT_EQ(e.number(), 61);
    EXPECT_TRUE(e.description().starts_with("Disk full")) << e.description();

    fs::remove(folder() / "filler");
    h_.loop.pump_for(1000);
    record->messages.clear();
    const auto before = file_messages(file());
    EXPECT_EQ(reader_->CardReaderReset(), kOk);
    auto after = file_messages(file());
    ASSERT_GE(after.size(), before.size());
    after.erase(after.begin(), after.begin() + static_cast<std::ptrdiff_t>(before.size()));
    EXPECT_EQ(after, record->messages);
}

// A write the disk cuts short must not leave part of a line behind: the next line would
// be glued to it and both would be lost to anyone reading the log.
TEST_F(TmpfsLogFaults, AWriteCutShortByAFullDiskLeavesNoPartLine) {
    auto record = count_calls();
    // A log file whose last page has room for a few bytes only.
    pad_to_page(12);
    const size_t lines_before = file_lines(file()).size();
    fill(folder() / "filler");
    reader_ = h_.make_reader();

    const AutomationError e = fails_as_call([&] { return reader_->CardReaderReset(); });
    EXPECT_EQ(e.number(), 61);

    fs::remove(folder() / "filler");
    h_.loop.pump_for(1000);  // ResetComplete's line now fits
    const std::string text = file_text(file());
    EXPECT_TRUE(text.ends_with("\n"));
    auto lines = file_lines(file());
    ASSERT_GE(lines.size(), lines_before);
    for (size_t i = lines_before; i < lines.size(); ++i)
        EXPECT_TRUE(std::regex_match(lines[i], kLine))
            << "line " << i + 1 << " is not whole: " << lines[i];
}

// Several processes append to one log while the disk fills: each repairs only its own cut
// line, so the file holds whole lines only, and every line a writer was told it wrote.
TEST_F(TmpfsLogFaults, ProcessesSharingAFullLogLeaveWholeLinesAndLoseNone) {
    constexpr int kWriters = 8;
    constexpr int kLines = 400;
    // The race is narrow: a few rounds from an empty file make it show.
    for (int round = 0; round < 4; ++round) {
        SCOPED_TRACE(round);
        fs::remove(file());
        in_child_processes(kWriters, [&](int w) {
            FileLogWriter writer;
            std::ofstream told(dir_ / ("told-" + std::to_string(w)), std::ios::trunc);
            for (int k = 0; k < kLines; ++k) {
                const std::string message =
                    "writer " + std::to_string(w) + " line " + std::to_string(k) + " " +
                    std::string(static_cast<size_t>(40 + (w * 311 + k * 1777) % 3000), 'a' + w);
                try {
                    writer.WriteLog(kLogPath, message, kLogTag);
                    told << message << '\n' << std::flush;
                } catch (const AutomationError&) {
                }
            }
            return 0;
        });
        const std::string text = file_text(file());
        EXPECT_TRUE(text.empty() || text.ends_with("\n"));
        EXPECT_EQ(text.find('\0'), std::string::npos);
        const auto messages = file_messages(file());
        const std::set<std::string> in_file(messages.begin(), messages.end());
        for (const auto& m : messages) EXPECT_FALSE(m.starts_with("<BROKEN")) << m.substr(0, 80);
        for (int w = 0; w < kWriters; ++w)
            for (const auto& told : file_lines(dir_ / ("told-" + std::to_string(w))))
                EXPECT_TRUE(in_file.count(told)) << "lost: " << told.substr(0, 40);
    }
}

TEST_F(LogFaults, ALogPathThatIsNotARegularFileIsRefusedWithoutWaiting) {
    fs::create_directories(folder());
    ASSERT_EQ(::mkfifo(file().c_str(), 0600), 0);  // nobody will ever read it
    FileLogWriter writer;
    const AutomationError e = error_from([&] { writer.WriteLog(kLogPath, "to a FIFO", kLogTag); });
    EXPECT_EQ(e.number(), 75);
    EXPECT_THAT(e.description(), ::testing::HasSubstr("not a regular file"));
}

TEST_F(LogFaults, WhileTheFileIsWritableNoLineIsDropped) {
    auto record = count_calls();
    reader_ = h_.make_reader();
    auto second = h_.make_reader();
    ASSERT_EQ(reader_->CardReaderInit(), kOk);
    ASSERT_EQ(reader_->CardReaderEnable(), kOk);
    ASSERT_EQ(reader_->CardReaderRead(), kOk);
    reader_->WriteTrack(2, ";123=45?");
    ASSERT_EQ(reader_->CardReaderWrite(), kOk);
    ASSERT_EQ(reader_->QOR_WaitChip(), kOk);
    reader_->ChipCardData("0084000008");
    ASSERT_EQ(reader_->Qor_ChipTrnsp(), kOk);
    ASSERT_EQ(reader_->CardReaderReturn(), kOk);
    // Timer1 ticks and its resets, then a release that drops the writer and a new one.
    h_.device->state().device = "FATAL";
    ASSERT_EQ(second->CardReaderGetStatus(), 3);
    h_.loop.pump_for(61000);
    second.reset();
    h_.device->state().device = "ONLINE";
    ASSERT_EQ(reader_->CardReaderReset(), kOk);
    EXPECT_GT(record->messages.size(), 20u);
    EXPECT_EQ(file_messages(file()), record->messages);
}

class LogFaultsOnMessages : public LogFaults {
  protected:
    // A control whose failure descriptions end the way Windows system messages do.
    LogFaultsOnMessages() : LogFaults(R"({"on": {"reset": [{"fail": "Device not ready\r\n"}]}})") {}
};

TEST_F(LogFaultsOnMessages, EveryMessageStaysOneWholeLine) {
    auto record = count_calls();
    reader_ = h_.make_reader();
    EXPECT_EQ(reader_->CardReaderReset(), kFailed);
    ASSERT_EQ(record->messages.size(), 1u);
    const auto lines = file_lines(file());
    EXPECT_EQ(lines.size(), record->messages.size()) << file_text(file());
    for (const auto& line : lines)
        EXPECT_TRUE(std::regex_match(line, kLine)) << "not a whole line: " << line;
}

}  // namespace
}  // namespace czqic::testing
