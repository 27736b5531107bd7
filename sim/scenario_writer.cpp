// Writing a scenario: the one place scenarios are written, so that whatever writes one (a
// replayed log, a recorded reader) gives text that parse_scenario reads back the same.
#include <cmath>
#include <limits>

#include "platform/hex.h"
#include "sim/sim_internal.h"

namespace czqic::sim {

using nlohmann::json;

namespace {

json value_json(const Value& value) {
    const Value& v = value.deref();
    if (const auto* n = std::get_if<int16_t>(&v.v)) return *n;
    if (const auto* n = std::get_if<int32_t>(&v.v)) return *n;
    if (const auto* b = std::get_if<bool>(&v.v)) return *b;
    if (const auto* t = std::get_if<Text>(&v.v)) return **t;
    if (const auto* d = std::get_if<double>(&v.v)) {
        // A Double stays one when read back: JSON's integers read as Longs.
        if (!std::isfinite(*d)) return nullptr;
        return json(*d);
    }
    if (const auto* a = std::get_if<Value::Array>(&v.v)) {
        json items = json::array();
        if (!*a) return items;
        for (const Value& item : **a) items.push_back(value_json(item));
        return items;
    }
    return nullptr;
}

// Chip data as hex text when it is an array of bytes (what hex text reads back as), else
// the array as it stands.
json data_json(const Value& data) {
    if (const auto* a = std::get_if<Value::Array>(&data.deref().v); a && *a && a->bytes())
        return hex_encode(*a->bytes());
    return value_json(data);
}

json set_json(const std::map<std::string, Value>& set) {
    json j = json::object();
    for (const auto& [key, value] : set) j[key] = value_json(value);
    return j;
}

json event_json(const EventSpec& e) {
    json j = {{"event", e.event}};
    if (e.during)
        j["during"] = true;
    else if (e.after_ms != 0)
        j["afterMs"] = e.after_ms;
    if (!e.set.empty()) j["set"] = set_json(e.set);
    if (e.data) j["data"] = data_json(*e.data);
    return j;
}

json reaction_json(const Reaction& r) {
    json j = json::object();
    if (r.returns) j["returns"] = value_json(*r.returns);
    if (r.fail) j["fail"] = *r.fail;
    if (!r.set.empty()) j["set"] = set_json(r.set);
    if (!r.events.empty()) {
        json events = json::array();
        for (const EventSpec& e : r.events) events.push_back(event_json(e));
        j["events"] = std::move(events);
    }
    return j;
}

json state_json(const DeviceState& s) {
    json tracks = json::array();
    for (const auto& t : s.tracks) tracks.push_back({{"status", t.status}, {"data", t.data}});
    json writable = json::array();
    for (const Value& w : s.writable) writable.push_back(value_json(w));
    json j = {{"device", s.device},
              {"media", s.media},
              {"bin", s.bin},
              {"binFlag", s.bin_flag},
              {"number", value_json(s.number)},
              {"lastErrorCode", s.last_error_code},
              {"tracks", std::move(tracks)},
              {"writable", std::move(writable)}};
    if (!s.fail_gets.empty()) j["failGets"] = s.fail_gets;
    return j;
}

}  // namespace

std::string write_scenario(const Scenario& scenario) {
    json j = {{"state", state_json(scenario.state)}};
    if (scenario.control_mode != "lenient") j["control"] = {{"mode", scenario.control_mode}};
    json on = json::object();
    for (const auto& [member, reactions] : scenario.on) {
        json list = json::array();
        for (const Reaction& r : reactions) list.push_back(reaction_json(r));
        on[member] = std::move(list);
    }
    if (!on.empty()) j["on"] = std::move(on);
    json timeline = json::array();
    for (const TimelineEntry& t : scenario.timeline) {
        json entry = {{"atMs", t.at_ms}};
        if (!t.set.empty()) entry["set"] = set_json(t.set);
        if (t.event) entry["event"] = *t.event;
        if (t.data) entry["data"] = data_json(*t.data);
        timeline.push_back(std::move(entry));
    }
    if (!timeline.empty()) j["timeline"] = std::move(timeline);
    return j.dump(2) + "\n";
}

}  // namespace czqic::sim
