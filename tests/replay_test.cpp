// `czqic replay` on sessions the component logged on the simulated reader: the scenario
// and steps it derives log every message again, in order.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "sim/sim_reader.h"
#include "tests/support/cli_run.h"
#include "tests/support/scratch.h"
#include "tools/czqic/cli.h"

namespace czqic {
namespace {

using testing::EnvGuard;
using ::testing::HasSubstr;
using testing::TempDir;
namespace fs = std::filesystem;

using testing::czqic;
using testing::Outcome;

struct Session {
    const char* what;
    const char* scenario;  // JSON over the built-in reader
    std::vector<std::string> steps;
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
};

class Replay : public ::testing::Test {
  protected:
    // One run of an application on the virtual clock; returns its log.
    fs::path session(const Session& s) {
        const fs::path scenario = drive.path() / "scenario.json";
        std::ofstream(scenario) << s.scenario;
        std::vector<std::string> args = {"run", "--virtual-clock", "--scenario", scenario.string()};
        args.insert(args.end(), s.steps.begin(), s.steps.end());
        const Outcome run = czqic(args);
        EXPECT_EQ(run.status, 0) << run.err;
        return drive.path() / "C" / "QUIRN" / "pq" / "log" / "Qor.log";
    }

    TempDir drive;
    EnvGuard root{"CZQIC_DRIVE_ROOT", drive.str()};
    EnvGuard card_data{"CZQIC_LOG_CARD_DATA", nullptr};
    EnvGuard no_env_scenario{"CZQIC_SIM_SCENARIO", nullptr};
};

TEST_F(Replay, EverySessionLogsTheSameMessagesAgain) {
    for (const Session& s : kSessions) {
        SCOPED_TRACE(s.what);
        const fs::path log = session(s);
        const Outcome replay = czqic({"replay", "--check", log.string()});
        EXPECT_EQ(replay.status, 0) << replay.out << replay.err;
        EXPECT_THAT(replay.out, HasSubstr("messages matched"));
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
