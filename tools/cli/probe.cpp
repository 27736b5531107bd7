#include "tools/cli/probe.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <optional>

#include "device/control_contract.h"
#include "operations/frame.h"
#include "platform/hex.h"
#include "sim/sim_reader.h"
#include "tools/cli/printers.h"

namespace czqic::probe {
namespace {

constexpr int64_t kDeviceLimitMs = kDeviceLimitSeconds * 1000;
// How long a call the component expects nothing from is watched for stray events.
constexpr int64_t kSettleMs = 1000;
// Pumping in short slices keeps the end of a wait close to the event that ends it.
constexpr int64_t kSliceMs = 20;

// GET CHALLENGE for eight bytes (ISO/IEC 7816-4).
constexpr std::array<uint8_t, 5> kGetChallenge{0x00, 0x84, 0x00, 0x00, 0x08};

struct Received {
    std::string name;
    std::vector<Value> args;
    int64_t at_ms;
};

const ev::Handled* handled(std::string_view name) {
    for (const auto& h : ev::kHandled)
        if (h.name == name) return &h;
    return nullptr;
}

// "ResetComplete (404)", "CardEjected" for an event that stores nothing.
std::string with_value(std::string_view name) {
    const ev::Handled* h = handled(name);
    if (!h || h->word == ev::Word::None) return std::string(name);
    return std::string(name) + " (" + std::to_string(h->value) + ")";
}

std::string seconds(int64_t ms) {
    char text[32];
    if (ms % 1000 == 0)
        std::snprintf(text, sizeof text, "%lld s", static_cast<long long>(ms / 1000));
    else
        std::snprintf(text, sizeof text, "%.1f s", static_cast<double>(ms) / 1000);
    return text;
}

std::string hex(const ValueArray& bytes) {
    std::string out;
    for (const Value& b : bytes) append_hex_byte(out, static_cast<uint8_t>(to_i4(b)));
    return out;
}

// A step that cannot go on; what() is the reason its report gives.
class StepFailed : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// A step with nothing to check on this reader; what() says what was seen.
class StepSkipped : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

class Sink final : public EventSink {
  public:
    explicit Sink(std::function<void(std::string_view, std::span<const Value>)> on)
        : on_(std::move(on)) {}
    void on_event(std::string_view name, std::span<const Value> args) override { on_(name, args); }

  private:
    std::function<void(std::string_view, std::span<const Value>)> on_;
};

// The control as the probe holds it, and everything the steps have learnt so far.
class Probe {
  public:
    Probe(MessageLoop& loop, const Options& options) : loop_(loop), options_(options) {}

    Value invoke(DispId id, InvokeKind kind, std::span<Value> args) {
        journal(sim::journal_line(id, kind, args));
        last_call_ms_ = loop_.clock().now_ms();
        Observer* observer = options_.observer;
        if (observer) observer->calling(id, kind, args, last_call_ms_);
        try {
            Value answer = control->invoke(id, kind, args);
            if (observer) observer->answered(answer);
            return answer;
        } catch (const AutomationError& e) {
            if (observer) observer->failed(e.description());
            throw StepFailed(sim::journal_line(id, kind, args) +
                             " failed: " + cli::hresult_text(e.hresult()) + " " + e.description());
        } catch (const std::exception& e) {
            if (observer) observer->failed(e.what());
            throw;
        }
    }
    Value call(DispId id, std::vector<Value> args = {}) {
        return invoke(id, InvokeKind::Method, args);
    }
    std::string text(DispId id) {
        Value v = invoke(id, InvokeKind::PropertyGet, {});
        try {
            return to_string(v);
        } catch (const AutomationError&) {
            throw StepFailed(sim::journal_line(id, InvokeKind::PropertyGet, {}) + " gave " +
                             sim::journal_value(v) + ", which is not text");
        }
    }

