#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <optional>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "device/control_contract.h"
#include "sim/sim_reader.h"
#include "tests/support/cli_run.h"
#include "tests/support/scratch.h"
#include "tools/cli/host.h"
#include "tools/cli/probe.h"
#include "tools/cli/session.h"
#include "tools/czqic/cli.h"

namespace czqic::cli {
namespace {

using testing::EnvGuard;

namespace fs = std::filesystem;
using ::testing::AllOf;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::StartsWith;

using testing::lines_of;
using testing::Outcome;

class Czqic : public testing::CliTest {
  protected:
    Outcome czqic(std::vector<std::string> args) { return testing::czqic(std::move(args)); }
};

// --- Checking before running -------------------------------------------------------------

struct BadStep {
    const char* step;
    const char* complaint;
};

class CzqicBadStep : public Czqic, public ::testing::WithParamInterface<BadStep> {};

TEST_P(CzqicBadStep, RefusesTheWholeRunNamingTheStep) {
    // Earlier valid steps must not run: the clock would print and #2 would create.
    Outcome r =
        czqic({"run", "--virtual-clock", "--calls", "clock", "#2", GetParam().step, "CardVer"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err,
              "czqic: step 3 " + json_string(GetParam().step) + ": " + GetParam().complaint + "\n");
}

INSTANTIATE_TEST_SUITE_P(
    Steps, CzqicBadStep,
    ::testing::Values(
        BadStep{"Foo", "unknown member"}, BadStep{"Foo=1", "unknown member"},
        BadStep{"a:b", "unknown step"}, BadStep{"", "unknown step"},
        BadStep{"Card Ver", "unknown step"},
        BadStep{"pump:abc", "\"abc\" is not a number of milliseconds"},
        BadStep{"pump:-5", "\"-5\" is not a number of milliseconds"},
        BadStep{"pump:", "\"\" is not a number of milliseconds"},
        BadStep{"pump:9223372036854775808",
                "\"9223372036854775808\" is more than 9223372036854775807 milliseconds"},
        BadStep{"#2147483648", "object numbers go from 1 to 2147483647"},
        BadStep{"#0", "object numbers start at 1"},
        BadStep{"#x", "an object is selected as #N and released as #N-, N a number from 1"},
        BadStep{"#1--", "an object is selected as #N and released as #N-, N a number from 1"},
        BadStep{"ReadTrack1=x", "ReadTrack1 is read-only"},
        BadStep{"CardReaderInit=1", "CardReaderInit is a method, not a property"},
        BadStep{"WriteTrack1", "WriteTrack1 is write-only: set it with WriteTrack1=TEXT"},
        BadStep{"TimeOutCard=abc", "\"abc\" is not a decimal Long"},
        BadStep{"TimeOutCard=2147483648", "\"2147483648\" is not a decimal Long"},
        BadStep{"IsChipCard=1.5", "\"1.5\" is not a decimal Long"},
        BadStep{"TimeOutCard=", "\"\" is not a decimal Long"},
        BadStep{"sim:ChipDataReceived:XYZ", "\"XYZ\" is not hex bytes"},
        BadStep{"sim:ChipDataReceived:900", "\"900\" is not hex bytes"},
        BadStep{"sim:CardAccepted:00", "only ChipDataReceived carries data"},
        BadStep{"sim:", "sim: needs an event name or KEY=VALUE"},
        BadStep{"sim:=1", "sim:KEY=VALUE needs a key"},
        BadStep{"panel:NoSuchButton",
                "unknown step: the test panel has no button or text box \"NoSuchButton\""}));

TEST_F(Czqic, RefusesSimulatedStateTheReaderWouldNotTakeBeforeRunning) {
    Outcome unknown_key = czqic({"run", "clock", "sim:colour=red"});
    EXPECT_EQ(unknown_key.status, 2);
    EXPECT_EQ(unknown_key.out, "");
    EXPECT_THAT(unknown_key.err, StartsWith("czqic: step 2 \"sim:colour=red\": "));
    EXPECT_THAT(unknown_key.err, HasSubstr("colour"));

    Outcome bad_value = czqic({"run", "clock", "sim:binFlag=perhaps"});
    EXPECT_EQ(bad_value.status, 2);
    EXPECT_THAT(bad_value.err, StartsWith("czqic: step 2 \"sim:binFlag=perhaps\": "));
    EXPECT_EQ(lines_of(bad_value.err).size(), 1u);
}

TEST_F(Czqic, UsageErrorsExitTwoWithOneLine) {
    std::string broken = scenario_file(R"({"state": {"device": 5}})");
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {},
             {"fly"},
             {"run"},
             {"run", "--bogus", "clock"},
             {"run", "--virtual-clock=25:00:00", "clock"},
             {"run", "--virtual-clock=noon", "clock"},
             {"run", "--log", "out.txt", "clock"},
             {"run", "--scenario", (drive.path() / "missing.json").string(), "clock"},
             {"run", "--scenario", broken, "clock"},
         }) {
        Outcome r = czqic(args);
        std::string shown = ::testing::PrintToString(args);
        EXPECT_EQ(r.status, 2) << shown;
        EXPECT_EQ(r.out, "") << shown;
        EXPECT_THAT(r.err, StartsWith("czqic: ")) << shown;
        EXPECT_EQ(lines_of(r.err).size(), 1u) << shown << r.err;
    }
}

TEST_F(Czqic, ReadersOfTheOtherSystemAndCallsWithoutTheSimulatorAreRefused) {
    Outcome vendor = czqic({"demo", "--reader", "vendor"});
    EXPECT_EQ(vendor.status, 2);
    EXPECT_EQ(vendor.out, "");
    EXPECT_EQ(vendor.err,
              "czqic: --reader: \"vendor\" applies to czqic.exe on Windows only; here: sim, "
              "pcsc or pcsc:NAME\n");
    // The PC/SC control keeps no journal: --calls would print nothing.
    Outcome calls = czqic({"run", "--reader", "pcsc", "--calls", "clock"});
    EXPECT_EQ(calls.status, 2);
    EXPECT_EQ(calls.out, "");
    EXPECT_EQ(calls.err, "czqic: --calls applies to the simulated reader only (--reader sim)\n");
}

TEST_F(Czqic, TheLargestPumpEndsAndPumpsPastTheClocksScaleAreRefused) {
    Outcome longest = czqic({"run", "--virtual-clock", "pump:9223372036854775807", "clock"});
    EXPECT_EQ(longest.status, 0) << longest.err;
    ASSERT_EQ(longest.lines().size(), 1u);
    EXPECT_THAT(longest.lines()[0], StartsWith("clock = "));

    Outcome past = czqic({"run", "--virtual-clock", "pump:9223372036854775807", "pump:1"});
    EXPECT_EQ(past.status, 2);
    EXPECT_EQ(past.err,
              "czqic: step 2 \"pump:1\": the pumps add up to more than 9223372036854775807 "
              "milliseconds\n");

    // Time cannot pass at the end of the scale: a wait there fails instead of spinning.
    const std::string silent = scenario_file(R"({"on": {"reset": [{"events": []}]}})");
    Outcome stuck = czqic({"run", "--virtual-clock", "--scenario", silent, "--log", "-",
                           "pump:9223372036854775807", "CardReaderReset"});
    EXPECT_EQ(stuck.status, 0) << stuck.err;
    EXPECT_THAT(stuck.out, HasSubstr("log: CardReaderReset err:the virtual clock has reached the "
                                     "end of its scale\n"));
    EXPECT_THAT(stuck.out, HasSubstr("CardReaderReset = 10120003\n"));
}

TEST_F(Czqic, InputQuotedInAnErrorIsShortenedWithItsLength) {
    const std::string key(1 << 20, 'k');
    const std::string scenario = scenario_file("{\"state\": {\"" + key + "\": 1}}");
    for (const Outcome& r : {czqic({"run", "--scenario", scenario, "clock"}),
                             czqic({"run", "clock", std::string(1 << 20, 'x')})}) {
        EXPECT_EQ(r.status, 2);
        EXPECT_LT(r.err.size(), 400u) << r.err.substr(0, 400);
        EXPECT_THAT(r.err, HasSubstr("..."));
        EXPECT_THAT(r.err, ::testing::ContainsRegex(" \\(10485[0-9][0-9] bytes\\): "));
    }
}

TEST_F(Czqic, ScenarioFilesMustBeRegularBoundedAndFreeOfDuplicateKeys) {
    const fs::path fifo = drive.path() / "fifo.json";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string huge = scenario_file("");
    fs::resize_file(huge, (size_t{16} << 20) + 1);
    const std::string twice =
        scenario_file(R"({"on": {"reset": [{"events": [{"event": "ResetComplete",
                                                       "event": "CardTaken"}]}]}})");
    const std::pair<std::string, std::string> rows[] = {
        {"/dev/zero", "/dev/zero: not a regular file"},
        {fifo.string(), "fifo.json: not a regular file"},
        {huge, ": larger than the 16 MiB a scenario file may hold"},
        {twice, ": on.reset[0].events[0].event: key given more than once"},
    };
    for (const auto& [file, complaint] : rows) {
        Outcome r = czqic({"run", "--scenario", file, "clock"});
        EXPECT_EQ(r.status, 2) << file;
        EXPECT_EQ(r.out, "");
        EXPECT_THAT(r.err, HasSubstr(complaint));
        EXPECT_EQ(lines_of(r.err).size(), 1u) << r.err;
    }
}

