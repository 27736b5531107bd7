// Randomized soak: many complete card transactions on the virtual clock against simulated
// readers whose reactions are drawn at random (events early, late, twice, out of order,
// during the call or never; calls that fail; return values out of range; tracks that
// cannot be written; faults that come and go so that Timer1 keeps resetting), with several
// objects and client messages that call other objects from inside waits.
//
// After every call the whole log it produced is parsed back: each line must be a known
// label with a decimal value (or an error line), the call's own lines must have the shape
// its method allows, every nested item (an event, a Timer1 reset, a nested client call)
// must be accounted for, the result must follow from the logged final status by the
// operation's own mapping (as a reader of the log rebuilds it), and the virtual time taken
// must fit the method's limits. Event lines are predicted one by one
// from what the simulated reader actually delivered.
//
// The seed is fixed. CZQIC_SOAK_TRANSACTIONS sets the number of transactions (a longer
// run), CZQIC_SOAK_SEED another seed.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "component/chip_data.h"
#include "component/members.h"
#include "component/results.h"
#include "tests/support/harness.h"

namespace czqic::testing {
namespace {

// ---------------------------------------------------------------------------------------
// Randomness

class Rng {
  public:
    explicit Rng(uint32_t seed) : g_(seed) {}
    int below(int n) { return std::uniform_int_distribution<int>(0, n - 1)(g_); }
    int64_t range(int64_t lo, int64_t hi) {
        return std::uniform_int_distribution<int64_t>(lo, hi)(g_);
    }
    bool chance(double p) { return std::bernoulli_distribution(p)(g_); }
    template <class T>
    const T& pick(const std::vector<T>& v) {
        return v[static_cast<size_t>(below(static_cast<int>(v.size())))];
    }
    uint32_t next() { return static_cast<uint32_t>(g_()); }

