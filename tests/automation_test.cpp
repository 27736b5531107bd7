// Conversions of automation values. Each table row is one input and what the Windows
// Automation run-time (en-US) gives for it; comments note behaviour seen there, or where
// this layer had to choose. The same tables run against OLE Automation itself under Wine,
// whose oleaut32 departs from Windows on a few rows: such a row carries what Wine gives
// as its last field, beside a comment (Wine's own tests mark these rows todo_wine).
#include <cmath>
#include <cstdint>
#include <iomanip>
#include <limits>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#endif

#include "platform/automation.h"

namespace czqic {
namespace {

using namespace std::string_view_literals;

// A raised run-time error exactly as a caller's error trap would see it.
struct Raised {
    int32_t number;
    uint32_t hresult;
    std::string description;
};

const Raised kOverflow{6, 0x800A0006u, "Overflow"};
const Raised kMismatch{13, 0x800A000Du, "Type mismatch"};
const Raised kNullUse{94, 0x800A005Eu, "Invalid use of Null"};

template <class T>
using Outcome = std::variant<T, Raised>;
template <class T>
using WineOutcome = std::optional<Outcome<T>>;

// A row not checked under Wine: one it crashes on, or whose result it leaves undefined.
const Raised kNotUnderWine{0, 0, "not checked under Wine"};

bool under_wine() {
#ifdef _WIN32
    static const bool wine =
        GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
    return wine;
#else
    return false;
#endif
}

// What Wine gives in one architecture only: its 32-bit oleaut32 computes in the x87's
// extended precision, its 64-bit one in doubles.
template <class T>
WineOutcome<T> wine_64bit(Outcome<T> outcome) {
    return sizeof(void*) == 8 ? WineOutcome<T>(std::move(outcome)) : std::nullopt;
}
template <class T>
WineOutcome<T> wine_32bit(Outcome<T> outcome) {
    return sizeof(void*) == 4 ? WineOutcome<T>(std::move(outcome)) : std::nullopt;
}

template <class F>
auto outcome_of(F&& f) -> Outcome<decltype(f())> {
    try {
        return f();
    } catch (const AutomationError& e) {
        EXPECT_STREQ(e.what(), e.description().c_str());
        return Raised{e.number(), e.hresult(), e.description()};
    }
}

// Renders an outcome so that a failing row prints both sides readably; doubles are shown
// with enough digits to tell every value (and -0 from 0) apart.
template <class T>
std::string show(const Outcome<T>& outcome) {
    std::ostringstream out;
    if (const auto* raised = std::get_if<Raised>(&outcome)) {
        out << "error " << raised->number << " (0x" << std::hex << std::uppercase << raised->hresult
            << ") \"" << raised->description << '"';
    } else {
        out << std::boolalpha << std::setprecision(17);
        if constexpr (std::is_same_v<T, std::string>) {
            out << '"' << std::get<T>(outcome) << '"';
        } else {
            out << +std::get<T>(outcome);
        }
    }
    return out.str();
}

template <class T, class F>
void expect_outcome(const Outcome<T>& expected, F&& f, const std::string& input,
                    const WineOutcome<T>& wine = std::nullopt) {
    if (wine && under_wine()) {
        const auto* raised = std::get_if<Raised>(&*wine);
        if (raised && raised->number == kNotUnderWine.number) return;
        EXPECT_EQ(show<T>(outcome_of(f)), show<T>(*wine)) << "input under Wine: " << input;
        return;
    }
    EXPECT_EQ(show<T>(outcome_of(f)), show<T>(expected)) << "input: " << input;
}

// One row of a conversion table: the input, what we expect, and what Wine's oleaut32
// gives where it differs.
template <class T>
struct ValueRow {
    Value value;
    Outcome<T> expected;
    WineOutcome<T> wine{};
};

// Checks each row's conversion of row.value; the failure message names the row by the
// value's text form.
template <class T, class Rows, class Convert>
void expect_value_rows(const Rows& rows, Convert convert, const std::string& prefix = "") {
    for (const auto& row : rows) {
        const std::string input =
            show<std::string>(outcome_of([&] { return to_string(row.value); }));
        expect_outcome<T>(
            row.expected, [&]() -> T { return convert(row.value); }, prefix + input, row.wine);
    }
}

std::string quoted(std::string_view text) {
    std::string out = "\"";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte >= 0x7F) {
            std::ostringstream hex;
            hex << "\\x" << std::hex << std::setw(2) << std::setfill('0') << +byte;
            out += hex.str();
        } else {
            out += c;
        }
    }
    return out + '"';
}

