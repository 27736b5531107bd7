// `czqic replay` on sessions the component logged on the simulated reader: the scenario
// and steps it derives log every message again, in order.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "sim/sim_reader.h"
#include "tests/support/cli_run.h"

namespace czqic {
namespace {

using ::testing::HasSubstr;
namespace fs = std::filesystem;

using testing::czqic;
using testing::Outcome;

struct Session {
    const char* what;
    const char* scenario;  // JSON over the built-in reader
    std::vector<std::string> steps;
    int runs = 1;             // runs of the application one after another in the log
    bool real_clock = false;  // the log's stamps as the real clock leaves them
};

const Session kSessions[] = {
    {"initialise, read, write, chip exchange, return",
     "{}",
     {"CardReaderInit", "CardReaderEnable", "CardReaderRead", "WriteTrack2=1234", "WriteTrack3=56",
      "CardReaderWrite", "QOR_WaitChip", "ChipCardData=0084000008", "Qor_ChipTrnsp",
      "CardReaderReturn", "CardReaderDisable"}},
    {"card captured by retain, card inserted between the calls",
     "{}",
     {"CardReaderInit", "CardReaderEnable", "pump:2000", "CardReaderRead", "CardReaderRetain"}},
    {"reset answered by CardCaptured",
     R"({"on": {"reset": [{"events": [{"event": "ResetComplete", "afterMs": 500}]},
                          {"events": [{"event": "CardCaptured", "afterMs": 700}]}]}})",
     {"CardReaderInit", "CardReaderReset"}},
    {"time-outs: no card, card never taken, reset unanswered",
     R"({"on": {"eject": [{"events": [{"event": "CardEjected", "afterMs": 300}]}],
                "acceptAndRead": [{"returns": 0, "events": []}],
                "reset": [{"events": [{"event": "ResetComplete", "afterMs": 500}]}, {}]}})",
     {"CardReaderInit", "TimeOutCard=2", "CardReaderEnable", "CardReaderRead", "CardReaderDisable",
      "CardReaderReturn", "CardReaderReset"}},
    {"open refused", R"({"on": {"open": [{"fail": "Device not ready"}]}})", {"CardReaderInit"}},
    {"device errors, a reset answered inside its call, a failed write and its retry",
     R"({"on": {"open": [{"events": [{"event": "DeviceError", "afterMs": 100}]}],
                "reset": [{"events": [{"event": "DeviceError", "afterMs": 200}]},
                          {"events": [{"event": "ResetComplete", "during": true}]}],
                "writeTrack": [{"events": [{"event": "CardWritten", "afterMs": 100}]},
                               {"events": [{"event": "DeviceError", "afterMs": 100}]},
                               {"events": [{"event": "CardWritten", "afterMs": 100}]}]}})",
     {"CardReaderInit", "CardReaderReset", "CardReaderEnable", "CardReaderRead", "WriteTrack1=abc",
      "WriteTrack2=def", "CardReaderWrite", "CardReaderWrite", "sim:DeviceError", "pump:100"}},
    {"entry refused",
     R"({"on": {"acceptAndRead": [{"returns": 1}]}})",
     {"CardReaderInit", "CardReaderEnable", "CardReaderRead", "CardReaderDisable"}},
    {"mute chip, invalid chip, unanswered command",
     R"({"on": {"chipInit": [{"events": []}, {"events": [{"event": "ChipInvalid", "afterMs": 100}]}],
                "chipSend": [{"events": []}]}})",
     {"CardReaderInit", "CardReaderEnable", "CardReaderRead", "QOR_WaitChip", "QOR_WaitChip",
      "ChipCardData=0084000008", "Qor_ChipTrnsp", "CardReaderReturn"}},
    {"a card accepted inside the enable call",
     R"({"on": {"acceptAndRead": [{"returns": 0, "events": [{"event": "CardAccepted", "during": true}]}]}})",
     {"CardReaderInit", "CardReaderEnable", "CardReaderRead"}},
    {"payment card records over the chip, masked in the log",
     R"({"on": {"chipSend": [{"events": [{"event": "ChipDataReceived", "afterMs": 100,
                                          "data": "700A5A0840000000000000029000"}]}]}})",
     {"CardReaderInit", "CardReaderEnable", "CardReaderRead", "QOR_WaitChip",
      "ChipCardData=00B2010C00", "Qor_ChipTrnsp", "CardReaderReturn"}},
    {"Timer1 resets a failed device, once between calls and once inside a wait",
     R"({"on": {"acceptAndRead": [{"returns": 0, "events": []}]}})",
     {"CardReaderInit", "sim:device=FATAL", "CardReaderStatus", "pump:31000", "pump:25000",
      "CardReaderEnable", "CardReaderRead", "sim:device=ONLINE", "CardReaderStatus",
      "CardReaderDisable", "pump:40000"}},
    {"a transaction logged on the real clock",
     R"({"on": {"reset": [{"events": [{"event": "ResetComplete", "during": true}]},
                          {"events": [{"event": "ResetComplete", "afterMs": 900}]}]}})",
     {"CardReaderInit", "CardReaderEnable", "CardReaderRead", "WriteTrack2=1234", "CardReaderWrite",
      "QOR_WaitChip", "ChipCardData=0084000008", "Qor_ChipTrnsp", "pump:1700", "CardReaderReset",
      "CardReaderReturn", "CardReaderReset"},
     1,
     true},
    {"three runs of the application in one file",
     "{}",
     {"CardReaderInit", "CardReaderEnable", "CardReaderRead", "CardReaderReturn"},
     3},
};

