// Automation value conversions for the posix stand-in. The rules are those of the en-US
// Automation run-time (VarI4FromStr, VarR8FromStr, VarBstrFromR8, VarBoolFromStr), because
// scripts written against the Windows control must see the same numbers and the same
// run-time errors here.
#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <limits>
#include <string>
#include <string_view>
#include <system_error>
#include <type_traits>
#include <utility>
#include <variant>

#include "platform/automation.h"
#include "platform/hex.h"
#include "platform/text.h"

namespace czqic {

// ---------------------------------------------------------------------------------------
// Parsing numeric text

namespace {

// What VarParseNumFromStr hands on: either a decimal number as significant digits and a
// power of ten, or the bit pattern of an "&H"/"&O" literal.
struct ParsedNumber {
    bool negative = false;
    bool based = false;  // "&H" or "&O": `pattern` holds the value, digits are unused
    uint64_t pattern = 0;
    bool pattern_too_wide = false;  // more than 32 significant bits
    // Significant digits with no leading or trailing zeros ("" for zero); the value is
    // digits * 10^exponent.
    std::string digits;
    int64_t exponent = 0;
};

// The blanks the en-US parser skips around a number: the ASCII white-space characters and
// the no-break space (U+00A0, C2 A0 in UTF-8).
size_t blank_length(std::string_view text, size_t pos) {
    if (pos >= text.size()) return 0;
    switch (text[pos]) {
        case ' ':
        case '\t':
        case '\n':
        case '\v':
        case '\f':
        case '\r':
            return 1;
        case '\xC2':
            return pos + 1 < text.size() && text[pos + 1] == '\xA0' ? 2 : 0;
        default:
            return 0;
    }
}

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

// Exponents beyond this are far outside every target's range; capping the digits read
// keeps "1e99999999999999999999" from overflowing the accumulator.
constexpr int64_t kExponentCap = 1'000'000'000;

[[noreturn]] void type_mismatch() {
    raise_runtime_error(rt_error::kTypeMismatch);
}
[[noreturn]] void overflow() {
    raise_runtime_error(rt_error::kOverflow);
}

class NumberParser {
  public:
    explicit NumberParser(std::string_view text) : text_(text) {}

    ParsedNumber parse() {
        leading_symbols();
        if (!based_literal()) decimal_literal();
        trailing_symbols();
        if (pos_ != text_.size() || (parens_ && !parens_closed_)) type_mismatch();
        return std::move(number_);
    }

  private:
    bool at(char c) const { return pos_ < text_.size() && text_[pos_] == c; }

    // One sign only, whichever form it takes: "-5", "5-", "(5)", but not "-5-" or "-(5)".
    bool take_sign() {
        if (sign_seen_) return false;
        if (at('+') || at('-')) {
            number_.negative = at('-');
        } else {
            return false;
        }
        sign_seen_ = true;
        ++pos_;
        return true;
    }

    void leading_symbols() {
        for (;;) {
            if (size_t n = blank_length(text_, pos_)) {
                pos_ += n;
            } else if (take_sign()) {
            } else if (at('(') && !sign_seen_) {
                sign_seen_ = parens_ = true;
                number_.negative = true;
                ++pos_;
            } else if (at('$') && !leading_currency_) {
                leading_currency_ = true;
                ++pos_;
            } else {
                return;
            }
        }
    }

    void trailing_symbols() {
        for (;;) {
            if (size_t n = blank_length(text_, pos_)) {
                pos_ += n;
            } else if (take_sign()) {
            } else if (at(')') && parens_ && !parens_closed_) {
                parens_closed_ = true;
                ++pos_;
            } else if (at('$')) {  // a trailing currency sign may even repeat: "5$$"
                ++pos_;
            } else {
                return;
            }
        }
    }

    bool based_literal() {
        if (!at('&') || pos_ + 1 >= text_.size()) return false;
        const char kind = text_[pos_ + 1];
        int shift;
        if (kind == 'H' || kind == 'h') {
            shift = 4;
        } else if (kind == 'O' || kind == 'o') {
            shift = 3;
        } else {
            return false;
        }
        pos_ += 2;
        number_.based = true;
        const int radix = 1 << shift;
        bool any = false;
        while (pos_ < text_.size()) {
            const int d = hex_digit_value(text_[pos_]);
            if (d < 0 || d >= radix) break;
            any = true;
            if (!number_.pattern_too_wide) {
                number_.pattern = (number_.pattern << shift) | static_cast<uint64_t>(d);
                number_.pattern_too_wide = number_.pattern > 0xFFFF'FFFFu;
            }
            ++pos_;
        }
        if (!any) type_mismatch();
        return true;
    }