// ---------------------------------------------------------------------------------------
// Run-time errors

TEST(RuntimeError, StandardNumbersCarryTheirHresultAndDescription) {
    const struct {
        int32_t number;
        uint32_t hresult;
        const char* description;
    } rows[] = {
        {6, 0x800A0006u, "Overflow"},
        {9, 0x800A0009u, "Subscript out of range"},
        {13, 0x800A000Du, "Type mismatch"},
        {94, 0x800A005Eu, "Invalid use of Null"},
        {429, 0x800A01ADu, "ActiveX component can't create object"},
        {438, 0x800A01B6u, "Object doesn't support this property or method"},
        // Numbers without a description of their own, including the user range.
        {5, 0x800A0005u, "Application-defined or object-defined error"},
        {1000, 0x800A03E8u, "Application-defined or object-defined error"},
        {32767, 0x800A7FFFu, "Application-defined or object-defined error"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.number);
        EXPECT_EQ(runtime_error_description(row.number), row.description);
        const Raised expected{row.number, row.hresult, row.description};
        expect_outcome<int>(
            expected, [&]() -> int { raise_runtime_error(row.number); },
            std::to_string(row.number));
    }
}

TEST(RuntimeError, OwnDescriptionKeepsTheNumbersHresult) {
    const struct {
        int32_t number;
        const char* description;
        uint32_t hresult;
    } rows[] = {
        {13, "Card data is not text", 0x800A000Du},
        {1001, "Reader not opened", 0x800A03E9u},
        {6, "", 0x800A0006u},
    };
    for (const auto& row : rows) {
        const Raised expected{row.number, row.hresult, row.description};
        expect_outcome<int>(
            expected, [&]() -> int { raise_runtime_error(row.number, row.description); },
            row.description);
    }
}

// ---------------------------------------------------------------------------------------
// Text to Long

struct TextCase {
    std::string_view text;
    Outcome<int32_t> expected;
    WineOutcome<int32_t> wine{};
};

void check_str_to_i4(const std::vector<TextCase>& rows) {
    for (const auto& row : rows) {
        expect_outcome<int32_t>(
            row.expected, [&] { return str_to_i4(row.text); }, quoted(row.text), row.wine);
    }
}

TEST(StrToI4, MatchesThePlatform) {
    check_str_to_i4({
        {"0", 0},
        {"2147483647", 2147483647},
        {"2147483648", kOverflow},
        {"-2147483648", INT32_MIN},
        {"-2147483649", kOverflow},
        {"0.5", 0},
        {"0.6", 1},
        {"1.5", 2},
        {"2.5", 2},
        {"3.5", 4},
        {"-0.5", 0},
        {"-1.5", -2},
        {" 12 ", 12},
        {"1e3", 1000},
        {"&H10", 16},
        {"&O17", 15},
        {"1,000", 1000},
        {"(5)", -5},
        {"", kMismatch},
        {"12abc", kMismatch},
        {"1e", kMismatch},
    });
}

TEST(StrToI4, BlanksAndSigns) {
    check_str_to_i4({
        // Every ASCII white-space character and the no-break space count as blanks.
        {"\t7\r\n", 7},
        {"\v\f7", 7},
        {"\xC2\xA0"
         "7\xC2\xA0",
         7},
        {"+7", 7},
        {"7+", 7},
        {"7-", -7},
        {"-0", 0},
        // Blanks may sit between the sign and the digits, on either side.
        {"- 7", -7},
        {" 7 - ", -7},
        {"( 7 )", -7},
        // Only one sign is taken: the platform leaves a second one unconsumed.
        {"+7+", kMismatch},
        {"-7-", kMismatch},
        {"+ +7", kMismatch},
        {"--7", kMismatch},
        // Chosen here: parentheses are a sign too, so they don't combine with another.
        // Wine takes the minus and the parentheses together as one negation.
        {"-(7)", kMismatch, -7},
        {"(7)-", kMismatch, -7},
        {"(7", kMismatch},
        {"7)", kMismatch},
        {"()", kMismatch},
        {"7()", kMismatch},
        {"-", kMismatch},
        {" ", kMismatch},
        // A lone C2 or A0 byte is not a blank.
        {"7\xC2", kMismatch},
        {"\xA0"
         "7",
         kMismatch},
    });
}

