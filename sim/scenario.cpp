// Reading a scenario: every key is checked, and the first problem found is reported with
// the key path that leads to it, so a tester can find the line in the file.
#include <algorithm>
#include <array>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <optional>
#include <set>
#include <sstream>

#include "platform/text.h"
#include "sim/sim_internal.h"

namespace czqic::sim {

using detail::fail_at;
using nlohmann::json;

const std::vector<std::string>& handled_events() {
    static const std::vector<std::string> names = [] {
        std::vector<std::string> list;
        for (const ev::Handled& e : ev::kHandled) list.emplace_back(e.name);
        return list;
    }();
    return names;
}

Scenario builtin_scenario() {
    Scenario s;
    // ISO/IEC 7813 layouts around the well-known Visa test number 4000 0000 0000 0002
    // (it passes the Luhn check but belongs to no account).
    s.state.tracks[0] = {"READ", "%B4000000000000002^TEST/CARD^30122011000000000000?"};
    s.state.tracks[1] = {"READ", ";4000000000000002=30122011000000000000?"};
    s.state.tracks[2] = {"READ", ";014000000000000002=724000000000000000003012000000000000=0000?"};
    return s;
}

namespace detail {

namespace {

enum class SetType { String, Bool, Number, Any };

struct SetKey {
    std::string_view key;
    SetType type;
};

// The scalar state keys, with tracks and writable flags named the way the command line
// names them (track1.data, writable2) so one vocabulary serves scenarios and `sim:`.
const std::vector<SetKey>& set_keys() {
    static const std::vector<SetKey> keys{
        {"device", SetType::String},        {"media", SetType::String},
        {"bin", SetType::String},           {"binFlag", SetType::Bool},
        {"number", SetType::Number},        {"lastErrorCode", SetType::String},
        {"track1.status", SetType::String}, {"track1.data", SetType::String},
        {"track2.status", SetType::String}, {"track2.data", SetType::String},
        {"track3.status", SetType::String}, {"track3.data", SetType::String},
        {"writable1", SetType::Any},        {"writable2", SetType::Any},
        {"writable3", SetType::Any},
    };
    return keys;
}

std::string set_key_list() {
    std::string list;
    for (const auto& k : set_keys()) {
        if (!list.empty()) list += ", ";
        list += k.key;
    }
    return list;
}

const char* type_name(SetType type) {
    switch (type) {
        case SetType::String:
            return "expected a string";
        case SetType::Bool:
            return "expected a boolean";
        case SetType::Number:
            return "expected a number";
        case SetType::Any:
            break;
    }
    return "expected a value";
}

}  // namespace

Value json_to_value(const json& j, const std::string& path, int depth) {
    // Arrays within arrays are converted recursively; a bound keeps a hostile scenario
    // from exhausting the stack. Nothing the component is handed nests this deep.
    if (depth > kMaxArrayNesting)
        fail_at(path, "arrays nested more than " + std::to_string(kMaxArrayNesting) + " deep");
    switch (j.type()) {
        case json::value_t::null:
            return Value(Null{});
        case json::value_t::boolean:
            return Value(j.get<bool>());
        case json::value_t::number_integer: {
            auto n = j.get<int64_t>();
            if (n >= std::numeric_limits<int32_t>::min() &&
                n <= std::numeric_limits<int32_t>::max())
                return Value(static_cast<int32_t>(n));
            return Value(static_cast<double>(n));
        }
        case json::value_t::number_unsigned: {
            auto n = j.get<uint64_t>();
            if (n <= static_cast<uint64_t>(std::numeric_limits<int32_t>::max()))
                return Value(static_cast<int32_t>(n));
            return Value(static_cast<double>(n));
        }
        // A number written with a fraction or an exponent stays a Double even when whole,
        // so a scenario can hand the component a Double on purpose (e.g. 2.0 or 2.5).
        case json::value_t::number_float:
            return Value(j.get<double>());
        case json::value_t::string:
            return Value(j.get<std::string>());
        case json::value_t::array: {
            ValueArray items;
            for (size_t i = 0; i < j.size(); ++i)
                items.push_back(
                    json_to_value(j[i], path + "[" + std::to_string(i) + "]", depth + 1));
            return Value(std::move(items));
        }
        default:
            fail_at(path, "expected a value, not an object");
    }
}

Value read_chip_data(const json& j, const std::string& path) {
    if (j.is_string()) {
        auto bytes = hex_to_bytes(j.get<std::string>());
        if (!bytes) fail_at(path, "expected hex text with an even number of digits");
        return Value(std::move(*bytes));
    }
    if (j.is_array()) {
        ValueArray items;
        for (size_t i = 0; i < j.size(); ++i) {
            const std::string at = path + "[" + std::to_string(i) + "]";
            if (!j[i].is_number()) fail_at(at, "expected a number");
            items.push_back(json_to_value(j[i], at));
        }
        return Value(std::move(items));
    }
    fail_at(path, "expected hex text or an array of numbers");
}

Value read_set_value(const std::string& key, const json& j, const std::string& path) {
    const SetKey* found = nullptr;
    for (const auto& k : set_keys())
        if (k.key == key) found = &k;
    if (!found) fail_at(path, "unknown key (known: " + set_key_list() + ")");
    const bool fits = (found->type == SetType::String && j.is_string()) ||
                      (found->type == SetType::Bool && j.is_boolean()) ||
                      (found->type == SetType::Number && j.is_number()) ||
                      (found->type == SetType::Any && !j.is_object());
    if (!fits) fail_at(path, type_name(found->type));
    return json_to_value(j, path);
}

void apply_set(DeviceState& state, const std::string& key, const Value& value) {
    auto text = [&] { return *std::get<Text>(value.v); };
    if (key == "device") {
        state.device = text();
    } else if (key == "media") {
        state.media = text();
    } else if (key == "bin") {
        state.bin = text();
    } else if (key == "binFlag") {
        state.bin_flag = std::get<bool>(value.v);
    } else if (key == "number") {
        state.number = deep_copy(value);
    } else if (key == "lastErrorCode") {
        state.last_error_code = text();
    } else if (key.starts_with("writable") && key.size() == 9) {
        state.writable.at(key[8] - '1') = deep_copy(value);
    } else if (key.starts_with("track") && key.size() > 7) {
        auto& track = state.tracks.at(key[5] - '1');
        (key.substr(7) == "status" ? track.status : track.data) = text();
    }
}

}  // namespace detail

namespace {

using detail::json_to_value;

std::string index_path(const std::string& path, size_t i) {
    return path + "[" + std::to_string(i) + "]";
}

const json& expect_object(const json& j, const std::string& path) {
    if (!j.is_object()) fail_at(path, "expected an object");
    return j;
}

const json& expect_array(const json& j, const std::string& path) {
    if (!j.is_array()) fail_at(path, "expected an array");
    return j;
}

std::string read_string(const json& j, const std::string& path) {
    if (!j.is_string()) fail_at(path, "expected a string");
    return j.get<std::string>();
}

bool read_bool(const json& j, const std::string& path) {
    if (!j.is_boolean()) fail_at(path, "expected a boolean");
    return j.get<bool>();
}

int64_t read_ms(const json& j, const std::string& path) {
    if (!j.is_number()) fail_at(path, "expected a number");
    const double ms = j.get<double>();
    if (ms < 0 || ms != std::floor(ms) || ms > 1e15)
        fail_at(path, "expected a whole number of milliseconds, 0 or more");
    return j.is_number_float() ? static_cast<int64_t>(ms) : j.get<int64_t>();
}

// Event names in a scenario must be ones the component handles. The control does raise
// others, which the component ignores, but a scenario naming one is far more likely to
// hold a typo ("ResetDone") than a deliberate unhandled event, and a typo would silently
// turn a test into a time-out. `sim:EVENT` on the command line raises any name.
std::string read_event_name(const json& j, const std::string& path) {
    std::string name = read_string(j, path);
    if (!detail::is_handled_event(name))
        fail_at(path, "unknown event \"" + elide_middle(name) + "\"");
    return name;
}

// One reader a key of an object, so that a key no reader takes is refused where it stands:
// a misspelt key in a scenario is a mistake, never a default.
using FieldReader = std::function<void(const json& value, const std::string& at)>;
void read_fields(const json& j, const std::string& path,
                 std::initializer_list<std::pair<std::string_view, FieldReader>> readers) {
    expect_object(j, path);
    for (const auto& item : j.items()) {
        const std::string& key = item.key();
        const std::string at = path.empty() ? key : path + "." + key;
        const auto reader =
            std::ranges::find_if(readers, [&](const auto& r) { return r.first == key; });
        if (reader == readers.end()) fail_at(at, "unknown key");
        if (reader->second) reader->second(item.value(), at);
    }
}

// Each element of an array, read with its index in the path.
template <typename Read>
void read_each(const json& j, const std::string& path, Read read) {
    expect_array(j, path);
    for (size_t i = 0; i < j.size(); ++i) read(j[i], index_path(path, i));
}

std::map<std::string, Value> read_set(const json& j, const std::string& path) {
    expect_object(j, path);
    std::map<std::string, Value> set;
    for (const auto& [key, value] : j.items())
        set[key] = detail::read_set_value(key, value, path + "." + key);
    return set;
}

std::optional<Value> read_event_data(const json& j, const std::string& event,
                                     const std::string& path) {
    if (!j.contains("data")) return std::nullopt;
    if (event != ev::name::kChipDataReceived)
        fail_at(path + ".data", "data is only for ChipDataReceived");
    return detail::read_chip_data(j["data"], path + ".data");
}

EventSpec read_event(const json& j, const std::string& path) {
    expect_object(j, path);
    EventSpec e;
    if (!j.contains("event")) fail_at(path + ".event", "missing");
    e.event = read_event_name(j["event"], path + ".event");
    e.data = read_event_data(j, e.event, path);
    read_fields(
        j, path,
        {{"event", nullptr},
         {"data", nullptr},
         {"afterMs", [&](const json& v, const std::string& at) { e.after_ms = read_ms(v, at); }},
         {"during", [&](const json& v, const std::string& at) { e.during = read_bool(v, at); }},
         {"set", [&](const json& v, const std::string& at) { e.set = read_set(v, at); }}});
    return e;
}

Reaction read_reaction(const json& j, const std::string& path) {
    Reaction r;
    read_fields(
        j, path,
        {{"returns",
          [&](const json& v, const std::string& at) { r.returns = json_to_value(v, at); }},
         {"fail", [&](const json& v, const std::string& at) { r.fail = read_string(v, at); }},
         {"set", [&](const json& v, const std::string& at) { r.set = read_set(v, at); }},
         {"events", [&](const json& v, const std::string& at) {
              read_each(v, at, [&](const json& e, const std::string& item) {
                  r.events.push_back(read_event(e, item));
              });
          }}});
    return r;
}

TimelineEntry read_timeline_entry(const json& j, const std::string& path) {
    expect_object(j, path);
    TimelineEntry t;
    if (j.contains("event")) t.event = read_event_name(j["event"], path + ".event");
    t.data = read_event_data(j, t.event.value_or(""), path);
    read_fields(j, path,
                {{"event", nullptr},
                 {"data", nullptr},
                 {"atMs", [&](const json& v, const std::string& at) { t.at_ms = read_ms(v, at); }},
                 {"set", [&](const json& v, const std::string& at) { t.set = read_set(v, at); }}});
    return t;
}

void read_control(const json& j, Scenario& scenario, const std::string& path) {
    static constexpr std::array<std::string_view, 5> kModes = {
        "lenient", "strict-persist", "strict-window", "strict-thread", "strict-usermode"};
    read_fields(j, path,
                {{"mode", [&](const json& v, const std::string& at) {
                      scenario.control_mode = read_string(v, at);
                      if (std::ranges::find(kModes, scenario.control_mode) == kModes.end())
                          fail_at(at, "unknown control mode " + json(scenario.control_mode).dump());
                  }}});
}

void read_track(const json& j, DeviceState::Track& track, const std::string& path) {
    read_fields(
        j, path,
        {{"status",
          [&](const json& v, const std::string& at) { track.status = read_string(v, at); }},
         {"data", [&](const json& v, const std::string& at) { track.data = read_string(v, at); }}});
}

// Fewer than three entries leave the later tracks at their built-in values.
template <typename Read>
void read_per_track(const json& j, const std::string& path, Read read) {
    expect_array(j, path);
    for (size_t i = 0; i < j.size(); ++i) {
        const std::string item = index_path(path, i);
        if (i >= 3) fail_at(item, "the reader has three tracks");
        read(j[i], i, item);
    }
}

void read_fail_gets(const json& j, DeviceState& state, const std::string& path) {
    expect_object(j, path);
    for (const auto& [name, description] : j.items()) {
        const std::string item = path + "." + name;
        if (!detail::find_member(name, false))
            fail_at(item, "unknown property \"" + elide_middle(name) + "\"");
        state.fail_gets[name] = read_string(description, item);
    }
}

void read_state(const json& j, DeviceState& state, const std::string& path) {
    using At = const std::string&;
    const auto text = [](std::string& field) {
        return [&field](const json& v, At at) { field = read_string(v, at); };
    };
    read_fields(j, path,
                {{"device", text(state.device)},
                 {"media", text(state.media)},
                 {"bin", text(state.bin)},
                 {"binFlag", [&](const json& v, At at) { state.bin_flag = read_bool(v, at); }},
                 {"number",
                  [&](const json& v, At at) {
                      if (!v.is_number()) fail_at(at, "expected a number");
                      state.number = json_to_value(v, at);
                  }},
                 {"lastErrorCode", text(state.last_error_code)},
                 {"tracks",
                  [&](const json& v, At at) {
                      read_per_track(v, at, [&](const json& t, size_t i, At item) {
                          read_track(t, state.tracks[i], item);
                      });
                  }},
                 {"writable",
                  [&](const json& v, At at) {
                      read_per_track(v, at, [&](const json& w, size_t i, At item) {
                          state.writable[i] = json_to_value(w, item);
                      });
                  }},
                 {"failGets", [&](const json& v, At at) { read_fail_gets(v, state, at); }}});
}

void read_on(const json& j, Scenario& scenario, const std::string& path) {
    expect_object(j, path);
    for (const auto& [key, value] : j.items()) {
        const std::string at = path + "." + key;
        if (!detail::find_member(key, true))
            fail_at(at, "unknown member \"" + elide_middle(key) + "\"");
        std::vector<Reaction> reactions;
        read_each(value, at, [&](const json& r, const std::string& item) {
            reactions.push_back(read_reaction(r, item));
        });
        // An empty list is no list: the member keeps its built-in reaction.
        if (!reactions.empty()) scenario.on[key] = std::move(reactions);
    }
}

}  // namespace

namespace {

// Finds where the parser gave up, for the errors (a number too large for a Double) that
// it reports without a position.
struct ErrorPosition final : nlohmann::json_sax<json> {
    size_t position = 0;
    bool null() override { return true; }
    bool boolean(bool) override { return true; }
    bool number_integer(number_integer_t) override { return true; }
    bool number_unsigned(number_unsigned_t) override { return true; }
    bool number_float(number_float_t, const string_t&) override { return true; }
    bool string(string_t&) override { return true; }
    bool binary(binary_t&) override { return true; }
    bool start_object(std::size_t) override { return true; }
    bool key(string_t&) override { return true; }
    bool end_object() override { return true; }
    bool start_array(std::size_t) override { return true; }
    bool end_array() override { return true; }
    bool parse_error(std::size_t at, const std::string&,
                     const nlohmann::detail::exception&) override {
        position = at;
        return false;
    }
};

// Finds the first key given twice in one object, with its key path: the parser would
// keep the last silently, and a tester who wrote both meant one of them.
class DuplicateKeys final : public nlohmann::json_sax<json> {
  public:
    std::optional<std::string> found;

