// How a log becomes a scenario. The log shows each event at the pump that handled it,
// which is all a replay needs: an event is raised so that the same pump handles it.
// - An event logged just before the line of the control call that raised it (Init, Reset,
//   Retain, Enable) came inside that call: it is a `during` event of that call's reaction.
// - An event logged at the instant of a Reset's or Retain's (or Init's) own line came
//   from that call and was handled by its first pump: an immediate event of its reaction.
// - Any other event goes on the timeline, half a pass before the pump that handled it
//   when a pass ran up to it, at its own time when it came between the client's calls.
// Every member that raises events otherwise answers silently, so that only the logged
// events happen.
#include "tools/czqic/replay.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <vector>

#include "diag/call_builder.h"
#include "diag/log_input.h"
#include "diag/log_message.h"
#include "log/card_data.h"
#include "log/log_line.h"
#include "platform/hex.h"
#include "platform/text.h"
#include "sim/sim_reader.h"
#include "tools/cli/session.h"
#include "tools/czqic/linux_host.h"

namespace czqic::cli {
namespace {

using diag::Message;
using diag::Op;
using Kind = Message::Kind;

constexpr int64_t kHalfPass = 150;
// A chip command for the replayed Qor_ChipTrnsp calls: the log does not keep the command.
constexpr std::string_view kReplayCommand = "0084000008";
// The text replayed writes give a track: the log does not keep what was written.
constexpr std::string_view kReplayTrackText = "0123456789";

struct Logged {
    int64_t ms;  // from the first line
    std::string message;
    Message m;
    uint64_t line;
};

struct Collected final : diag::RecordSink {
    std::vector<diag::Record> records;
    void record(const diag::Record& r) override { records.push_back(r); }
};

std::optional<std::string_view> member_of_start(const Message& m) {
    if (m.kind == Kind::End && m.op == Op::Enable) return "acceptAndRead";
    if (m.kind != Kind::Start) return std::nullopt;
    switch (m.op) {
        case Op::Init:
            return "open";
        case Op::Reset:
            return "reset";
        case Op::Retain:
            return "retain";
        case Op::Return:
            return "eject";
        case Op::WaitChip:
            return "chipInit";
        case Op::ChipTrnsp:
            return "chipSend";
        case Op::Write:
            return "writeTrack";
        default:
            return std::nullopt;
    }
}

// Whether the member's call raises events inside it before its own line is written.
bool line_after_call(const Message& m) {
    return (m.kind == Kind::Start &&
            (m.op == Op::Init || m.op == Op::Reset || m.op == Op::Retain)) ||
           (m.kind == Kind::End && m.op == Op::Enable);
}

struct Derived {
    sim::Scenario scenario;
    std::vector<std::string> steps;
    std::vector<std::string> expected;  // the log's messages, as stored
    std::vector<std::string> notes;     // what the log could not tell, and what was chosen
    int64_t last_ms = 0;                // the steps pump at least until then
};

class Builder {
  public:
    Builder(const std::vector<Logged>& lines, Derived& d) : lines_(lines), d_(d) {}

    void scenario() {
        d_.scenario = sim::builtin_scenario();
        for (std::string_view member :
             {"open", "reset", "retain", "eject", "chipInit", "chipSend", "writeTrack",
              "acceptAndRead", "cancelAccept", "cancelWait"})
            d_.scenario.on[std::string(member)] = {};
        for (size_t i = 0; i < lines_.size(); ++i) line(i);
        for (auto& [member, reactions] : d_.scenario.on)
            if (reactions.empty()) reactions.emplace_back();
    }

  private:
    void line(size_t i) {
        const Logged& l = lines_[i];
        d_.expected.push_back(l.message);
        if (l.m.kind == Kind::Event) return event(i);
        if (l.m.kind == Kind::Error) return error(l);
        if (l.m.kind != Kind::ChipData) {
            last_line_ms_ = l.ms;
            after_end_ = l.m.kind == Kind::End || l.m.kind == Kind::Error;
        }
        const auto member = member_of_start(l.m);
        if (!member) return;
        sim::Reaction r;
        if (l.m.op == Op::Enable && l.m.status && *l.m.status != 405 && *l.m.status != 460)
            r.returns = Value(*l.m.status);
        r.events = std::move(during_);
        during_.clear();
        d_.scenario.on[std::string(*member)].push_back(std::move(r));
        last_call_ = {std::string(*member), l.ms, line_after_call(l.m)};
    }

    void error(const Logged& l) {
        // A call that failed before its own line: the control refused it.
        Message start;
        start.kind = Kind::Start;
        start.op = l.m.op;
        const auto member = member_of_start(start);
        const bool started = last_call_ && last_call_->member == member && last_call_->ms == l.ms;
        if (!member || started || l.m.op == Op::Enable) return;
        sim::Reaction r;
        // As the log shows it: a description's control characters stay escaped.
        r.fail = std::string(l.m.text);
        d_.scenario.on[std::string(*member)].push_back(std::move(r));
    }