  private:
    std::mt19937 g_;
};

// ---------------------------------------------------------------------------------------
// Random scenarios (JSON over the built-in reader)

const std::vector<std::string> kHandled = {
    "CardAccepted",  "CardInvalid",      "CardAcceptCancelled", "CardTaken",        "CardCaptured",
    "CardEjected",   "Timeout",          "DeviceError",         "CardRead",         "CardWritten",
    "FatalError",    "ConnectionOpened", "ConnectionClosed",    "ChipDataReceived", "ChipInvalid",
    "WaitCancelled", "ResetComplete"};

std::string json_quoted(std::string_view s) {
    std::string out = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out + "\"";
}

// Chip data as a scenario writes it: hex text or an array of numbers, including values a
// reply should never carry (above a byte, negative, fractional, beyond a Long).
std::string random_chip_data(Rng& r) {
    static const std::vector<std::string> kData = {
        "\"9000\"",      "\"6A82\"",     "\"3B6800008066435A51499000\"",
        "\"\"",          "\"07\"",       "[7]",
        "[144, 0]",      "[0, 15, 171]", "[256]",
        "[4095, 1]",     "[-1]",         "[2.5]",
        "[3.5, 0.5]",    "[]",           "[10000000000]",
        "[2147483647.5]"};
    return r.pick(kData);
}

std::string random_set(Rng& r) {
    static const std::vector<std::string> kSets = {R"("media": "PRESENT")",
                                                   R"("media": "INJAWS")",
                                                   R"("media": "NOMEDIA")",
                                                   R"("media": "JAMMED")",
                                                   R"("device": "FATAL")",
                                                   R"("device": "ONLINE")",
                                                   R"("bin": "BINFULL", "binFlag": true)",
                                                   R"("bin": "BINOK")",
                                                   R"("track2.status": "INVALID")",
                                                   R"("track1.data": "")",
                                                   R"("writable2": false)",
                                                   R"("writable1": "maybe")",
                                                   R"("writable3": true)"};
    return "{" + r.pick(kSets) + "}";
}

int64_t random_delay(Rng& r) {
    static const std::vector<int64_t> kEdges = {2500,  2700,  2800,  3000,  9400,  9500, 9700,
                                                10000, 59400, 59500, 59700, 60000, 30000};
    switch (r.below(20)) {
        case 0:
            return r.pick(kEdges);
        case 1:
        case 2:
            return r.range(12000, 70000);
        case 3:
        case 4:
        case 5:
        case 6:
            return r.range(1500, 12000);
        default:
            return r.range(0, 1500);
    }
}

std::string random_event(Rng& r, const std::string& name) {
    std::string e = "{\"event\": " + json_quoted(name);
    if (r.chance(0.15)) {
        e += ", \"during\": true";
    } else {
        e += ", \"afterMs\": " + std::to_string(random_delay(r));
    }
    if (r.chance(0.15)) e += ", \"set\": " + random_set(r);
    if (name == "ChipDataReceived" && r.chance(0.8)) e += ", \"data\": " + random_chip_data(r);
    return e + "}";
}

std::string random_reaction(Rng& r, const std::string& key, const std::vector<std::string>& usual) {
    std::vector<std::string> parts;
    if (r.chance(0.06))
        parts.push_back("\"fail\": " +
                        json_quoted(r.chance(0.5) ? "Device not ready" : "Hardware fault"));
    if (key == "acceptAndRead" || key == "clear" || key == "query") {
        static const std::vector<std::string> kReturns = {
            "0",     "0",      "0",       "0",      "405", "460",  "1",    "5",
            "40000", "-40000", "\"abc\"", "\"12\"", "2.5", "true", "null", "-32768"};
        if (r.chance(0.5)) parts.push_back("\"returns\": " + r.pick(kReturns));
    }
    if (r.chance(0.1)) parts.push_back("\"set\": " + random_set(r));
    std::vector<std::string> events;
    if (!usual.empty() && !r.chance(0.12)) {  // sometimes the answer never comes
        for (const auto& u : usual) events.push_back(random_event(r, u));
        if (r.chance(0.08)) events.push_back(random_event(r, usual.front()));  // twice
    }
    while (r.chance(0.2)) events.push_back(random_event(r, r.pick(kHandled)));  // noise
    if (!events.empty()) {
        std::string list;
        for (size_t i = 0; i < events.size(); ++i) list += (i ? ", " : "") + events[i];
        parts.push_back("\"events\": [" + list + "]");
    }
    std::string out = "{";
    for (size_t i = 0; i < parts.size(); ++i) out += (i ? ", " : "") + parts[i];
    return out + "}";
}

std::string random_scenario(Rng& r) {
    static const std::vector<std::pair<std::string, std::vector<std::string>>> kMembers = {
        {"open", {"ConnectionOpened"}},
        {"close", {}},
        {"cancelWait", {"WaitCancelled"}},
        {"reset", {"ResetComplete"}},
        {"acceptAndRead", {"CardAccepted"}},
        {"cancelAccept", {"CardAcceptCancelled"}},
        {"eject", {"CardEjected", "CardTaken"}},
        {"retain", {"CardCaptured"}},
        {"clear", {}},
        {"writeTrack", {"CardWritten"}},
        {"chipInit", {"ChipDataReceived"}},
        {"chipSend", {"ChipDataReceived"}},
        {"query", {}}};
    static const std::vector<std::string> kStatuses = {"READ", "READ",  "INVALID", "MISSING",
                                                       "read", "READ ", ""};
    static const std::vector<std::string> kData = {"", "123", "%B4000000000000002^TEST/CARD^3012?",
                                                   ";4000000000000002=3012?",
                                                   "\xC3\x84\xE2\x82\xAC\xF0\x9D\x84\x9E"};
    static const std::vector<std::string> kWritable = {
        "true", "true", "true", "false", "\"True\"", "\"no\"", "0", "1", "null", "[1]"};
    std::string tracks;
    for (int i = 0; i < 3; ++i)
        tracks += std::string(i ? ", " : "") + "{\"status\": " + json_quoted(r.pick(kStatuses)) +
                  ", \"data\": " + json_quoted(r.pick(kData)) + "}";
    std::string writable;
    for (int i = 0; i < 3; ++i)
        writable += std::string(i ? ", " : "") + (r.chance(0.7) ? "true" : r.pick(kWritable));
    std::string json =
        "{\"state\": {\"tracks\": [" + tracks + "], \"writable\": [" + writable + "]}";

    std::string on;
    for (const auto& [key, usual] : kMembers) {
        if (r.chance(0.2)) continue;  // the built-in reaction
        const int n = static_cast<int>(r.range(1, 30));
        std::string list;
        for (int i = 0; i < n; ++i) list += (i ? ", " : "") + random_reaction(r, key, usual);
        on += (on.empty() ? "" : ", ") + json_quoted(key) + ": [" + list + "]";
    }
    json += ", \"on\": {" + on + "}";

    std::string timeline;
    const int entries = static_cast<int>(r.range(0, 6));
    for (int i = 0; i < entries; ++i) {
        std::string e = "{\"atMs\": " + std::to_string(r.range(0, 900000));
        if (r.chance(0.6)) e += ", \"set\": " + random_set(r);
        if (r.chance(0.5)) {
            const std::string name = r.pick(kHandled);
            e += ", \"event\": " + json_quoted(name);
            if (name == "ChipDataReceived") e += ", \"data\": " + random_chip_data(r);
        }
        timeline += (i ? ", " : "") + e + "}";
    }
    return json + ", \"timeline\": [" + timeline + "]}";
}

// ---------------------------------------------------------------------------------------
// The log's vocabulary

enum class K { Start, End, ReadStart, Err, Tick, Child };

struct Tok {
    K k;
    std::string label;  // Start/End: the progress label; Err: the method
    int32_t value = 0;
    int32_t flag = 0;
    size_t line = 0;
    int64_t t = 0;  // virtual time of the line (or of the child's start)
    int64_t child_ms = 0;
    uint32_t touches = 0;  // Child: the objects it and the calls nested in it ran on
};

const std::vector<std::string> kProgressLabels = {
    "CardReaderInit",   "CardReaderReset",  "CardReaderRetain", "QOR_WaitChip",
    "Qor_ChipTrnsp",    "CardReaderWrite1", "CardReaderWrite2", "CardReaderWrite3",
    "CardReaderReturn", "CardReaderDisable"};
// Any method of the member table may log an error line; one from a method that must not
// is left over after the call's own lines, which the call's check reports.
const std::vector<std::string> kMethodNames = [] {
    std::vector<std::string> names;
    for (const Member& m : kMembers)
        if (m.kind == MemberKind::Method) names.emplace_back(m.name);
    return names;
}();

// Plain decimal of a Long: no sign on zero, no leading zeros, in range.
std::optional<int32_t> decimal(std::string_view s) {
    const bool neg = s.starts_with('-');
    std::string_view d = neg ? s.substr(1) : s;
    if (d.empty() || d.size() > 10 || (d.size() > 1 && d[0] == '0') || (neg && d == "0"))
        return std::nullopt;
    int64_t v = 0;
    for (char c : d) {
        if (c < '0' || c > '9') return std::nullopt;
        v = v * 10 + (c - '0');
    }
    v = neg ? -v : v;
    if (v < INT32_MIN || v > INT32_MAX) return std::nullopt;
    return static_cast<int32_t>(v);
}

std::optional<Tok> tokenize(const std::string& line) {
    if (line == "CardReaderReset") return Tok{K::Tick, "", 0, 0, 0, 0, 0};
    constexpr std::string_view kReadStart = "CardReaderRead start:";
    if (line.starts_with(kReadStart)) {
        const std::string rest = line.substr(kReadStart.size());
        const size_t space = rest.find(' ');
        if (space == std::string::npos) return std::nullopt;
        auto v = decimal(std::string_view(rest).substr(0, space));
        auto f = decimal(std::string_view(rest).substr(space + 1));
        if (!v || !f || (*f != 0 && *f != 1)) return std::nullopt;
        return Tok{K::ReadStart, "CardReaderRead", *v, *f, 0, 0, 0};
    }
    auto with_value = [&](std::string_view head, K k,
                          const std::string& label) -> std::optional<Tok> {
        if (!line.starts_with(head)) return std::nullopt;
        auto v = decimal(std::string_view(line).substr(head.size()));
        if (!v) return std::nullopt;
        return Tok{k, label, *v, 0, 0, 0, 0};
    };
    if (auto t = with_value("CardReaderRead Start end :", K::End, "CardReaderRead")) return t;
    if (auto t = with_value("CardReaderEnable end:", K::End, "CardReaderEnable")) return t;
    for (const auto& l : kProgressLabels) {
        if (auto t = with_value(l + ":", K::Start, l)) return t;
        if (auto t = with_value(l + " end:", K::End, l)) return t;
    }
    for (const auto& m : kMethodNames)
        if (line.starts_with(m + " err:")) return Tok{K::Err, m, 0, 0, 0, 0, 0};
    return std::nullopt;
}

// The text a chip reply must read as, from the values the generator puts in replies:
// whole numbers (and Doubles rounded half to even) in the Long range; nullopt when the
// handler has to fail.
std::optional<std::string> reply_text(const Value& data) {
    const Value& d = data.deref();
    const auto* array = std::get_if<Value::Array>(&d.v);
    if (!array) return std::nullopt;
    std::string text;
    if (!*array) return text;
    for (const auto& e : **array) {
        const Value& v = e.deref();
        int64_t n;
        if (const auto* i = std::get_if<int32_t>(&v.v)) {
            n = *i;
        } else if (const auto* s = std::get_if<int16_t>(&v.v)) {
            n = *s;
        } else if (const auto* x = std::get_if<double>(&v.v)) {
            if (!std::isfinite(*x)) return std::nullopt;
            const double r = std::nearbyint(*x);  // the default rounding: to nearest, ties even
            if (r < -2147483648.0 || r > 2147483647.0) return std::nullopt;
            n = static_cast<int64_t>(r);
        } else {
            return std::nullopt;
        }
        char hex[16];
        std::snprintf(hex, sizeof hex, "%02X", static_cast<uint32_t>(static_cast<int32_t>(n)));
        text += hex;
    }
    return text;
}

// UTF-16 code units of well-formed UTF-8.
int32_t utf16_units(std::string_view s) {
    int32_t n = 0;
    for (unsigned char c : s) {
        if ((c & 0xC0) != 0x80) ++n;
        if (c >= 0xF0) ++n;
    }
    return n;
}

// ---------------------------------------------------------------------------------------
// The episode: one harness, one random reader, a run of transactions

// The members a transaction calls, as slots of the member table, which names them and
// runs them.
using M = size_t;
namespace member {
constexpr M Init = member_slot("CardReaderInit", MemberKind::Method);
constexpr M Reset = member_slot("CardReaderReset", MemberKind::Method);
constexpr M Retain = member_slot("CardReaderRetain", MemberKind::Method);
constexpr M GetStatus = member_slot("CardReaderGetStatus", MemberKind::Method);
constexpr M Clear = member_slot("CardReaderClear", MemberKind::Method);
constexpr M Enable = member_slot("CardReaderEnable", MemberKind::Method);
constexpr M Read = member_slot("CardReaderRead", MemberKind::Method);
constexpr M Write = member_slot("CardReaderWrite", MemberKind::Method);
constexpr M WaitChip = member_slot("QOR_WaitChip", MemberKind::Method);
constexpr M ChipTrnsp = member_slot("Qor_ChipTrnsp", MemberKind::Method);
constexpr M Return = member_slot("CardReaderReturn", MemberKind::Method);
constexpr M Disable = member_slot("CardReaderDisable", MemberKind::Method);
constexpr M Noop = member_slot("Reset", MemberKind::Method);
constexpr M StatusProperty = member_slot("CardReaderStatus", MemberKind::PropertyGet);
}  // namespace member

std::string name_of(M m) {
    return std::string(kMembers[m].name);
}

struct Stats {
    int64_t transactions = 0, calls = 0, nested_calls = 0, deliveries = 0, event_lines = 0,
            handler_failures = 0, ticks = 0, lines = 0, virtual_ms = 0, results_timed_out = 0,
            error_lines = 0, releases = 0, episodes = 0;
};

// Deliberately not a std::exception: a check that fails inside a nested call must not be
// trapped by the component's error path (which catches std::exception) on its way out.
struct EpisodeFailure {
    std::string what;
};

// What a call's checks compare against: the state just before it ran.
struct Before {
    int32_t status_word;
    int32_t entry_enabled;
    std::string chip_data;
    std::array<std::string, 3> write_texts;
    int32_t card_taken_limit;
    sim::DeviceState device;
    size_t journal_size;
};

class Episode;

// The control as the form gets it: the simulated control, with calls counted so that an
// event can be told apart as delivered inside a call ("during") or from the queue.
class ControlProxy final : public Dispatch, public EventSource {
  public:
    ControlProxy(std::shared_ptr<Object> inner, Episode& ep)
        : inner_(std::move(inner)),
          dispatch_(std::dynamic_pointer_cast<Dispatch>(inner_)),
          source_(std::dynamic_pointer_cast<EventSource>(inner_)),
          ep_(ep) {}
    Value invoke(DispId id, InvokeKind kind, std::span<Value> args) override;
    uint32_t advise(std::weak_ptr<EventSink> sink) override {
        return source_->advise(std::move(sink));
    }
    void unadvise(uint32_t cookie) override { source_->unadvise(cookie); }