    void add_digit(char c, bool fraction) {
        if (c == '0' && number_.digits.empty()) {
            // A leading zero only moves the decimal point when it follows it.
            if (fraction) --number_.exponent;
            return;
        }
        if (c == '0') {
            ++pending_zeros_;
        } else {
            number_.digits.append(pending_zeros_, '0');
            pending_zeros_ = 0;
            number_.digits.push_back(c);
        }
        if (fraction) --number_.exponent;
    }

    void decimal_literal() {
        bool any_digit = false;
        while (pos_ < text_.size()) {
            const char c = text_[pos_];
            if (is_digit(c)) {
                add_digit(c, false);
                any_digit = true;
            } else if (c == ',' && any_digit) {
                // Thousands separators go anywhere after the first digit, even doubled
                // or trailing ("1,,000", "1,"), but never before it.
            } else {
                break;
            }
            ++pos_;
        }
        if (at('.')) {
            ++pos_;
            while (pos_ < text_.size() && is_digit(text_[pos_])) {
                add_digit(text_[pos_], true);
                any_digit = true;
                ++pos_;
            }
        }
        if (!any_digit) type_mismatch();
        // Trailing zeros of the integer part are kept as a power of ten, not as digits.
        number_.exponent += static_cast<int64_t>(pending_zeros_);
        pending_zeros_ = 0;
        if (at('e') || at('E')) exponent_part();
    }

    void exponent_part() {
        ++pos_;
        bool negative = false;
        if (at('+') || at('-')) {
            negative = at('-');
            ++pos_;
        }
        int64_t value = 0;
        bool any = false;
        while (pos_ < text_.size() && is_digit(text_[pos_])) {
            value = std::min(kExponentCap, value * 10 + (text_[pos_] - '0'));
            any = true;
            ++pos_;
        }
        if (!any) type_mismatch();
        number_.exponent += negative ? -value : value;
    }

