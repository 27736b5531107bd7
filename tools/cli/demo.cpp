#include "tools/cli/demo.h"

#include <chrono>
#include <cstdio>
#include <string>

#include "component/reader.h"
#include "tools/cli/printers.h"

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
        case kEndedOn413:
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

// Object 1 of the host, driven late-bound by member name as any client of the class.
class Transaction {
  public:
    Transaction(Host& host, std::ostream& out) : host_(host), out_(out) {}

    // Runs one method and prints its outcome; false once the transaction cannot go on.
    bool step(const char* name) {
        auto started = std::chrono::steady_clock::now();
        int32_t code;
        try {
            code = to_i4(host_.invoke(1, name, InvokeKind::Method, {}));
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

    // A member's Long, without judging it.
    int32_t call(const char* name, InvokeKind kind = InvokeKind::Method) {
        return to_i4(host_.invoke(1, name, kind, {}));
    }

    std::string get(const std::string& property) {
        return to_string(host_.invoke(1, property, InvokeKind::PropertyGet, {}));
    }
    void put(const std::string& property, const std::string& text) {
        Value value(text);
        host_.invoke(1, property, InvokeKind::PropertyPut, {&value, 1});
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
    Host& host_;
    std::ostream& out_;
    std::string stopped_at_;
};

// On a reader without a magnetic head (PC/SC) reading finds the card and no track, which
// the component reports as a failure with the card inside (status 5), and nothing is
// written; the chip part is the same.
bool run_transaction(Transaction& t, bool magnetic) {
    if (!t.step("CardReaderInit")) return false;
    if (!t.step("CardReaderEnable")) return false;
    if (magnetic) {
        t.print("    (the card holder inserts the card 1.5 s after card entry is enabled)");
        if (!t.step("CardReaderRead")) return false;
        for (int track = 1; track <= 3; ++track)
            t.show("ReadTrack" + std::to_string(track), t.get("ReadTrack" + std::to_string(track)));

        t.set("WriteTrack2", kNewTrack2);
        t.put("WriteTrack2", kNewTrack2);
        if (!t.step("CardReaderWrite")) return false;
    } else {
        t.print("    (insert the card now: the reader waits for it)");
        const int32_t read = t.call("CardReaderRead");
        const int32_t status = t.call("CardReaderStatus", InvokeKind::PropertyGet);
        t.print("CardReaderRead    " + std::to_string(read) + "  status " + std::to_string(status) +
                " (no magnetic tracks on this reader)");
        if (status != 5) return false;
    }

    if (!t.step("QOR_WaitChip")) return false;
    t.show("answer to reset", t.get("ChipCardData"));

    t.set("ChipCardData", kGetChallenge);
    t.put("ChipCardData", kGetChallenge);
    if (!t.step("Qor_ChipTrnsp")) return false;
    t.show("chip reply", t.get("ChipCardData"));

    if (!magnetic) t.print("    (take the card out when it is returned)");
    return t.step("CardReaderReturn");
}

}  // namespace

DemoOutcome run_demo_transaction(Host& host, std::ostream& out, bool magnetic) {
    DemoOutcome outcome;
    try {
        host.create_object(1);
    } catch (const AutomationError& e) {
        out << failure_line("ColsZQICCardReader", e.hresult(), e.description()) << '\n';
        outcome.stopped_at = "the object could not be created";
        return outcome;
    }
    Transaction transaction(host, out);
    try {
        outcome.succeeded = run_transaction(transaction, magnetic);
        outcome.stopped_at = transaction.stopped_at();
    } catch (const AutomationError& e) {
        out << failure_line("property", e.hresult(), e.description()) << '\n';
        outcome.stopped_at = "a property failed: " + e.description();
    }
    host.release_object(1);  // closes the device; part of what the log shows
    return outcome;
}

int run_demo(std::unique_ptr<Host> host, const std::string& heading, bool magnetic,
             const std::function<DemoLog()>& log_written, std::ostream& out, std::ostream& err) {
    out << heading << "\n\n" << std::flush;
    const DemoOutcome outcome = run_demo_transaction(*host, out, magnetic);
    host.reset();
    err << std::flush;

    const DemoLog log = log_written();
    out << "\nLog lines written to " << log.where << ":\n";
    for (const auto& line : log.lines) out << "    " << line << '\n';
    if (log.lines.empty()) out << "    (none)\n";
    if (outcome.succeeded)
        out << "\nEvery step succeeded.\n";
    else
        out << "\nThe transaction stopped: " << outcome.stopped_at << ".\n";
    out << std::flush;
    return outcome.succeeded ? 0 : 1;
}

}  // namespace czqic::cli
