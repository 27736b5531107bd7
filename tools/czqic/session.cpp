#include "tools/czqic/session.h"

#include <charconv>
#include <climits>
#include <cmath>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "platform/hex.h"
#include "platform/text.h"

namespace czqic::cli {
namespace {

template <class... F>
struct Overloaded : F... {
    using F::operator()...;
};
template <class... F>
Overloaded(F...) -> Overloaded<F...>;

bool is_digits(std::string_view text) {
    if (text.empty()) return false;
    for (char c : text)
        if (c < '0' || c > '9') return false;
    return true;
}

bool is_identifier(std::string_view text) {
    auto letter = [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
    };
    if (text.empty() || !letter(text.front())) return false;
    for (char c : text)
        if (!letter(c) && !(c >= '0' && c <= '9')) return false;
    return true;
}

template <class Int>
std::optional<Int> parse_unsigned(std::string_view text) {
    if (!is_digits(text)) return std::nullopt;
    Int value{};
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

std::optional<int32_t> parse_decimal_long(std::string_view text) {
    bool negative = false;
    if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    auto magnitude = parse_unsigned<uint64_t>(text);
    if (!magnitude) return std::nullopt;
    if (negative ? *magnitude > 2147483648u : *magnitude > 2147483647u) return std::nullopt;
    return static_cast<int32_t>(negative ? -static_cast<int64_t>(*magnitude)
                                         : static_cast<int64_t>(*magnitude));
}

std::optional<ValueArray> parse_hex_bytes(std::string_view text) {
    const auto raw = hex_decode(text);
    if (!raw) return std::nullopt;
    return ValueArray(raw->begin(), raw->end());
}

// Input as an error line quotes it: a JSON string, shortened in the middle when long.
std::string quote(std::string_view text) {
    if (text.size() <= kQuotedTextLimit) return json_string(text);
    const std::string shown = elide_middle(text);
    const size_t paren = shown.rfind(" (");
    return json_string(std::string_view(shown).substr(0, paren)) + shown.substr(paren);
}

class StepParser {
  public:
    StepParser(Host& host, int index, std::string_view text)
        : host_(host), index_(index), text_(text) {}

    Step parse() {
        Step parsed{index_, std::string(text_), step::Clock{}};
        parsed.action = action();
        return parsed;
    }

  private:
    [[noreturn]] void fail(std::string_view what) const {
        throw UsageError("step " + std::to_string(index_) + " " + quote(text_) + ": " +
                         std::string(what));
    }

    decltype(Step::action) action() {
        std::string_view t = text_;
        if (t == "clock") return step::Clock{};
        if (t.starts_with('#')) return object_step(t.substr(1));
        if (t.starts_with("pump:")) return pump_step(t.substr(5));
        if (t.starts_with("sim:")) return sim_step(t.substr(4));
        if (t.starts_with("panel:")) return panel_step(t.substr(6));
        if (size_t eq = t.find('='); eq != std::string_view::npos)
            return let_step(t.substr(0, eq), t.substr(eq + 1));
        if (is_identifier(t)) return call_step(t);
        fail("unknown step");
    }

    decltype(Step::action) object_step(std::string_view rest) {
        bool release = rest.ends_with('-');
        if (release) rest.remove_suffix(1);
        auto number = parse_unsigned<int>(rest);
        if (!number && is_digits(rest))
            fail("object numbers go from 1 to " + std::to_string(INT_MAX));
        if (!number) fail("an object is selected as #N and released as #N-, N a number from 1");
        if (*number < 1) fail("object numbers start at 1");
        if (release) return step::Release{*number};
        return step::Select{*number};
    }

    decltype(Step::action) pump_step(std::string_view rest) {
        auto ms = parse_unsigned<int64_t>(rest);
        if (!ms && is_digits(rest))
            fail(quote(rest) + " is more than " + std::to_string(INT64_MAX) + " milliseconds");
        if (!ms) fail(quote(rest) + " is not a number of milliseconds");
        return step::Pump{*ms};
    }

    decltype(Step::action) sim_step(std::string_view rest) {
        if (size_t eq = rest.find('='); eq != std::string_view::npos) {
            std::string_view key = rest.substr(0, eq);
            std::string_view value = rest.substr(eq + 1);
            if (key.empty()) fail("sim:KEY=VALUE needs a key");
            if (auto problem = host_.check_sim_set(key, value)) fail(*problem);
            return step::SimSet{std::string(key), std::string(value)};
        }
        size_t colon = rest.find(':');
        std::string_view event = rest.substr(0, colon);
        if (!is_identifier(event)) fail("sim: needs an event name or KEY=VALUE");
        step::SimRaise raise{std::string(event), std::nullopt};
        if (colon != std::string_view::npos) {
            if (event != "ChipDataReceived") fail("only ChipDataReceived carries data");
            std::string_view hex = rest.substr(colon + 1);
            auto bytes = parse_hex_bytes(hex);
            if (!bytes) fail(quote(hex) + " is not hex bytes");
            raise.data = Value(std::move(*bytes));
        }
        return raise;
    }

    decltype(Step::action) panel_step(std::string_view name) {
        // The host decides what the panel holds; a host without one answers nothing.
        auto item = host_.panel_item(name);
        if (!item) fail("unknown step: the test panel has no button or text box " + quote(name));
        if (*item == PanelItem::Button) return step::PanelClick{std::string(name)};
        return step::PanelRead{std::string(name)};
    }

    MemberShape known_member(std::string_view name) {
        if (!is_identifier(name)) fail("unknown step");
        auto shape = host_.member(name);
        if (!shape) fail("unknown member");
        return *shape;
    }

    decltype(Step::action) call_step(std::string_view name) {
        MemberShape shape = known_member(name);
        if (shape.method) return step::Call{std::string(name), InvokeKind::Method};
        if (shape.get) return step::Call{std::string(name), InvokeKind::PropertyGet};
        fail(std::string(name) + " is write-only: set it with " + std::string(name) + "=TEXT");
    }

    decltype(Step::action) let_step(std::string_view name, std::string_view text) {
        MemberShape shape = known_member(name);
        if (!shape.let) {
            if (shape.get) fail(std::string(name) + " is read-only");
            fail(std::string(name) + " is a method, not a property");
        }
        if (shape.let_type == ArgType::String)
            return step::Let{std::string(name), Value(std::string(text))};
        auto number = parse_decimal_long(text);
        if (!number) fail(quote(text) + " is not a decimal Long");
        return step::Let{std::string(name), Value(*number)};
    }

    Host& host_;
    int index_;
    std::string_view text_;
};

}  // namespace

std::vector<Step> parse_steps(const std::vector<std::string>& texts, Host& host) {
    std::vector<Step> steps;
    steps.reserve(texts.size());
    int index = 0;
    int64_t pumped = 0;
    for (const auto& text : texts) {
        steps.push_back(StepParser(host, ++index, text).parse());
        // The pumps together must stay on the clock's scale, or the later ones would have
        // nowhere to go and silently do nothing.
        if (const auto* pump = std::get_if<step::Pump>(&steps.back().action)) {
            if (__builtin_add_overflow(pumped, pump->ms, &pumped))
                throw UsageError("step " + std::to_string(index) + " " + quote(text) +
                                 ": the pumps add up to more than " + std::to_string(INT64_MAX) +
                                 " milliseconds");
        }
    }
    return steps;
}

int run_steps(const std::vector<Step>& steps, Host& host, std::ostream& out, std::ostream& err) {
    bool all_ran = true;
    int current = 1;
    // Flushed line by line: journal and log echoes are written to out from inside the
    // calls, and stderr reports must land between them in the order they happened.
    auto emit = [&](const std::string& line) { out << line << '\n' << std::flush; };
    auto failed = [&](std::string_view name, const std::exception& e) {
        if (auto* automation = dynamic_cast<const AutomationError*>(&e))
            emit(failure_line(name, automation->hresult(), automation->description()));
        else
            emit(failure_line(name, kEFail, e.what()));
    };
    auto stopped = [&](const Step& s, std::string_view why) {
        out.flush();
        err << "czqic: step " << s.index << ' ' << json_string(s.text) << ": " << why << '\n'
            << std::flush;
        all_ran = false;
    };
    // A step that acts on the current object creates it first; a creation that fails is
    // reported against that step, and the next step acting on the object tries again.
    auto ensure_object = [&](std::string_view name) {
        if (host.has_object(current)) return true;
        try {
            host.create_object(current);
            return true;
        } catch (const std::exception& e) {
            failed(name, e);
            return false;
        }
    };

    for (const Step& s : steps) {
        try {
            std::visit(
                Overloaded{
                    [&](const step::Select& a) { current = a.number; },
                    [&](const step::Release& a) {
                        if (host.has_object(a.number)) host.release_object(a.number);
                    },
                    [&](const step::Call& a) {
                        if (!ensure_object(a.name)) return;
                        try {
                            Value result = host.invoke(current, a.name, a.kind, {});
                            emit(a.name + " = " + format_value(result));
                        } catch (const std::exception& e) {
                            failed(a.name, e);
                        }
                    },
                    [&](const step::Let& a) {
                        if (!ensure_object(a.name)) return;
                        Value argument = a.argument;
                        try {
                            host.invoke(current, a.name, InvokeKind::PropertyPut, {&argument, 1});
                        } catch (const std::exception& e) {
                            failed(a.name, e);
                        }
                    },
                    [&](const step::Pump& a) { host.pump_for(a.ms); },
                    [&](const step::SimRaise& a) { host.sim_raise(a.event, a.data); },
                    [&](const step::SimSet& a) { host.sim_set(a.key, a.value); },
                    [&](const step::PanelClick& a) {
                        try {
                            host.panel_click(a.button);
                        } catch (const AutomationError& e) {
                            failed(s.text, e);
                        }
                    },
                    [&](const step::PanelRead& a) {
                        try {
                            emit(a.text_box + " = " + json_string(host.panel_read(a.text_box)));
                        } catch (const AutomationError& e) {
                            failed(s.text, e);
                        }
                    },
                    [&](const step::Clock&) { emit("clock = " + host.clock_text()); },
                },
                s.action);
        } catch (const std::exception& e) {
            stopped(s, e.what());
        }
    }

    for (int number : host.live_objects()) {
        try {
            host.release_object(number);
        } catch (const std::exception& e) {
            out.flush();
            err << "czqic: releasing #" << number << ": " << e.what() << '\n' << std::flush;
            all_ran = false;
        }
    }
    return all_ran ? 0 : 1;
}

std::string json_string(std::string_view text) {
    // Invalid UTF-8 becomes U+FFFD rather than aborting the output line.
    return nlohmann::json(std::string(text))
        .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string format_value(const Value& value) {
    return std::visit(
        Overloaded{
            [](const Empty&) -> std::string { return "Empty"; },
            [](const Null&) -> std::string { return "Null"; },
            [](int16_t x) { return std::to_string(x); },
            [](int32_t x) { return std::to_string(x); },
            [](double x) {
                char text[32];
                auto [end, ec] = std::to_chars(text, text + sizeof text, x);
                return std::string(text, ec == std::errc() ? end : text);
            },
            [](bool x) -> std::string { return x ? "true" : "false"; },
            [](const Text& x) { return json_string(*x); },
            [](const Value::Array& items) {
                std::string text = "[";
                if (items)
                    for (size_t i = 0; i < items->size(); ++i) {
                        if (i) text += ", ";
                        text += format_value((*items)[i]);
                    }
                return text + "]";
            },
            [](const Value::Ref& ref) { return ref ? format_value(*ref) : std::string("Empty"); },
        },
        value.v);
}

std::string format_time_of_day(double seconds) {
    constexpr int64_t kDayMs = 86400000;
    if (!std::isfinite(seconds)) seconds = 0;
    // A virtual clock holds whole milliseconds; the nudge keeps 0.5 s stored as
    // 0.49999... from printing one millisecond early.
    auto ms = static_cast<int64_t>(std::floor(seconds * 1000.0 + 1e-6)) % kDayMs;
    if (ms < 0) ms += kDayMs;
    char text[16];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03d", static_cast<int>(ms / 3600000),
                  static_cast<int>(ms / 60000 % 60), static_cast<int>(ms / 1000 % 60),
                  static_cast<int>(ms % 1000));
    return text;
}

std::string failure_line(std::string_view name, uint32_t hresult, std::string_view description) {
    char code[16];
    std::snprintf(code, sizeof code, "0x%08X", static_cast<unsigned>(hresult));
    // A device's description may carry CR LF or escape codes: one failure, one line.
    return std::string(name) + " failed: " + code + " " + escape_controls(description);
}

}  // namespace czqic::cli
