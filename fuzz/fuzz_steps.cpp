// The `czqic run` step list: one step per input line. parse_steps is checked against a
// model of the step grammar written here, asking the host only what the host decides
// (which members, simulated state values and panel items exist):
//   - it accepts a list exactly when the model accepts every step, keeps each step's
//     position and text, and gives each step the kind and operands the model expects;
//   - a refused list names its first bad step: `step N "TEXT": WHAT`, with TEXT as a JSON
//     string, and that step refused alone gives the same WHAT.
// Pumps take the whole range of milliseconds; a list whose pumps add up past the clock's
// scale is refused at the step that crosses it.
// A short accepted list is then run on a virtual clock (any pump total when no step can
// start a timer, else up to 600 s in all): run_steps lets nothing escape,
// returns 0 or 1 (1 only with a report on the error stream), and prints exactly the lines
// the steps call for, each in its documented shape, with documented result codes.
#include <fuzzer/FuzzedDataProvider.h>
#include <stdlib.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "component/members.h"
#include "fuzz/rig.h"
#include "platform/text.h"
#include "tools/cli/session.h"
#include "tools/czqic/linux_host.h"

namespace {

namespace cli = czqic::cli;
namespace step = czqic::cli::step;
using czqic::fuzz::fault;

std::string g_drive_root;

std::string lower(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

bool digits_only(std::string_view s) {
    return !s.empty() &&
           std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool identifier(std::string_view s) {
    auto letter = [](char c) { return std::isalpha(static_cast<unsigned char>(c)) || c == '_'; };
    return !s.empty() && letter(s[0]) && std::all_of(s.begin(), s.end(), [&](char c) {
        return letter(c) || (c >= '0' && c <= '9');
    });
}

// Digits as a number no larger than max, or nullopt.
std::optional<uint64_t> number(std::string_view s, uint64_t max) {
    if (!digits_only(s)) return std::nullopt;
    uint64_t v = 0;
    for (char c : s) {
        if (v > (max - static_cast<uint64_t>(c - '0')) / 10) return std::nullopt;
        v = v * 10 + static_cast<uint64_t>(c - '0');
    }
    return v;
}

struct Shape {
    bool method = false, get = false, let = false, long_let = false;
};

std::optional<Shape> member_shape(std::string_view name) {
    std::optional<Shape> shape;
    for (const auto& m : czqic::kMembers) {
        if (lower(m.name) != lower(name)) continue;
        if (!shape) shape.emplace();
        if (m.kind == czqic::MemberKind::Method) shape->method = true;
        if (m.kind == czqic::MemberKind::PropertyGet) shape->get = true;
        if (m.kind == czqic::MemberKind::PropertyLet) {
            shape->let = true;
            shape->long_let = m.type == czqic::ValueType::Long;
        }
    }
    return shape;
}

// What the model expects of one step. kind "reject" refuses it, "any" leaves it open
// (texts whose reading the documentation leaves to the parser, like "+5" as a Long).
struct Expected {
    explicit Expected(std::string k) : kind(std::move(k)) {}
    std::string kind;
    std::string name;    // member, event, key, panel item
    int64_t number = 0;  // object number, milliseconds, Long argument
    std::string text;    // String argument, sim value
    std::optional<std::vector<int>> data;
};

Expected model(std::string_view t, cli::Host& host) {
    Expected e("reject");
    if (t == "clock") return Expected("clock");
    if (t.starts_with('#')) {
        std::string_view rest = t.substr(1);
        const bool release = rest.ends_with('-');
        if (release) rest.remove_suffix(1);
        auto n = number(rest, INT32_MAX);
        if (!n || *n < 1) return e;
        e.kind = release ? "release" : "select";
        e.number = static_cast<int64_t>(*n);
        return e;
    }
    if (t.starts_with("pump:")) {
        auto n = number(t.substr(5), INT64_MAX);
        if (!n) return e;
        e.kind = "pump";
        e.number = static_cast<int64_t>(*n);
        return e;
    }
    if (t.starts_with("sim:")) {
        std::string_view rest = t.substr(4);
        if (size_t eq = rest.find('='); eq != std::string_view::npos) {
            const std::string_view key = rest.substr(0, eq), value = rest.substr(eq + 1);
            if (key.empty() || host.simulated_reader().check_set(key, value)) return e;
            e.kind = "simset";
            e.name = key;
            e.text = value;
            return e;
        }
        const size_t colon = rest.find(':');
        const std::string_view event = rest.substr(0, colon);
        if (!identifier(event)) return e;
        e.name = event;
        if (colon != std::string_view::npos) {
            const std::string_view hex = rest.substr(colon + 1);
            if (event != "ChipDataReceived" || hex.size() % 2) return e;
            std::vector<int> bytes;
            for (size_t i = 0; i < hex.size(); i += 2) {
                auto nib = [](char c) {
                    return std::isxdigit(static_cast<unsigned char>(c))
                               ? std::stoi(std::string(1, c), nullptr, 16)
                               : -1;
                };
                const int hi = nib(hex[i]), lo = nib(hex[i + 1]);
                if (hi < 0 || lo < 0) return e;
                bytes.push_back(hi * 16 + lo);
            }
            e.data = bytes;
        }
        e.kind = "raise";
        return e;
    }
    if (t.starts_with("panel:")) {
        auto item = host.panel_item(t.substr(6));
        if (!item) return e;
        e.kind = *item == cli::PanelItem::Button ? "click" : "read";
        e.name = t.substr(6);
        return e;
    }
    if (size_t eq = t.find('='); eq != std::string_view::npos) {
        const std::string_view name = t.substr(0, eq), value = t.substr(eq + 1);
        auto shape = member_shape(name);
        if (!identifier(name) || !shape || !shape->let) return e;
        e.kind = "let";
        e.name = name;
        e.text = value;
        if (shape->long_let) {
            const bool negative = value.starts_with('-');
            if (value.starts_with('+')) return Expected("any");
            auto n =
                number(negative ? value.substr(1) : value, negative ? 2147483648u : 2147483647u);
            if (!n) return Expected("reject");
            e.number = negative ? -static_cast<int64_t>(*n) : static_cast<int64_t>(*n);
            e.text.clear();
        }
        return e;
    }
    auto shape = identifier(t) ? member_shape(t) : std::nullopt;
    if (!shape || !(shape->method || shape->get)) return e;
    e.kind = shape->method ? "method" : "get";
    e.name = t;
    return e;
}

void check_parsed(const cli::Step& s, const Expected& e) {
    auto bad = [&](const std::string& why) { fault("step \"" + s.text + "\": " + why); };
    if (e.kind == "any") return;
    std::visit(
        [&](const auto& a) {
            using T = std::decay_t<decltype(a)>;
            if constexpr (std::is_same_v<T, step::Clock>) {
                if (e.kind != "clock") bad("read as clock");
            } else if constexpr (std::is_same_v<T, step::Select>) {
                if (e.kind != "select" || a.number != e.number) bad("read as a selection");
            } else if constexpr (std::is_same_v<T, step::Release>) {
                if (e.kind != "release" || a.number != e.number) bad("read as a release");
            } else if constexpr (std::is_same_v<T, step::Pump>) {
                if (e.kind != "pump" || a.ms != e.number) bad("read as a pump");
            } else if constexpr (std::is_same_v<T, step::SimSet>) {
                if (e.kind != "simset" || a.key != e.name || a.value != e.text)
                    bad("read as sim set");
            } else if constexpr (std::is_same_v<T, step::SimRaise>) {
                if (e.kind != "raise" || a.event != e.name ||
                    a.data.has_value() != e.data.has_value())
                    bad("read as a raise");
                if (a.data) {
                    const auto& items = a.data->elements();
                    if (items.size() != e.data->size()) bad("wrong number of data bytes");
                    for (size_t i = 0; i < items.size(); ++i)
                        if (czqic::to_i4(items[i]) != (*e.data)[i]) bad("wrong data byte");
                }
            } else if constexpr (std::is_same_v<T, step::PanelClick>) {
                if (e.kind != "click" || a.button != e.name) bad("read as a click");
            } else if constexpr (std::is_same_v<T, step::PanelRead>) {
                if (e.kind != "read" || a.text_box != e.name) bad("read as a text box read");
            } else if constexpr (std::is_same_v<T, step::Let>) {
                if (e.kind != "let" || a.name != e.name) bad("read as a let");
                if (const auto* i = std::get_if<int32_t>(&a.argument.v)) {
                    if (!e.text.empty() || *i != e.number) bad("wrong Long argument");
                } else if (const auto* str = a.argument.text_if()) {
                    if (*str != e.text) bad("wrong String argument");
                } else {
                    bad("a let argument that is neither Long nor String");
                }
            } else if constexpr (std::is_same_v<T, step::Call>) {
                const bool method = a.kind == czqic::InvokeKind::Method;
                if (a.name != e.name || (method ? e.kind != "method" : e.kind != "get"))
                    bad("read as a call of the wrong kind");
            }
        },
        s.action);
}

const std::map<std::string, std::set<int32_t>>& documented_results() {
    constexpr int32_t ok = 0, t = 10120001, f = 10120003, s6 = 10120006, c = 10120011;
    static const std::map<std::string, std::set<int32_t>> table{
        {"cardreaderclear", {ok, f}},
        {"cardreaderinit", {ok, t, f, s6, c}},
        {"cardreadergetstatus", {1, 2, 3, 4, 5, 6, f}},
        {"cardreaderreset", {ok, t, f, s6, c}},
        {"reset", {ok}},
        {"cardreaderretain", {ok, t, f, s6, c}},
        {"cardreaderenable", {ok, f}},
        {"cardreaderread", {ok, f}},
        {"qor_waitchip", {ok, t, f}},
        {"qor_chiptrnsp", {ok, t, f}},
        {"cardreaderwrite", {ok, t, f}},
        {"cardreaderreturn", {ok, t, f}},
        {"cardreaderdisable", {ok, f}},
        {"cardreaderstatus", {1, 2, 3, 4, 5, 6}},
    };
    return table;
}

// Checks the output of a run, step by step.
void check_output(const std::vector<cli::Step>& steps, const std::string& out) {
    std::vector<std::string> lines;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    size_t at = 0;
    static const std::regex failed_tail(R"( failed: 0x[0-9A-F]{8} .*)");
    static const std::regex long_value(R"(-?[0-9]+)");
    static const std::regex clock_value(R"(clock = [0-2][0-9]:[0-5][0-9]:[0-5][0-9]\.[0-9]{3})");
    auto is_failed = [&](const std::string& line, const std::string& name) {
        return line.starts_with(name) && std::regex_match(line.substr(name.size()), failed_tail);
    };
    for (const auto& s : steps) {
        auto next = [&]() -> const std::string* {
            return at < lines.size() ? &lines[at] : nullptr;
        };
        std::visit(
            [&](const auto& a) {
                using T = std::decay_t<decltype(a)>;
                if constexpr (std::is_same_v<T, step::Call>) {
                    const std::string* line = next();
                    if (!line) fault("no output line for \"" + s.text + "\"");
                    ++at;
                    if (is_failed(*line, a.name)) return;
                    if (!line->starts_with(a.name + " = ")) fault("unexpected output: " + *line);
                    const std::string v = line->substr(a.name.size() + 3);
                    auto it = documented_results().find(lower(a.name));
                    if (it != documented_results().end()) {
                        if (!std::regex_match(v, long_value) || !it->second.count(std::stoi(v)))
                            fault("undocumented result: " + *line);
                    } else if (!(std::regex_match(v, long_value) ||
                                 (v.size() >= 2 && v.front() == '"' && v.back() == '"'))) {
                        fault("a value in neither Long nor String form: " + *line);
                    }
                } else if constexpr (std::is_same_v<T, step::Let>) {
                    if (const std::string* line = next(); line && is_failed(*line, a.name)) ++at;
                } else if constexpr (std::is_same_v<T, step::PanelClick>) {
                    if (const std::string* line = next(); line && is_failed(*line, s.text)) ++at;
                } else if constexpr (std::is_same_v<T, step::PanelRead>) {
                    const std::string* line = next();
                    if (!line) fault("no output line for \"" + s.text + "\"");
                    ++at;
                    const std::string head = a.text_box + " = \"";
                    if (!is_failed(*line, s.text) &&
                        !(line->starts_with(head) && line->size() > head.size() &&
                          line->back() == '"'))
                        fault("unexpected output: " + *line);
                } else if constexpr (std::is_same_v<T, step::Clock>) {
                    const std::string* line = next();
                    if (!line || !std::regex_match(*line, clock_value)) fault("bad clock line");
                    ++at;
                }
            },
            s.action);
    }
    if (at != lines.size()) fault("output lines no step called for, from: " + lines[at]);
}

bool worth_running(const std::vector<cli::Step>& steps) {
    if (steps.size() > 24) return false;
    int64_t pumped = 0;
    // Without an object there is no form and so no timer: pumping any time is instant.
    bool timers_possible = false;
    for (const auto& s : steps) {
        if (const auto* p = std::get_if<step::Pump>(&s.action))
            pumped += std::min<int64_t>(p->ms, 1'000'000'000);
        if (const auto* sel = std::get_if<step::Select>(&s.action); sel && sel->number > 4)
            return false;
        timers_possible = timers_possible || std::holds_alternative<step::Call>(s.action) ||
                          std::holds_alternative<step::Let>(s.action) ||
                          std::holds_alternative<step::PanelClick>(s.action) ||
                          std::holds_alternative<step::PanelRead>(s.action);
    }
    return !timers_possible || pumped <= 600'000;
}

// The step as a refusal quotes it: whole when short, else shortened with its length.
std::string as_quoted(const std::string& text) {
    if (text.size() <= czqic::kQuotedTextLimit) return cli::json_string(text);
    const std::string shown = czqic::elide_middle(text);
    const size_t paren = shown.rfind(" (");
    if (paren == std::string::npos ||
        !shown.ends_with(" (" + std::to_string(text.size()) + " bytes)"))
        fault("a long text is not shortened with its length: " + shown);
    return cli::json_string(shown.substr(0, paren)) + shown.substr(paren);
}

cli::LinuxHostOptions host_options() {
    cli::LinuxHostOptions options;
    options.virtual_start = 12 * 3600.0;
    return options;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    std::string dir = (std::filesystem::temp_directory_path() / "czqic-fuzz-steps-XXXXXX").string();
    if (!::mkdtemp(dir.data())) fault("mkdtemp failed");
    g_drive_root = dir;
    ::setenv("CZQIC_DRIVE_ROOT", dir.c_str(), 1);
    std::atexit([] {
        std::error_code ec;
        std::filesystem::remove_all(g_drive_root, ec);
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Steps arrive as command-line arguments, which cannot hold a NUL.
    if (std::find(data, data + size, '\0') != data + size) return 0;
    std::vector<std::string> texts;
    std::string current;
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == '\n') {
            texts.push_back(current);
            current.clear();
        } else {
            current += static_cast<char>(data[i]);
        }
    }
    texts.push_back(current);
    if (texts.size() > 64) return 0;

    cli::LinuxHost host(host_options());
    std::vector<cli::Step> steps;
    std::optional<std::string> refused;
    try {
        steps = cli::parse_steps(texts, host);
    } catch (const cli::UsageError& e) {
        refused = e.what();
    } catch (const std::exception& e) {
        fault(std::string("parse_steps let a non-UsageError exception out: ") + e.what());
    }

    // The model, step by step.
    size_t first_bad = texts.size();
    size_t past_scale = texts.size();  // the pump that takes the total past INT64_MAX
    std::vector<Expected> expected;
    int64_t pumped = 0;
    for (size_t i = 0; i < texts.size(); ++i) {
        expected.push_back(model(texts[i], host));
        if (expected.back().kind == "pump" &&
            __builtin_add_overflow(pumped, expected.back().number, &pumped) &&
            past_scale == texts.size())
            past_scale = i;
        if (expected.back().kind == "reject" && first_bad == texts.size()) first_bad = i;
    }
    if (past_scale < first_bad) first_bad = past_scale;

    if (refused) {
        // Which step? The one the message names must be one the model could refuse, and
        // every earlier one must have been one it could accept.
        const std::string& m = *refused;
        size_t n = 0;
        if (!m.starts_with("step ") || !std::isdigit(static_cast<unsigned char>(m[5])))
            fault("message: " + m);
        n = std::stoul(m.substr(5));
        if (n < 1 || n > texts.size()) fault("message names no step: " + m);
        const std::string head = "step " + std::to_string(n) + " " + as_quoted(texts[n - 1]) + ": ";
        if (!m.starts_with(head) || m.size() == head.size())
            fault("message not of the documented shape: " + m);
        if (first_bad < n - 1)
            fault("step " + std::to_string(first_bad + 1) +
                  " should have been refused first: " + m);
        if (n - 1 == past_scale) {
            if (!m.ends_with(": the pumps add up to more than 9223372036854775807 milliseconds"))
                fault("the pump past the clock's scale refused for another reason: " + m);
            return 0;
        }
        if (expected[n - 1].kind != "reject" && expected[n - 1].kind != "any")
            fault("refused a step the grammar accepts: " + m);
        // Alone, the same step gets the same reason.
        cli::LinuxHost alone(host_options());
        try {
            cli::parse_steps({texts[n - 1]}, alone);
            fault("the step alone is accepted: " + m);
        } catch (const cli::UsageError& e) {
            const std::string again = e.what();
            const std::string head1 = "step 1 " + as_quoted(texts[n - 1]) + ": ";
            if (again.substr(head1.size()) != m.substr(head.size()))
                fault("alone it is refused differently: " + again);
        }
        return 0;
    }

    if (past_scale != texts.size()) fault("accepted pumps that add up past the clock's scale");
    if (first_bad != texts.size())
        fault("accepted step " + std::to_string(first_bad + 1) + " \"" + texts[first_bad] +
              "\" the grammar refuses");
    if (steps.size() != texts.size()) fault("lost or added steps");
    for (size_t i = 0; i < steps.size(); ++i) {
        if (steps[i].index != static_cast<int>(i) + 1 || steps[i].text != texts[i])
            fault("step renumbered or retexted");
        check_parsed(steps[i], expected[i]);
    }

    if (worth_running(steps)) {
        std::ostringstream out, err;
        int status = -1;
        try {
            status = cli::run_steps(steps, host, out, err);
        } catch (const std::exception& e) {
            fault(std::string("run_steps let an exception out: ") + e.what());
        }
        if (status != 0 && status != 1) fault("exit status " + std::to_string(status));
        if (status == 1 && err.str().empty()) fault("status 1 with nothing on the error stream");
        if (status == 0 && !err.str().empty()) fault("status 0 with a report: " + err.str());
        check_output(steps, out.str());
    }
    std::error_code ec;
    std::filesystem::remove_all(std::filesystem::path(g_drive_root) / "C", ec);
    return 0;
}
