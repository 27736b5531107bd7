#include <charconv>
#include <cmath>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <type_traits>

#include "platform/hex.h"
#include "platform/text.h"
#include "sim/sim_internal.h"

namespace czqic::sim::detail {

void fail_at(const std::string& path, const std::string& message) {
    // Keys come from the file as they stand; a control character in one (a NUL above
    // all) would cut or garble the message where it is shown, so it is spelt out.
    // A key may be a megabyte long: the message keeps its ends and says its length.
    std::string shown;
    for (char c : elide_middle(path)) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04X", byte);
            shown += escaped;
        } else {
            shown += c;
        }
    }
    throw ScenarioError(shown + ": " + message);
}

const Value& follow(const Value& value) {
    static const Value empty;
    const Value* v = &value;
    // A reference to a reference is legal in a VARIANT; a chain this long can only be a
    // cycle, which must not hang the journal.
    for (int hops = 0; hops < 64; ++hops) {
        const auto* ref = std::get_if<Value::Ref>(&v->v);
        if (!ref) return *v;
        if (*ref == nullptr) return empty;
        v = *ref;
    }
    return empty;
}

Value deep_copy(const Value& value) {
    const Value& v = follow(value);
    if (const auto* array = std::get_if<Value::Array>(&v.v)) {
        ValueArray items;
        if (*array) {
            items.reserve((*array)->size());
            for (const auto& item : **array) items.push_back(deep_copy(item));
        }
        return Value(std::move(items));
    }
    return v;
}

namespace {

std::string double_text(double x) {
    if (x == 0) return "0";  // no "-0"
    // Fixed notation keeps the text plain decimal: a whole number comes out without a
    // fraction, anything else as the shortest digits that read back to the same double.
    char buffer[512];
    auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, x, std::chars_format::fixed);
    if (ec != std::errc()) return nlohmann::json(x).dump();
    return std::string(buffer, end);
}

}  // namespace

std::string journal_text(const Value& value) {
    return std::visit(
        [](const auto& x) -> std::string {
            using T = std::decay_t<decltype(x)>;
            if constexpr (std::is_same_v<T, Empty>) {
                return "empty";
            } else if constexpr (std::is_same_v<T, Null>) {
                return "null";
            } else if constexpr (std::is_same_v<T, int16_t> || std::is_same_v<T, int32_t>) {
                return std::to_string(x);
            } else if constexpr (std::is_same_v<T, double>) {
                return double_text(x);
            } else if constexpr (std::is_same_v<T, bool>) {
                return x ? "true" : "false";
            } else if constexpr (std::is_same_v<T, Text>) {
                // Text that is not UTF-8 must still make a journal line, not an exception.
                return nlohmann::json(*x).dump(-1, ' ', false,
                                               nlohmann::json::error_handler_t::replace);
            } else if constexpr (std::is_same_v<T, Value::Array>) {
                std::string out = "[";
                if (x) {
                    const ValueArray& items = *x;
                    for (size_t i = 0; i < items.size(); ++i) {
                        if (i) out += ", ";
                        out += journal_text(items[i]);
                    }
                }
                return out + "]";
            } else {
                return x ? journal_text(follow(*x)) : "empty";
            }
        },
        value.v);
}

std::optional<ValueArray> hex_to_bytes(std::string_view hex) {
    const auto raw = hex_decode(hex);
    if (!raw) return std::nullopt;
    return bytes_to_values(*raw);
}

std::vector<uint8_t> hex_to_raw(std::string_view hex) {
    return hex_decode(hex).value();
}

ValueArray bytes_to_values(std::span<const uint8_t> bytes) {
    ValueArray values;
    values.reserve(bytes.size());
    for (uint8_t b : bytes) values.emplace_back(int32_t{b});
    return values;
}

bool is_handled_event(std::string_view name) {
    for (const auto& e : handled_events())
        if (e == name) return true;
    return false;
}

const std::vector<Member>& members() {
    static const std::vector<Member> table{
        {ctl::kNumber, "number", false, 0, false},
        {ctl::kBinFlag, "binFlag", false, 0, false},
        {ctl::kWritable1, "writable1", false, 0, false},
        {ctl::kWritable1 + 1, "writable2", false, 0, false},
        {ctl::kWritable1 + 2, "writable3", false, 0, false},
        {ctl::kDeviceName, "deviceName", false, 0, true},
        {ctl::kDeviceState, "deviceState", false, 0, false},
        {ctl::kMediaState, "mediaState", false, 0, false},
        {ctl::kBinState, "binState", false, 0, false},
        {ctl::kTrack1Data, "track1Data", false, 0, false},
        {ctl::kTrack1Data + 1, "track2Data", false, 0, false},
        {ctl::kTrack1Data + 2, "track3Data", false, 0, false},
        {ctl::kTrack1Status, "track1Status", false, 0, false},
        {ctl::kTrack1Status + 1, "track2Status", false, 0, false},
        {ctl::kTrack1Status + 2, "track3Status", false, 0, false},
        {ctl::kOpen, "open", true, 0, false},
        {ctl::kClose, "close", true, 0, false},
        {ctl::kCancelWait, "cancelWait", true, 0, false},
        {ctl::kReset, "reset", true, 1, false},
        {ctl::kAcceptAndRead, "acceptAndRead", true, 2, false},
        {ctl::kCancelAccept, "cancelAccept", true, 0, false},
        {ctl::kEject, "eject", true, 1, false},
        {ctl::kRetain, "retain", true, 0, false},
        {ctl::kClear, "clear", true, 0, false},
        {ctl::kWriteTrack, "writeTrack", true, 2, false},
        {ctl::kChipInit, "chipInit", true, 1, false},
        {ctl::kChipSend, "chipSend", true, 4, false},
        {ctl::kQuery, "query", true, 1, false},
    };
    return table;
}

const Member* find_member(DispId id) {
    for (const auto& m : members())
        if (m.id == id) return &m;
    return nullptr;
}

const Member* find_member(std::string_view key, bool method) {
    for (const auto& m : members())
        if (m.key == key && m.method == method) return &m;
    return nullptr;
}

}  // namespace czqic::sim::detail