    void event(size_t i) {
        const Logged& l = lines_[i];
        sim::EventSpec e;
        e.event = std::string(diag::event_name(l.m.event));
        if (i + 1 < lines_.size() && lines_[i + 1].m.kind == Kind::ChipData)
            e.data = chip_reply(lines_[i + 1]);
        const Logged* next = following(i);
        if (next && next->ms == l.ms && line_after_call(next->m)) {
            e.during = true;
            during_.push_back(std::move(e));
            return;
        }
        if (last_call_ && last_call_->immediate && last_call_->ms == l.ms &&
            last_line_ms_ == l.ms) {
            d_.scenario.on[last_call_->member].back().events.push_back(std::move(e));
            return;
        }
        sim::TimelineEntry t;
        // At a call's end line's instant the call's last pump has run: the event came after
        // it, for the client's next pump.
        t.at_ms = l.ms - last_line_ms_ >= kHalfPass     ? l.ms - kHalfPass
                  : l.ms == last_line_ms_ && after_end_ ? l.ms + 1
                                                        : l.ms;
        d_.last_ms = std::max(d_.last_ms, t.at_ms);
        t.event = std::move(e.event);
        t.data = std::move(e.data);
        d_.scenario.timeline.push_back(std::move(t));
    }

    // The next line that is not an event or chip data.
    const Logged* following(size_t i) const {
        for (size_t j = i + 1; j < lines_.size(); ++j)
            if (lines_[j].m.kind != Kind::Event && lines_[j].m.kind != Kind::ChipData)
                return &lines_[j];
        return nullptr;
    }

    // The reply as logged, each masked digit made a zero: the masking rule keeps places,
    // not values, so the reply masks to the same text.
    Value chip_reply(const Logged& l) {
        std::string text(l.m.text);
        const bool masked = text.find('*') != std::string::npos;
        for (char& c : text)
            if (c == '*') c = '0';
        if (masked) {
            std::string note = "line " + std::to_string(l.line) +
                               ": masked chip data replayed with zeros: " + text;
            if (mask_chip_data(text) != l.m.text) note += " (it does not mask the same way)";
            d_.notes.push_back(std::move(note));
        }
        auto bytes = hex_decode(text);
        if (!bytes) return Value(text);
        return Value(SharedArray::of_bytes(std::move(*bytes)));
    }