    bool null() override { return value(); }
    bool boolean(bool) override { return value(); }
    bool number_integer(number_integer_t) override { return value(); }
    bool number_unsigned(number_unsigned_t) override { return value(); }
    bool number_float(number_float_t, const string_t&) override { return value(); }
    bool string(string_t&) override { return value(); }
    bool binary(binary_t&) override { return value(); }
    bool start_object(std::size_t) override {
        frames_.push_back({});
        return true;
    }
    bool key(string_t& k) override {
        Frame& f = frames_.back();
        if (!f.keys.insert(k).second) {
            found = path() + (frames_.size() > 1 ? "." : "") + k;
            return false;
        }
        f.key = k;
        return true;
    }
    bool end_object() override { return end(); }
    bool start_array(std::size_t) override {
        frames_.emplace_back();
        frames_.back().array = true;
        return true;
    }
    bool end_array() override { return end(); }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
        return false;
    }

  private:
    struct Frame {
        bool array = false;
        size_t index = 0;
        std::string key;
        std::set<std::string> keys;
    };
    bool value() {
        if (!frames_.empty() && frames_.back().array) ++frames_.back().index;
        return true;
    }
    bool end() {
        frames_.pop_back();
        return value();
    }
    // Where the innermost object is, as the readers below name it.
    std::string path() const {
        std::string at;
        for (size_t i = 0; i + 1 < frames_.size(); ++i) {
            const Frame& f = frames_[i];
            if (f.array)
                at += "[" + std::to_string(f.index) + "]";
            else
                at += (at.empty() ? "" : ".") + f.key;
        }
        return at;
    }
    std::vector<Frame> frames_;
};

std::string line_and_column(std::string_view text, size_t position) {
    size_t line = 1;
    size_t column = 0;
    for (size_t i = 0; i < position && i < text.size(); ++i) {
        if (text[i] == '\n') {
            ++line;
            column = 0;
        } else {
            ++column;
        }
    }
    return "line " + std::to_string(line) + ", column " + std::to_string(column);
}

}  // namespace