  private:
    std::shared_ptr<Object> inner_;
    std::shared_ptr<Dispatch> dispatch_;
    std::shared_ptr<EventSource> source_;
    Episode& ep_;
};

// Sees every event the simulated control delivers, just before the form's handler does.
class Observer final : public EventSink {
  public:
    Observer(Episode& ep, std::weak_ptr<ControlProxy> control)
        : ep_(ep), control_(std::move(control)) {}
    void on_event(std::string_view name, std::span<const Value> args) override;

  private:
    Episode& ep_;
    std::weak_ptr<ControlProxy> control_;
};

struct Delivery {
    size_t pos;                      // where its lines start
    std::vector<std::string> lines;  // what the handler must write
    bool handler_fails = false;
    bool chip_ok = false;  // a ChipDataReceived that stores text
    std::string chip_text;
    int64_t call_returns_before = 0;  // control calls that had returned by then
};

struct CallRecord {
    M m;
    int slot;
    int parent;
    size_t start_pos, end_pos = 0;
    int64_t t0, t1 = 0;
    size_t deliveries_before;
    int32_t result = 0;
    std::vector<int> children;
};

class Episode {
  public:
    Episode(Rng& rng, Stats& stats)
        : rng_(rng), stats_(stats), h_(random_scenario(rng), start_time(rng)) {
        h_.logs->before_write = [this](const std::string&) { times_.push_back(h_.clock.now_ms()); };
        h_.classes.register_class(kControlProgId, "", [this]() -> std::shared_ptr<Object> {
            auto inner = h_.device->create_control();
            auto proxy = std::make_shared<ControlProxy>(inner, *this);
            auto observer = std::make_shared<Observer>(*this, proxy);
            observers_.push_back(observer);
            std::dynamic_pointer_cast<EventSource>(inner)->advise(observer);
            return proxy;
        });
    }

    ~Episode() {
        for (auto& o : objects_) o.reset();
        h_.rt.unload_form();
    }

    void run(int transactions) {
        for (int i = 0; i < transactions; ++i) {
            transaction();
            ++stats_.transactions;
        }
        // Let late events, ticks and posted calls run out at the client's level.
        pump(static_cast<int64_t>(rng_.range(0, 70000)));
        for (auto& o : objects_) {
            if (o) ++stats_.releases;
            o.reset();
        }
        pump(0);
        check_tail();
    }

    // ---- called from the proxy and the observer ----
    void control_call_returned(DispId id) {
        ++call_returns_;
        if (id == ctl::kChipSend) {
            chip_send_mark_ = call_returns_;
            // Only a reply stored during the send keeps the chip data; a failure reported
            // during it empties the data like any other outcome.
            chip_send_kept_ = h_.rt.status_word == ev::kChipDataReceived;
        }
    }
    void delivered(std::string_view name, std::span<const Value> args, ControlProxy* control);
    int call_depth = 0;

  private:
    static double start_time(Rng& r) {
        if (r.chance(0.25)) return 86400.0 - static_cast<double>(r.range(1, 120000)) / 1000.0;
        return static_cast<double>(r.range(0, 86399999)) / 1000.0;
    }

    [[noreturn]] void fail(const std::string& what, const CallRecord* c = nullptr) {
        std::ostringstream out;
        out << what;
        if (c) {
            out << "\n  in " << name_of(c->m) << " on object " << c->slot << ", lines "
                << c->start_pos << ".." << c->end_pos << ", t " << c->t0 << ".." << c->t1
                << ", result " << c->result;
            const auto& lines = h_.log();
            const size_t from = c->start_pos > 3 ? c->start_pos - 3 : 0;
            for (int child : c->children) {
                const CallRecord& ch = calls_[static_cast<size_t>(child)];
                out << "\n  nested: " << name_of(ch.m) << " on object " << ch.slot << ", lines "
                    << ch.start_pos << ".." << ch.end_pos << ", t " << ch.t0 << ".." << ch.t1;
            }
            for (size_t i = from; i < std::min(lines.size(), c->end_pos + 3); ++i)
                out << "\n    " << (i >= c->start_pos && i < c->end_pos ? "| " : "  ") << i << " @"
                    << (i < times_.size() ? times_[i] : -1) << " " << lines[i];
        }
        throw EpisodeFailure{out.str()};
    }

    ReaderRef& object(int slot) {
        if (!objects_[static_cast<size_t>(slot)])
            objects_[static_cast<size_t>(slot)] = h_.make_reader();
        return objects_[static_cast<size_t>(slot)];
    }

