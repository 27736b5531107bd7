// `czqic log` against logs the component wrote on the simulated reader: every call read
// back in order with the result the component returned.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/cli_run.h"

namespace czqic {
namespace {

using ::testing::HasSubstr;
namespace fs = std::filesystem;

using testing::czqic;
using testing::Outcome;

std::vector<nlohmann::json> json_lines(const std::string& text) {
    std::vector<nlohmann::json> records;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) records.push_back(nlohmann::json::parse(line));
    return records;
}

struct Call {
    std::string operation;
    long long result;
};

// The methods that log every call; CardReaderGetStatus and CardReaderClear log their
// failures only.
std::vector<Call> logged_calls(const std::string& run_output) {
    static const std::set<std::string> always = {
        "CardReaderInit", "CardReaderReset", "CardReaderRetain", "CardReaderEnable",
        "CardReaderRead", "CardReaderWrite", "CardReaderReturn", "CardReaderDisable",
        "QOR_WaitChip",   "Qor_ChipTrnsp"};
    std::vector<Call> calls;
    std::istringstream in(run_output);
    for (std::string line; std::getline(in, line);) {
        const size_t eq = line.find(" = ");
        if (eq == std::string::npos || line[eq + 3] == '"') continue;
        const Call call{line.substr(0, eq), std::stoll(line.substr(eq + 3))};
        const bool failure_only =
            call.operation == "CardReaderGetStatus" || call.operation == "CardReaderClear";
        if (always.contains(call.operation) || (failure_only && call.result == 10120003))
            calls.push_back(call);
    }
    return calls;
}

class LogReader : public testing::CliTest {
  protected:
    // One run of an application: the steps on the virtual clock, the log appended to.
    Outcome session(const std::string& json, std::vector<std::string> steps) {
        std::vector<std::string> args = {"run", "--virtual-clock"};
        if (!json.empty()) args.insert(args.end(), {"--scenario", scenario_file(json)});
        args.insert(args.end(), steps.begin(), steps.end());
        return czqic(args);
    }
};

struct Session {
    const char* what;
    const char* scenario;  // JSON over the built-in reader; empty for the built-in reader
    std::vector<std::string> steps;
    int timer1_resets = 0;
    int events_outside = 0;       // handled while no call waited
    const char* asset = nullptr;  // a scenario of tests/assets instead
};

const Session kSessions[] = {
    {"transaction with two tracks and a chip",
     "",
     {"CardReaderInit", "CardReaderEnable", "CardReaderRead", "WriteTrack2=1234", "WriteTrack3=56",
      "CardReaderWrite", "QOR_WaitChip", "ChipCardData=0084000008", "Qor_ChipTrnsp",
      "CardReaderReturn", "CardReaderDisable"}},
    {"card captured by retain; card inserted between the calls",
     "",
     {"CardReaderInit", "CardReaderEnable", "pump:2000", "CardReaderRead", "CardReaderRetain"},
     0,
     1},
    {"reset answered by CardCaptured",
     R"({"on": {"reset": [{"events": [{"event": "ResetComplete", "afterMs": 500}]},
                          {"events": [{"event": "CardCaptured", "afterMs": 700}]}]}})",
     {"CardReaderInit", "CardReaderReset"}},
    {"no card, entry withdrawn, card never taken",
     R"({"on": {"eject": [{"events": [{"event": "CardEjected", "afterMs": 300}]}],
                "acceptAndRead": [{"returns": 0, "events": []}]}})",
     {"CardReaderInit", "CardReaderEnable", "CardReaderRead", "CardReaderDisable",
      "CardReaderReturn"}},
    {"open refused", R"({"on": {"open": [{"fail": "Device not ready"}]}})", {"CardReaderInit"}},
    {"device errors, a reset answered inside its call, a failed write",
     R"({"on": {"open": [{"events": [{"event": "DeviceError", "afterMs": 100}]}],
                "reset": [{"events": [{"event": "DeviceError", "afterMs": 200}]},
                          {"events": [{"event": "ResetComplete", "during": true}]}],
                "writeTrack": [{"events": [{"event": "CardWritten", "afterMs": 100}]},
                               {"events": [{"event": "DeviceError", "afterMs": 100}]}]}})",
     {"CardReaderInit", "CardReaderReset", "CardReaderEnable", "CardReaderRead", "WriteTrack1=abc",
      "WriteTrack2=def", "CardReaderWrite", "sim:DeviceError", "pump:100"},
     0,
     1},
    {"entry refused",
     R"({"on": {"acceptAndRead": [{"returns": 1}]}})",
     {"CardReaderInit", "CardReaderEnable", "CardReaderDisable"}},
    {"mute chip, invalid chip, unanswered command",
     R"({"on": {"chipInit": [{"events": []}, {"events": [{"event": "ChipInvalid", "afterMs": 100}]}],
                "chipSend": [{"events": []}]}})",
     {"CardReaderInit", "CardReaderEnable", "CardReaderRead", "QOR_WaitChip", "QOR_WaitChip",
      "ChipCardData=0084000008", "Qor_ChipTrnsp", "CardReaderReturn"}},
    {"Timer1 resets a failed device, once between calls and once inside a wait",
     R"({"on": {"acceptAndRead": [{"returns": 0, "events": []}]}})",
     {"CardReaderInit", "sim:device=FATAL", "CardReaderStatus", "pump:31000", "pump:25000",
      "CardReaderEnable", "CardReaderRead", "sim:device=ONLINE", "CardReaderStatus",
      "CardReaderDisable"},
     2},
    {"errors after the end lines, a failing clear",
     R"({"state": {"failGets": {"track2Status": "Track head failed"}},
         "on": {"cancelWait": [{}, {"fail": "Control busy"}], "eject": [{"events": []}],
                "clear": [{"fail": "Clear failed"}]}})",
     {"CardReaderInit", "CardReaderEnable", "CardReaderRead", "CardReaderReturn",
      "CardReaderClear"}},
    {"status refused, a card accepted inside the enable call",
     R"({"state": {"failGets": {"mediaState": "No media sensor"}},
         "on": {"acceptAndRead": [{"returns": 0, "events": [{"event": "CardAccepted", "during": true}]}]}})",
     {"CardReaderInit", "CardReaderGetStatus", "CardReaderEnable", "CardReaderRead"}},
    {"payment card records over the chip",
     "",
     {"CardReaderInit", "CardReaderEnable", "CardReaderRead", "QOR_WaitChip",
      "ChipCardData=00A4040007A0000000031010", "Qor_ChipTrnsp", "ChipCardData=00B2010C00",
      "Qor_ChipTrnsp", "CardReaderReturn"},
     0,
     0,
     "read_record.json"},
};