TEST(StrToI4, CurrencyAndSeparators) {
    check_str_to_i4({
        {"$7", 7},
        {"-$7", -7},
        {"$-7", -7},
        {"($7)", -7},
        {"$ 7", 7},
        {"7 $", 7},
        // The platform lets a trailing currency sign repeat, but not a leading one.
        {"7$$", 7},
        {"$7$", 7},
        {"$$7", kMismatch},
        {"$", kMismatch},
        {"\xC2\xA3"
         "7",
         kMismatch},
        // Thousands separators: anywhere after the first digit, doubled or trailing.
        {"1,,000", 1000},
        {"1,00,0,,", 1000},
        {"1,", 1},
        {"2,147,483,647", 2147483647},
        {",1", kMismatch},
        {"1,000.5", 1000},
        // Wine accepts the separator after the decimal point too: 1.
        {"1.000,5", kMismatch, 1},
        {"1 000", kMismatch},
        {"1_000", kMismatch},
    });
}

TEST(StrToI4, DecimalsAndExponents) {
    check_str_to_i4({
        {"1.", 1},
        {".6", 1},
        {"-.6", -1},
        {"0.4", 0},
        {"-0.6", -1},
        {"1.5e1", 15},
        {"1E+01", 10},
        {"15e-1", 2},
        {"25E-1", 2},
        {"35e-1", 4},
        {"1e-0", 1},
        {"1e9", 1000000000},
        {"1e10", kOverflow},
        {"4294967296", kOverflow},
        // Past 2^64: must not wrap round to a small number.
        {"18446744073709551617", kOverflow},
        {"-18446744073709551615", kOverflow},
        {"000000000002147483647", 2147483647},
        {"2147483647000e-3", 2147483647},
        {".", kMismatch},
        {"1..1", kMismatch},
        {"1.1.", kMismatch},
        {"1e1.", kMismatch},
        {"1e+", kMismatch},
        {"1e-", kMismatch},
        {"e1", kMismatch},
        {"1d1", kMismatch},
    });
}

TEST(StrToI4, RoundsOnTheDecimalDigitsNotOnADouble) {
    check_str_to_i4({
        {"2147483647.4", 2147483647},
        {"2147483647.5", kOverflow},
        {"2147483646.5", 2147483646},
        {"21474836.475e2", kOverflow},
        {"214748364750e-2", kOverflow},
        {"-2147483648.5", INT32_MIN},
        {"-2147483648.50001", kOverflow},
        {"-2147483649.5", kOverflow},
        // Nearest doubles are 2.5 and 1.5; the text itself is not a tie.
        {"2.50000000000000000001", 3},
        {"1.49999999999999999999", 1},
        {"0.50000000000000000001", 1},
        {"-2.50000000000000000001", -3},
        {"4.5000", 4},
        {"0.05e1", 0},
        {"0.15e1", 2},
        {"1.5e-1", 0},
        {"5e-1", 0},
        {"5.1e-1", 1},
    });
}

TEST(StrToI4, ExtremeExponentsAndLengths) {
    static const std::string many_zeros_then_one = "0." + std::string(5000, '0') + "1";
    static const std::string long_integer = std::string(5000, '9');
    static const std::string long_tie = "2.5" + std::string(5000, '0');
    static const std::string tie_then_one = "2.5" + std::string(5000, '0') + "1";
    check_str_to_i4({
        // Wine keeps the exponent in 32 bits: it wraps round, and Wine's VarNumFromParseNum
        // reads out of bounds on an exponent past the range of a Long.
        {"1e999999999999999999999", kOverflow, 0},
        {"1e-999999999999999999999", 0, kOverflow},
        {"0e999999999999999999999", 0},
        {"-1e-999999999999999999999", 0, kOverflow},
        {"1e2147483648", kOverflow, kNotUnderWine},
        {"1e-2147483649", 0, kOverflow},
        {many_zeros_then_one, 0},
        {long_integer, kOverflow},
        // Wine loses a number whose digits run past its digit buffer after a point: 0.
        {long_tie, 2, 0},
        {tie_then_one, 3, 0},
    });
}