    int live_slot() {
        for (int tries = 0; tries < 3; ++tries) {
            const int s = rng_.below(3);
            if (objects_[static_cast<size_t>(s)]) return s;
        }
        return rng_.below(3);
    }

    void pump(int64_t ms) {
        h_.loop.pump_for(ms);
        verify_deliveries();
    }

    void transaction();
    void inject_fault();
    void post_nested(int not_slot);
    int32_t call(M m, int slot);
    void verify(CallRecord& c, const Before& before, const ColsZQICCardReader& r);
    void verify_deliveries();
    std::vector<Tok> tokens(size_t from, size_t to, int parent);
    uint32_t touches(int id) const {
        const CallRecord& c = calls_[static_cast<size_t>(id)];
        uint32_t mask = 1u << c.slot;
        for (int child : c.children) mask |= touches(child);
        return mask;
    }
    void check_tail();

    Rng& rng_;
    Stats& stats_;
    Harness h_;
    std::array<ReaderRef, 3> objects_{};
    std::vector<std::shared_ptr<Observer>> observers_;
    std::vector<int64_t> times_;
    std::vector<Delivery> deliveries_;
    size_t deliveries_checked_ = 0;
    std::vector<char> event_line_;  // per log line: written by an event handler
    int expected_handler_failures_ = 0;
    int64_t call_returns_ = 0;
    int64_t chip_send_mark_ = -1;
    bool chip_send_kept_ = false;
    std::vector<CallRecord> calls_;
    std::vector<int> stack_;
    int pending_posts_ = 0;
    std::vector<std::string> chip_commands_{"00A4040008F0435A5149430001",
                                            "0084000008",
                                            "00a4040008f0435a5149430002",
                                            "80CA9F7F00",
                                            "0084000004",
                                            "00B2010C00"};
};

Value ControlProxy::invoke(DispId id, InvokeKind kind, std::span<Value> args) {
    ++ep_.call_depth;
    struct Done {
        Episode& ep;
        DispId id;
        ~Done() {
            --ep.call_depth;
            ep.control_call_returned(id);
        }
    } done{ep_, id};
    return dispatch_->invoke(id, kind, args);
}

void Observer::on_event(std::string_view name, std::span<const Value> args) {
    ep_.delivered(name, args, control_.lock().get());
}

void Episode::delivered(std::string_view name, std::span<const Value> args, ControlProxy* control) {
    ++stats_.deliveries;
    Delivery d;
    d.pos = h_.log().size();
    d.call_returns_before = call_returns_;
    // The form handles it only if it is loaded, this is its control, and it is not going.
    bool heard = false;
    if (h_.rt.form_loaded()) {
        auto form = h_.rt.form_ref();
        heard =
            control && &form->control() == static_cast<Dispatch*>(control) && !form->unloading();
    }
    const std::string event(name);
    if (heard && std::find(kHandled.begin(), kHandled.end(), event) != kHandled.end()) {
        static const std::map<std::string, int32_t> kStores = {
            {"CardAccepted", 405},     {"CardInvalid", 407},     {"CardTaken", 411},
            {"CardCaptured", 412},     {"Timeout", 10120001},    {"DeviceError", 23},
            {"CardRead", 419},         {"CardWritten", 409},     {"FatalError", 23},
            {"ConnectionOpened", 403}, {"ConnectionClosed", 23}, {"ChipInvalid", 462},
            {"ResetComplete", 404}};
        if (event == "ChipDataReceived") {
            auto text = args.size() >= 2 ? reply_text(args[1]) : std::nullopt;
            if (text) {
                d.lines = {"Event ChipDataReceived461", "mstrChipCardData:" + *text};
                d.chip_ok = true;
                d.chip_text = *text;
            } else {
                d.handler_fails = true;
                ++expected_handler_failures_;
            }
        } else if (event == "CardAcceptCancelled") {
            d.lines = {"Event CardAcceptCancelled416"};
        } else if (event == "CardEjected" || event == "WaitCancelled") {
            d.lines = {"Event " + event + std::to_string(h_.rt.status_word)};
        } else {
            d.lines = {"Event " + event + std::to_string(kStores.at(event))};
        }
    }
    event_line_.resize(d.pos + d.lines.size(), 0);
    for (size_t i = 0; i < d.lines.size(); ++i) event_line_[d.pos + i] = 1;
    stats_.event_lines += static_cast<int64_t>(d.lines.size());
    deliveries_.push_back(std::move(d));
}

void Episode::verify_deliveries() {
    const auto& lines = h_.log();
    for (; deliveries_checked_ < deliveries_.size(); ++deliveries_checked_) {
        const Delivery& d = deliveries_[deliveries_checked_];
        if (d.pos + d.lines.size() > lines.size()) break;  // its lines are still to come
        for (size_t i = 0; i < d.lines.size(); ++i)
            if (lines[d.pos + i] != d.lines[i])
                fail("line " + std::to_string(d.pos + i) + " is \"" + lines[d.pos + i] +
                     "\"; the delivered event calls for \"" + d.lines[i] + "\"");
    }
    int handler_failures = 0;
    for (const auto& f : h_.failures) {
        if (f.starts_with("Event ")) {
            ++handler_failures;
        } else if (!f.starts_with("ColsZQICCardReader termination:")) {
            fail("unexpected failure report: " + f);
        }
    }
    if (handler_failures != expected_handler_failures_)
        fail(std::to_string(handler_failures) + " event handler failures reported, " +
             std::to_string(expected_handler_failures_) + " expected");
}

// The lines from..to as tokens: event lines left out (they are checked on their own),
// each direct child call (and Timer1 reset) kept as one item.
std::vector<Tok> Episode::tokens(size_t from, size_t to, int parent) {
    std::vector<int> children;
    if (parent >= 0) {
        children = calls_[static_cast<size_t>(parent)].children;
    } else {
        for (size_t i = 0; i < calls_.size(); ++i)
            if (calls_[i].parent < 0) children.push_back(static_cast<int>(i));
    }
    size_t next_child = 0;
    // Children in the order they ran; skip those before this range (root: all are inside).
    std::vector<Tok> out;
    const auto& lines = h_.log();
    size_t p = from;
    for (;;) {
        while (next_child < children.size() &&
               calls_[static_cast<size_t>(children[next_child])].start_pos == p) {
            const CallRecord& ch = calls_[static_cast<size_t>(children[next_child])];
            out.push_back(Tok{K::Child, name_of(ch.m), 0, 0, p, ch.t0, ch.t1 - ch.t0,
                              touches(children[next_child])});
            p = ch.end_pos;
            ++next_child;
        }
        if (p >= to) break;
        if (p < event_line_.size() && event_line_[p]) {
            ++p;
            continue;
        }
        auto t = tokenize(lines[p]);
        if (!t) {
            if (lines[p].starts_with("Event ") || lines[p].starts_with("mstrChipCardData:"))
                fail("line " + std::to_string(p) + " \"" + lines[p] +
                     "\" is an event line no delivered event explains");
            fail("line " + std::to_string(p) + " \"" + lines[p] +
                 "\" is not a well-formed log line");
        }
        t->line = p;
        t->t = times_[p];
        out.push_back(*t);
        ++p;
    }
    if (next_child != children.size()) fail("a nested call's lines are not inside its caller's");
    return out;
}

// Reads one call's own tokens by its method's grammar, with nested items (child calls,
// Timer1 resets) allowed only inside waits, and checks each wait's time: less than
// limit - 0.5 s at the last test that went on, plus one 300 ms pass, plus what ran nested;
// a wait that ended without an answer must have lasted at least limit - 0.5 s.
class Grammar {
  public:
    // slot: the object the call runs on. A nested call on that same object (at any depth)
    // restarts the object's operation start time, so the wait it interrupts measures anew
    // from the end of the nested item that held it.
    Grammar(const std::vector<Tok>& t, int slot, std::function<void(const std::string&)> fail)
        : t_(t), watch_(slot >= 0 ? 1u << slot : 0u), fail_(std::move(fail)) {}

