#include "tools/cli/session.h"

#include <charconv>
#include <climits>

#include "platform/hex.h"
#include "platform/text.h"

namespace czqic::cli {
namespace {

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
            if (auto problem = host_.simulated_reader().check_set(key, value)) fail(*problem);
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

namespace {

// Runs one step list on a host: the current object, the output lines, and whether every
// step ran. Each step kind is one call operator, for std::visit.
class StepRunner {
  public:
    StepRunner(Host& host, std::ostream& out, std::ostream& err)
        : host_(host), out_(out), err_(err) {}

    // A step that breaks (anything but a failed call) is reported and the run goes on.
    void run(const Step& s) {
        step_ = &s;
        try {
            std::visit(*this, s.action);
        } catch (const std::exception& e) {
            out_.flush();
            err_ << "czqic: step " << s.index << ' ' << json_string(s.text) << ": " << e.what()
                 << '\n'
                 << std::flush;
            all_ran_ = false;
        }
    }

    // Objects still alive go in order of their numbers.
    int finish() {
        for (int number : host_.live_objects()) {
            try {
                host_.release_object(number);
            } catch (const std::exception& e) {
                out_.flush();
                err_ << "czqic: releasing #" << number << ": " << e.what() << '\n' << std::flush;
                all_ran_ = false;
            }
        }
        return all_ran_ ? 0 : 1;
    }

    void operator()(const step::Select& a) { current_ = a.number; }
    void operator()(const step::Release& a) {
        if (host_.has_object(a.number)) host_.release_object(a.number);
    }
    void operator()(const step::Call& a) {
        if (!ensure_object(a.name)) return;
        try {
            Value result = host_.invoke(current_, a.name, a.kind, {});
            emit(a.name + " = " + format_value(result));
        } catch (const std::exception& e) {
            failed(a.name, e);
        }
    }
    void operator()(const step::Let& a) {
        if (!ensure_object(a.name)) return;
        Value argument = a.argument;
        try {
            host_.invoke(current_, a.name, InvokeKind::PropertyPut, {&argument, 1});
        } catch (const std::exception& e) {
            failed(a.name, e);
        }
    }
    void operator()(const step::Pump& a) { host_.pump_for(a.ms); }
    void operator()(const step::SimRaise& a) { host_.simulated_reader().raise(a.event, a.data); }
    void operator()(const step::SimSet& a) { host_.simulated_reader().set(a.key, a.value); }
    void operator()(const step::PanelClick& a) {
        try {
            host_.panel_click(a.button);
        } catch (const AutomationError& e) {
            failed(step_->text, e);
        }
    }
    void operator()(const step::PanelRead& a) {
        try {
            emit(a.text_box + " = " + json_string(host_.panel_read(a.text_box)));
        } catch (const AutomationError& e) {
            failed(step_->text, e);
        }
    }
    void operator()(const step::Clock&) { emit("clock = " + host_.clock_text()); }

  private:
    // Flushed line by line: journal and log echoes are written to out from inside the
    // calls, and stderr reports must land between them in the order they happened.
    void emit(const std::string& line) { out_ << line << '\n' << std::flush; }

    void failed(std::string_view name, const std::exception& e) {
        if (auto* automation = dynamic_cast<const AutomationError*>(&e))
            emit(failure_line(name, automation->hresult(), automation->description()));
        else
            emit(failure_line(name, kEFail, e.what()));
    }

    // A step that acts on the current object creates it first; a creation that fails is
    // reported against that step, and the next step acting on the object tries again.
    bool ensure_object(std::string_view name) {
        if (host_.has_object(current_)) return true;
        try {
            host_.create_object(current_);
            return true;
        } catch (const std::exception& e) {
            failed(name, e);
            return false;
        }
    }

    Host& host_;
    std::ostream& out_;
    std::ostream& err_;
    const Step* step_ = nullptr;
    int current_ = 1;
    bool all_ran_ = true;
};

}  // namespace

int run_steps(const std::vector<Step>& steps, Host& host, std::ostream& out, std::ostream& err) {
    StepRunner runner(host, out, err);
    for (const Step& s : steps) runner.run(s);
    return runner.finish();
}

}  // namespace czqic::cli
