// str_to_i4 against a slow model written from the documented rules. The first input byte
// picks a mode: raw text (any bytes: only the outcome's shape and its agreement with
// str_to_r8 and with blank-padding are checked), a generated decimal, a generated "&H"/"&O"
// literal, or a generated malformed number. Generated texts stay inside a grammar whose
// meaning is unambiguous, so the model can state the exact value or error number.
#include <fuzzer/FuzzedDataProvider.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "platform/automation.h"

namespace {

using czqic::AutomationError;

// Either a value or the run-time error number.
struct Outcome {
    bool ok = false;
    int32_t value = 0;
    int32_t error = 0;
    bool operator==(const Outcome&) const = default;
};

std::string describe(const Outcome& o) {
    return o.ok ? "value " + std::to_string(o.value) : "error " + std::to_string(o.error);
}

[[noreturn]] void fault(std::string_view text, const std::string& what) {
    std::string shown;
    for (unsigned char c : text) {
        char buf[8];
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            shown += static_cast<char>(c);
        } else {
            std::snprintf(buf, sizeof buf, "\\x%02X", c);
            shown += buf;
        }
    }
    std::fprintf(stderr, "str_to_i4(\"%s\"): %s\n", shown.c_str(), what.c_str());
    std::abort();
}

// Runs the conversion; anything but a value or AutomationError 6/13 (with the matching
// HRESULT) is a fault in itself.
template <class F>
auto run(std::string_view text, const char* name, F&& convert)
    -> std::pair<Outcome, std::optional<decltype(convert(text))>> {
    try {
        auto v = convert(text);
        Outcome o;
        o.ok = true;
        if constexpr (std::is_same_v<decltype(v), int32_t>) o.value = v;
        return {o, v};
    } catch (const AutomationError& e) {
        if (e.number() != 6 && e.number() != 13)
            fault(text, std::string(name) + " raised error " + std::to_string(e.number()));
        if (e.hresult() != 0x800A0000u + static_cast<uint32_t>(e.number()))
            fault(text, std::string(name) + " raised a mismatched HRESULT");
        Outcome o;
        o.error = e.number();
        return {o, std::nullopt};
    } catch (const std::exception& e) {
        fault(text, std::string(name) + " let a non-automation exception out: " + e.what());
    }
}

Outcome value(int64_t v) {
    Outcome o;
    o.ok = true;
    o.value = static_cast<int32_t>(v);
    return o;
}
Outcome error(int32_t n) {
    Outcome o;
    o.error = n;
    return o;
}

// ---- The model -------------------------------------------------------------------------

// A decimal number as the generator built it: the digits before and after the point, the
// exponent, the sign.
struct Decimal {
    std::string integer_digits;
    std::string fraction_digits;
    int64_t exponent = 0;
    bool negative = false;
};

// The exact value of digits * 10^exp rounded half to even, as a Long or an overflow. Works
// on the decimal string, with no floating point and no incremental exponent tracking.
Outcome model_decimal(const Decimal& d) {
    std::string digits = d.integer_digits + d.fraction_digits;
    int64_t exp10 = d.exponent - static_cast<int64_t>(d.fraction_digits.size());
    size_t first = digits.find_first_not_of('0');
    if (first == std::string::npos) return value(0);  // zero, whatever the exponent
    digits.erase(0, first);
    const int64_t len = static_cast<int64_t>(digits.size());
    std::string int_part, frac_part;
    if (exp10 >= 0) {
        // No leading zeros: the value is at least 10^(len + exp10 - 1).
        if (len + exp10 > 10) return error(6);
        int_part = digits + std::string(static_cast<size_t>(exp10), '0');
    } else {
        const int64_t k = len + exp10;  // digits left of the point
        if (k > 10) return error(6);
        if (k <= 0) {
            frac_part = std::string(static_cast<size_t>(-k), '0') + digits;
        } else {
            int_part = digits.substr(0, static_cast<size_t>(k));
            frac_part = digits.substr(static_cast<size_t>(k));
        }
    }
    int64_t magnitude = 0;
    for (char c : int_part) magnitude = magnitude * 10 + (c - '0');
    if (!frac_part.empty()) {
        const bool rest_nonzero = frac_part.find_first_not_of('0', 1) != std::string::npos;
        if (frac_part[0] > '5' || (frac_part[0] == '5' && rest_nonzero) ||
            (frac_part[0] == '5' && !rest_nonzero && magnitude % 2 == 1))
            ++magnitude;
    }
    const int64_t v = d.negative ? -magnitude : magnitude;
    if (v < INT32_MIN || v > INT32_MAX) return error(6);
    return value(v);
}