    bool at(K k, const std::string& label = "") const {
        return i_ < t_.size() && t_[i_].k == k && (label.empty() || t_[i_].label == label);
    }
    const Tok& take(K k, const std::string& label) {
        if (!at(k, label)) {
            const char* kinds[] = {"start", "end", "read start", "err", "tick", "nested call"};
            fail_("expected the " + label + " " + kinds[static_cast<int>(k)] + " line, found " +
                  (i_ < t_.size()
                       ? "a " + std::string(kinds[static_cast<int>(t_[i_].k)]) + " line (" +
                             t_[i_].label + ") at line " + std::to_string(t_[i_].line)
                       : std::string("nothing")));
        }
        return t_[i_++];
    }
    bool done() const { return i_ == t_.size(); }
    int64_t allowed_total() const { return allowed_; }
    int ticks() const { return ticks_; }

    struct Nested {
        int64_t ms = 0;           // all nested time
        int64_t restart_at = -1;  // end of the last nested item that used the same object
        int64_t ms_after_restart = 0;
    };

    // Child calls and Timer1 resets.
    Nested nested() {
        Nested n;
        for (;;) {
            int64_t ms = 0, end = 0;
            bool touched = false;
            if (at(K::Child)) {
                const Tok& c = t_[i_++];
                ms = c.child_ms;
                end = c.t + c.child_ms;
                touched = (c.touches & watch_) != 0;
            } else if (at(K::Tick)) {
                const size_t from = i_;
                const int64_t t0 = t_[i_++].t;
                ++ticks_;
                int64_t t1 = t0;
                if (at(K::Err, "CardReaderReset")) {
                    t1 = t_[i_++].t;
                } else {
                    // The tick's reset runs on the form's own object, never on a client's.
                    const uint32_t outer = watch_;
                    watch_ = 0;
                    const Tok& s = take(K::Start, "CardReaderReset");
                    t1 =
                        finish(s, "CardReaderReset", 60, [](int32_t v) { return v == kPending; }).t;
                    watch_ = outer;
                }
                for (size_t j = from; j < i_; ++j)
                    touched = touched || (t_[j].k == K::Child && (t_[j].touches & watch_) != 0);
                ms = t1 - t0;
                end = t1;
            } else {
                return n;
            }
            n.ms += ms;
            if (touched) {
                n.restart_at = end;
                n.ms_after_restart = 0;
            } else {
                n.ms_after_restart += ms;
            }
        }
    }

    // The rest of a waiting step whose start line s was taken: nested items, end line. Its
    // time must fit the limit (less than limit - 0.5 s at the last test that went on, plus
    // one 300 ms pass) plus what ran nested; a step that ended for want of an answer must
    // have lasted at least limit - 0.5 s.
    const Tok& finish(const Tok& s, const std::string& label, int64_t limit_s,
                      const std::function<bool(int32_t)>& timed_out) {
        const Nested inner = nested();
        const Tok& e = take(K::End, label);
        const int64_t took = e.t - s.t;
        const int64_t budget = limit_s > 0 ? limit_s * 1000 - 200 : 0;
        const int64_t allowed = inner.restart_at >= 0
                                    ? (inner.restart_at - s.t) + budget + inner.ms_after_restart
                                    : budget + inner.ms;
        allowed_ += allowed;
        if (took > allowed)
            fail_(label + " waited " + std::to_string(took) + " ms, more than " +
                  std::to_string(budget) + " ms plus " + std::to_string(inner.ms) + " ms nested" +
                  (inner.restart_at >= 0
                       ? " (restarted at " + std::to_string(inner.restart_at) + ")"
                       : ""));
        if (timed_out(e.value) && limit_s > 0 && took < limit_s * 1000 - 500)
            fail_(label + " gave up after " + std::to_string(took) + " ms, before its " +
                  std::to_string(limit_s) + " s limit");
        return e;
    }

    const Tok& step(const std::string& label, int64_t limit_s,
                    const std::function<bool(int32_t)>& timed_out, K start_kind = K::Start) {
        const Tok& s = take(start_kind, label);
        return finish(s, label, limit_s, timed_out);
    }