TEST(StrToI4, HexAndOctal) {
    check_str_to_i4({
        {"&h10", 16},
        {"&Hff", 255},
        {"&HfF", 255},
        {" &H10 ", 16},
        {"&H1E", 30},
        // The digits form a 32-bit pattern and the high bit is kept, as VarI4FromStr
        // does with "&H80000002"; so "&HFFFFFFFF" is -1, not an overflow.
        {"&H7FFFFFFF", 2147483647},
        {"&H80000000", INT32_MIN},
        {"&HFFFFFFFF", -1},
        {"&H00000000FFFFFFFF", -1},
        {"&H100000000", kOverflow},
        {"&HFFFFFFFFFFFFFFFFFFFF", kOverflow},
        {"&o17", 15},
        {"&O37777777777", -1},
        {"&O40000000000", kOverflow},
        // Chosen here: a sign negates the pattern's value. Wine ignores a sign on a
        // hexadecimal number.
        {"-&H10", -16, 16},
        {"(&H10)", -16, 16},
        {"&H10-", -16, 16},
        {"-&HFFFFFFFF", 1, -1},
        {"-&H80000000", kOverflow, INT32_MIN},
        // The platform stops reading octal at 8 and never reads C or assembler hex.
        {"&O8", kMismatch},
        {"&O128", kMismatch},
        {"0x10", kMismatch},
        {"10h", kMismatch},
        {"&H", kMismatch},
        {"&", kMismatch},
        {"&HG", kMismatch},
        {"&H 10", kMismatch},
        {"& H10", kMismatch},
        {"&H1.5", kMismatch},
        {"&H1,0", kMismatch},
        {"&H1e5", 485},
        {"&X10", kMismatch},
    });
}

TEST(StrToI4, TextThatIsNoNumber) {
    check_str_to_i4({
        {"abc", kMismatch},
        {"1 2", kMismatch},
        {"1h", kMismatch},
        {"True", kMismatch},
        {"Infinity", kMismatch},
        {"NaN", kMismatch},
        // Arabic-Indic digit one: the platform reads ASCII digits only.
        {"\xD9\xA1", kMismatch},
        // Full-width digit one.
        {"\xEF\xBC\x91", kMismatch},
        // The run-time reads a BSTR as a C string, so an embedded NUL ends the text.
        {"12\0abc"sv, 12},
        {"\0"
         "12"sv,
         kMismatch},
    });
}

// ---------------------------------------------------------------------------------------
// Text to Double

TEST(StrToR8, ParsesToTheNearestDouble) {
    static const std::string one_with_zeros = "1" + std::string(400, '0') + "e-400";
    const struct {
        std::string_view text;
        Outcome<double> expected;
        WineOutcome<double> wine{};
    } rows[] = {
        {"0", 0.0},
        {"1.5", 1.5},
        {"2.5e3", 2500.0},
        {"-0.25", -0.25},
        {"(1.5)", -1.5},
        {"1,234.5", 1234.5},
        {"$1,234.5", 1234.5},
        {"0.1", 0.1},
        {"0.30000000000000004", 0.30000000000000004},
        {"9007199254740993", 9007199254740992.0},
        // Wine scales the digits by powers of ten: in 64-bit the last bit can be off, in
        // 32-bit the smallest denormal is lost, and the largest double overflows on the way.
        {"123456789012345678901234567890", 1.2345678901234568e29,
         wine_64bit<double>(1.2345678901234566e29)},
        {"2.2250738585072011e-308", 2.2250738585072011e-308,
         wine_64bit<double>(2.2250738585072019e-308)},
        {"4.9406564584124654e-324", 4.9406564584124654e-324, wine_32bit<double>(0.0)},
        {"1.7976931348623157e308", 1.7976931348623157e308, kOverflow},
        {one_with_zeros, 1.0},
        // Too small to represent is zero; too large is an overflow.
        {"1e-400", 0.0},
        // Wine's exponent wraps round in 32 bits.
        {"1e-999999999999999999999", 0.0, kOverflow},
        {"1.8e308", kOverflow},
        {"1e309", kOverflow},
        {"1e999999999999999999999", kOverflow, 0.0},
        // Wine reads the hexadecimal digits as an unsigned 32-bit number, too large for
        // the Long it converts through.
        {"&HFFFFFFFF", -1.0, kOverflow},
        {"&H7FFFFFFF", 2147483647.0},
        {"&H100000000", kOverflow},
        {"1e", kMismatch},
        {"", kMismatch},
        {"1.5.", kMismatch},
        {"nan", kMismatch},
        {"inf", kMismatch},
    };
    for (const auto& row : rows) {
        expect_outcome<double>(
            row.expected, [&] { return str_to_r8(row.text); }, quoted(row.text), row.wine);
    }
}