    void on_event(std::string_view name, std::span<const Value> args) {
        const int64_t now = loop_.clock().now_ms();
        std::string line = "event: " + std::string(name) + "(";
        for (size_t i = 0; i < args.size(); ++i) {
            if (i) line += ", ";
            line += sim::journal_value(args[i]);
        }
        journal(line + ") after " + std::to_string(now - last_call_ms_) + " ms");
        if (options_.observer) options_.observer->event(name, args, now);
        received.push_back({std::string(name), {args.begin(), args.end()}, now});
    }

    void journal(const std::string& line) {
        if (options_.on_journal) options_.on_journal(line);
    }

    MessageLoop& loop() { return loop_; }

    std::shared_ptr<Dispatch> control;
    std::vector<Received> received;
    bool card_inside = false;
    bool chip_powered = false;

  private:
    MessageLoop& loop_;
    const Options& options_;
    int64_t last_call_ms_ = 0;
};

// What a step waits for, as the component's operation waits: which word its wait
// watches, the events that end it well, and its limit.
enum class Watch {
    Nothing,  // no wait: the calls answer at once
    Status,   // the status word: any handled event that stores there ends the wait
    Second,   // the second status word (CardReaderDisable)
    Settle,   // nothing is awaited; the call is watched for a while for stray events
};

std::string no_check(Probe&, const Received*) {
    return {};
}

struct Step {
    std::string_view name;
    std::string_view person = {};  // what a person must do first; empty when nobody acts
    // The person only brings the card: with one inside already, nobody is needed.
    bool person_brings_card = false;
    bool needs_card = false;
    bool needs_chip = false;
    // Meaningless with a card inside: entry would take that card at once.
    bool needs_empty_reader = false;
    // The calls; a returned text is the step's report when nothing is awaited.
    std::string (*start)(Probe&);
    Watch watch = Watch::Nothing;
    std::vector<std::string_view> awaits = {};
    int64_t limit_ms = 0;
    std::string_view limit_name = {};
    std::vector<std::string_view> must_not = {};
    // After the wait: the states and values the component reads; raises StepFailed. Given
    // the event that ended the wait (nullptr when none was awaited); returns the report.
    std::string (*check)(Probe&, const Received*) = no_check;
};

std::string open_device(Probe& p) {
    p.call(ctl::kOpen);
    return {};
}

// What GetStatus reads, and what makes it report a fault.
std::string device_states(Probe& p) {
    const std::string media = p.text(ctl::kMediaState);
    const std::string device = p.text(ctl::kDeviceState);
    const std::string bin = p.text(ctl::kBinState);
    bool flag;
    try {
        flag = to_bool(p.invoke(ctl::kBinFlag, InvokeKind::PropertyGet, {}));
    } catch (const AutomationError& e) {
        throw StepFailed("the bin flag is not a Boolean: " + e.description());
    }
    std::string seen = "device \"" + device + "\", media \"" + media + "\", bin \"" + bin +
                       "\", flag " + (flag ? "true" : "false");
    if (device == "FATAL" || media == "JAMMED")
        throw StepFailed(seen + ": the component reports a device fault");
    if (bin == "BINFULL" && flag) throw StepFailed(seen + ": the component reports the bin full");
    return seen;
}

std::string reset_device(Probe& p) {
    p.call(ctl::kCancelWait);
    p.call(ctl::kReset, {Value("EJECT")});
    return {};
}

std::string after_reset(Probe& p, const Received* arrived) {
    std::string seen = device_states(p);
    if (arrived && arrived->name == ev::name::kCardCaptured)
        seen = "the card left inside was captured; " + seen;
    return seen;
}

// A call's answer as the integer the component reads it as.
int16_t integer_answer(const std::string& call, const Value& answer) {
    try {
        return to_i2(answer);
    } catch (const AutomationError& e) {
        std::string why = call;
        why += " answered " + sim::journal_value(answer) + ", not an integer: ";
        throw StepFailed(why + e.description());
    }
}

// What GSRV, CardReaderClear and the test panel read.
std::string status_reads(Probe& p) {
    const std::string code = to_string(p.call(ctl::kQuery, {Value("LastErrorCode")}));
    const int16_t clear = integer_answer("clear", p.call(ctl::kClear));
    if (clear != 0) throw StepFailed("clear answered " + std::to_string(clear) + ", not 0 (done)");
    const Value number = p.invoke(ctl::kNumber, InvokeKind::PropertyGet, {});
    try {
        to_i4(number);
    } catch (const AutomationError& e) {
        throw StepFailed("the number is " + sim::journal_value(number) + ": " + e.description());
    }
    return "LastErrorCode \"" + code + "\", clear 0, number " + sim::journal_value(number);
}

std::string accept_card(Probe& p) {
    const int16_t code = integer_answer(
        "accept-and-read", p.call(ctl::kAcceptAndRead, {Value("1,2,3"), Value(int32_t{-1})}));
    // CardReaderEnable takes these as entry opened.
    if (code != 0 && code != ev::kCardAccepted && code != ev::kStatus460)
        throw StepFailed("accept-and-read answered " + std::to_string(code) +
                         ": the component reports entry failed");
    return {};
}

std::string card_inside(Probe& p, const Received*) {
    const std::string media = p.text(ctl::kMediaState);
    if (media != "PRESENT")
        throw StepFailed("media \"" + media + "\" with the card accepted, not \"PRESENT\"");
    p.card_inside = true;
    return "media \"PRESENT\"";
}

// The order and the statuses CardReaderRead goes by; the data itself is not shown.
std::string read_tracks(Probe& p) {
    std::string seen;
    size_t total = 0;
    int missing = 0;
    for (int track : {2, 3, 1}) {
        const std::string how = p.text(ctl::kTrack1Status + track - 1);
        if (how == "MISSING") ++missing;
        if (!seen.empty()) seen += ", ";
        seen += "track " + std::to_string(track) + " \"" + how + "\"";
        if (how != "READ" && how != "INVALID") continue;
        const std::string data = p.text(ctl::kTrack1Data + track - 1);
        seen.append(" ").append(std::to_string(char_length(data))).append(" chars");
        total += data.size();
    }
    // A chip-only reader reports every track missing: there is no magnetic head to check.
    if (missing == 3) throw StepSkipped("no magnetic tracks: " + seen);
    if (total == 0) throw StepFailed(seen + ": no track holds data, so reading fails");
    return seen;
}

std::string power_chip(Probe& p) {
    Value command("INIT");
    std::vector<Value> args{Value::by_ref(command)};
    p.invoke(ctl::kChipInit, InvokeKind::Method, args);
    return {};
}

const ValueArray& chip_reply(const Received& event) {
    if (event.args.size() < 2 || !event.args[1].is_array())
        throw StepFailed("ChipDataReceived carries no array of bytes as its second argument");
    return event.args[1].elements();
}

std::string chip_answer_to_reset(Probe& p, const Received* arrived) {
    if (arrived->name == ev::name::kChipInvalid) return "ChipInvalid: the card has no chip";
    const ValueArray& atr = chip_reply(*arrived);
    // The handler turns an array with upper bound 0 or less into no text at all.
    if (atr.size() < 2) throw StepFailed("the answer-to-reset holds fewer than two bytes");
    p.chip_powered = true;
    return "answer-to-reset " + hex(atr);
}

std::string get_challenge(Probe& p) {
    Value command("SEND");
    ValueArray apdu;
    for (uint8_t b : kGetChallenge) apdu.emplace_back(static_cast<double>(b));
    std::vector<Value> args{Value::by_ref(command), Value(int16_t{0}), Value(std::move(apdu)),
                            Value(int32_t{-1})};
    p.invoke(ctl::kChipSend, InvokeKind::Method, args);
    return {};
}

std::string challenge_reply(Probe&, const Received* arrived) {
    const std::string reply = hex(chip_reply(*arrived));
    if (!reply.ends_with("9000")) throw StepFailed("the card answered " + reply + ", not ...9000");
    if (reply.size() != 2 * (kGetChallenge[4] + 2))
        throw StepFailed("the card answered " + reply + ": not eight bytes and 9000");
    return "eight bytes and 9000";
}

std::string eject_card(Probe& p) {
    p.call(ctl::kEject, {Value(int32_t{-1})});
    return {};
}

std::string card_gone(Probe& p, const Received*) {
    const std::string media = p.text(ctl::kMediaState);
    if (media == "PRESENT" || media == "INJAWS")
        throw StepFailed("media \"" + media + "\" after CardTaken");
    p.card_inside = false;
    return "media \"" + media + "\"";
}

std::string cancel_wait(Probe& p) {
    p.call(ctl::kCancelWait);
    return {};
}

std::string cancel_entry(Probe& p) {
    accept_card(p);
    p.call(ctl::kCancelAccept);
    return {};
}

std::string close_device(Probe& p) {
    p.call(ctl::kClose);
    return {};
}

constexpr int64_t kDevice = kDeviceLimitMs;

// Opening the device, reading its states, resetting it and reading its status.
std::vector<Step> device_steps() {
    using namespace ev::name;
    return {
        {.name = "open",
         .start = open_device,
         .watch = Watch::Status,
         .awaits = {kConnectionOpened},
         .limit_ms = kDevice,
         .limit_name = "the device limit"},
        {.name = "device states", .start = device_states},
        {.name = "reset",
         .start = reset_device,
         .watch = Watch::Status,
         .awaits = {kResetComplete, kCardCaptured},
         .limit_ms = kDevice,
         .limit_name = "the device limit",
         .check = after_reset},
        {.name = "status reads", .start = status_reads},
    };
}

// A card's way through the reader: entry, tracks, chip, and out again.
std::vector<Step> card_steps() {
    using namespace ev::name;
    return {
        {.name = "card entry",
         .person = "Insert a card when asked, within 10 seconds",
         .person_brings_card = true,
         .start = accept_card,
         .watch = Watch::Status,
         .awaits = {kCardAccepted},
         .limit_ms = kCardWaitSeconds * 1000,
         .limit_name = "the card wait",
         .must_not = {kCardAcceptCancelled},
         .check = card_inside},
        {.name = "tracks", .needs_card = true, .start = read_tracks},
        {.name = "chip power-up",
         .needs_card = true,
         .start = power_chip,
         .watch = Watch::Status,
         .awaits = {kChipDataReceived, kChipInvalid},
         .limit_ms = kDevice,
         .limit_name = "the device limit",
         .check = chip_answer_to_reset},
        {.name = "GET CHALLENGE",
         .needs_card = true,
         .needs_chip = true,
         .start = get_challenge,
         .watch = Watch::Status,
         .awaits = {kChipDataReceived},
         .limit_ms = kDevice,
         .limit_name = "the device limit",
         .check = challenge_reply},
        {.name = "eject and take",
         .person =
             "Take the card as soon as it comes out: the component waits 3 seconds by default",
         .needs_card = true,
         .start = eject_card,
         .watch = Watch::Status,
         .awaits = {kCardTaken},
         .limit_ms = kCardTakenDefaultSeconds * 1000,
         .limit_name = "TimeOutCard's default",
         .check = card_gone},
    };
}

// The cancel paths, and closing.
std::vector<Step> closing_steps() {
    using namespace ev::name;
    return {
        {.name = "cancel wait",
         .start = cancel_wait,
         .watch = Watch::Settle,
         .limit_ms = kSettleMs},
        {.name = "cancel entry",
         .needs_empty_reader = true,
         .start = cancel_entry,
         .watch = Watch::Second,
         .awaits = {kCardAcceptCancelled},
         .limit_ms = kEntryCancelWaitSeconds * 1000,
         .limit_name = "CardReaderDisable's wait",
         .must_not = {kCardAccepted}},
        {.name = "close", .start = close_device},
    };
}

const std::vector<Step>& steps() {
    static const std::vector<Step> table = [] {
        std::vector<Step> all = device_steps();
        for (auto more : {card_steps(), closing_steps()})
            all.insert(all.end(), more.begin(), more.end());
        return all;
    }();
    return table;
}

// The media state as a skip reason quotes it; empty when it cannot be read (the steps
// themselves report what the control does then).
std::string media_state(Probe& p) {
    try {
        return p.text(ctl::kMediaState);
    } catch (const std::exception&) {
        return {};
    }
}

std::string seen_media(const std::string& media) {
    return media.empty() ? "media state unreadable" : "media \"" + media + "\"";
}

bool contains(const std::vector<std::string_view>& names, std::string_view name) {
    return std::ranges::find(names, name) != names.end();
}

bool stores_status(std::string_view name) {
    const ev::Handled* h = handled(name);
    return h && h->word == ev::Word::Status;
}

std::string awaited_names(const Step& step) {
    std::string names;
    for (std::string_view a : step.awaits) {
        if (!names.empty()) names += " or ";
        names += with_value(a);
    }
    return names;
}

// Pumps until an event ends the step's wait, or its limit passes. Returns the awaited
// event that arrived, nullptr for a settle; raises StepFailed otherwise.
const Received* wait_for(Probe& p, const Step& step, size_t first, int64_t started) {
    Clock& clock = p.loop().clock();
    const int64_t deadline = started + step.limit_ms;
    for (size_t seen = first;;) {
        for (; seen < p.received.size(); ++seen) {
            const Received& r = p.received[seen];
            const std::string after = " after " + seconds(r.at_ms - started);
            if (contains(step.awaits, r.name)) {
                if (r.at_ms - started > step.limit_ms)
                    throw StepFailed(r.name + after + ", beyond " + std::string(step.limit_name) +
                                     " of " + seconds(step.limit_ms));
                return &r;
            }
            if (contains(step.must_not, r.name))
                throw StepFailed(with_value(r.name) + after + ", which must not come here");
            if (stores_status(r.name) &&
                (step.watch == Watch::Status || step.watch == Watch::Settle))
                throw StepFailed(with_value(r.name) + after +
                                 (step.watch == Watch::Status
                                      ? " ends the component's wait as a failure; expected " +
                                            awaited_names(step)
                                      : ", though the component expects nothing here"));
        }
        const int64_t now = clock.now_ms();
        if (now >= deadline) break;
        p.loop().pump_for(std::min(kSliceMs, deadline - now));
    }
    if (step.watch == Watch::Settle) return nullptr;
    throw StepFailed("no " + awaited_names(step) + " within " + std::string(step.limit_name) +
                     " of " + seconds(step.limit_ms));
}

std::string run_step(Probe& p, const Step& step) {
    const size_t first = p.received.size();
    const int64_t started = p.loop().clock().now_ms();
    std::string seen = step.start(p);
    if (step.watch == Watch::Nothing) return seen;
    const Received* arrived = wait_for(p, step, first, started);
    std::string checked = step.check(p, arrived);
    if (!arrived) return checked;
    std::string report = with_value(arrived->name) + " after " + seconds(arrived->at_ms - started) +
                         ", limit " + seconds(step.limit_ms);
    return checked.empty() ? report : report + "; " + checked;
}

const char* outcome_text(Outcome outcome) {
    switch (outcome) {
        case Outcome::Passed:
            return "passed";
        case Outcome::Failed:
            return "failed";
        case Outcome::Skipped:
            break;
    }
    return "skipped";
}

void print(std::ostream& out, const StepReport& r) {
    out << r.step << ": " << outcome_text(r.outcome);
    if (!r.detail.empty()) out << (r.outcome == Outcome::Passed ? " (" : ": ") << r.detail;
    out << (r.outcome == Outcome::Passed && !r.detail.empty() ? ")" : "") << '\n' << std::flush;
}

// Why a step does not run here, or nullopt. Asks the person at the reader when the step
// needs one (and nobody has said no).
std::optional<std::string> skip_reason(Probe& p, const Step& step, const Options& options) {
    // Read only where a decision needs it: every read is a call the journal shows.
    std::optional<std::string> media_read;
    const auto media = [&]() -> const std::string& {
        if (!media_read) media_read = media_state(p);
        return *media_read;
    };
    if (step.needs_card && !p.card_inside)
        return "no card inside: the card entry did not take one, " + seen_media(media());
    if (step.needs_chip && !p.chip_powered) return "no chip powered up";
    if (step.needs_empty_reader && media() == "PRESENT")
        return "a card is in the reader: " + seen_media(media());
    if (!step.person.empty() && !options.card_comes_by_itself &&
        !(step.person_brings_card && media() == "PRESENT")) {
        if (!options.ask_person) return "needs a person at the reader, " + seen_media(media());
        if (!options.ask_person(step.person)) return "nobody answered";
    }
    return std::nullopt;
}

StepReport probe_step(Probe& p, const Step& step, const Options& options) {
    std::string name(step.name);
    if (auto why = skip_reason(p, step, options)) return {name, Outcome::Skipped, *why};
    try {
        return {name, Outcome::Passed, run_step(p, step)};
    } catch (const StepSkipped& e) {
        return {name, Outcome::Skipped, e.what()};
    } catch (const std::exception& e) {
        return {name, Outcome::Failed, e.what()};
    }
}

// The control's events, bound to the probe while it runs.
class EventBinding {
  public:
    explicit EventBinding(Probe& p)
        : sink_(std::make_shared<Sink>([&p](std::string_view name, std::span<const Value> args) {
              p.on_event(name, args);
          })) {}
    ~EventBinding() {
        if (cookie_) source_->unadvise(*cookie_);
    }
    EventBinding(const EventBinding&) = delete;
    EventBinding& operator=(const EventBinding&) = delete;

