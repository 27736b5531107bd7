#include "sim/sim_reader.h"

#include <algorithm>
#include <cmath>

#include "sim/sim_internal.h"

namespace czqic::sim {

using detail::apply_set;
using detail::deep_copy;
using detail::follow;
using detail::journal_text;
using detail::Member;

namespace {

// The parameters each event carries, as the control declares them.
ValueArray event_args(std::string_view name, const std::optional<Value>& data) {
    if (name == ev::name::kChipDataReceived)
        return {Value(std::string()), data ? deep_copy(*data) : Value(ValueArray{})};
    if (name == ev::name::kFatalError) return {Value(int32_t{0})};
    if (name == ev::name::kChipInvalid) return {Value(std::string())};
    return {};
}

EventSpec posted(std::string_view event, int64_t after_ms, std::map<std::string, Value> set = {},
                 std::optional<Value> data = std::nullopt) {
    EventSpec e;
    e.event = std::string(event);
    e.after_ms = after_ms;
    e.set = std::move(set);
    e.data = std::move(data);
    return e;
}

std::optional<uint8_t> byte_of(const Value& value) {
    const Value& v = follow(value);
    double x;
    if (const auto* d = std::get_if<double>(&v.v)) {
        x = *d;
    } else if (const auto* i = std::get_if<int32_t>(&v.v)) {
        x = *i;
    } else if (const auto* s = std::get_if<int16_t>(&v.v)) {
        x = *s;
    } else {
        return std::nullopt;
    }
    if (!(x >= 0 && x <= 255) || x != std::floor(x)) return std::nullopt;
    return static_cast<uint8_t>(x);
}

// The track a write-track call names: "1" to "3" (or the number itself).
int track_index(const Value& value) {
    const Value& v = follow(value);
    if (const auto* s = v.text_if(); s && s->size() == 1 && (*s)[0] >= '1' && (*s)[0] <= '3')
        return (*s)[0] - '1';
    if (auto b = byte_of(v); b && *b >= 1 && *b <= 3) return *b - 1;
    raise_invalid_argument("Invalid track number " + journal_text(v));
}

// The built-in reader's written track: the text is taken now, as the caller's variable
// may be gone when the write ends.
EventSpec track_written(std::span<Value> args) {
    const int track = track_index(args[0]);
    const Value& text = follow(args[1]);
    const auto* s = text.text_if();
    if (!s) raise_invalid_argument("Invalid track data " + journal_text(text));
    return posted(ev::name::kCardWritten, 400,
                  {{"track" + std::to_string(track + 1) + ".data", Value(*s)}});
}

// The bytes of a chip send's command: an array of byte values, compact or one by one.
std::vector<uint8_t> command_apdu(const Value& argument) {
    const Value& command = follow(argument);
    const auto* array = std::get_if<Value::Array>(&command.v);
    if (!array || !*array) raise_invalid_argument("The command is not an array");
    if (const auto* bytes = array->bytes()) return *bytes;
    std::vector<uint8_t> apdu;
    for (const auto& element : **array) {
        auto b = byte_of(element);
        if (!b) raise_invalid_argument("Invalid command byte " + journal_text(element));
        apdu.push_back(*b);
    }
    return apdu;
}

}  // namespace

struct SimDevice::Impl {
    class Control;

    Impl(SimDevice& d, uint32_t seed) : device(d), random(seed) {}

    SimDevice& device;
    std::mt19937 random;
    // Calls taken so far per member key: lives here, not in the control, so a new instance
    // carries on where the last one left off.
    std::map<std::string, size_t> calls;
    std::vector<std::weak_ptr<Control>> instances;
    bool timeline_started = false;

