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
#include "tools/cli/replay.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <vector>

#include "device/host_form.h"
#include "diag/call_builder.h"
#include "diag/log_input.h"
#include "diag/log_message.h"
#include "diag/sessions.h"
#include "log/card_data.h"
#include "log/log_line.h"
#include "log/log_writer.h"
#include "operations/frame.h"
#include "platform/hex.h"
#include "platform/text.h"
#include "platform/unique_resource.h"
#include "sim/sim_reader.h"
#include "tools/cli/session.h"

namespace czqic::cli {
namespace {

using diag::Message;
using diag::Op;
using Kind = Message::Kind;

constexpr int64_t kPassMs = kPassSleepMs;  // a wait's pass on the virtual clock
constexpr int64_t kHalfPass = kPassMs / 2;
// A timer tick runs at the first pump after it is due (in a wait, up to a pass later), and
// a log of the real clock set on the passes' grid drifts a little from the timer's clock.
constexpr int64_t kTickLateMs = 1000;
using diag::kSameInstantMs;
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

// What a step that prints must print: the call's result where the log tells it.
struct Expected {
    std::string name;
    std::optional<int32_t> result;  // none: the log cannot tell, or the step is the replay's
    uint64_t line = 0;              // of the call's record; 0 for a step the replay adds
};

struct Derived {
    sim::Scenario scenario;
    std::vector<std::string> steps;
    std::vector<Expected> results;      // one for each step that prints, in order
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

// Steps the replay adds at a moment of the session, measured like the calls' starts: they
// run between the client's calls, at that moment or right after the call that holds it.
struct Insert {
    int64_t at;
    std::vector<std::string> steps;
};

// Whether a step prints a line: a call or a property read, not a put, pump or sim: step.
bool prints(std::string_view step) {
    return step.find_first_of("=:#") == std::string_view::npos;
}

class StepWriter {
  public:
    explicit StepWriter(Derived& d) : d_(d) {}
    void pump_to(int64_t at) {
        if (at > cursor_) d_.steps.push_back("pump:" + std::to_string(at - cursor_));
        cursor_ = std::max(cursor_, at);
    }
    void add(std::string step, Expected expected = {}) {
        if (prints(step)) {
            if (expected.name.empty()) expected.name = step;
            d_.results.push_back(std::move(expected));
        }
        d_.steps.push_back(std::move(step));
    }
    void ended_at(int64_t at) { cursor_ = at; }