    // Raises StepFailed for a control that raises no events.
    void bind(const std::shared_ptr<Dispatch>& control, std::string_view progid) {
        source_ = std::dynamic_pointer_cast<EventSource>(control);
        if (!source_) throw StepFailed(std::string(progid) + " raises no events");
        cookie_ = source_->advise(sink_);
    }

  private:
    std::shared_ptr<Sink> sink_;
    std::shared_ptr<EventSource> source_;
    std::optional<uint32_t> cookie_;
};

// Creates the control as the host form does: by ProgID, named, then its events bound.
StepReport create_control(Probe& p, EventBinding& events, const ClassRegistry& classes,
                          std::string_view progid) {
    try {
        p.control = classes.create_as<Dispatch>(progid);
        events.bind(p.control, progid);
        Value name(kDeviceLogicalName);
        p.invoke(ctl::kDeviceName, InvokeKind::PropertyPut, {&name, 1});
        return {"create", Outcome::Passed, std::string(progid)};
    } catch (const std::exception& e) {
        return {"create", Outcome::Failed, e.what()};
    }
}

void print_totals(std::ostream& out, const std::vector<StepReport>& reports) {
    const auto count = [&](Outcome o) {
        return std::ranges::count_if(reports, [o](const StepReport& r) { return r.outcome == o; });
    };
    out << "probe: " << count(Outcome::Passed) << " passed, " << count(Outcome::Failed)
        << " failed, " << count(Outcome::Skipped) << " skipped\n"
        << std::flush;
}

}  // namespace

std::vector<StepReport> run(const ClassRegistry& classes, std::string_view progid,
                            MessageLoop& loop, const Options& options, std::ostream& out) {
    std::vector<StepReport> reports;
    auto report = [&](StepReport r) {
        print(out, r);
        reports.push_back(std::move(r));
    };
    Probe p(loop, options);
    {
        EventBinding events(p);
        report(create_control(p, events, classes, progid));
        const bool created = reports.back().outcome == Outcome::Passed;
        for (const Step& step : steps())
            report(created ? probe_step(p, step, options)
                           : StepReport{std::string(step.name), Outcome::Skipped, "no control"});
    }
    p.control.reset();
    print_totals(out, reports);
    return reports;
}

int exit_status(const std::vector<StepReport>& reports) {
    return std::ranges::any_of(reports,
                               [](const StepReport& r) { return r.outcome == Outcome::Failed; })
               ? 1
               : 0;
}

}  // namespace czqic::probe