    std::string_view text_;
    size_t pos_ = 0;
    ParsedNumber number_;
    size_t pending_zeros_ = 0;
    bool sign_seen_ = false;
    bool parens_ = false;
    bool parens_closed_ = false;
    bool leading_currency_ = false;
};

ParsedNumber parse_number(std::string_view text) {
    // A BSTR reaches the parser as a C string: whatever follows an embedded NUL is unseen.
    return NumberParser(text.substr(0, text.find('\0'))).parse();
}

// The integer nearest a parsed decimal, ties to even, done on the digits themselves so
// that no binary rounding can move "2.5000000000000000001" onto a tie.
int64_t round_decimal(const ParsedNumber& number, int64_t min, int64_t max) {
    const std::string& digits = number.digits;
    if (digits.empty()) return 0;
    const int64_t count = static_cast<int64_t>(digits.size());
    const int64_t integer_length = count + number.exponent;
    // Every target fits in ten decimal digits; anything longer is out of range.
    if (integer_length > 10) overflow();
    uint64_t magnitude = 0;
    for (int64_t i = 0; i < integer_length; ++i) {
        magnitude = magnitude * 10 + (i < count ? static_cast<uint64_t>(digits[i] - '0') : 0);
    }
    if (integer_length >= 0 && integer_length < count) {
        const char first = digits[static_cast<size_t>(integer_length)];
        // Stored digits never end in zero, so anything after the first dropped digit
        // makes it more than a tie.
        const bool beyond_tie = integer_length + 1 < count;
        if (first > '5' || (first == '5' && (beyond_tie || magnitude % 2 == 1))) ++magnitude;
    }
    const int64_t value =
        number.negative ? -static_cast<int64_t>(magnitude) : static_cast<int64_t>(magnitude);
    if (value < min || value > max) overflow();
    return value;
}

// The value of an "&H"/"&O" literal read as a two's-complement pattern `bits` wide, the
// way the Automation run-time keeps the high bit ("&HFFFF" is -1 as an Integer). A
// pattern wider than the target is an overflow, as is negating the most negative value.
int64_t based_value(const ParsedNumber& number, int bits) {
    const uint64_t limit = (uint64_t{1} << bits) - 1;
    if (number.pattern_too_wide || number.pattern > limit) overflow();
    const uint64_t sign_bit = uint64_t{1} << (bits - 1);
    int64_t value = static_cast<int64_t>(number.pattern);
    if (number.pattern & sign_bit) value -= static_cast<int64_t>(uint64_t{1} << bits);
    if (number.negative) {
        if (value == -static_cast<int64_t>(sign_bit)) overflow();
        value = -value;
    }
    return value;
}

int64_t parsed_to_integer(const ParsedNumber& number, int bits) {
    const int64_t max = static_cast<int64_t>((uint64_t{1} << (bits - 1)) - 1);
    if (number.based) return based_value(number, bits);
    return round_decimal(number, -max - 1, max);
}

double parsed_to_double(const ParsedNumber& number) {
    if (number.based) return static_cast<double>(based_value(number, 32));
    if (number.digits.empty()) return 0.0;
    const int64_t count = static_cast<int64_t>(number.digits.size());
    // Decide the extremes here so the text handed to from_chars carries a small exponent
    // (it is bounded by the cap and the text length, far inside what it accepts).
    if (count + number.exponent > 310) overflow();
    if (count + number.exponent < -330) return number.negative ? -0.0 : 0.0;
    std::string text = number.digits;
    text += 'e';
    text += std::to_string(number.exponent);
    double value = 0.0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec == std::errc::result_out_of_range) {
        // from_chars reports underflow the same way; only a large magnitude overflows.
        if (count + number.exponent > 0) overflow();
        value = 0.0;
    } else if (ec != std::errc() || end != text.data() + text.size()) {
        type_mismatch();
    }
    return number.negative ? -value : value;
}

// ---------------------------------------------------------------------------------------
// Helpers for the Value conversions

// The value after following references; a reference that leads nowhere is no value.
const Value& target_of(const Value& value) {
    const Value& target = value.deref();
    if (std::holds_alternative<Value::Ref>(target.v)) type_mismatch();
    return target;
}

int64_t double_to_integer(double x, int bits) {
    const double limit = std::ldexp(1.0, bits - 1);
    const double rounded = round_half_even(x);
    // Written so that NaN fails the test as well.
    if (!(rounded >= -limit && rounded < limit)) overflow();
    return static_cast<int64_t>(rounded);
}

int64_t value_to_integer(const Value& value, int bits) {
    const int64_t max = static_cast<int64_t>((uint64_t{1} << (bits - 1)) - 1);
    const Value& target = target_of(value);
    if (const std::string* s = target.text_if()) {
        return parsed_to_integer(parse_number(*s), bits);
    }
    if (const auto* d = std::get_if<double>(&target.v)) return double_to_integer(*d, bits);
    int64_t result = 0;
    if (const auto* i2 = std::get_if<int16_t>(&target.v)) {
        result = *i2;
    } else if (const auto* i4 = std::get_if<int32_t>(&target.v)) {
        result = *i4;
    } else if (const auto* b = std::get_if<bool>(&target.v)) {
        result = *b ? -1 : 0;
    } else if (std::holds_alternative<Empty>(target.v)) {
        result = 0;
    } else if (std::holds_alternative<Null>(target.v)) {
        raise_runtime_error(rt_error::kInvalidUseOfNull);
    } else {
        type_mismatch();
    }
    if (result < -max - 1 || result > max) overflow();
    return result;
}

std::string_view trim_blanks(std::string_view text) {
    for (;;) {
        if (size_t n = blank_length(text, 0)) {
            text.remove_prefix(n);
        } else {
            break;
        }
    }
    for (;;) {
        if (text.ends_with("\xC2\xA0")) {
            text.remove_suffix(2);
        } else if (!text.empty() && blank_length(text, text.size() - 1) == 1) {
            text.remove_suffix(1);
        } else {
            break;
        }
    }
    return text;
}

std::string double_to_text(double x) {
    if (std::isnan(x)) return std::signbit(x) ? "-1.#IND" : "1.#QNAN";
    if (std::isinf(x)) return x < 0 ? "-1.#INF" : "1.#INF";
    // Negative zero has no text of its own in Visual Basic.
    if (x == 0) return "0";
    // Fifteen significant digits in %G style is exactly the shape Visual Basic prints:
    // "132", "0.5", "1E+20", "1E-05", "3.14159265358979".
    std::array<char, 64> buffer{};
    const auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(), x,
                                      std::chars_format::general, 15);
    std::string text(buffer.data(), result.ptr);
    std::replace(text.begin(), text.end(), 'e', 'E');
    return text;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Conversions

std::string to_string(const Value& value) {
    const Value& target = target_of(value);
    return std::visit(
        [](const auto& x) -> std::string {
            using T = std::decay_t<decltype(x)>;
            if constexpr (std::is_same_v<T, Empty>) {
                return {};
            } else if constexpr (std::is_same_v<T, Null>) {
                raise_runtime_error(rt_error::kInvalidUseOfNull);
            } else if constexpr (std::is_same_v<T, bool>) {
                return x ? "True" : "False";
            } else if constexpr (std::is_same_v<T, int16_t> || std::is_same_v<T, int32_t>) {
                return std::to_string(x);
            } else if constexpr (std::is_same_v<T, double>) {
                return double_to_text(x);
            } else if constexpr (std::is_same_v<T, Text>) {
                return *x;
            } else {
                type_mismatch();
            }
        },
        target.v);
}

bool to_bool(const Value& value) {
    const Value& target = target_of(value);
    return std::visit(
        [](const auto& x) -> bool {
            using T = std::decay_t<decltype(x)>;
            if constexpr (std::is_same_v<T, Empty>) {
                return false;
            } else if constexpr (std::is_same_v<T, Null>) {
                raise_runtime_error(rt_error::kInvalidUseOfNull);
            } else if constexpr (std::is_same_v<T, bool>) {
                return x;
            } else if constexpr (std::is_same_v<T, int16_t> || std::is_same_v<T, int32_t> ||
                                 std::is_same_v<T, double>) {
                return x != 0;
            } else if constexpr (std::is_same_v<T, Text>) {
                const std::string_view word = trim_blanks(*x);
                if (equals_ignoring_case(word, "True")) return true;
                if (equals_ignoring_case(word, "False")) return false;
                return str_to_r8(*x) != 0;
            } else {
                type_mismatch();
            }
        },
        target.v);
}

int16_t to_i2(const Value& value) {
    return static_cast<int16_t>(value_to_integer(value, 16));
}

int32_t to_i4(const Value& value) {
    return static_cast<int32_t>(value_to_integer(value, 32));
}

double to_r8(const Value& value) {
    const Value& target = target_of(value);
    return std::visit(
        [](const auto& x) -> double {
            using T = std::decay_t<decltype(x)>;
            if constexpr (std::is_same_v<T, Empty>) {
                return 0.0;
            } else if constexpr (std::is_same_v<T, Null>) {
                raise_runtime_error(rt_error::kInvalidUseOfNull);
            } else if constexpr (std::is_same_v<T, bool>) {
                return x ? -1.0 : 0.0;
            } else if constexpr (std::is_same_v<T, int16_t> || std::is_same_v<T, int32_t> ||
                                 std::is_same_v<T, double>) {
                return static_cast<double>(x);
            } else if constexpr (std::is_same_v<T, Text>) {
                return str_to_r8(*x);
            } else {
                type_mismatch();
            }
        },
        target.v);
}

int32_t str_to_i4(std::string_view text) {
    return static_cast<int32_t>(parsed_to_integer(parse_number(text), 32));
}

double str_to_r8(std::string_view text) {
    return parsed_to_double(parse_number(text));
}

int32_t char_length(std::string_view utf8) {
    int64_t units = 0;
    for (size_t i = 0; i < utf8.size();) {
        // A byte that starts no valid sequence stands for one replacement character.
        const Utf8Char c = decode_utf8_char(utf8, i);
        units += c.code_point > 0xFFFF ? 2 : 1;
        i += c.length;
    }
    return static_cast<int32_t>(std::min<int64_t>(units, std::numeric_limits<int32_t>::max()));
}

}  // namespace czqic