TEST_F(Czqic, OutputThatCannotBeWrittenFailsTheRunWithOneLine) {
    std::ostringstream out, err;
    out.setstate(std::ios::badbit);  // as a full disk or a closed descriptor leaves it
    EXPECT_EQ(run_czqic({"run", "--virtual-clock", "clock"}, out, err), 1);
    EXPECT_EQ(err.str(), "czqic: writing standard output failed: the output is incomplete\n");
}

TEST_F(Czqic, ControlCharactersFromTheDeviceAreEscapedInOutputLines) {
    const std::string scenario =
        scenario_file(R"({"on": {"query": [{"fail": "not\r\nready \u001b[31m\u0000"}]}})");
    Outcome r = czqic({"run", "--virtual-clock", "--log", "-", "--scenario", scenario, "GSRV"});
    EXPECT_EQ(r.status, 0) << r.err;
    for (const auto& line : r.lines())
        EXPECT_EQ(std::count_if(line.begin(), line.end(),
                                [](char c) { return static_cast<unsigned char>(c) < 0x20; }),
                  0)
            << line;
    EXPECT_THAT(r.lines(),
                ::testing::Contains(::testing::EndsWith(" not\\r\\nready \\x1B[31m\\x00")));
}

TEST_F(Czqic, ScenarioProblemsNameTheFileAndTheKey) {
    std::string broken = scenario_file(R"({"state": {"device": 5}})");
    Outcome r = czqic({"run", "--scenario", broken, "clock"});
    EXPECT_THAT(r.err, HasSubstr(broken));
    EXPECT_THAT(r.err, HasSubstr("state.device"));
}

TEST_F(Czqic, HelpGoesToStandardOutput) {
    Outcome top = czqic({"--help"});
    EXPECT_EQ(top.status, 0);
    EXPECT_THAT(top.out, HasSubstr("run"));
    EXPECT_THAT(top.out, HasSubstr("demo"));
    Outcome run = czqic({"run", "--help"});
    EXPECT_EQ(run.status, 0);
    EXPECT_THAT(run.out,
                AllOf(HasSubstr("Usage: czqic run"), HasSubstr("--virtual-clock[=HH:MM:SS]"),
                      HasSubstr("sim:ChipDataReceived:HEX")));
}

// --- Running -----------------------------------------------------------------------------

TEST_F(Czqic, StepsAfterABareVirtualClockAreStepsNotItsValue) {
    Outcome r = czqic({"run", "--virtual-clock", "clock", "#2", "sim:media=PRESENT", "clock"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_THAT(r.lines(), ElementsAre("clock = 12:00:00.000", "clock = 12:00:00.000"));
}

TEST_F(Czqic, ClockFollowsTheVirtualClockAcrossMidnight) {
    Outcome r = czqic({"run", "--virtual-clock=23:59:59", "clock", "pump:1500", "clock",
                       "pump:86400000", "clock"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_THAT(r.lines(), ElementsAre("clock = 23:59:59.000", "clock = 00:00:00.500",
                                       "clock = 00:00:00.500"));

    Outcome fraction = czqic({"run", "--virtual-clock=08:30:00.25", "clock", "pump:1", "clock"});
    EXPECT_THAT(fraction.lines(), ElementsAre("clock = 08:30:00.250", "clock = 08:30:00.251"));
}

TEST_F(Czqic, ClockOnTheRealClockIsATimeOfDay) {
    Outcome r = czqic({"run", "clock"});
    EXPECT_EQ(r.status, 0) << r.err;
    ASSERT_EQ(r.lines().size(), 1u);
    EXPECT_TRUE(std::regex_match(r.lines()[0],
                                 std::regex(R"(clock = ([01]\d|2[0-3]):[0-5]\d:[0-5]\d\.\d{3})")))
        << r.out;
}

TEST_F(Czqic, StringsPrintAsJsonStringsAndLetsPrintNothing) {
    std::string text = "quote \" backslash \\ tab \t newline \n bell \x07 \xC3\xBC";
    Outcome r = czqic({"run", "--virtual-clock", "ChipCardData=" + text, "ChipCardData",
                       "chipcarddata=", "chipcarddata", "CardVer", "TimeOutCard=-2147483648",
                       "IsChipCard=+1"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_THAT(r.lines(),
                ElementsAre("ChipCardData = \"quote \\\" backslash \\\\ tab \\t newline \\n bell "
                            "\\u0007 \xC3\xBC\"",
                            "chipcarddata = \"\"", "CardVer = \"\""));
}

TEST_F(Czqic, CallsEchoTheJournalInOrderWithTheResults) {
    Outcome r = czqic({"run", "--virtual-clock", "--calls", "CardVer", "sim:lastErrorCode=\"a=b\"",
                       "GSRV", "Reset"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_THAT(r.lines(), ElementsAre("put: deviceName = \"CARDREADER_ZQICR\"", "CardVer = \"\"",
                                       "call: query(\"LastErrorCode\")", "GSRV = \"a=b\"",
                                       "Reset = 0", "call: close()"));
}

TEST_F(Czqic, ObjectsAreCreatedOnFirstUseAndWhatIsLeftIsReleasedAtTheEnd) {
    Outcome r = czqic({"run", "--virtual-clock", "--calls", "#3", "CardVer", "#2", "CardVer", "#5-",
                       "#2-", "clock", "#2", "CardVer", "clock", "#4", "clock"});
    EXPECT_EQ(r.status, 0) << r.err;
    const std::string put = "put: deviceName = \"CARDREADER_ZQICR\"";
    EXPECT_THAT(r.lines(),
                ElementsAre(put, "CardVer = \"\"", put, "CardVer = \"\"",
                            "call: close()",  // #2-; #5 never existed
                            "clock = 12:00:00.000", put, "CardVer = \"\"", "clock = 12:00:00.000",
                            "clock = 12:00:00.000",              // #4 is selected, never used
                            "call: close()", "call: close()"));  // #2 and #3
}

TEST_F(Czqic, FailedCallsPrintTheirCodeAndTheRunGoesOn) {
    std::string scenario = scenario_file(
        R"({"on": {"query": [{"fail": "Device not ready"}]},
            "state": {"failGets": {"mediaState": "Media sensor broken"}}})");
    Outcome r = czqic({"run", "--virtual-clock", "--scenario", scenario, "GSRV", "CardReaderStatus",
                       "WriteTrack1Len=abc", "Reset"});
    EXPECT_EQ(r.status, 0) << r.err;
    auto lines = r.lines();
    ASSERT_EQ(lines.size(), 4u) << r.out;
    EXPECT_TRUE(
        std::regex_match(lines[0], std::regex("GSRV failed: 0x8[0-9A-F]{7} Device not ready")))
        << lines[0];
    EXPECT_TRUE(std::regex_match(
        lines[1], std::regex("CardReaderStatus failed: 0x8[0-9A-F]{7} Media sensor broken")))
        << lines[1];
    EXPECT_EQ(lines[2], "WriteTrack1Len failed: 0x800A000D Type mismatch");
    EXPECT_EQ(lines[3], "Reset = 0");
}

TEST_F(Czqic, LogEchoShowsEachMessageAsItIsWrittenToTheFile) {
    Outcome r = czqic({"run", "--virtual-clock", "--log", "-", "CardReaderInit", "Reset"});
    EXPECT_EQ(r.status, 0) << r.err;
    // Every message echoed before the call's own result line, Reset logging nothing.
    auto lines = r.lines();
    ASSERT_GE(lines.size(), 3u) << r.out;
    EXPECT_EQ(lines.front(), "log: CardReaderInit:10120100");
    EXPECT_EQ(lines[lines.size() - 2], "CardReaderInit = 0");
    EXPECT_EQ(lines.back(), "Reset = 0");
    std::vector<std::string> echoed;
    for (size_t i = 0; i + 2 < lines.size(); ++i) {
        ASSERT_THAT(lines[i], StartsWith("log: "));
        echoed.push_back(lines[i].substr(5));
    }

    // The same messages, in the same order, are in the file with timestamp and tag.
    std::ifstream file(log_file());
    std::vector<std::string> written;
    for (std::string line; std::getline(file, line);) {
        auto tag = line.find(" [Qor] ");
        ASSERT_NE(tag, std::string::npos) << line;
        written.push_back(line.substr(tag + 7));
    }
    EXPECT_EQ(written, echoed);
}

TEST_F(Czqic, WithoutLogEchoMessagesOnlyReachTheFile) {
    Outcome r = czqic({"run", "--virtual-clock", "CardReaderInit"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_THAT(r.lines(), ElementsAre("CardReaderInit = 0"));
    EXPECT_TRUE(fs::exists(log_file()));
}

TEST_F(Czqic, ChipReplyFromTheCommandLineArrivesAsBytes) {
    Outcome r = czqic({"run", "--virtual-clock", "Reset", "sim:ChipDataReceived:3b00fF", "pump:1",
                       "ChipCardData", "sim:ChipDataReceived:", "pump:1", "ChipCardData"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_THAT(r.lines(),
                ElementsAre("Reset = 0", "ChipCardData = \"3B00FF\"", "ChipCardData = \"\""));
}

TEST_F(Czqic, ChallengesDifferFromRunToRunAndRepeatOnTheVirtualClock) {
    const auto challenge = [&](bool virtual_clock) {
        std::vector<std::string> args{"run", "ChipCardData=0084000008", "Qor_ChipTrnsp",
                                      "ChipCardData"};
        if (virtual_clock) args.insert(args.begin() + 1, "--virtual-clock");
        Outcome r = czqic(args);
        EXPECT_EQ(r.status, 0) << r.err;
        return r.out;
    };
    const std::string first = challenge(false);
    EXPECT_THAT(first, HasSubstr("Qor_ChipTrnsp = 0"));
    EXPECT_NE(challenge(false), first);
    EXPECT_EQ(challenge(true), challenge(true));
}

TEST_F(Czqic, ScenarioFromTheEnvironmentWhenNoneIsGiven) {
    std::string scenario = scenario_file(R"({"state": {"lastErrorCode": "E17"}})");
    EnvGuard env("CZQIC_SIM_SCENARIO", scenario.c_str());
    EXPECT_THAT(czqic({"run", "--virtual-clock", "GSRV"}).lines(), ElementsAre("GSRV = \"E17\""));
    std::string other = scenario_file(R"({"state": {"lastErrorCode": "E18"}})");
    EXPECT_THAT(czqic({"run", "--virtual-clock", "--scenario", other, "GSRV"}).lines(),
                ElementsAre("GSRV = \"E18\""));
}

TEST_F(Czqic, CardHolderDataIsMaskedInTheLogAndItsEchoButChipCardDataIsWhole) {
    // A payment card's READ RECORD between an FCI and a GET CHALLENGE reply.
    const std::string record =
        "703F57134761739001010010D29122011234567890123F5A0847617390010100105F200F544553542F"
        "43415244484F4C4445525F24032912315F3401019F4A01829000";
    const std::string masked =
        "703F5713476173******0010D*********************5A08476173******00105F200F**********"
        "********************5F24032912315F3401019F4A01829000";
    const std::vector<std::string> unchanged = {
        "3B6800008066435A51499000", "6F1A8407A0000000031010A50F500A564953412044454249548701019000",
        "1F2E3D4C5B6A79889000"};
    Outcome r =
        czqic({"run", "--virtual-clock", "--log", "-", "--scenario",
               CZQIC_TEST_ASSETS "/read_record.json", "QOR_WaitChip",
               "ChipCardData=00A4040007A0000000031010", "Qor_ChipTrnsp", "ChipCardData=00B2010C00",
               "Qor_ChipTrnsp", "ChipCardData", "ChipCardData=0084000008", "Qor_ChipTrnsp"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_THAT(r.lines(), ::testing::Contains("ChipCardData = \"" + record + "\""));

    std::vector<std::string> echoed, stored;
    for (const auto& line : r.lines())
        if (line.starts_with("log: mstrChipCardData:")) echoed.push_back(line.substr(22));
    std::ifstream in(log_file());
    for (std::string line; std::getline(in, line);)
        if (line.find("[Qor] mstrChipCardData:") != std::string::npos)
            stored.push_back(line.substr(line.find(':', 24) + 1));
    const std::vector<std::string> expected = {unchanged[0], unchanged[1], masked, unchanged[2]};
    EXPECT_EQ(echoed, expected);
    EXPECT_EQ(stored, expected);
    EXPECT_EQ(masked.size(), record.size());
}

TEST_F(Czqic, ALogThatCannotBeWrittenFailsTheCallNotTheRun) {
    // The log folder's place is taken by a file: every log call of the run fails.
    fs::create_directories(log_file().parent_path().parent_path());
    std::ofstream(log_file().parent_path()) << "in the way";
    Outcome r = czqic({"run", "--virtual-clock", "CardReaderInit", "Reset"});
    EXPECT_EQ(r.status, 0);  // every step ran, whatever the results
    ASSERT_GE(r.lines().size(), 2u) << r.out;
    EXPECT_TRUE(std::regex_match(r.lines()[0],
                                 std::regex("CardReaderInit failed: 0x800A004B Path/File access "
                                            "error: cannot create folder .*")))
        << r.out;
    EXPECT_EQ(r.lines()[1], "Reset = 0");
}

// --- The session against a scripted host -------------------------------------------------

// Records what the session asks of it; object 7 cannot be created the first time.
class ScriptedHost final : public Host {
  public:
    std::vector<std::string> calls;
    std::vector<int> alive;
    bool refuse_next_creation = false;
    // Takes every sim: step and does nothing with it.
    struct : SimulatedReader {
        std::optional<std::string> check_set(std::string_view, std::string_view) override {
            return std::nullopt;
        }
        void raise(std::string_view, std::optional<Value>) override {}
        void set(std::string_view, std::string_view) override {}
    } sim;

    std::optional<MemberShape> member(std::string_view name) override {
        if (name == "Ping") return MemberShape{.method = true};
        return std::nullopt;
    }
    std::optional<PanelItem> panel_item(std::string_view name) override {
        if (name == "Go") return PanelItem::Button;
        if (name == "Box") return PanelItem::TextBox;
        return std::nullopt;
    }
    bool has_object(int n) const override {
        return std::find(alive.begin(), alive.end(), n) != alive.end();
    }
    void create_object(int n) override {
        if (refuse_next_creation) {
            refuse_next_creation = false;
            throw AutomationError(429, 0x800A01ADu, "ActiveX component can't create object");
        }
        calls.push_back("create " + std::to_string(n));
        alive.push_back(n);
    }
    void release_object(int n) override {
        calls.push_back("release " + std::to_string(n));
        std::erase(alive, n);
    }
    std::vector<int> live_objects() const override {
        std::vector<int> sorted = alive;
        std::sort(sorted.begin(), sorted.end());
        return sorted;
    }
    Value invoke(int n, std::string_view m, InvokeKind, std::span<Value>) override {
        calls.push_back(std::string(m) + " on " + std::to_string(n));
        return Value(int32_t{n});
    }
    void pump_for(int64_t ms) override {
        if (ms == 13) throw std::runtime_error("the loop broke");
        calls.push_back("pump " + std::to_string(ms));
    }
    SimulatedReader& simulated_reader() override { return sim; }
    void panel_click(std::string_view b) override {
        throw AutomationError(438, 0x800A01B6u, "no handler for " + std::string(b));
    }
    std::string panel_read(std::string_view) override { return "Reset:0"; }
    std::string clock_text() override { return "12:00:00.000"; }
};

struct SessionRun {
    int status;
    std::string out, err;
};

SessionRun run_session(ScriptedHost& host, const std::vector<std::string>& texts) {
    std::ostringstream out, err;
    auto steps = parse_steps(texts, host);
    int status = run_steps(steps, host, out, err);
    return {status, out.str(), err.str()};
}

TEST(CzqicSession, ReleasesWhatIsLeftInOrderOfNumbersNotOfCreation) {
    ScriptedHost host;
    auto r = run_session(host, {"#9", "Ping", "#2", "Ping", "#10", "Ping", "#1", "Ping"});
    EXPECT_EQ(r.status, 0);
    EXPECT_THAT(host.calls, ElementsAre("create 9", "Ping on 9", "create 2", "Ping on 2",
                                        "create 10", "Ping on 10", "create 1", "Ping on 1",
                                        "release 1", "release 2", "release 9", "release 10"));
}

TEST(CzqicSession, AFailedCreationIsTheStepsFailureAndTheNextStepTriesAgain) {
    ScriptedHost host;
    host.refuse_next_creation = true;
    auto r = run_session(host, {"Ping", "Ping"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "Ping failed: 0x800A01AD ActiveX component can't create object\nPing = 1\n");
    EXPECT_THAT(host.calls, ElementsAre("create 1", "Ping on 1", "release 1"));
}

TEST(CzqicSession, AStepThatBreaksIsReportedTheRunGoesOnAndTheExitSaysSo) {
    ScriptedHost host;
    auto r = run_session(host, {"Ping", "pump:13", "pump:5", "panel:Go", "panel:Box"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "czqic: step 2 \"pump:13\": the loop broke\n");
    EXPECT_EQ(r.out,
              "Ping = 1\n"
              "panel:Go failed: 0x800A01B6 no handler for Go\n"
              "Box = \"Reset:0\"\n");
    EXPECT_THAT(host.calls, ElementsAre("create 1", "Ping on 1", "pump 5", "release 1"));
}

TEST(CzqicSession, ValidationStopsAtTheFirstBadStepWithItsPosition) {
    ScriptedHost host;
    try {
        parse_steps({"Ping", "panel:Go", "panel:Nope", "Pong"}, host);
        ADD_FAILURE() << "accepted an unknown panel item";
    } catch (const UsageError& e) {
        EXPECT_THAT(e.what(), StartsWith("step 3 \"panel:Nope\": "));
    }
    EXPECT_TRUE(host.calls.empty());
}

// --- The demo ----------------------------------------------------------------------------

TEST_F(Czqic, DemoRunsOneCompleteTransactionInRealTime) {
    Outcome r = czqic({"demo"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    for (const char* step :
         {"CardReaderInit", "CardReaderEnable", "CardReaderRead", "CardReaderWrite", "QOR_WaitChip",
          "Qor_ChipTrnsp", "CardReaderReturn"})
        EXPECT_TRUE(
            std::regex_search(r.out, std::regex(std::string("\n") + step + " +0  success \\(")))
            << step << "\n"
            << r.out;
    EXPECT_THAT(r.out, HasSubstr("chip reply = \""));
    EXPECT_THAT(r.out, HasSubstr("\n    CardReaderReturn end:411\n"));
    EXPECT_THAT(r.out, HasSubstr("Every step succeeded."));
}

// --- The probe ---------------------------------------------------------------------------

TEST_F(Czqic, ProbePassesAgainstTheBuiltInReaderAndJournalsWhatTheControlDid) {
    const fs::path journal = drive.path() / "journal.txt";
    Outcome r = czqic({"probe", "--non-interactive", "--virtual-clock", "--journal", journal});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    for (const char* step : {"open", "reset", "card entry", "tracks", "chip power-up",
                             "GET CHALLENGE", "eject and take", "cancel entry"})
        EXPECT_THAT(r.out, HasSubstr(std::string("\n") + step + ": passed")) << step;
    EXPECT_EQ(r.lines().back(), "probe: 13 passed, 0 failed, 0 skipped");

    std::ifstream in(journal);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_THAT(text, StartsWith("put: deviceName = \"CARDREADER_ZQICR\"\ncall: open()\n"
                                 "event: ConnectionOpened() after 100 ms\n"));
    EXPECT_THAT(text, HasSubstr("\ncall: chipSend(\"SEND\", 0, [0, 132, 0, 0, 8], -1)\n"));
    EXPECT_THAT(text, HasSubstr("\ncall: eject(-1)\nevent: CardEjected() after 300 ms\n"
                                "event: CardTaken() after 2300 ms\n"));
}

// The log lines a demo shows, but for the chip data that Qor_ChipTrnsp received: the
// card's reply to GET CHALLENGE is random.
std::vector<std::string> demo_log_lines(const Outcome& demo) {
    std::vector<std::string> logged;
    bool in_log = false, in_exchange = false;
    for (const std::string& line : demo.lines()) {
        if (line.starts_with("Log lines written to ")) {
            in_log = true;
            continue;
        }
        if (!in_log) continue;
        if (!line.starts_with("    ")) break;
        if (line.starts_with("    Qor_ChipTrnsp"))
            in_exchange = line.find(" end:") == std::string::npos;
        if (!(in_exchange && line.starts_with("    mstrChipCardData:"))) logged.push_back(line);
    }
    return logged;
}

// A recording of the built-in reader stands in for the reader: the probe passes against
// it, and the demo transaction logs against it what it logs against the reader itself.
TEST_F(Czqic, ProbeRecordingStandsInForTheRecordedReader) {
    const std::string recording = (drive.path() / "recorded.json").string();
    Outcome recorded =
        czqic({"probe", "--non-interactive", "--virtual-clock", "--record", recording});
    ASSERT_EQ(recorded.status, 0) << recorded.out << recorded.err;
    Outcome probed =
        czqic({"probe", "--non-interactive", "--virtual-clock", "--scenario", recording});
    EXPECT_EQ(probed.status, 0) << probed.out << probed.err;
    EXPECT_EQ(probed.lines().back(), "probe: 13 passed, 0 failed, 0 skipped") << probed.out;

    Outcome builtin = czqic({"demo", "--virtual-clock"});
    Outcome replayed = czqic({"demo", "--virtual-clock", "--scenario", recording});
    EXPECT_EQ(replayed.status, 0) << replayed.out << replayed.err;
    const auto expected = demo_log_lines(builtin);
    EXPECT_GT(expected.size(), 10u) << builtin.out;
    EXPECT_EQ(demo_log_lines(replayed), expected) << builtin.out << replayed.out;
}

struct WrongReader {
    const char* scenario;
    const char* failure;  // the one failed line's beginning
};

class CzqicProbeFails : public Czqic, public ::testing::WithParamInterface<WrongReader> {};

TEST_P(CzqicProbeFails, NamingTheStep) {
    Outcome r = czqic({"probe", "--non-interactive", "--virtual-clock", "--scenario",
                       scenario_file(GetParam().scenario)});
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    std::vector<std::string> failed;
    for (const auto& line : r.lines())
        if (line.find(": failed") != std::string::npos) failed.push_back(line);
    EXPECT_THAT(failed, ElementsAre(StartsWith(GetParam().failure))) << r.out;
}

INSTANTIATE_TEST_SUITE_P(
    Probe, CzqicProbeFails,
    ::testing::Values(
        WrongReader{R"({"on": {"reset": [{"events": [{"event": "FatalError", "afterMs": 200}]}]}})",
                    "reset: failed: FatalError (23) after 0.2 s ends the component's wait"},
        WrongReader{R"({"on": {"chipInit": [{}]}})",
                    "chip power-up: failed: no ChipDataReceived (461) or ChipInvalid (462) "
                    "within the device limit of 60 s"},
        WrongReader{
            R"({"on": {"eject": [{"events": [{"event": "CardEjected", "afterMs": 300}]}]}})",
            "eject and take: failed: no CardTaken (411) within TimeOutCard's default of 3 s"}));

TEST(Probe, WithNobodyAtARealReaderTheCardStepsAreSkippedNotFailed) {
    VirtualClock clock;
    MessageLoop loop(clock);
    ClassRegistry classes;
    auto device = sim::SimDevice::create(loop, sim::builtin_scenario());
    device->register_class(classes);
    std::ostringstream out;
    const auto reports = probe::run(classes, kControlProgId, loop, {}, out);
    EXPECT_EQ(probe::exit_status(reports), 0) << out.str();
    EXPECT_THAT(out.str(),
                HasSubstr("\ncard entry: skipped: needs a person at the reader, media \"NOMEDIA\"\n"
                          "tracks: skipped: no card inside: the card entry did not take one, media "
                          "\"NOMEDIA\"\n"));
    EXPECT_THAT(out.str(), HasSubstr("\ncancel entry: passed"));
    EXPECT_EQ(lines_of(out.str()).back(), "probe: 8 passed, 0 failed, 5 skipped");
}

TEST(Probe, AChipOnlyReaderWithTheCardInsideRunsTheCardStepsWithNobodyThere) {
    VirtualClock clock;
    MessageLoop loop(clock);
    ClassRegistry classes;
    auto device = sim::SimDevice::create(loop, sim::parse_scenario(R"({"state": {
        "media": "PRESENT", "tracks": [{"status": "MISSING", "data": ""},
        {"status": "MISSING", "data": ""}, {"status": "MISSING", "data": ""}]}})"));
    device->register_class(classes);
    std::ostringstream out;
    const auto reports = probe::run(classes, kControlProgId, loop, {}, out);
    EXPECT_EQ(probe::exit_status(reports), 0) << out.str();
    EXPECT_THAT(out.str(), HasSubstr("\ncard entry: passed"));
    EXPECT_THAT(out.str(), HasSubstr("\ntracks: skipped: no magnetic tracks: track 2 \"MISSING\", "
                                     "track 3 \"MISSING\", track 1 \"MISSING\"\n"));
    EXPECT_THAT(out.str(), HasSubstr("\nGET CHALLENGE: passed"));
}

}  // namespace
}  // namespace czqic::cli