// ---------------------------------------------------------------------------------------
// Values

// Targets for by-reference rows; they must outlive the rows that point at them.
Value& ref_target(Value v) {
    static std::vector<std::unique_ptr<Value>> targets;
    targets.push_back(std::make_unique<Value>(std::move(v)));
    return *targets.back();
}

Value null_reference() {
    Value v;
    v.v = Value::Ref{nullptr};
    return v;
}

Value array_of(ValueArray items) {
    return Value(std::move(items));
}

TEST(ToString, VisualBasicText) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const ValueRow<std::string> rows[] = {
        {Value(), ""},
        {Value(int16_t{-32768}), "-32768"},
        {Value(int16_t{0}), "0"},
        {Value(int32_t{2147483647}), "2147483647"},
        {Value(int32_t{INT32_MIN}), "-2147483648"},
        {Value(true), "True"},
        {Value(false), "False"},
        {Value("abc"), "abc"},
        {Value(""), ""},
        {Value("\xE2\x82\xAC 5"), "\xE2\x82\xAC 5"},
        // Doubles: VarBstrFromR8's output for en-US.
        {Value(132.0), "132"},
        {Value(0.5), "0.5"},
        {Value(-1.25), "-1.25"},
        {Value(1.5), "1.5"},
        {Value(0.56789), "0.56789"},
        {Value(5.6789e-12), "5.6789E-12"},
        {Value(999999999999999.0), "999999999999999"},
        {Value(1.0e15), "1E+15"},
        {Value(1.234e16), "1.234E+16"},
        {Value(3.141592653589793), "3.14159265358979"},
        {Value(12.345678901234567), "12.3456789012346"},
        {Value(-0.25), "-0.25"},
        {Value(0.1 + 0.2), "0.3"},
        {Value(1e20), "1E+20"},
        {Value(1e-7), "1E-07"},
        {Value(0.0001), "0.0001"},
        {Value(0.00001), "1E-05"},
        {Value(1e100), "1E+100"},
        {Value(-1.5e-300), "-1.5E-300"},
        {Value(123456789012345.6), "123456789012346"},
        {Value(-0.0), "0"},
        // The legacy C run-time's text for values Visual Basic never produces itself;
        // Wine's oleaut32 formats them with its own C run-time.
        {Value(inf), "1.#INF", "INF"},
        {Value(-inf), "-1.#INF", "-INF"},
        {Value(nan), "1.#QNAN", "NAN"},
        {Value(Null{}), kNullUse},
        {array_of({Value(1)}), kMismatch},
        {Value::by_ref(ref_target(Value(int32_t{7}))), "7"},
        {Value::by_ref(ref_target(Value::by_ref(ref_target(Value(2.5))))), "2.5"},
        {Value::by_ref(ref_target(Value(Null{}))), kNullUse},
        {Value::by_ref(ref_target(array_of({}))), kMismatch},
        {null_reference(), kMismatch},
    };
    expect_value_rows<std::string>(
        rows, [](const Value& v) { return to_string(v); }, "row yielding ");
}