Scenario parse_scenario(std::string_view json_text) {
    json root;
    try {
        root = json::parse(json_text);
    } catch (const json::exception& e) {
        // what() reads "[json.exception.parse_error.101] parse error at line 3, column 7: ...";
        // the bracketed tag means nothing to whoever wrote the file.
        std::string what = e.what();
        if (auto tag_end = what.find("] "); what.starts_with("[") && tag_end != std::string::npos)
            what.erase(0, tag_end + 2);
        if (!what.starts_with("parse error")) {
            ErrorPosition where;
            json::sax_parse(json_text, &where);
            what = "parse error at " + line_and_column(json_text, where.position) + ": " + what;
        }
        throw ScenarioError("invalid JSON: " + what);
    }
    DuplicateKeys duplicates;
    json::sax_parse(json_text, &duplicates);
    if (duplicates.found) fail_at(*duplicates.found, "key given more than once");
    Scenario scenario = builtin_scenario();
    if (!root.is_object()) fail_at("scenario", "expected an object");
    using At = const std::string&;
    read_fields(root, "",
                {{"state", [&](const json& v, At at) { read_state(v, scenario.state, at); }},
                 {"on", [&](const json& v, At at) { read_on(v, scenario, at); }},
                 {"control", [&](const json& v, At at) { read_control(v, scenario, at); }},
                 {"timeline", [&](const json& v, At at) {
                      read_each(v, at, [&](const json& t, At item) {
                          scenario.timeline.push_back(read_timeline_entry(t, item));
                      });
                  }}});
    return scenario;
}