  private:
    const std::vector<Tok>& t_;
    uint32_t watch_;
    std::function<void(const std::string&)> fail_;
    size_t i_ = 0;
    int64_t allowed_ = 0;
    int ticks_ = 0;
};

int32_t Episode::call(M m, int slot) {
    ReaderRef reader = object(slot);  // held for the call: a nested release cannot free it
    const int id = static_cast<int>(calls_.size());
    const int parent = stack_.empty() ? -1 : stack_.back();
    calls_.push_back(CallRecord{
        m, slot, parent, h_.log().size(), 0, h_.clock.now_ms(), 0, deliveries_.size(), 0, {}});
    if (parent >= 0) {
        calls_[static_cast<size_t>(parent)].children.push_back(id);
        ++stats_.nested_calls;
    }
    ++stats_.calls;
    const Before before{
        h_.rt.status_word,
        reader->entry_enabled(),
        h_.rt.chip_card_data,
        {reader->write_track_text(1), reader->write_track_text(2), reader->write_track_text(3)},
        reader->card_taken_limit(),
        h_.device->state(),
        h_.device->journal().size()};
    stack_.push_back(id);
    int32_t result = 0;
    bool property_failed = false;
    try {
        const Member& called = kMembers[m];
        if (called.kind == MemberKind::PropertyGet) {
            try {
                result = to_i4(called.run(*reader, Value()));
            } catch (const AutomationError&) {
                property_failed = true;  // a property lets its failure through
            }
        } else {
            result = to_i4(called.run(*reader, Value()));
        }
    } catch (const std::exception& e) {
        stack_.pop_back();
        fail(std::string(name_of(m)) + " let an exception out: " + e.what());
    }
    stack_.pop_back();
    CallRecord& c = calls_[static_cast<size_t>(id)];
    c.end_pos = h_.log().size();
    c.t1 = h_.clock.now_ms();
    c.result = property_failed ? -1 : result;
    verify_deliveries();
    verify(c, before, *reader);
    return result;
}

void Episode::verify(CallRecord& c, const Before& before, const ColsZQICCardReader& r) {
    auto bad = [&](const std::string& what) { fail(what, &c); };
    auto results = [&](std::initializer_list<int32_t> allowed) {
        for (int32_t a : allowed)
            if (a == c.result) return;
        bad("result " + std::to_string(c.result) + " is not one this method returns");
    };
    const int id = static_cast<int>(&c - calls_.data());
    const std::vector<Tok> toks = tokens(c.start_pos, c.end_pos, id);
    Grammar g(toks, c.slot, bad);
    const bool has_err = !toks.empty() && toks.back().k == K::Err;
    if (has_err) ++stats_.error_lines;
    auto pending = [](int32_t v) { return v == kPending; };
    auto never = [](int32_t) { return false; };
    // The chip texts stored by replies during this call (after a given control-call count).
    auto last_reply = [&](int64_t after_calls) -> std::optional<std::string> {
        std::optional<std::string> text;
        for (size_t i = c.deliveries_before; i < deliveries_.size(); ++i)
            if (deliveries_[i].chip_ok && deliveries_[i].call_returns_before >= after_calls)
                text = deliveries_[i].chip_text;
        return text;
    };
    switch (c.m) {
        case member::Noop:
            results({kOk});
            break;
        case member::StatusProperty:
        case member::GetStatus: {
            const bool trapped = c.m == member::GetStatus;
            if (trapped) results({1, 2, 3, 4, 5, 6, kFailed});
            const auto& s = before.device;
            auto fails = [&](const char* p) { return s.fail_gets.count(p) > 0; };
            // Media and device state are read first, then bin state and flag, then the media
            // state again; the first read that fails ends the refresh.
            std::optional<int32_t> expected;
            if (!fails("mediaState") && !fails("deviceState")) {
                if (s.media == "JAMMED" || s.device == "FATAL") {
                    expected = 3;
                } else if (!fails("binState") && !fails("binFlag")) {
                    if (s.bin == "BINFULL" && s.bin_flag)
                        expected = 6;
                    else if (s.media == "PRESENT")
                        expected = 5;
                    else if (s.media == "INJAWS")
                        expected = 2;
                    else
                        expected = before.entry_enabled == 1 ? 4 : 1;
                }
            }
            if (trapped && g.at(K::Err, "CardReaderGetStatus"))
                g.take(K::Err, "CardReaderGetStatus");
            const int32_t shown = c.result == -1 || (trapped && has_err) ? -1 : c.result;
            if (shown != expected.value_or(-1))
                bad("status " + std::to_string(shown) + ", the device state calls for " +
                    std::to_string(expected.value_or(-1)));
            if (trapped && has_err && c.result != kFailed) bad("error line but not 10120003");
            if (expected && (h_.rt.form().timer1().enabled() != (*expected == 3)))
                bad("Timer1 is not on exactly while a fault shows");
            break;
        }
        case member::Clear:
            results({kOk, kFailed});
            if (g.at(K::Err, "CardReaderClear")) {
                g.take(K::Err, "CardReaderClear");
                if (c.result != kFailed) bad("error line but not 10120003");
            } else if (c.result != result_for("CardReaderClear", h_.rt.status_word)) {
                bad("result does not follow the returned value");
            }
            break;
        case member::Init:
        case member::Reset:
        case member::Retain: {
            results({kOk, kTimedOut, kFailed, kEndedOn413, kCaptured});
            auto reset_like = [&](const std::string& label) -> int32_t {
                if (g.at(K::Err, label)) {
                    g.take(K::Err, label);
                    return kFailed;
                }
                return *result_for(label, g.step(label, 60, pending).value);
            };
            int32_t expected;
            if (c.m == member::Init) {
                if (g.at(K::Err, "CardReaderInit")) {
                    g.take(K::Err, "CardReaderInit");
                    expected = kFailed;
                } else {
                    g.step("CardReaderInit", 60, pending);
                    expected = reset_like("CardReaderReset");
                }
            } else {
                expected = reset_like(name_of(c.m));
            }
            if (c.result != expected) bad("result does not follow the final status");
            break;
        }
        case member::Enable:
            results({kOk, kFailed});
            if (g.at(K::Err, "CardReaderEnable")) {
                g.take(K::Err, "CardReaderEnable");
                if (c.result != kFailed) bad("error line but not 10120003");
                if (r.entry_enabled() != before.entry_enabled)
                    bad("a failed enable changed the entry flag");
            } else {
                const int32_t v = g.take(K::End, "CardReaderEnable").value;
                if (c.result != result_for("CardReaderEnable", v))
                    bad("result does not follow the answer");
                if (r.entry_enabled() != 1) bad("entry flag not set");
            }
            break;
        case member::Read: {
            results({kOk, kFailed});
            if (!toks.empty() && toks.front().k == K::ReadStart &&
                (toks.front().value != before.status_word ||
                 toks.front().flag != before.entry_enabled))
                bad("start line shows the wrong state");
            const int32_t v =
                g.step(
                     "CardReaderRead", 10, [](int32_t s) { return s != 405; }, K::ReadStart)
                    .value;
            const bool err = g.at(K::Err, "CardReaderRead");
            if (err) g.take(K::Err, "CardReaderRead");
            if (const auto decided = result_for("CardReaderRead", v)) {
                if (err || c.result != *decided) bad("no card, yet not a plain 10120003");
                break;
            }
            if (r.entry_enabled() != 0) bad("entry flag still set after an accepted card");
            if (err) {
                if (c.result != kFailed) bad("error line but not 10120003");
                break;
            }
            int32_t total = 0;
            const auto& s = h_.device->state();
            for (int tr = 1; tr <= 3; ++tr) {
                const auto& track = s.tracks[static_cast<size_t>(tr - 1)];
                const bool delivers = track.status == "READ" || track.status == "INVALID";
                const std::string want = delivers ? track.data : "";
                if (r.ReadTrack(tr) != want || r.ReadTrackLen(tr) != utf16_units(want))
                    bad("track " + std::to_string(tr) + " read as \"" + r.ReadTrack(tr) + "\" (" +
                        std::to_string(r.ReadTrackLen(tr)) + "), the card holds \"" + want + "\"");
                total += utf16_units(want);
            }
            if (c.result != (total != 0 ? kOk : kFailed))
                bad("result does not follow the tracks read");
            break;
        }
        case member::Write: {
            results({kOk, kTimedOut, kFailed});
            int last_track = 0;
            int32_t expected = kOk;
            for (;;) {
                std::string label;
                for (int tr = last_track + 1; tr <= 3 && label.empty(); ++tr) {
                    if (g.at(K::Start, "CardReaderWrite" + std::to_string(tr))) {
                        label = "CardReaderWrite" + std::to_string(tr);
                        last_track = tr;
                    }
                }
                if (label.empty()) break;
                if (before.write_texts[static_cast<size_t>(last_track - 1)].empty())
                    bad("wrote a track that has no text");
                const Tok& s = g.take(K::Start, label);
                if (s.value != kPending) bad("start line does not show the pending mark");
                if (g.at(K::Err, "CardReaderWrite")) break;  // the write call failed
                const int32_t v = g.finish(s, label, 60, pending).value;
                expected = *result_for("CardReaderWrite", v);
                if (expected != kOk) break;
            }
            if (g.at(K::Err, "CardReaderWrite")) {
                g.take(K::Err, "CardReaderWrite");
                expected = kFailed;
            }
            if (c.result != expected) bad("result does not follow the tracks' outcomes");
            for (int tr = 1; tr <= 3; ++tr) {
                const std::string& now = r.write_track_text(tr);
                const bool cleared = c.result == kOk;
                if (cleared ? !now.empty() : now != before.write_texts[static_cast<size_t>(tr - 1)])
                    bad("write texts not cleared exactly after a complete write");
            }
            break;
        }
        case member::WaitChip: {
            results({kOk, kTimedOut, kFailed});
            const Tok& s = g.take(K::Start, "QOR_WaitChip");
            if (s.value != kPending) bad("start line does not show the pending mark");
            int32_t expected = kFailed;
            if (g.at(K::Err, "QOR_WaitChip")) {
                g.take(K::Err, "QOR_WaitChip");
            } else {
                const int32_t v = g.finish(s, "QOR_WaitChip", 60, pending).value;
                expected = *result_for("QOR_WaitChip", v);
            }
            if (c.result != expected) bad("result does not follow the final status");
            if (h_.rt.chip_card_data != last_reply(0).value_or(before.chip_data))
                bad("chip data is not the last reply (or what it was)");
            break;
        }
        case member::ChipTrnsp: {
            results({kOk, kTimedOut, kFailed});
            const std::string& cmd = before.chip_data;
            bool valid = !cmd.empty() && cmd.size() % 2 == 0;
            for (char ch : cmd) valid = valid && std::isxdigit(static_cast<unsigned char>(ch));
            bool sent = false;
            for (size_t j = before.journal_size; j < h_.device->journal().size(); ++j)
                sent = sent || h_.device->journal()[j].starts_with("call: chipSend(");
            if (!valid) {
                g.take(K::Err, "Qor_ChipTrnsp");
                if (h_.rt.status_word != before.status_word ||
                    h_.rt.chip_card_data != before.chip_data || sent)
                    bad("a malformed command touched the status, the chip data or the control");
                if (c.result != kFailed) bad("a malformed command not refused with 10120003");
                break;
            }
            if (cmd.size() > kMaxChipCommandChars) {
                // The byte index overflows while the array is filled: after the pending mark,
                // before the start line and the control call.
                g.take(K::Err, "Qor_ChipTrnsp");
                if (h_.rt.status_word != kPending || h_.rt.chip_card_data != before.chip_data ||
                    sent)
                    bad("an overlong command went further than the pending mark");
                if (c.result != kFailed) bad("an overlong command not refused with 10120003");
                break;
            }
            const Tok& s = g.take(K::Start, "Qor_ChipTrnsp");
            if (s.value != kPending) bad("start line does not show the pending mark");
            if (g.at(K::Err, "Qor_ChipTrnsp")) {
                g.take(K::Err, "Qor_ChipTrnsp");
                if (c.result != kFailed) bad("error line but not 10120003");
                if (h_.rt.chip_card_data != before.chip_data)
                    bad("a failed send lost the command text");
                break;
            }
            const int32_t v = g.finish(s, "Qor_ChipTrnsp", 60, pending).value;
            if (c.result != result_for("Qor_ChipTrnsp", v))
                bad("result does not follow the final status");
            // Emptied after the send unless a reply was stored during it: what is left is a
            // reply that came after it (or during it, when kept), or nothing.
            const std::string expected = chip_send_kept_ ? last_reply(0).value_or(before.chip_data)
                                                         : last_reply(chip_send_mark_).value_or("");
            if (h_.rt.chip_card_data != expected)
                bad("chip data \"" + h_.rt.chip_card_data +
                    "\" is not the reply that came after the send");
            break;
        }
        case member::Return: {
            results({kOk, kTimedOut, kFailed});
            const Tok& s = g.take(K::Start, "CardReaderReturn");
            if (s.value != kPending) bad("start line does not show the pending mark");
            if (g.at(K::Err, "CardReaderReturn")) {
                g.take(K::Err, "CardReaderReturn");
                if (c.result != kFailed) bad("error line but not 10120003");
                break;
            }
            const int32_t v =
                g.finish(s, "CardReaderReturn", before.card_taken_limit, pending).value;
            int32_t expected = *result_for("CardReaderReturn", v);
            if (g.at(K::Err, "CardReaderReturn")) {  // the cancel-wait after a failure
                if (expected == kOk) bad("an error line after a successful return");
                g.take(K::Err, "CardReaderReturn");
                expected = kFailed;
            }
            if (c.result != expected) bad("result does not follow the final status");
            break;
        }
        case member::Disable: {
            results({kOk, kFailed});
            const Tok& s = g.take(K::Start, "CardReaderDisable");
            if (s.value != before.status_word) bad("start line does not show the status word");
            const bool cancels = before.entry_enabled == 1 && before.status_word != 405;
            if (g.at(K::Err, "CardReaderDisable")) {
                g.take(K::Err, "CardReaderDisable");
                if (!cancels) bad("an error without a control call");
                if (c.result != kFailed) bad("error line but not 10120003");
                break;
            }
            if (cancels) {
                g.finish(s, "CardReaderDisable", 1, never);
                if (r.entry_enabled() != 0) bad("entry flag still set after the cancel");
            } else if (r.entry_enabled() != before.entry_enabled) {
                bad("entry flag changed without a cancel");
            }
            if (c.result != kOk) bad("not 0 without an error");
            break;
        }
    }
    if (!g.done()) bad("lines left over after the method's own");
    stats_.ticks += g.ticks();
    // The whole call: its own waits and what ran nested inside them.
    if (c.t1 - c.t0 > g.allowed_total())
        bad("took " + std::to_string(c.t1 - c.t0) + " ms; its waits allow " +
            std::to_string(g.allowed_total()));
    if (c.result == kTimedOut) ++stats_.results_timed_out;
}

void Episode::check_tail() {
    verify_deliveries();
    if (deliveries_checked_ != deliveries_.size()) fail("an event's lines never came");
    // Between the client's calls only events, Timer1 resets and posted calls may log.
    const std::vector<Tok> toks = tokens(0, h_.log().size(), -1);
    Grammar g(toks, -1, [this](const std::string& what) { fail("between calls: " + what); });
    g.nested();
    if (!g.done())
        fail("between calls: a line no call, event or tick explains at " +
             std::to_string(toks.size()));
    stats_.ticks += g.ticks();
    stats_.lines += static_cast<int64_t>(h_.log().size());
    stats_.virtual_ms += h_.clock.now_ms();
    stats_.handler_failures += expected_handler_failures_;
}

void Episode::inject_fault() {
    auto& s = h_.device->state();
    static const std::vector<std::string> kProperties = {
        "mediaState",   "deviceState", "binState",  "binFlag",   "track1Status",
        "track2Status", "track3Data",  "writable1", "writable2", "number"};
    switch (rng_.below(11)) {
        case 0:
            s.device = rng_.chance(0.6) ? "FATAL" : "ONLINE";
            break;
        case 1:
            s.media = rng_.pick(std::vector<std::string>{"JAMMED", "NOMEDIA", "PRESENT", "INJAWS"});
            break;
        case 2: {
            const std::string p = rng_.pick(kProperties);
            if (s.fail_gets.erase(p) == 0) s.fail_gets[p] = "Property read failed";
            break;
        }
        case 3:
            h_.device->raise(rng_.pick(kHandled));
            break;
        case 4: {
            static const std::vector<ValueArray> kReplies = {
                {Value(int32_t{144}), Value(int32_t{0})}, {Value(int32_t{7})}, {}, {Value(300.0)},
                {Value(2.5), Value(int32_t{-1})},         {Value(1e10)}};
            h_.device->raise("ChipDataReceived", Value(rng_.pick(kReplies)));
            break;
        }
        case 5:
            h_.device->raise(rng_.chance(0.5) ? "StatusChanged" : "CardInserted");
            break;
        case 6:
            s.bin = rng_.chance(0.5) ? "BINFULL" : "BINOK";
            s.bin_flag = rng_.chance(0.5);
            break;
        case 7:
            s.fail_gets.clear();
            break;
        case 8:
            s.device = "ONLINE";
            s.media = "NOMEDIA";
            break;
        case 9: {
            static const std::vector<Value> kWritable = {Value(true),   Value(false),
                                                         Value("True"), Value("nope"),
                                                         Value(Null{}), Value(int32_t{0})};
            s.writable[static_cast<size_t>(rng_.below(3))] = rng_.pick(kWritable);
            break;
        }
        default:
            s.tracks[static_cast<size_t>(rng_.below(3))].status =
                rng_.chance(0.7) ? "READ" : "MISSING";
            break;
    }
}

// A client message that calls another object (or releases it) whenever the thread next
// pumps, which is usually inside some other call's wait.
void Episode::post_nested(int not_slot) {
    if (pending_posts_ >= 3 || !rng_.chance(0.2)) return;
    const int slot = (not_slot + 1 + rng_.below(2)) % 3;
    static const std::vector<M> kNested = {
        member::GetStatus, member::StatusProperty, member::Reset, member::Clear, member::Enable,
        member::Disable,   member::Noop,           member::Read,  member::Retain};
    const M m = rng_.pick(kNested);
    const bool release = rng_.chance(0.08);
    ++pending_posts_;
    h_.loop.post(
        [this, slot, m, release] {
            --pending_posts_;
            if (release) {
                if (objects_[static_cast<size_t>(slot)]) ++stats_.releases;
                objects_[static_cast<size_t>(slot)].reset();
                return;
            }
            call(m, slot);
        },
        rng_.range(0, 20000));
}

void Episode::transaction() {
    const int slot = live_slot();
    auto between = [&] {
        if (rng_.chance(0.08)) inject_fault();
        post_nested(slot);
    };
    if (rng_.chance(0.04)) {
        const int victim = rng_.below(3);
        if (objects_[static_cast<size_t>(victim)]) ++stats_.releases;
        objects_[static_cast<size_t>(victim)].reset();
    }
    if (!objects_[static_cast<size_t>(slot)] || rng_.chance(0.1)) {
        call(member::Init, slot);
        between();
    }
    if (rng_.chance(0.2)) {
        static const std::vector<int32_t> kLimits = {3, 3, 0, -1, 1, 2, 5, 30};
        object(slot)->TimeOutCard(rng_.pick(kLimits));
    }
    if (rng_.chance(0.7)) call(member::GetStatus, slot);
    between();
    call(member::Enable, slot);
    between();
    if (rng_.chance(0.3)) pump(rng_.range(0, 4000));
    call(member::Read, slot);
    between();
    if (rng_.chance(0.5)) {
        static const std::vector<std::string> kTexts = {"", "", "W1DATA", ";123=45?",
                                                        "\xC3\x84\xC3\x96"};
        for (int tr = 1; tr <= 3; ++tr) object(slot)->WriteTrack(tr, rng_.pick(kTexts));
        call(member::Write, slot);
        between();
    }
    if (rng_.chance(0.4)) {
        call(member::WaitChip, slot);
        between();
        const int commands = static_cast<int>(rng_.range(1, 3));
        for (int i = 0; i < commands; ++i) {
            std::string cmd;
            switch (rng_.below(12)) {
                case 0:
                    cmd = "";
                    break;
                case 1:
                    cmd = "0084000";
                    break;
                case 2:
                    cmd = "00G4";
                    break;
                case 3:
                    cmd = "0084 000004";
                    break;
                case 4:
                    cmd = std::string(kMaxChipCommandChars + 2, 'A');
                    break;
                default:
                    cmd = chip_commands_[static_cast<size_t>(
                        rng_.below(static_cast<int>(chip_commands_.size())))];
            }
            object(slot)->ChipCardData(cmd);
            call(member::ChipTrnsp, slot);
            between();
        }
    }
    const int end = rng_.below(20);
    call(end < 12 ? member::Return : end < 17 ? member::Retain : member::Disable, slot);
    between();
    if (rng_.chance(0.2)) call(member::Disable, slot);
    if (rng_.chance(0.3)) call(member::StatusProperty, slot);
    if (rng_.chance(0.15)) call(member::Clear, slot);
    if (rng_.chance(0.05)) call(member::Noop, slot);
    if (rng_.chance(0.1)) call(member::Reset, slot);
    between();
    if (rng_.chance(0.15)) pump(rng_.range(0, 45000));  // long enough for Timer1 to tick
}

int64_t env_number(const char* name, int64_t fallback) {
    const char* v = std::getenv(name);
    return v && *v ? std::strtoll(v, nullptr, 0) : fallback;
}

TEST(Soak, RandomTransactionsKeepResultsLogAndTimingConsistent) {
    const int64_t total = env_number("CZQIC_SOAK_TRANSACTIONS", 3000);
    const auto seed = static_cast<uint32_t>(env_number("CZQIC_SOAK_SEED", 0x50A4C0DE));
    Rng rng(seed);
    Stats stats;
    while (stats.transactions < total) {
        const int n =
            static_cast<int>(std::min<int64_t>(rng.range(5, 30), total - stats.transactions));
        const uint32_t episode_seed = rng.next();
        Rng episode_rng(episode_seed);
        try {
            Episode episode(episode_rng, stats);
            episode.run(n);
        } catch (const EpisodeFailure& e) {
            FAIL() << "episode " << stats.episodes << " (seed " << seed << ", episode seed "
                   << episode_seed << "): " << e.what;
        }
        ++stats.episodes;
    }
    std::printf(
        "soak: %lld transactions in %lld episodes, %lld calls (%lld nested), %lld events "
        "delivered, "
        "%lld event lines, %lld handler failures, %lld Timer1 resets, %lld error lines, %lld "
        "time-outs, "
        "%lld releases, %lld log lines, %.1f virtual hours\n",
        static_cast<long long>(stats.transactions), static_cast<long long>(stats.episodes),
        static_cast<long long>(stats.calls), static_cast<long long>(stats.nested_calls),
        static_cast<long long>(stats.deliveries), static_cast<long long>(stats.event_lines),
        static_cast<long long>(stats.handler_failures), static_cast<long long>(stats.ticks),
        static_cast<long long>(stats.error_lines), static_cast<long long>(stats.results_timed_out),
        static_cast<long long>(stats.releases), static_cast<long long>(stats.lines),
        static_cast<double>(stats.virtual_ms) / 3.6e6);
    // A soak that never reached the hard paths would prove little.
    EXPECT_GT(stats.nested_calls, 0);
    EXPECT_GT(stats.ticks, 0);
    EXPECT_GT(stats.handler_failures, 0);
    EXPECT_GT(stats.error_lines, 0);
    EXPECT_GT(stats.results_timed_out, 0);
}

}  // namespace
}  // namespace czqic::testing