TEST(ToBool, NumbersWordsAndNumericText) {
    const ValueRow<bool> rows[] = {
        {Value(), false},
        {Value(int16_t{0}), false},
        {Value(int16_t{1}), true},
        {Value(int32_t{-1}), true},
        {Value(0.0), false},
        {Value(-0.0), false},
        {Value(0.5), true},
        {Value(std::numeric_limits<double>::quiet_NaN()), true},
        {Value(true), true},
        {Value(false), false},
        {Value("True"), true},
        {Value("false"), false},
        {Value("tRuE"), true},
        // Wine compares the whole text with the words, blanks included.
        {Value("  TRUE  "), true, kMismatch},
        {Value("\tFalse\n"), false, kMismatch},
        {Value("\xC2\xA0True\xC2\xA0"), true, kMismatch},
        {Value("1"), true},
        {Value("0"), false},
        {Value("0.0"), false},
        {Value("-1"), true},
        {Value("0.4"), true},
        {Value("&H0"), false},
        {Value("(2)"), true},
        {Value("yes"), kMismatch},
        {Value("True1"), kMismatch},
        {Value("Tru"), kMismatch},
        {Value(""), kMismatch},
        {Value("1e999"), kOverflow},
        {Value(Null{}), kNullUse},
        {array_of({Value(true)}), kMismatch},
        {Value::by_ref(ref_target(Value("True"))), true},
        {null_reference(), kMismatch},
    };
    expect_value_rows<bool>(rows, [](const Value& v) { return to_bool(v); });
}

TEST(ToI4, RoundsThenChecksTheRange) {
    const double inf = std::numeric_limits<double>::infinity();
    const ValueRow<int32_t> rows[] = {
        {Value(), 0},
        {Value(true), -1},
        {Value(false), 0},
        {Value(int16_t{-32768}), -32768},
        {Value(int32_t{INT32_MAX}), INT32_MAX},
        {Value(0.5), 0},
        {Value(1.5), 2},
        {Value(2.5), 2},
        {Value(-1.5), -2},
        {Value(-2.5), -2},
        {Value(0.49999999999999994), 0},
        {Value(2147483647.49), 2147483647},
        {Value(2147483647.5), kOverflow},
        {Value(2147483646.5), 2147483646},
        {Value(-2147483648.5), INT32_MIN},
        {Value(-2147483648.51), kOverflow},
        {Value(1e10), kOverflow},
        {Value(-1e300), kOverflow},
        // Wine's range check lets NaN through to an integer conversion whose result C
        // leaves undefined.
        {Value(std::numeric_limits<double>::quiet_NaN()), kOverflow, kNotUnderWine},
        {Value(inf), kOverflow},
        {Value(-inf), kOverflow},
        {Value(" 12 "), 12},
        {Value("2.5"), 2},
        {Value("&HFFFFFFFF"), -1},
        {Value("abc"), kMismatch},
        {Value("True"), kMismatch},
        {Value(Null{}), kNullUse},
        {array_of({}), kMismatch},
        {Value::by_ref(ref_target(Value(3.5))), 4},
        {null_reference(), kMismatch},
    };
    expect_value_rows<int32_t>(rows, [](const Value& v) { return to_i4(v); });
}

TEST(ToI2, RoundsThenChecksTheRange) {
    const struct {
        Value value;
        Outcome<int32_t> expected;  // widened so rows can be plain literals
        WineOutcome<int32_t> wine{};
    } rows[] = {
        {Value(), 0},
        {Value(true), -1},
        {Value(false), 0},
        {Value(int16_t{-32768}), -32768},
        {Value(int32_t{32767}), 32767},
        {Value(int32_t{32768}), kOverflow},
        {Value(int32_t{-32768}), -32768},
        {Value(int32_t{-32769}), kOverflow},
        {Value(int32_t{INT32_MIN}), kOverflow},
        {Value(32766.5), 32766},
        {Value(32767.5), kOverflow},
        {Value(-32768.5), -32768},
        {Value(-32768.500001), kOverflow},
        // As with Long, NaN passes Wine's range check.
        {Value(std::numeric_limits<double>::quiet_NaN()), kOverflow, kNotUnderWine},
        {Value("32767"), 32767},
        {Value("32768"), kOverflow},
        {Value("-32768.5"), -32768},
        {Value("32767.5"), kOverflow},
        {Value("1e5"), kOverflow},
        // Hexadecimal text is a 16-bit pattern here (VarI2FromStr keeps the high bit).
        {Value("&HFFFF"), -1},
        {Value("&H8000"), -32768},
        {Value("&H7FFF"), 32767},
        {Value("&O177777"), -1},
        // Chosen here: more bits than an Integer holds is an overflow.
        {Value("&H10000"), kOverflow},
        {Value("&HFFFFFFFF"), kOverflow},
        {Value("x"), kMismatch},
        {Value(Null{}), kNullUse},
        {array_of({Value(int16_t{1})}), kMismatch},
        {Value::by_ref(ref_target(Value(int32_t{-5}))), -5},
    };
    expect_value_rows<int32_t>(rows, [](const Value& v) { return to_i2(v); });
}