// "&H"/"&O" digits: the 32-bit pattern, kept as two's complement.
Outcome model_based(const std::string& digits, int radix) {
    uint64_t v = 0;
    for (char c : digits) {
        const int d = c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10;
        v = v * static_cast<uint64_t>(radix) + static_cast<uint64_t>(d);
        if (v > 0xFFFFFFFFu) return error(6);
    }
    return value(static_cast<int32_t>(static_cast<uint32_t>(v)));
}

// ---- Generators --------------------------------------------------------------------------

std::string blanks(FuzzedDataProvider& in) {
    static constexpr char kBlanks[] = {' ', '\t'};
    std::string s;
    const int n = in.ConsumeIntegralInRange(0, 2);
    for (int i = 0; i < n; ++i) s += kBlanks[in.ConsumeIntegralInRange(0, 1)];
    return s;
}

std::string digit_run(FuzzedDataProvider& in, int max_len) {
    const int n = in.ConsumeIntegralInRange(0, max_len);
    std::string s;
    for (int i = 0; i < n; ++i) {
        // Mostly small digits and zeros, so values land near the range limits and ties.
        static constexpr char kDigits[] = "0123456789052";
        s += kDigits[in.ConsumeIntegralInRange<size_t>(0, sizeof kDigits - 2)];
    }
    return s;
}

// Builds a decimal from the grammar [b][sign|(] int[,int..][.frac][e[+-]exp] [sign|)][b];
// returns the text and the number it denotes.
std::pair<std::string, Decimal> generate_decimal(FuzzedDataProvider& in) {
    Decimal d;
    const int kind = in.ConsumeIntegralInRange(0, 4);  // sign form
    d.integer_digits = digit_run(in, 14);
    const bool point = in.ConsumeBool();
    if (point) d.fraction_digits = digit_run(in, 14);
    if (d.integer_digits.empty() && d.fraction_digits.empty()) d.integer_digits = "7";
    std::string body;
    for (size_t i = 0; i < d.integer_digits.size(); ++i) {
        body += d.integer_digits[i];
        // A separator only between digits: its grouping is not checked.
        if (i + 1 < d.integer_digits.size() && in.ConsumeIntegralInRange(0, 5) == 0) body += ',';
    }
    if (point) body += "." + d.fraction_digits;
    if (in.ConsumeIntegralInRange(0, 3) == 0) {
        const bool neg = in.ConsumeBool();
        const bool explicit_sign = neg || in.ConsumeBool();
        const int64_t e = in.ConsumeIntegralInRange<int64_t>(0, 40);
        body += in.ConsumeBool() ? "e" : "E";
        if (explicit_sign) body += neg ? "-" : "+";
        if (in.ConsumeBool()) body += "0";  // a leading zero in the exponent
        body += std::to_string(e);
        d.exponent = neg ? -e : e;
    }
    std::string text = blanks(in);
    switch (kind) {
        case 0:
            text += body;
            break;
        case 1:
            text += "-" + body, d.negative = true;
            break;
        case 2:
            text += "+" + body;
            break;
        case 3:
            text += body + "-", d.negative = true;
            break;
        case 4:
            text += "(" + body + ")", d.negative = true;
            break;
    }
    text += blanks(in);
    return {text, d};
}

std::pair<std::string, Outcome> generate_based(FuzzedDataProvider& in) {
    const bool hex = in.ConsumeBool();
    std::string digits;
    const int n = in.ConsumeIntegralInRange(1, hex ? 11 : 13);
    static constexpr char kHex[] = "0123456789abcdefABCDEF";
    for (int i = 0; i < n; ++i) {
        digits += hex ? kHex[in.ConsumeIntegralInRange<size_t>(0, 21)]
                      : static_cast<char>('0' + in.ConsumeIntegralInRange(0, 7));
    }
    std::string prefix = hex ? (in.ConsumeBool() ? "&H" : "&h") : (in.ConsumeBool() ? "&O" : "&o");
    std::string text = blanks(in) + prefix + digits + blanks(in);
    return {text, model_based(digits, hex ? 16 : 8)};
}