TEST_F(LogReader, SessionsReadBackGiveEveryCallInOrderWithTheResultTheComponentReturned) {
    std::vector<Call> returned;
    int timer1_resets = 0, events_outside = 0;
    for (const Session& s : kSessions) {
        std::string json = s.scenario;
        if (s.asset) json = testing::file_text(std::string(CZQIC_TEST_ASSETS "/") + s.asset);
        const Outcome run = session(json, s.steps);
        ASSERT_EQ(run.status, 0) << s.what << ": " << run.err;
        for (const Call& c : logged_calls(run.out)) returned.push_back(c);
        timer1_resets += s.timer1_resets;
        events_outside += s.events_outside;
    }

    const Outcome back = czqic({"log", "--json", (log_folder() / "Qor.log").string()});
    ASSERT_EQ(back.status, 0) << back.err;
    std::vector<nlohmann::json> calls;
    int timer1_records = 0, event_records = 0;
    for (const auto& r : json_lines(back.out)) {
        EXPECT_FALSE(r["incomplete"].get<bool>()) << r;
        if (r.contains("event")) {
            ++event_records;
            continue;
        }
        if (r["by"] == "Timer1")
            ++timer1_records;
        else
            calls.push_back(r);
    }
    EXPECT_EQ(timer1_records, timer1_resets);
    EXPECT_EQ(event_records, events_outside);
    ASSERT_EQ(calls.size(), returned.size()) << back.out;
    for (size_t i = 0; i < calls.size(); ++i) {
        const auto& r = calls[i];
        EXPECT_EQ(r["operation"], returned[i].operation) << "call " << i << ": " << r;
        // A read that saw its card leaves the result to the tracks, which are not logged.
        if (r["result"].is_null())
            EXPECT_TRUE(r["operation"] == "CardReaderRead" && r["status"] == 405) << r;
        else
            EXPECT_EQ(r["result"], returned[i].result) << "call " << i << ": " << r;
    }
}

TEST_F(LogReader, VirtualRunsLogTheirOwnTimesRollingAtMidnightAndDayFilesReadInOrder) {
    // Opened before midnight, reset after it: the day's file is renamed at the first line
    // of the next day, and the call goes on in the new file.
    ASSERT_EQ(czqic({"run", "--virtual-clock=23:59:59.5", "CardReaderInit"}).status, 0);
    std::vector<std::string> files;
    for (const auto& entry : fs::directory_iterator(log_folder()))
        files.push_back(entry.path().string());
    ASSERT_EQ(files.size(), 2u);
    std::ranges::sort(files, std::greater<>());  // Qor.log first, which is read last

    const Outcome back = czqic({"log", "--json", files[0], files[1]});
    ASSERT_EQ(back.status, 0) << back.err;
    const auto records = json_lines(back.out);
    ASSERT_EQ(records.size(), 1u) << back.out;
    const auto& init = records[0];
    EXPECT_EQ(init["operation"], "CardReaderInit");
    EXPECT_THAT(init["start"].get<std::string>(), ::testing::EndsWith("T23:59:59.500"));
    EXPECT_EQ(init["file"], files[1]);
    // The open's 100 ms and the reset's 500 ms, and in the standard wait 300 ms passes.
    EXPECT_GE(init["ms"], 600);
    EXPECT_LE(init["ms"], 1500);
    EXPECT_EQ(init["result"], 0);
    EXPECT_EQ(init["events"].size(), 3u);
}