Scenario load_scenario_file(const std::string& path) {
    const std::string shown = elide_middle(path);
    // Only a regular file of bounded size is read: a device or a FIFO may never end
    // (/dev/zero) or never start, and a huge file would be held whole in memory.
    std::error_code ec;
    const auto status = std::filesystem::status(path, ec);
    if (std::filesystem::is_directory(status))
        throw ScenarioError(shown + ": is a directory, not a scenario file");
    if (!ec && !std::filesystem::is_regular_file(status))
        throw ScenarioError(shown + ": not a regular file");
    if (!ec && std::filesystem::file_size(path, ec) > kMaxScenarioBytes && !ec)
        throw ScenarioError(shown + ": larger than the " + std::to_string(kMaxScenarioBytes >> 20) +
                            " MiB a scenario file may hold");
    std::ifstream in(path, std::ios::binary);
    if (!in) throw ScenarioError(shown + ": cannot read the scenario file");
    // Read to one byte past the limit, in case the file grew since it was measured.
    std::string text;
    char chunk[65536];
    while (text.size() <= kMaxScenarioBytes && in) {
        in.read(chunk, sizeof chunk);
        text.append(chunk, static_cast<size_t>(in.gcount()));
    }
    if (in.bad()) throw ScenarioError(shown + ": cannot read the scenario file");
    if (text.size() > kMaxScenarioBytes)
        throw ScenarioError(shown + ": larger than the " + std::to_string(kMaxScenarioBytes >> 20) +
                            " MiB a scenario file may hold");
    try {
        return parse_scenario(text);
    } catch (const ScenarioError& e) {
        throw ScenarioError(shown + ": " + e.what());
    }
}

}  // namespace czqic::sim