    struct LastCall {
        std::string member;
        int64_t ms;
        bool immediate;
    };
    const std::vector<Logged>& lines_;
    Derived& d_;
    std::vector<sim::EventSpec> during_;
    std::optional<LastCall> last_call_;
    int64_t last_line_ms_ = 0;
    bool after_end_ = false;
};

// The tracks each CardReaderWrite wrote, by the line its record starts on: the texts are
// not in the log, so each gets a test text for the replayed call to write.
std::map<uint64_t, std::vector<int>> tracks_written(const std::vector<Logged>& lines,
                                                    const std::vector<diag::Record>& records) {
    std::map<uint64_t, std::vector<int>> tracks;
    for (const diag::Record& r : records)
        if (!r.is_event && !r.by_timer1 && r.op == Op::Write) tracks[r.line];
    for (const Logged& l : lines) {
        if (l.m.kind != Kind::Start || l.m.op != Op::Write) continue;
        auto at = tracks.upper_bound(l.line);
        if (at == tracks.begin()) continue;
        std::vector<int>& written = std::prev(at)->second;
        if (std::find(written.begin(), written.end(), l.m.track) == written.end())
            written.push_back(l.m.track);
    }
    return tracks;
}

// The client's calls, each after a pump for the time the client spent between them.
void derive_steps(const std::vector<diag::Record>& records,
                  const std::map<uint64_t, std::vector<int>>& writes, int64_t first_ms,
                  int64_t last_ms, Derived& d) {
    int64_t cursor = 0;
    auto pump_to = [&](int64_t at) {
        if (at > cursor) d.steps.push_back("pump:" + std::to_string(at - cursor));
        cursor = std::max(cursor, at);
    };
    for (const diag::Record& r : records) {
        if (r.is_event || r.by_timer1) continue;
        pump_to(r.start_ms - first_ms);
        const std::string at = "line " + std::to_string(r.line) + ": ";
        if (r.op == Op::ChipTrnsp) {
            d.steps.push_back("ChipCardData=" + std::string(kReplayCommand));
            d.notes.push_back(at +
                              "the command sent is not in the log: " + std::string(kReplayCommand));
        }
        if (r.op == Op::Write)
            d.notes.push_back(at + "the texts written are not in the log: " +
                              std::string(kReplayTrackText) + " on each track written");
        if (auto w = writes.find(r.line); r.op == Op::Write && w != writes.end())
            for (int track : w->second)
                d.steps.push_back("WriteTrack" + std::to_string(track) + "=" +
                                  std::string(kReplayTrackText));
        d.steps.emplace_back(diag::op_name(r.op));
        cursor = r.start_ms - first_ms + r.ms.value_or(0);
        if (r.op == Op::Read && !r.result && !r.incomplete)
            d.notes.push_back(at +
                              "the tracks read are not in the log: the test card's tracks "
                              "(result 0)");
    }
    pump_to(last_ms);
}

std::optional<std::vector<Logged>> read_lines(const std::string& file, std::ostream& err) {
    std::FILE* in = std::fopen(file.c_str(), "rb");
    if (!in) {
        err << "czqic replay: cannot read " << json_string(file) << '\n';
        return std::nullopt;
    }
    std::vector<Logged> lines;
    std::optional<int64_t> first;
    uint64_t number = 0;
    const bool ok = diag::for_each_line(in, [&](std::string_view text) {
        ++number;
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.remove_suffix(1);
        LogLineParts parts;
        if (!parse_log_line(text, parts)) return;
        const int64_t ms = diag::day_start_ms(parts.time) + diag::time_of_day_ms(parts.time);
        if (!first) first = ms;
        lines.push_back({ms - *first, std::string(parts.message), {}, number});
    });
    std::fclose(in);
    if (!ok) {
        err << "czqic replay: reading " << json_string(file) << " failed\n";
        return std::nullopt;
    }
    for (Logged& l : lines) diag::read_message(l.message, l.m);
    return lines;
}

std::optional<Derived> derive(const std::string& file, std::ostream& err) {
    auto lines = read_lines(file, err);
    if (!lines) return std::nullopt;
    Derived d;
    Builder(*lines, d).scenario();
    Collected collected;
    diag::CallBuilder calls(collected);
    for (const Logged& l : *lines) {
        // The builder reads whole lines: give it them back with a stamp on its own scale.
        LogTime t{2000, 1, 1, 0, 0, 0, 0};
        int64_t ms = l.ms;
        t.hour = static_cast<int>(ms / 3600000);
        t.minute = static_cast<int>(ms / 60000 % 60);
        t.second = static_cast<int>(ms / 1000 % 60);
        t.millisecond = static_cast<int>(ms % 1000);
        calls.line(log_line(t, "Qor", l.message, ""), 0, l.line);
    }
    calls.finish();
    const int64_t first = collected.records.empty() ? 0 : collected.records.front().start_ms;
    d.last_ms = std::max(d.last_ms, lines->empty() ? 0 : lines->back().ms);
    derive_steps(collected.records, tracks_written(*lines, collected.records), first, d.last_ms, d);
    return d;
}

int check(const Derived& d, std::ostream& out, std::ostream& err) {
    std::vector<std::string> logged;
    LinuxHostOptions host_options;
    host_options.scenario = d.scenario;
    host_options.virtual_start = 12 * 3600.0;
    host_options.file_log = false;
    host_options.on_log = [&logged](const std::string& m) { logged.push_back(escape_controls(m)); };
    std::ostringstream results;
    {
        LinuxHost host(std::move(host_options));
        try {
            run_steps(parse_steps(d.steps, host), host, results, err);
        } catch (const UsageError& e) {
            err << "czqic replay: the steps cannot run: " << e.what() << '\n';
            return 1;
        }
    }
    for (size_t i = 0; i < std::max(logged.size(), d.expected.size()); ++i) {
        const bool have = i < logged.size(), want = i < d.expected.size();
        if (have && want && logged[i] == d.expected[i]) continue;
        out << "replay: message " << i + 1 << " differs: logged "
            << (want ? json_string(d.expected[i]) : "nothing") << ", replayed "
            << (have ? json_string(logged[i]) : "nothing") << '\n';
        return 1;
    }
    out << "replay: " << logged.size() << " of " << d.expected.size() << " messages matched\n";
    return 0;
}

bool write_to(const std::string& path, const std::string& text, std::ostream& out,
              std::ostream& err) {
    if (path.empty()) {
        out << text;
        return true;
    }
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << text;
    if (file.flush()) return true;
    err << "czqic replay: cannot write " << json_string(path) << '\n';
    return false;
}

}  // namespace

int run_replay(const ReplayOptions& options, std::ostream& out, std::ostream& err) {
    const auto d = derive(options.file, err);
    if (!d) return 1;
    for (const std::string& note : d->notes) err << "czqic replay: " << note << '\n';
    std::string steps;
    for (const std::string& s : d->steps) steps += s + "\n";
    const bool to_stdout = !options.check;
    if ((to_stdout || !options.scenario_out.empty()) &&
        !write_to(options.scenario_out, sim::write_scenario(d->scenario), out, err))
        return 1;
    if ((to_stdout || !options.steps_out.empty()) && !write_to(options.steps_out, steps, out, err))
        return 1;
    return options.check ? check(*d, out, err) : 0;
}

}  // namespace czqic::cli