  private:
    Derived& d_;
    int64_t cursor_ = 0;
};

// One client call's steps: what it needs set first, the call, and what the log left open.
void call_steps(const diag::Record& r, const std::map<uint64_t, std::vector<int>>& writes,
                StepWriter& w, std::vector<std::string>& notes) {
    const std::string at = "line " + std::to_string(r.line) + ": ";
    if (r.op == Op::ChipTrnsp) {
        w.add("ChipCardData=" + std::string(kReplayCommand));
        notes.push_back(at + "the command sent is not in the log: " + std::string(kReplayCommand));
    }
    if (r.op == Op::Write)
        notes.push_back(at + "the texts written are not in the log: " +
                        std::string(kReplayTrackText) + " on each track written");
    if (auto w_at = writes.find(r.line); r.op == Op::Write && w_at != writes.end())
        for (int track : w_at->second)
            w.add("WriteTrack" + std::to_string(track) + "=" + std::string(kReplayTrackText));
    const std::string name(diag::op_name(r.op));
    w.add(name, {name, r.incomplete ? std::nullopt : r.result, r.line});
    if (r.op == Op::Read && !r.result && !r.incomplete)
        notes.push_back(at +
                        "the tracks read are not in the log: the test card's tracks (result 0)");
}

// The client's calls, each after a pump for the time the client spent between them, and
// the replay's own steps between them, timed from the first record's start.
void derive_steps(const std::vector<diag::Record>& records,
                  const std::map<uint64_t, std::vector<int>>& writes,
                  const std::vector<Insert>& inserts, int64_t last_ms, Derived& d) {
    const int64_t first = records.empty() ? 0 : records.front().start_ms;
    StepWriter w(d);
    size_t next = 0;
    auto insert_until = [&](int64_t at) {
        for (; next < inserts.size() && inserts[next].at <= at; ++next) {
            w.pump_to(inserts[next].at - first);
            for (const std::string& s : inserts[next].steps) w.add(s);
        }
    };
    for (const diag::Record& r : records) {
        if (r.is_event || r.by_timer1) continue;
        insert_until(r.start_ms);
        w.pump_to(r.start_ms - first);
        call_steps(r, writes, w, d.notes);
        w.ended_at(r.start_ms - first + r.ms.value_or(0));
    }
    insert_until(last_ms);
    w.pump_to(last_ms - first);
}

// A session's lines, from first to end (0: the end of the file), each timed from the
// first one.
void close_file(std::FILE* file) {
    std::fclose(file);
}
using LogFile = UniqueResource<std::FILE*, ReleasedBy<close_file, nullptr>>;

// The log opened for reading; nothing, said on err, when it cannot be.
LogFile open_log(const std::string& file, std::ostream& err) {
    LogFile in(std::fopen(file.c_str(), "rb"));
    if (!in) err << "czqic replay: cannot read " << json_string(file) << '\n';
    return in;
}

std::optional<std::vector<Logged>> read_lines(const std::string& file,
                                              const diag::SessionSpan& span, std::ostream& err) {
    const LogFile in = open_log(file, err);
    if (!in) return std::nullopt;
    std::vector<Logged> lines;
    std::optional<int64_t> first;
    uint64_t number = 0;
    const bool ok = diag::for_each_line(in.get(), [&](std::string_view text) {
        ++number;
        if (number < span.first_line || (span.end_line && number >= span.end_line)) return;
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.remove_suffix(1);
        LogLineParts parts;
        if (!parse_log_line(text, parts) || parts.tag != kLogTag) return;
        const int64_t ms = diag::day_start_ms(parts.time) + diag::time_of_day_ms(parts.time);
        if (!first) first = ms;
        lines.push_back({ms - *first, std::string(parts.message), {}, number});
    });
    if (!ok) {
        err << "czqic replay: reading " << json_string(file) << " failed\n";
        return std::nullopt;
    }
    for (Logged& l : lines) diag::read_message(l.message, l.m);
    return lines;
}

// The calls and events the lines make, timed like the lines.
std::vector<diag::Record> records_of(const std::vector<Logged>& lines) {
    constexpr LogTime kBase{2000, 1, 1, 0, 0, 0, 0};
    const int64_t base = diag::day_start_ms(kBase);
    Collected collected;
    diag::CallBuilder calls(collected);
    for (const Logged& l : lines) {
        // The builder reads whole lines: give it them back with a stamp on its own scale.
        const int64_t ms = std::max<int64_t>(0, l.ms);
        const LogTime t = log_time(kBase.year, kBase.month,
                                   kBase.day + static_cast<int>(ms / 86'400'000), ms % 86'400'000);
        calls.line(log_line(t, kLogTag, l.message, ""), 0, l.line);
    }
    calls.finish();
    for (diag::Record& r : collected.records) r.start_ms -= base;
    return std::move(collected.records);
}

// On the real clock the lines of one instant lie a few milliseconds apart and a wait's
// passes last a little over 300 ms; a replay on the virtual clock has them at one instant
// and exactly 300 ms apart. A log whose waits show passes off that grid is set on it, so
// that every event falls in the same pass again; the client's time between calls stays.
void set_on_pass_grid(std::vector<Logged>& lines) {
    std::vector<std::pair<int64_t, int64_t>> calls;  // each call's start and end
    for (const diag::Record& r : records_of(lines))
        if (!r.is_event)
            calls.emplace_back(r.start_ms, r.ms ? r.start_ms + *r.ms : lines.back().ms);
    std::vector<int64_t> reach(calls.size());  // the latest end of the calls up to each
    for (size_t i = 0; i < calls.size(); ++i)
        reach[i] = std::max(calls[i].second, i ? reach[i - 1] : calls[i].second);
    auto in_wait = [&](int64_t from, int64_t to) {
        const auto after = std::upper_bound(calls.begin(), calls.end(),
                                            std::pair{from, std::numeric_limits<int64_t>::max()});
        return after != calls.begin() &&
               reach[static_cast<size_t>(after - calls.begin()) - 1] >= to;
    };
    std::vector<int64_t> gaps(lines.size(), 0);
    bool off_grid = false;
    for (size_t i = 1; i < lines.size(); ++i) {
        const int64_t gap = lines[i].ms - lines[i - 1].ms;
        if (gap < kSameInstantMs) continue;
        if (!in_wait(lines[i - 1].ms, lines[i].ms)) {
            gaps[i] = gap;
            continue;
        }
        gaps[i] = (gap + kPassMs / 2) / kPassMs * kPassMs;
        off_grid = off_grid || gaps[i] != gap;
    }
    if (!off_grid) return;
    for (size_t i = 1; i < lines.size(); ++i) lines[i].ms = lines[i - 1].ms + gaps[i];
}

// Whether Timer1's tick b belongs to the same run of the timer as tick a: one period
// later, or several when the ticks between came while a's reset still waited (skipped).
bool same_timer_run(const diag::Record& a, const diag::Record& b) {
    const int64_t gap = b.start_ms - a.start_ms;
    const int64_t waited = a.ms.value_or(std::numeric_limits<int64_t>::max() / 2);
    for (int64_t k = 1; k * kTimer1IntervalMs <= gap + kSameInstantMs; ++k) {
        const bool due = gap <= k * (kTimer1IntervalMs + kTickLateMs);
        const bool skipped_between = waited >= (k - 1) * kTimer1IntervalMs - kSameInstantMs;
        if (due && skipped_between) return true;
    }
    return false;
}

// Timer1 runs while a status refresh last saw the device failed; the refresh and the
// fault it saw are not in the log. Each run of ticks gets a CardReaderStatus one period
// before its first tick that sees the device "FATAL", and one after its last reset that
// sees it well again, so that the timer stops there.
std::vector<Insert> timer1_steps(const std::vector<diag::Record>& records,
                                 std::vector<std::string>& notes) {
    std::vector<Insert> inserts;
    const diag::Record *first = nullptr, *last = nullptr;
    auto end_run = [&] {
        if (!first) return;
        const int64_t on = first->start_ms - kTimer1IntervalMs;
        inserts.push_back({on, {"sim:device=FATAL", "CardReaderStatus", "sim:device=ONLINE"}});
        notes.push_back(
            "line " + std::to_string(first->line) +
            ": Timer1's reset: the fault the status refresh saw is not in the log: "
            "a CardReaderStatus " +
            std::to_string(kTimer1IntervalMs / 1000) +
            " s before it sees device \"FATAL\"; one after the run's last reset (line " +
            std::to_string(last->line) + ") sees it \"ONLINE\"");
        if (last->ms) inserts.push_back({last->start_ms + *last->ms, {"CardReaderStatus"}});
    };
    for (const diag::Record& r : records) {
        if (!r.by_timer1) continue;
        if (last && same_timer_run(*last, r)) {
            last = &r;
            continue;
        }
        end_run();
        first = last = &r;
    }
    end_run();
    std::stable_sort(inserts.begin(), inserts.end(),
                     [](const Insert& a, const Insert& b) { return a.at < b.at; });
    return inserts;
}

Derived derive(std::vector<Logged> lines) {
    set_on_pass_grid(lines);
    Derived d;
    Builder(lines, d).scenario();
    const std::vector<diag::Record> records = records_of(lines);
    d.last_ms = std::max(d.last_ms, lines.empty() ? 0 : lines.back().ms);
    derive_steps(records, tracks_written(lines, records), timer1_steps(records, d.notes), d.last_ms,
                 d);
    return d;
}

// The replayed run's output lines against what the log says each call returned.
bool results_match(const Derived& d, const std::string& printed, std::ostream& out,
                   size_t& compared) {
    std::istringstream in(printed);
    std::string line;
    compared = 0;
    for (size_t i = 0; i < d.results.size(); ++i) {
        const Expected& e = d.results[i];
        const bool have = static_cast<bool>(std::getline(in, line));
        if (!e.result && have) continue;
        const std::string want = e.name + " = " + std::to_string(e.result.value_or(0));
        if (have && line == want) {
            ++compared;
            continue;
        }
        out << "replay: result " << i + 1 << " differs: logged " << json_string(want) << " (line "
            << e.line << "), replayed " << (have ? json_string(line) : "nothing") << '\n';
        return false;
    }
    return true;
}

int check(const Derived& d, const ReplayHost& replay_host, std::ostream& out, std::ostream& err) {
    std::vector<std::string> logged;
    std::ostringstream results;
    {
        const std::unique_ptr<Host> host = replay_host(
            d.scenario, [&logged](const std::string& m) { logged.push_back(escape_controls(m)); });
        try {
            run_steps(parse_steps(d.steps, *host), *host, results, err);
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
    size_t compared = 0;
    if (!results_match(d, results.str(), out, compared)) return 1;
    const size_t calls = static_cast<size_t>(std::count_if(
        d.results.begin(), d.results.end(), [](const Expected& e) { return e.line; }));
    out << "replay: " << logged.size() << " of " << d.expected.size() << " messages matched, "
        << compared << " of " << calls << " results";
    if (calls > compared) out << " (" << calls - compared << " not in the log)";
    out << '\n';
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

std::optional<std::vector<diag::SessionSpan>> sessions_of(const std::string& file,
                                                          std::ostream& err) {
    const LogFile in = open_log(file, err);
    if (!in) return std::nullopt;
    bool ok = false;
    auto spans = diag::find_sessions(in.get(), ok);
    if (!ok) {
        err << "czqic replay: reading " << json_string(file) << " failed\n";
        return std::nullopt;
    }
    if (spans.empty()) spans.push_back({1, 0, true});
    return spans;
}

std::string span_text(const diag::SessionSpan& s) {
    return "lines " + std::to_string(s.first_line) + " to " +
           (s.end_line ? std::to_string(s.end_line - 1) : "the end") +
           (s.by_init ? "" : ", begun before the log");
}

int replay_session(const ReplayOptions& options, const ReplayHost& replay_host,
                   const diag::SessionSpan& span, std::ostream& out, std::ostream& err) {
    auto lines = read_lines(options.file, span, err);
    if (!lines) return 1;
    const Derived d = derive(std::move(*lines));
    for (const std::string& note : d.notes) err << "czqic replay: " << note << '\n';
    std::string steps;
    for (const std::string& s : d.steps) steps += s + "\n";
    const bool to_stdout = !options.check;
    if ((to_stdout || !options.scenario_out.empty()) &&
        !write_to(options.scenario_out, sim::write_scenario(d.scenario), out, err))
        return 1;
    if ((to_stdout || !options.steps_out.empty()) && !write_to(options.steps_out, steps, out, err))
        return 1;
    return options.check ? check(d, replay_host, out, err) : 0;
}

}  // namespace

int run_replay(const ReplayOptions& options, const ReplayHost& replay_host, std::ostream& out,
               std::ostream& err) {
    const auto sessions = sessions_of(options.file, err);
    if (!sessions) return 1;
    const size_t count = sessions->size();
    const std::string holds =
        json_string(options.file) + " holds " + std::to_string(count) + " session";
    if (options.session > count) {
        err << "czqic replay: " << holds << (count == 1 ? "" : "s") << ": there is no session "
            << options.session << '\n';
        return 2;
    }
    if (count == 1 && !options.session)
        return replay_session(options, replay_host, sessions->front(), out, err);
    if (options.session) {
        const diag::SessionSpan& s = (*sessions)[options.session - 1];
        err << "czqic replay: session " << options.session << " of " << count << ": "
            << span_text(s) << '\n';
        return replay_session(options, replay_host, s, out, err);
    }
    if (!options.check) {
        err << "czqic replay: " << holds << "s (each begins at a CardReaderInit): choose one "
            << "with --session N\n";
        for (size_t i = 0; i < count; ++i)
            err << "  session " << i + 1 << ": " << span_text((*sessions)[i]) << '\n';
        return 2;
    }
    int status = 0;
    for (size_t i = 0; i < count; ++i) {
        out << "session " << i + 1 << " of " << count << " (" << span_text((*sessions)[i])
            << "):\n";
        status = std::max(status, replay_session(options, replay_host, (*sessions)[i], out, err));
    }
    return status;
}

}  // namespace czqic::cli