TEST(ToR8, NumbersBooleansAndText) {
    const ValueRow<double> rows[] = {
        {Value(), 0.0},
        {Value(true), -1.0},
        {Value(false), 0.0},
        {Value(int16_t{-3}), -3.0},
        {Value(int32_t{INT32_MIN}), -2147483648.0},
        {Value(0.1), 0.1},
        {Value(-0.0), -0.0},
        {Value("1.5"), 1.5},
        {Value(" -2.5e-3 "), -0.0025},
        // Wine: an overflow, as with the text itself above.
        {Value("&HFFFFFFFF"), -1.0, kOverflow},
        {Value("1e400"), kOverflow},
        {Value("x"), kMismatch},
        {Value(Null{}), kNullUse},
        {array_of({}), kMismatch},
        {Value::by_ref(ref_target(Value(int16_t{9}))), 9.0},
    };
    expect_value_rows<double>(rows, [](const Value& v) { return to_r8(v); });
}

TEST(ValueAccess, ReferencesAndArrays) {
    Value target(int32_t{1});
    Value ref = Value::by_ref(target);
    Value ref_to_ref = Value::by_ref(ref);

    EXPECT_EQ(&ref.deref(), &target);
    EXPECT_EQ(&ref_to_ref.deref(), &target);
    EXPECT_EQ(&target.deref(), &target);

    // Writing through a by-reference argument reaches the caller's variable.
    ref_to_ref.deref() = Value("changed");
    EXPECT_EQ(*std::get<Text>(target.v), "changed");

    Value array = array_of({Value(int16_t{1}), Value("two")});
    Value array_ref = Value::by_ref(array);
    EXPECT_TRUE(array_ref.is_array());
    EXPECT_FALSE(array_ref.is_empty());
    ASSERT_EQ(array_ref.elements().size(), 2u);
    EXPECT_EQ(&array_ref.elements(), &array.elements());
    EXPECT_EQ(to_string(array_ref.elements()[1]), "two");

    Value empty;
    Value empty_ref = Value::by_ref(empty);
    EXPECT_TRUE(empty_ref.is_empty());

    // An array value whose storage was never allocated has no elements.
    Value unallocated;
    unallocated.v = Value::Array{};
    EXPECT_TRUE(unallocated.elements().empty());
}

TEST(ValueAccess, AnArrayMadeFromBytesReadsAsDoublesAndEndsItsByteFormWhenRead) {
    const Value command(SharedArray::of_bytes({0x00, 0x84, 0xFF}));
    const Value copy = command;
    const auto& handle = std::get<Value::Array>(copy.v);
    ASSERT_NE(handle.bytes(), nullptr);
    EXPECT_EQ(*handle.bytes(), (std::vector<uint8_t>{0x00, 0x84, 0xFF}));

    const ValueArray& elements = command.elements();
    ASSERT_EQ(elements.size(), 3u);
    EXPECT_EQ(std::get<double>(elements[1].v), 132.0);
    EXPECT_EQ(std::get<double>(elements[2].v), 255.0);
    EXPECT_EQ(&copy.elements(), &elements);
    // Elements once built may be changed through any copy; the bytes would then be stale.
    EXPECT_EQ(handle.bytes(), nullptr);
}