    std::shared_ptr<Control> current();
    void record(std::string line);
    Value get_property(const Control& control, const Member& member) const;
    Value run_method(Control& control, const Member& member, std::span<Value> args);
    Reaction builtin_reaction(const Member& member, std::span<Value> args);
    Value query_answer(const Value& key) const;
    void schedule(Control& control, const EventSpec& event);
    void start_timeline();
};

// One control instance: what the class factory hands the host form.
class SimDevice::Impl::Control final : public Dispatch,
                                       public EventSinksSource,
                                       public std::enable_shared_from_this<Control> {
  public:
    explicit Control(std::shared_ptr<SimDevice> device) : device_(std::move(device)) {}

    Value invoke(DispId id, InvokeKind kind, std::span<Value> args) override;

    // Applies the event's state change, then raises it on this instance.
    void fire(std::string_view name, const std::map<std::string, Value>& set,
              const std::optional<Value>& data);

    bool opened = false;
    Value device_name = Value(std::string());

  private:
    // The device outlives every instance made from it: a control on a still-loaded form
    // must keep answering even if whoever built the device has let go of it.
    std::shared_ptr<SimDevice> device_;
};

Value SimDevice::Impl::Control::invoke(DispId id, InvokeKind kind, std::span<Value> args) {
    auto keep_alive = shared_from_this();  // a handler may release this instance mid-call
    Impl& impl = *device_->impl_;
    const Member* member = detail::find_member(id);

    // Journalled before anything can fail, so a refused call still shows in the record.
    impl.record(journal_line(id, kind, args));

    if (!member) raise_member_not_found();
    if (kind == InvokeKind::PropertyPut) {
        if (!member->puttable) raise_member_not_found();
        if (args.size() != 1) raise_bad_param_count();
        device_name = deep_copy(args[0]);
        return {};
    }
    if (!member->method) {
        if (!args.empty()) raise_bad_param_count();
        return impl.get_property(*this, *member);
    }
    if (args.size() != member->arity) raise_bad_param_count();
    return impl.run_method(*this, *member, args);
}

void SimDevice::Impl::Control::fire(std::string_view name, const std::map<std::string, Value>& set,
                                    const std::optional<Value>& data) {
    auto keep_alive = shared_from_this();
    for (const auto& [key, value] : set) apply_set(device_->state_, key, value);
    const ValueArray args = event_args(name, data);
    sinks_.raise(name, args);
}

std::shared_ptr<SimDevice::Impl::Control> SimDevice::Impl::current() {
    std::erase_if(instances, [](const auto& w) { return w.expired(); });
    return instances.empty() ? nullptr : instances.back().lock();
}

void SimDevice::Impl::record(std::string line) {
    if (device.on_journal) device.on_journal(line);
    if (device.keep_journal_) device.journal_.push_back(std::move(line));
}

Value SimDevice::Impl::get_property(const Control& control, const Member& member) const {
    const DeviceState& s = device.state_;
    if (auto it = s.fail_gets.find(std::string(member.key)); it != s.fail_gets.end())
        raise_failure(it->second);
    switch (member.id) {
        case ctl::kNumber:
            return deep_copy(s.number);
        case ctl::kBinFlag:
            return Value(s.bin_flag);
        case ctl::kWritable1:
        case ctl::kWritable1 + 1:
        case ctl::kWritable1 + 2:
            return deep_copy(s.writable[member.id - ctl::kWritable1]);
        case ctl::kDeviceName:
            return deep_copy(control.device_name);
        case ctl::kDeviceState:
            return Value(s.device);
        case ctl::kMediaState:
            return Value(s.media);
        case ctl::kBinState:
            return Value(s.bin);
        case ctl::kTrack1Data:
        case ctl::kTrack1Data + 1:
        case ctl::kTrack1Data + 2:
            return Value(s.tracks[member.id - ctl::kTrack1Data].data);
        case ctl::kTrack1Status:
        case ctl::kTrack1Status + 1:
        case ctl::kTrack1Status + 2:
            return Value(s.tracks[member.id - ctl::kTrack1Status].status);
        default:
            raise_member_not_found();
    }
}

Value SimDevice::Impl::query_answer(const Value& key) const {
    const Value& k = follow(key);
    const auto* text = k.text_if();
    return Value(text && *text == "LastErrorCode" ? device.state_.last_error_code : std::string());
}

Value SimDevice::Impl::run_method(Control& control, const Member& member, std::span<Value> args) {
    const size_t call_index = calls[std::string(member.key)]++;
    Reaction reaction;
    if (auto it = device.scenario_.on.find(std::string(member.key));
        it != device.scenario_.on.end()) {
        reaction = it->second[std::min(call_index, it->second.size() - 1)];
    } else {
        reaction = builtin_reaction(member, args);
    }
    if (reaction.fail) raise_failure(*reaction.fail);

    // Opening is the instance's own state, whatever the scenario makes the call report.
    if (member.id == ctl::kOpen) control.opened = true;
    if (member.id == ctl::kClose) control.opened = false;
    for (const auto& [key, value] : reaction.set) apply_set(device.state_, key, value);

    Value result;
    if (member.id == ctl::kAcceptAndRead || member.id == ctl::kClear)
        result = reaction.returns ? deep_copy(*reaction.returns) : Value(int32_t{0});
    else if (member.id == ctl::kQuery)
        result = reaction.returns ? deep_copy(*reaction.returns) : query_answer(args[0]);

    // An event delivered inside the call has no use for afterMs; it is ignored there.
    for (const auto& e : reaction.events) {
        if (e.during)
            control.fire(e.event, e.set, e.data);
        else
            schedule(control, e);
    }
    return result;
}

Reaction SimDevice::Impl::builtin_reaction(const Member& member, std::span<Value> args) {
    Reaction r;
    switch (member.id) {
        case ctl::kOpen:
            r.events = {posted(ev::name::kConnectionOpened, 100)};
            break;
        case ctl::kReset:
            r.events = {posted(ev::name::kResetComplete, 500)};
            break;
        case ctl::kAcceptAndRead:
            r.events = {posted(ev::name::kCardAccepted, 1500, {{"media", Value("PRESENT")}})};
            break;
        case ctl::kCancelAccept:
            r.events = {posted(ev::name::kCardAcceptCancelled, 100)};
            break;
        case ctl::kEject:
            r.events = {posted(ev::name::kCardEjected, 300, {{"media", Value("INJAWS")}}),
                        posted(ev::name::kCardTaken, 2300, {{"media", Value("NOMEDIA")}})};
            break;
        case ctl::kRetain:
            r.events = {posted(ev::name::kCardCaptured, 800, {{"media", Value("NOMEDIA")}})};
            break;
        case ctl::kCancelWait:
            r.events = {posted(ev::name::kWaitCancelled, 0)};
            break;
        case ctl::kWriteTrack:
            r.events = {track_written(args)};
            break;
        case ctl::kChipInit:
            r.events = {posted(ev::name::kChipDataReceived, 300, {},
                               Value(detail::hex_to_bytes(kAnswerToReset).value()))};
            break;
        case ctl::kChipSend: {
            const auto answer = detail::card_answer(command_apdu(args[2]), random);
            r.events = {posted(ev::name::kChipDataReceived, 100, {},
                               Value(detail::bytes_to_values(answer)))};
            break;
        }
        default:  // close, clear and query: answered by the call itself
            break;
    }
    return r;
}

void SimDevice::Impl::schedule(Control& control, const EventSpec& event) {
    // Owned by the instance: if the form lets it go first, the event dies with it.
    std::weak_ptr<Control> target = control.weak_from_this();
    device.loop_.post(
        [target, event] {
            if (auto c = target.lock()) c->fire(event.event, event.set, event.data);
        },
        event.after_ms, target);
}

void SimDevice::Impl::start_timeline() {
    if (timeline_started) return;
    timeline_started = true;
    std::weak_ptr<SimDevice> owner = device.weak_from_this();
    for (const auto& entry : device.scenario_.timeline) {
        device.loop_.post(
            [owner, entry] {
                auto d = owner.lock();
                if (!d) return;
                // The state changes whether or not a form is loaded to hear about it.
                for (const auto& [key, value] : entry.set) apply_set(d->state_, key, value);
                if (!entry.event) return;
                if (auto c = d->impl_->current()) c->fire(*entry.event, {}, entry.data);
            },
            entry.at_ms, owner);
    }
}

std::string journal_line(DispId id, InvokeKind kind, std::span<const Value> args) {
    const Member* member = detail::find_member(id);
    const std::string name =
        member ? std::string(member->key) : std::string("#").append(std::to_string(id));
    // A method reached as a property get (or the reverse) counts as what the member is,
    // the way Visual Basic's late binding treats them.
    if (kind == InvokeKind::PropertyPut)
        return "put: " + name + " = " + (args.empty() ? "empty" : journal_text(args.back()));
    if (member ? !member->method : kind == InvokeKind::PropertyGet) return "get: " + name;
    std::string line = "call: " + name + "(";
    for (size_t i = 0; i < args.size(); ++i) {
        if (i) line += ", ";
        line += journal_text(args[i]);
    }
    return line + ")";
}

std::string journal_value(const Value& value) {
    return journal_text(value);
}

std::shared_ptr<SimDevice> SimDevice::create(MessageLoop& loop, Scenario scenario,
                                             std::optional<uint32_t> seed) {
    if (!seed) seed = loop.clock().is_virtual() ? kVirtualClockSeed : std::random_device{}();
    return std::shared_ptr<SimDevice>(new SimDevice(loop, std::move(scenario), *seed));
}

SimDevice::SimDevice(MessageLoop& loop, Scenario scenario, uint32_t seed)
    : loop_(loop),
      scenario_(std::move(scenario)),
      state_(scenario_.state),
      impl_(std::make_unique<Impl>(*this, seed)) {}

SimDevice::~SimDevice() = default;

void SimDevice::register_class(ClassRegistry& classes) {
    std::weak_ptr<SimDevice> device = weak_from_this();
    classes.register_class(kControlProgId, "", [device]() -> std::shared_ptr<Object> {
        auto d = device.lock();
        if (!d) throw std::runtime_error("the simulated card reader has been shut down");
        return d->create_control();
    });
}

std::shared_ptr<Object> SimDevice::create_control() {
    auto control = std::make_shared<Impl::Control>(shared_from_this());
    ++instances_created_;
    impl_->current();  // drops the expired ones
    impl_->instances.push_back(control);
    impl_->start_timeline();
    return control;
}

void SimDevice::raise(std::string_view event, std::optional<Value> data) {
    std::optional<Value> payload;
    if (data) {
        const Value& d = follow(*data);
        if (const auto* hex = d.text_if()) {
            auto bytes = detail::hex_to_bytes(*hex);
            if (!bytes)
                detail::fail_at(std::string(event),
                                "expected hex text with an even number of digits");
            payload = Value(std::move(*bytes));
        } else {
            payload = deep_copy(d);
        }
    }
    auto control = impl_->current();
    if (!control) return;
    impl_->schedule(*control, posted(std::string(event), 0, {}, std::move(payload)));
}

void SimDevice::set(std::string_view key, std::string_view value) {
    const std::string k(key);
    const nlohmann::json text(std::string{value});
    // VALUE is JSON where it parses as JSON of the key's type; otherwise the bare text is
    // the value, so `sim:lastErrorCode=0` and `sim:media=PRESENT` both mean the string.
    const auto parsed = nlohmann::json::parse(value, nullptr, false);
    Value v;
    if (parsed.is_discarded()) {
        v = detail::read_set_value(k, text, k);
    } else {
        try {
            v = detail::read_set_value(k, parsed, k);
        } catch (const ScenarioError&) {
            v = detail::read_set_value(k, text, k);
        }
    }
    apply_set(state_, k, v);
}

bool SimDevice::opened() const {
    auto control = impl_->current();
    return control && control->opened;
}

std::optional<std::string> StateCheck::check(std::string_view key, std::string_view value) {
    if (!device_) {
        clock_ = std::make_unique<VirtualClock>();
        loop_ = std::make_unique<MessageLoop>(*clock_);
        device_ = SimDevice::create(*loop_, scenario_);
    }
    try {
        device_->set(key, value);
    } catch (const ScenarioError& e) {
        return e.what();
    }
    return std::nullopt;
}

}  // namespace czqic::sim