TEST_F(LogReader, AVirtualRunDaysAheadRemovesNoRealDayFile) {
    // Today's real log, then a run whose clock is a hundred days on: its lines start a new
    // file, and the day just ended is kept although it looks a hundred days old.
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char today[16];
    std::strftime(today, sizeof today, "%Y-%m-%d", &local);
    fs::create_directories(log_folder());
    std::ofstream(log_folder() / "Qor.log")
        << today << " 08:00:00.000 [Qor] CardReaderInit:10120100\n";
    ASSERT_EQ(czqic({"run", "--virtual-clock", "pump:8640000000", "CardReaderReset"}).status, 0);
    EXPECT_TRUE(fs::exists(log_folder() / ("Qor." + std::string(today) + ".log")));
    const std::string first = testing::file_lines(log_folder() / "Qor.log").at(0);
    EXPECT_THAT(first, ::testing::EndsWith("[Qor] CardReaderReset:10120100"));
    EXPECT_NE(first.substr(0, 10), today);
}

TEST_F(LogReader, WindowsLinesClearChipDataAndACallTheLogEndsInside) {
    // As QorLogWriter.dll writes with LogCardData = clear: CR LF, the reply unmasked.
    const std::string record =
        "703F57134761739001010010D29122011234567890123F5A0847617390010100105F200F544553542F"
        "43415244484F4C4445525F24032912315F3401019F4A01829000";
    const fs::path log = drive.path() / "Qor.log";
    std::ofstream(log, std::ios::binary)
        << "2026-02-01 10:00:00.000 [Qor] Qor_ChipTrnsp:10120100\r\n"
        << "2026-02-01 10:00:00.100 [Qor] Event ChipDataReceived461\r\n"
        << "2026-02-01 10:00:00.100 [Qor] mstrChipCardData:" << record << "\r\n"
        << "2026-02-01 10:00:00.300 [Qor] Qor_ChipTrnsp end:461\r\n"
        << "2026-02-01 10:00:01.000 [Qor] CardReaderReturn:10120100\r\n"
        << "2026-02-01 10:00:01.300 [Qor] Event CardEjected10120100\r\n";
    const auto masked = json_lines(czqic({"log", "--json", log.string()}).out);
    const auto shown = json_lines(czqic({"log", "--json", "--show-card-data", log.string()}).out);
    ASSERT_EQ(masked.size(), 2u);
    EXPECT_EQ(masked[0]["result"], 0);
    EXPECT_EQ(masked[0]["ms"], 300);
    EXPECT_THAT(masked[0]["chip"].get<std::string>(),
                ::testing::StartsWith("703F5713476173******"));
    EXPECT_EQ(masked[0]["chip"].get<std::string>().size(), record.size());
    EXPECT_EQ(shown[0]["chip"], record);

    const auto& cut = masked[1];
    EXPECT_EQ(cut["operation"], "CardReaderReturn");
    EXPECT_TRUE(cut["incomplete"].get<bool>());
    EXPECT_TRUE(cut["result"].is_null());
    EXPECT_TRUE(cut["ms"].is_null());
    EXPECT_EQ(cut["events"].size(), 1u);
    EXPECT_EQ(cut["line"], 5);
}

TEST_F(LogReader, SummaryCountsResultsAndGivesDurationQuantilesPerFileAndInTotal) {
    // Twenty exchanges of 0.1 s to 2 s, the last two timing out; one error.
    const fs::path log = drive.path() / "Qor.log";
    {
        std::ofstream out(log);
        for (int i = 1; i <= 20; ++i) {
            const int end = i * 100;
            char line[160];
            std::snprintf(line, sizeof line,
                          "2026-02-01 10:%02d:00.000 [Qor] Qor_ChipTrnsp:10120100\n"
                          "2026-02-01 10:%02d:%02d.%03d [Qor] Qor_ChipTrnsp end:%d\n",
                          i, i, end / 1000, end % 1000, i > 18 ? 10120100 : 461);
            out << line;
        }
        out << "2026-02-01 11:00:00.000 [Qor] CardReaderInit err:Device not ready\n"
            << "not a line of the component's\n";
    }
    const Outcome summary = czqic({"log", "--summary", log.string()});
    ASSERT_EQ(summary.status, 0) << summary.err;
    // Quantiles to the millisecond below 1024 ms, else within 1.6 %.
    EXPECT_THAT(summary.out,
                ::testing::ContainsRegex(
                    "Qor_ChipTrnsp +20 +0: 18  10120001: 2 +1.000 s +1.896 s +2.000 s"));
    EXPECT_THAT(summary.out, HasSubstr("time-outs: 2 (Qor_ChipTrnsp 2)"));
    EXPECT_THAT(summary.out, HasSubstr("    1  CardReaderInit: Device not ready\n"));
    EXPECT_THAT(summary.out, HasSubstr("total (1 file)"));
    EXPECT_THAT(summary.out, HasSubstr("lines not the component's: 1"));
}

}  // namespace
}  // namespace czqic