// Shapes that are not numbers under any reading of the rules.
std::string generate_malformed(FuzzedDataProvider& in) {
    auto [valid, d] = generate_decimal(in);
    (void)d;
    const std::string n = std::to_string(in.ConsumeIntegralInRange(0, 99999));
    switch (in.ConsumeIntegralInRange(0, 13)) {
        case 0:
            return "";
        case 1:
            return blanks(in) + " ";
        case 2:
            return "-";
        case 3:
            return "()";
        case 4:
            return "--" + n;
        case 5:
            return "-" + n + "-";
        case 6:
            return "(" + n;
        case 7:
            return n + ")";
        case 8:
            return "(-" + n + ")";
        case 9:
            return n + "." + n + "." + n;
        case 10:
            return n + " " + n;
        case 11:
            return ".";
        case 12:
            return "&O" + std::string(1, in.ConsumeBool() ? '8' : '9') + n;
        default: {
            // A letter that has no meaning in a number, anywhere in a valid one.
            static constexpr char kJunk[] = "xXgGzZ#@!?;*/=_kq";
            const size_t at = in.ConsumeIntegralInRange<size_t>(0, valid.size());
            valid.insert(at, 1, kJunk[in.ConsumeIntegralInRange<size_t>(0, sizeof kJunk - 2)]);
            return valid;
        }
    }
}

// ---- Properties for any text ---------------------------------------------------------------

void check_any(std::string_view text) {
    const auto [i4, ignored] =
        run(text, "str_to_i4", [](std::string_view t) { return czqic::str_to_i4(t); });
    (void)ignored;
    // Same text again: no hidden state.
    const auto again =
        run(text, "str_to_i4", [](std::string_view t) { return czqic::str_to_i4(t); }).first;
    if (!(again == i4)) fault(text, "two conversions disagree");

    // Blanks around a number change nothing.
    const std::string padded = " " + std::string(text.substr(0, text.find('\0'))) + "\t";
    const auto p =
        run(padded, "str_to_i4", [](std::string_view t) { return czqic::str_to_i4(t); }).first;
    if (!(p == i4))
        fault(text, "padding with blanks changed " + describe(i4) + " to " + describe(p));

    // The Double conversion parses by the same rules: it refuses the same texts, and its
    // value rounds to the Long (ties excepted, where binary rounding may move it).
    const auto [r8_outcome, r8] =
        run(text, "str_to_r8", [](std::string_view t) { return czqic::str_to_r8(t); });
    if ((i4.error == 13) != (r8_outcome.error == 13))
        fault(text, "str_to_i4 gives " + describe(i4) + " but str_to_r8 gives " +
                        (r8 ? "a value" : "error " + std::to_string(r8_outcome.error)));
    if (i4.ok) {
        if (!r8) fault(text, "str_to_r8 overflows where str_to_i4 gives " + describe(i4));
        const double diff = std::fabs(*r8 - i4.value);
        if (!(diff <= 0.5 + 1e-6)) fault(text, "str_to_r8 and str_to_i4 are more than 0.5 apart");
    } else if (i4.error == 6 && r8) {
        if (!(std::fabs(*r8) >= 2147483647.5 - 1e-3))
            fault(text, "str_to_i4 overflows but str_to_r8 gives a value inside the Long range");
    }
}

// A generated text must convert to what its generator expects (says why), then keep every
// property of any text.
void check_generated(const std::string& text, const Outcome& expected, const char* why) {
    const Outcome got =
        run(text, "str_to_i4", [](std::string_view t) { return czqic::str_to_i4(t); }).first;
    if (!(got == expected))
        fault(text,
              "gives " + describe(got) + " instead of " + describe(expected) + " (" + why + ")");
    check_any(text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    FuzzedDataProvider in(data + 1, size - 1);
    switch (data[0] % 4) {
        case 0:
            check_any(std::string_view(reinterpret_cast<const char*>(data + 1), size - 1));
            break;
        case 1: {
            const auto [text, d] = generate_decimal(in);
            check_generated(text, model_decimal(d), "the decimal model");
            break;
        }
        case 2: {
            const auto [text, expected] = generate_based(in);
            check_generated(text, expected, "the &H/&O model");
            break;
        }
        case 3:
            check_generated(generate_malformed(in), error(13), "a malformed number");
            break;
    }
    return 0;
}
