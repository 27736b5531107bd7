#include "tools/cli/probe_record.h"

#include "device/control_contract.h"
// The simulator's own table of members and its state keys: a recording names them as the
// scenarios it reads do.
#include "sim/sim_internal.h"

namespace czqic::probe {
namespace {

// The scenario's state key a property reads, or nullopt.
std::optional<std::string> state_key(DispId id) {
    switch (id) {
        case ctl::kDeviceState:
            return "device";
        case ctl::kMediaState:
            return "media";
        case ctl::kBinState:
            return "bin";
        case ctl::kBinFlag:
            return "binFlag";
        case ctl::kNumber:
            return "number";
        default:
            break;
    }
    for (DispId track = 0; track < 3; ++track) {
        const std::string name = "track" + std::to_string(track + 1);
        if (id == ctl::kTrack1Status + track) return name + ".status";
        if (id == ctl::kTrack1Data + track) return name + ".data";
    }
    return std::nullopt;
}

// Whether the state can hold the value under key: text for the strings, a Boolean for the
// bin flag, a number for the number.
bool state_holds(const std::string& key, const Value& value) {
    const auto& v = value.deref().v;
    if (key == "binFlag") return std::holds_alternative<bool>(v);
    if (key == "number")
        return std::holds_alternative<int16_t>(v) || std::holds_alternative<int32_t>(v) ||
               std::holds_alternative<double>(v);
    return value.deref().text_if() != nullptr;
}

}  // namespace

Recorder::Recorder() {
    scenario_.state.tracks.fill({"MISSING", ""});
}

sim::Reaction& Recorder::reaction() {
    return scenario_.on.at(method_key_).at(method_index_);
}

std::map<std::string, Value>& Recorder::latest_set() {
    switch (latest_) {
        case Latest::Call:
            return reaction().set;
        case Latest::Event:
            return reaction().events.back().set;
        case Latest::Timeline:
            return scenario_.timeline.back().set;
        case Latest::Nothing:
            break;
    }
    scenario_.timeline.emplace_back().at_ms = access_ms_ - created_ms_.value_or(access_ms_);
    latest_ = Latest::Timeline;
    return scenario_.timeline.back().set;
}

void Recorder::state_seen(const std::string& key, const Value& answer) {
    const Value& value = answer.deref();
    if (!state_holds(key, value)) return;
    const std::string text = sim::journal_value(value);
    const auto [known, first] = known_.try_emplace(key, text);
    if (first) {
        sim::detail::apply_set(scenario_.state, key, sim::detail::deep_copy(value));
        return;
    }
    if (known->second == text) return;
    known->second = text;
    latest_set()[key] = sim::detail::deep_copy(value);
}

void Recorder::calling(DispId id, InvokeKind kind, std::span<const Value> args, int64_t at_ms) {
    if (!created_ms_) created_ms_ = at_ms;
    access_ms_ = at_ms;
    access_ = Access{id, kind};
    const sim::detail::Member* member = sim::detail::find_member(id);
    if (kind != InvokeKind::Method || !member || !member->method) return;
    if (id == ctl::kQuery && args.size() == 1) {
        const std::string* key = args[0].deref().text_if();
        access_->last_error_code = key && *key == "LastErrorCode";
    }
    auto& reactions = scenario_.on[std::string(member->key)];
    reactions.emplace_back();
    access_->has_reaction = true;
    method_key_ = member->key;
    method_index_ = reactions.size() - 1;
    method_ms_ = at_ms;
    latest_ = Latest::Call;
}

void Recorder::answered(const Value& answer) {
    if (!access_) return;
    const Access access = *access_;
    access_.reset();
    if (access.kind == InvokeKind::PropertyGet) {
        if (auto key = state_key(access.id)) state_seen(*key, answer);
    } else if (access.last_error_code) {
        // The simulator answers the query from its state.
        state_seen("lastErrorCode", answer);
    } else if (access.has_reaction &&
               (access.id == ctl::kAcceptAndRead || access.id == ctl::kClear)) {
        reaction().returns = sim::detail::deep_copy(answer);
    }
}

void Recorder::failed(const std::string& description) {
    if (!access_) return;
    const Access access = *access_;
    access_.reset();
    if (access.has_reaction) {
        reaction().fail = description;
    } else if (access.kind == InvokeKind::PropertyGet) {
        if (const sim::detail::Member* member = sim::detail::find_member(access.id))
            scenario_.state.fail_gets[std::string(member->key)] = description;
    }
}

void Recorder::event(std::string_view name, std::span<const Value> args, int64_t at_ms) {
    sim::EventSpec timed;
    timed.event = std::string(name);
    if (name == ev::name::kChipDataReceived && args.size() >= 2 && args[1].is_array())
        timed.data = sim::detail::deep_copy(args[1]);
    if (method_key_.empty()) {
        sim::TimelineEntry& entry = scenario_.timeline.emplace_back();
        entry.at_ms = at_ms - created_ms_.value_or(at_ms);
        entry.event = std::move(timed.event);
        entry.data = std::move(timed.data);
        latest_ = Latest::Timeline;
        return;
    }
    // Inside the call under way, or after the last call, at the delay it came after it.
    timed.during = access_ && access_->has_reaction;
    if (!timed.during) timed.after_ms = at_ms - method_ms_;
    reaction().events.push_back(std::move(timed));
    latest_ = Latest::Event;
}

}  // namespace czqic::probe