TEST(ValueAccess, ElementsOfANonArrayIsTypeMismatch) {
    const struct {
        std::string name;
        Value value;
    } rows[] = {
        {"empty", Value()},
        {"null", Value(Null{})},
        {"long", Value(int32_t{3})},
        {"string", Value("a,b")},
        {"reference to a string", Value::by_ref(ref_target(Value("x")))},
        {"null reference", null_reference()},
    };
    for (const auto& row : rows) {
        expect_outcome<size_t>(
            kMismatch, [&] { return row.value.elements().size(); }, row.name);
    }
}

TEST(ValueAccess, CyclicReferenceIsRejectedNotFollowedForever) {
    Value a;
    Value b = Value::by_ref(a);
    a.v = &b;
    expect_outcome<int32_t>(
        kMismatch, [&] { return to_i4(a); }, "a -> b -> a");
    expect_outcome<std::string>(
        kMismatch, [&] { return to_string(b); }, "b -> a -> b");
}

// ---------------------------------------------------------------------------------------
// Text length and rounding

TEST(CharLength, CountsUtf16CodeUnits) {
    const struct {
        std::string_view utf8;
        int32_t units;
        std::optional<int32_t> wine{};
    } rows[] = {
        {"", 0},
        {"abc", 3},
        {"a\0b"sv, 3},
        {"\xC3\xA9", 1},          // U+00E9
        {"\xE2\x82\xAC", 1},      // U+20AC
        {"\xEF\xBF\xBF", 1},      // U+FFFF
        {"\xF0\x9F\x98\x80", 2},  // U+1F600, a surrogate pair
        {"a\xF0\x9F\x98\x80"
         "b",
         4},
        {"\xF4\x8F\xBF\xBF", 2},  // U+10FFFF
        // Each byte of an invalid sequence is one character.
        {"\xFF", 1},
        {"\x80", 1},
        {"\xC3", 1},  // truncated two-byte sequence
        // Wine's MultiByteToWideChar gives one U+FFFD for the longest invalid run that
        // could have begun a sequence, so it counts fewer on the rows carrying a third.
        {"\xE2\x82", 2, 1},          // truncated three-byte sequence
        {"\xF0\x9F\x98", 3, 1},      // truncated four-byte sequence
        {"\xC0\xAF", 2},             // overlong '/'
        {"\xE0\x80\xAF", 3, 2},      // overlong '/'
        {"\xF0\x80\x80\xAF", 4, 3},  // overlong '/'
        {"\xED\xA0\x80", 3, 2},      // a surrogate encoded directly
        {"\xF4\x90\x80\x80", 4, 3},  // beyond U+10FFFF
        {"\xF5\x80\x80\x80", 4},
        {"\xF0\x9F\x98\x80\x80", 3},  // stray continuation after a pair
        {"\xE2\x82"
         "a",
         3, 2},  // sequence cut short by ASCII
    };
    for (const auto& row : rows) {
        EXPECT_EQ(char_length(row.utf8), row.wine && under_wine() ? *row.wine : row.units)
            << quoted(row.utf8);
    }
}

TEST(RoundHalfEven, TiesGoToEven) {
    const double inf = std::numeric_limits<double>::infinity();
    const struct {
        double x;
        double rounded;
    } rows[] = {
        {0.5, 0.0},
        {1.5, 2.0},
        {2.5, 2.0},
        {3.5, 4.0},
        {-0.5, -0.0},
        {-1.5, -2.0},
        {-2.5, -2.0},
        {-0.4, -0.0},
        {0.49999999999999994, 0.0},
        {2.4999999999999996, 2.0},
        {2.5000000000000004, 3.0},
        {4503599627370495.5, 4503599627370496.0},
        {4503599627370497.0, 4503599627370497.0},
        {-4503599627370495.5, -4503599627370496.0},
        {1e300, 1e300},
        {inf, inf},
        {-inf, -inf},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(show<double>(round_half_even(row.x)), show<double>(row.rounded))
            << std::setprecision(17) << row.x;
    }
    EXPECT_TRUE(std::isnan(round_half_even(std::numeric_limits<double>::quiet_NaN())));
}

}  // namespace
}  // namespace czqic
