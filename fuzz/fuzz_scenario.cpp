// Scenario text, any bytes. parse_scenario must either accept it or raise ScenarioError,
// and nothing else. The message of a refusal is checked precisely:
//   - text that is not JSON (nlohmann::json::accept is false) gives
//     "invalid JSON: parse error at line L, column C: ..." and nothing else does;
//   - JSON that is not a usable scenario gives "PATH: MESSAGE" with a non-empty MESSAGE,
//     where PATH leads through the document itself: "scenario" for a root that is not an
//     object, otherwise a top-level key followed by ".KEY" (a key of that object) and
//     "[I]" (an index inside that array) steps; only the last step may name a key the
//     object lacks, and then MESSAGE is "missing".
//   - a path longer than the quoting limit shows as "HEAD...TAIL (N bytes)", N its length.
// An accepted scenario is then run for one whole transaction on a virtual clock, with a
// log that works, one that fills up part-way or one that always fails (chosen by the
// input's length): every method must return one of its documented codes and let no
// exception out. Inputs go up to 64 KB (fuzz_scenario.options).
#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/rig.h"
#include "platform/text.h"

namespace {

using czqic::fuzz::fault;
using nlohmann::json;

// Keys appear in a message as the file spells them, with control characters written as
// \uXXXX so that a NUL cannot cut the message short.
std::string shown(std::string_view key) {
    std::string out;
    for (char c : key) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) {
            static constexpr char kHex[] = "0123456789ABCDEF";
            out += "\\u00";
            out += kHex[byte >> 4];
            out += kHex[byte & 0xF];
        } else {
            out += c;
        }
    }
    return out;
}

bool rest_is_message(std::string_view rest) {
    return rest.size() > 2 && rest.starts_with(": ");
}

bool path_from(const json& node, std::string_view rest) {
    if (rest_is_message(rest)) return true;
    if (node.is_object() && rest.starts_with('.')) {
        for (const auto& [key, value] : node.items()) {
            const std::string name = shown(key);
            if (rest.substr(1).starts_with(name) && path_from(value, rest.substr(1 + name.size())))
                return true;
        }
        // A required key the object lacks.
        for (size_t colon = rest.find(": "); colon != std::string_view::npos;
             colon = rest.find(": ", colon + 1)) {
            const std::string key(rest.substr(1, colon - 1));
            if (!node.contains(key) && rest.substr(colon + 2) == "missing") return true;
        }
    }
    if (node.is_array() && rest.starts_with('[')) {
        const size_t close = rest.find(']');
        if (close == std::string_view::npos || close == 1) return false;
        size_t index = 0;
        for (char c : rest.substr(1, close - 1)) {
            if (c < '0' || c > '9' || index > node.size()) return false;
            index = index * 10 + static_cast<size_t>(c - '0');
        }
        if (rest[1] == '0' && close > 2) return false;  // no leading zeros
        return index < node.size() && path_from(node[index], rest.substr(close + 1));
    }
    return false;
}

// "HEAD...TAIL (N bytes): MESSAGE" with N above the limit: a path too long to show whole.
// A key may itself spell " (N bytes): ", so every place the marker appears is a candidate.
bool elided_path(std::string_view message) {
    for (size_t close = message.find(" bytes): "); close != std::string_view::npos;
         close = message.find(" bytes): ", close + 1)) {
        const size_t open = message.rfind(" (", close);
        if (open == std::string_view::npos) continue;
        const std::string_view count = message.substr(open + 2, close - open - 2);
        if (count.empty() || count.size() > 12 ||
            count.find_first_not_of("0123456789") != count.npos)
            continue;
        if (std::stoull(std::string(count)) > czqic::kQuotedTextLimit &&
            message.substr(0, open).find("...") != std::string_view::npos &&
            message.size() > close + 9)
            return true;
    }
    return false;
}

bool well_placed(const json& root, std::string_view message) {
    if (!root.is_object()) return message == "scenario: expected an object";
    if (elided_path(message)) return true;
    for (const auto& [key, value] : root.items()) {
        const std::string name = shown(key);
        if (message.starts_with(name) && path_from(value, message.substr(name.size()))) return true;
    }
    return false;
}

bool json_position_message(std::string_view m) {
    constexpr std::string_view kHead = "invalid JSON: parse error at line ";
    if (!m.starts_with(kHead)) return false;
    m.remove_prefix(kHead.size());
    auto digits = [&m] {
        size_t n = 0;
        while (n < m.size() && m[n] >= '0' && m[n] <= '9') ++n;
        m.remove_prefix(n);
        return n > 0;
    };
    if (!digits() || !m.starts_with(", column ")) return false;
    m.remove_prefix(9);
    return digits() && m.size() > 2 && m.starts_with(": ");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const bool is_json = json::accept(text);
    czqic::sim::Scenario scenario;
    try {
        scenario = czqic::sim::parse_scenario(text);
    } catch (const czqic::sim::ScenarioError& e) {
        const std::string_view message = e.what();
        if (!is_json) {
            if (!json_position_message(message))
                fault("not JSON, but the message is: " + std::string(message));
            return 0;
        }
        if (!well_placed(json::parse(text), message))
            fault("the message does not start with a path into the document: " +
                  std::string(message));
        return 0;
    } catch (const std::exception& e) {
        fault(std::string("parse_scenario let a non-ScenarioError exception out: ") + e.what());
    }
    if (!is_json) fault("parse_scenario accepted text that is not JSON");

    czqic::fuzz::Rig rig(std::move(scenario));
    czqic::fuzz::g_log_fails = size % 3 != 0;
    if (size % 3 != 0) {
        // The disk fills after a budget of bytes, or the log cannot be opened at all.
        auto budget = std::make_shared<size_t>(size % 3 == 1 ? size * 7 % 1500 : 0);
        const bool fills = size % 3 == 1;
        rig.use_log_function([budget, fills](const std::string&, const std::string& message,
                                             const std::string&) -> int32_t {
            if (fills && message.size() <= *budget) {
                *budget -= message.size();
                return 0;
            }
            if (fills) throw czqic::AutomationError(61, 0x800A003Du, "Disk full: no space left");
            throw czqic::AutomationError(75, 0x800A004Bu, "Path/File access error: cannot open");
        });
    }
    std::shared_ptr<czqic::ColsZQICCardReader> reader;
    try {
        reader = czqic::ColsZQICCardReader::create(rig.rt);
    } catch (const czqic::AutomationError&) {
        return 0;  // a creation that fails is documented: no object exists
    }
    czqic::fuzz::transaction(*reader, "00A4040008F0435A5149430001");
    rig.loop.pump_for(40000);  // timeline entries and Timer1 ticks between calls
    reader.reset();
    return 0;
}
