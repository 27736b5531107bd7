#include "tools/cli/printers.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <variant>

#include "platform/text.h"

namespace czqic::cli {
namespace {

template <class... F>
struct Overloaded : F... {
    using F::operator()...;
};
template <class... F>
Overloaded(F...) -> Overloaded<F...>;

}  // namespace

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

std::string hresult_text(uint32_t hresult) {
    char code[16];
    std::snprintf(code, sizeof code, "0x%08X", static_cast<unsigned>(hresult));
    return code;
}

std::string failure_line(std::string_view name, uint32_t hresult, std::string_view description) {
    // A device's description may carry CR LF or escape codes: one failure, one line.
    return std::string(name) + " failed: " + hresult_text(hresult) + " " +
           escape_controls(description);
}

std::string one_line(std::string text) {
    std::replace(text.begin(), text.end(), '\n', ' ');
    while (!text.empty() && text.back() == ' ') text.pop_back();
    return text;
}

}  // namespace czqic::cli