// The log as the real clock stamps it: the run at another time of day, the lines of one
// instant a few milliseconds apart, and every 300 ms pass of a wait a little longer.
void restamp_as_real_clock(const fs::path& log) {
    std::istringstream in(testing::file_text(log));
    std::string restamped;
    int64_t late = 3 * 3600'000 + 17 * 60'000 + 4'321, previous = 0;
    int n = 0;
    for (std::string line; std::getline(in, line);) {
        const int64_t ms = std::stoll(line.substr(11, 2)) * 3600'000 +
                           std::stoll(line.substr(14, 2)) * 60'000 +
                           std::stoll(line.substr(17, 2)) * 1000 + std::stoll(line.substr(20, 3));
        if (n++ > 0) late += n % 3 + (ms - previous) / 300 * 4;
        previous = ms;
        const int64_t at = ms + late;
        char stamp[32];
        std::snprintf(stamp, sizeof stamp, "%02lld:%02lld:%02lld.%03lld",
                      static_cast<long long>(at / 3600'000 % 24),
                      static_cast<long long>(at / 60'000 % 60),
                      static_cast<long long>(at / 1000 % 60), static_cast<long long>(at % 1000));
        restamped += line.substr(0, 11) + stamp + line.substr(23) + "\n";
    }
    std::ofstream(log, std::ios::binary | std::ios::trunc) << restamped;
}

class Replay : public testing::CliTest {
  protected:
    // One run of an application on the virtual clock; returns its log.
    fs::path session(const Session& s) {
        const fs::path scenario = drive.path() / "scenario.json";
        std::ofstream(scenario) << s.scenario;
        std::vector<std::string> args = {"run", "--virtual-clock", "--scenario", scenario.string()};
        args.insert(args.end(), s.steps.begin(), s.steps.end());
        const Outcome run = czqic(args);
        EXPECT_EQ(run.status, 0) << run.err;
        return log_file();
    }
};

TEST_F(Replay, EverySessionLogsTheSameMessagesAndResultsAgain) {
    for (const Session& s : kSessions) {
        SCOPED_TRACE(s.what);
        fs::path log;
        for (int run = 0; run < s.runs; ++run) log = session(s);
        if (s.real_clock) restamp_as_real_clock(log);
        const Outcome replay = czqic({"replay", "--check", log.string()});
        EXPECT_EQ(replay.status, 0) << replay.out << replay.err;
        EXPECT_THAT(replay.out, ::testing::ContainsRegex("messages matched, [1-9][0-9]* of"));
        if (s.runs > 1) {
            const std::string last = std::to_string(s.runs);
            EXPECT_THAT(replay.out, HasSubstr("session " + last + " of " + last));
            const Outcome one = czqic({"replay", "--check", "--session", last, log.string()});
            EXPECT_EQ(one.status, 0) << one.out << one.err;
            EXPECT_THAT(one.err, HasSubstr("session " + last + " of " + last + ": lines "));
            EXPECT_EQ(czqic({"replay", log.string()}).status, 2);
        }
        fs::remove_all(drive.path() / "C");
    }
}

// The files it writes are what `czqic run --log -` takes, and the scenario reads back as
// the one written.
TEST_F(Replay, TheWrittenScenarioAndStepsRunOnTheCommandLine) {
    const fs::path log = session(kSessions[5]);
    const fs::path scenario = drive.path() / "replayed.json", steps = drive.path() / "steps";
    const Outcome replay = czqic({"replay", log.string(), "--scenario-out", scenario.string(),
                                  "--steps-out", steps.string()});
    ASSERT_EQ(replay.status, 0) << replay.err;
    const std::string text = testing::file_text(scenario);
    EXPECT_EQ(sim::write_scenario(sim::parse_scenario(text)), text);

    std::vector<std::string> args = {"run", "--virtual-clock", "--log",
                                     "-",   "--scenario",      scenario.string()};
    std::istringstream step_lines(testing::file_text(steps));
    for (std::string step; std::getline(step_lines, step);) args.push_back(step);
    const std::string logged = testing::file_text(log);
    fs::remove_all(drive.path() / "C");
    const Outcome run = czqic(args);
    std::string expected;
    std::istringstream log_lines(logged);
    for (std::string line; std::getline(log_lines, line);)
        expected += "log: " + line.substr(line.find("] ") + 2) + "\n";
    std::string echoed;
    std::istringstream out_lines(run.out);
    for (std::string line; std::getline(out_lines, line);)
        if (line.starts_with("log: ")) echoed += line + "\n";
    EXPECT_EQ(echoed, expected);
}

TEST_F(Replay, ALogItCannotRepeatIsReportedAtItsFirstDifference) {
    const fs::path log = drive.path() / "Qor.log";
    std::ofstream(log) << "2026-01-01 10:00:00.000 [Qor] CardReaderInit:10120100\n"
                          "2026-01-01 10:00:00.300 [Qor] Event ConnectionOpened403\n"
                          "2026-01-01 10:00:00.300 [Qor] Event ConnectionOpened403\n";
    const Outcome replay = czqic({"replay", "--check", log.string()});
    EXPECT_EQ(replay.status, 1);
    EXPECT_THAT(replay.out, HasSubstr("message 4 differs: logged nothing"));
}

}  // namespace
}  // namespace czqic
