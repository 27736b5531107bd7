// Pieces of the simulated reader shared between the scenario reader and the device: value
// helpers, the state keys that `set` understands, and the test card's chip.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "device/control_contract.h"
#include "sim/sim_reader.h"

namespace czqic::sim::detail {

[[noreturn]] void fail_at(const std::string& path, const std::string& message);

// The value a by-reference argument points at (the argument itself otherwise). Unlike
// Value::deref, a null reference and a chain that never ends give Empty: the journal
// shows what the control received, never the reference itself.
const Value& follow(const Value& value);

// A copy that shares no array with the original: handlers receive values they may keep
// or change without reaching back into the scenario.
Value deep_copy(const Value& value);

// The journal's text of a value: JSON strings, plain decimal numbers, [a, b] arrays.
std::string journal_text(const Value& value);

// "3B6F00" as byte values; nullopt unless an even number of hex digits.
std::optional<ValueArray> hex_to_bytes(std::string_view hex);
std::vector<uint8_t> hex_to_raw(std::string_view hex);
ValueArray bytes_to_values(std::span<const uint8_t> bytes);

bool is_handled_event(std::string_view name);

// The control's late-bound members: properties by their journal names, methods by the
// member keys of a scenario's `on`.
struct Member {
    DispId id;
    std::string_view key;
    bool method;
    size_t arity;  // arguments a method takes
    bool puttable;
};
const std::vector<Member>& members();
const Member* find_member(DispId id);
const Member* find_member(std::string_view key, bool method);

// A JSON value as an automation value; objects have no counterpart and are an error.
// Arrays deeper than this in a scenario are refused rather than converted.
inline constexpr int kMaxArrayNesting = 32;
Value json_to_value(const nlohmann::json& j, const std::string& path, int depth = 0);

// The chip data of an event: hex text or an array of numbers.
Value read_chip_data(const nlohmann::json& j, const std::string& path);

// One entry of a `set` object (or of `sim:KEY=VALUE`), checked against the key's type.
Value read_set_value(const std::string& key, const nlohmann::json& j, const std::string& path);
void apply_set(DeviceState& state, const std::string& key, const Value& value);

// The test card's answer to one command APDU, status word included.
std::vector<uint8_t> card_answer(std::span<const uint8_t> apdu, std::mt19937& random);

}  // namespace czqic::sim::detail
