#include "tools/czqic/demo.h"

#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "log/file_log_writer.h"
#include "log/log_line.h"
#include "tools/czqic/linux_host.h"
#include "tools/czqic/session.h"

namespace czqic::cli {
namespace {

const char* meaning(int32_t code) {
    switch (code) {
        case kOk:
            return "success";
        case kTimedOut:
            return "time-out: no completion reported in time";
        case kFailed:
            return "general failure";
        case kStatus413:
            return "status 413 reported";
        case kCaptured:
            return "card captured";
        default:
            return "not a result code";
    }
}

// The built-in card's track 2 with a new expiry date: what a reissue would write back.
constexpr const char* kNewTrack2 = ";4000000000000002=31122011000000000000?";
constexpr const char* kGetChallenge = "0084000004";  // ISO/IEC 7816-4: 4 random bytes

class Transaction {
  public:
    Transaction(ColsZQICCardReader& reader, std::ostream& out) : reader_(reader), out_(out) {}

    // Runs one method and prints its outcome; false once the transaction cannot go on.
    bool step(const char* name, int32_t (ColsZQICCardReader::*method)()) {
        auto started = std::chrono::steady_clock::now();
        int32_t code;
        try {
            code = (reader_.*method)();
        } catch (const AutomationError& e) {
            print(failure_line(name, e.hresult(), e.description()));
            stopped_at_ = std::string(name) + " failed as a call";
            return false;
        }
        std::chrono::duration<double> took = std::chrono::steady_clock::now() - started;
        char line[160];
        std::snprintf(line, sizeof line, "%-17s %8d  %s (%.1f s)", name, static_cast<int>(code),
                      meaning(code), took.count());
        print(line);
        if (code != kOk) {
            stopped_at_ = std::string(name) + " returned " + std::to_string(code) + " (" +
                          meaning(code) + ")";
            return false;
        }
        return true;
    }

    void print(const std::string& line) { out_ << line << '\n' << std::flush; }
    void show(const std::string& label, const std::string& text) {
        print("    " + label + " = " + json_string(text));
    }
    void set(const std::string& label, const std::string& text) {
        print("set " + label + " = " + json_string(text));
    }
    const std::string& stopped_at() const { return stopped_at_; }

  private:
    ColsZQICCardReader& reader_;
    std::ostream& out_;
    std::string stopped_at_;
};

bool run_transaction(ColsZQICCardReader& reader, Transaction& t) {
    using R = ColsZQICCardReader;
    if (!t.step("CardReaderInit", &R::CardReaderInit)) return false;
    if (!t.step("CardReaderEnable", &R::CardReaderEnable)) return false;
    t.print("    (the card holder inserts the card 1.5 s after card entry is enabled)");
    if (!t.step("CardReaderRead", &R::CardReaderRead)) return false;
    for (int track = 1; track <= 3; ++track)
        t.show("ReadTrack" + std::to_string(track), reader.ReadTrack(track));

    t.set("WriteTrack2", kNewTrack2);
    reader.WriteTrack(2, kNewTrack2);
    if (!t.step("CardReaderWrite", &R::CardReaderWrite)) return false;

    if (!t.step("QOR_WaitChip", &R::QOR_WaitChip)) return false;
    t.show("answer to reset", reader.ChipCardData());

    t.set("ChipCardData", kGetChallenge);
    reader.ChipCardData(kGetChallenge);
    if (!t.step("Qor_ChipTrnsp", &R::Qor_ChipTrnsp)) return false;
    t.show("chip reply", reader.ChipCardData());

    return t.step("CardReaderReturn", &R::CardReaderReturn);
}

}  // namespace

int run_demo(std::ostream& out, std::ostream& err) {
    std::vector<std::string> logged;
    LinuxHostOptions options;  // the built-in reader on the real clock
    options.on_log = [&logged](const std::string& message) { logged.push_back(message); };
    options.on_failure = [&out, &err](std::string_view where, std::string_view description) {
        out.flush();
        err << "czqic: " << where << ": " << description << '\n' << std::flush;
    };

    bool succeeded = false;
    std::string stopped_at;
    {
        LinuxHost host(std::move(options));
        out << "One card transaction on the built-in simulated reader, in real time.\n\n"
            << std::flush;
        try {
            host.create_object(1);
        } catch (const AutomationError& e) {
            out << failure_line("ColsZQICCardReader", e.hresult(), e.description()) << '\n';
            stopped_at = "the object could not be created";
        }
        if (host.has_object(1)) {
            Transaction transaction(host.reader(1), out);
            succeeded = run_transaction(host.reader(1), transaction);
            stopped_at = transaction.stopped_at();
            host.release_object(1);  // closes the device; part of what the log shows
        }
    }

    std::string where = kLogPath;
    try {
        where += " (here " + map_drive_path(kLogPath) + ")";
    } catch (const AutomationError&) {
        // Nothing was written either, and the log lines below say so by their absence.
    }
    out << "\nLog lines written to " << where << ":\n";
    for (const auto& message : logged) out << "    " << escape_controls(message) << '\n';
    if (logged.empty()) out << "    (none)\n";

    if (succeeded)
        out << "\nEvery step succeeded.\n";
    else
        out << "\nThe transaction stopped: " << stopped_at << ".\n";
    out << std::flush;
    return succeeded ? 0 : 1;
}

}  // namespace czqic::cli
