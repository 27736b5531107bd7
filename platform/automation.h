// Automation values and the conversions between them, as the component meets them in
// OLE Automation: a tagged value, the run-time error that a failed conversion or call
// raises, and the handful of coercions the component performs.
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace czqic {

// A run-time error as Visual Basic and IDispatch report it: the error number the
// caller's error trap sees, the HRESULT the call fails with, and the description.
class AutomationError : public std::runtime_error {
  public:
    AutomationError(int32_t number, uint32_t hresult, std::string description)
        : std::runtime_error(description),
          number_(number),
          hresult_(hresult),
          description_(std::move(description)) {}

    int32_t number() const { return number_; }
    uint32_t hresult() const { return hresult_; }
    const std::string& description() const { return description_; }

  private:
    int32_t number_;
    uint32_t hresult_;
    std::string description_;
};

// The run-time errors the component itself raises; their HRESULT is 0x800A0000 + number.
namespace rt_error {
inline constexpr int32_t kOverflow = 6;              // "Overflow"
inline constexpr int32_t kTypeMismatch = 13;         // "Type mismatch"
inline constexpr int32_t kInvalidUseOfNull = 94;     // "Invalid use of Null"
inline constexpr int32_t kCannotCreateObject = 429;  // "ActiveX component can't create object"
inline constexpr int32_t kNoSuchMember = 438;  // "Object doesn't support this property or method"
inline constexpr int32_t kSubscriptOutOfRange = 9;  // "Subscript out of range"
}  // namespace rt_error

// Raises the numbered run-time error with its standard description.
[[noreturn]] void raise_runtime_error(int32_t number);
// Raises the numbered run-time error with a description of the caller's own.
[[noreturn]] void raise_runtime_error(int32_t number, std::string description);
// The standard description of a run-time error number ("Overflow" for 6).
std::string runtime_error_description(int32_t number);

// Failure codes of late-bound calls, as IDispatch reports them.
inline constexpr uint32_t kEFail = 0x80004005u;
inline constexpr uint32_t kDispEMemberNotFound = 0x80020003u;
inline constexpr uint32_t kDispEBadParamCount = 0x8002000Eu;
inline constexpr uint32_t kEInvalidArg = 0x80070057u;

// How a control reached by late binding (the card reader's, or a stand-in for it) fails
// a member: with an HRESULT of its own and a description, the HRESULT being the number
// a caller's error trap sees (E_FAIL, E_INVALIDARG); or, for an unknown member and a
// member given the wrong number of arguments, as Visual Basic reports those (438, 450).
[[noreturn]] void raise_failure(std::string description);
[[noreturn]] void raise_invalid_argument(std::string description);
[[noreturn]] void raise_member_not_found();
[[noreturn]] void raise_bad_param_count();

struct Value;
using ValueArray = std::vector<Value>;

struct Empty {
    bool operator==(const Empty&) const = default;
};
struct Null {
    bool operator==(const Null&) const = default;
};

// A String value's text. It lives on the heap so that every value stays two words wide:
// an array of sixteen thousand numbers is then 256 KB to build and walk, not 640 KB.
// Copies copy the text, as copying a BSTR does; a moved-from holder reads as "".
class Text {
  public:
    Text(std::string text) : text_(std::make_unique<std::string>(std::move(text))) {}
    Text(const Text& other) : Text(*other) {}
    Text(Text&&) noexcept = default;
    Text& operator=(const Text& other) {
        if (this != &other) text_ = std::make_unique<std::string>(*other);
        return *this;
    }
    Text& operator=(Text&&) noexcept = default;
    ~Text() = default;

    const std::string& operator*() const { return text_ ? *text_ : empty(); }
    const std::string* operator->() const { return &**this; }
    std::string& operator*() {
        if (!text_) text_ = std::make_unique<std::string>();
        return *text_;
    }
    std::string* operator->() { return &**this; }
    friend bool operator==(const Text& a, const Text& b) { return *a == *b; }

  private:
    static const std::string& empty();
    std::unique_ptr<std::string> text_;
};

// An array value's elements, shared by every copy of the value (a one-word handle, for
// the same reason as Text). A null handle is an array that was never allocated.
//
// An array of byte values held as Doubles (a chip command) can be made from the bytes
// alone: sixteen thousand of them are then 16 KB to build and free, not 256 KB of
// values. Each byte reads as a Double element. Readers that know the form take bytes();
// the first use of the elements as values builds them, once, and ends the byte form.
class SharedArray {
  public:
    SharedArray() = default;
    explicit SharedArray(ValueArray items);
    static SharedArray of_bytes(std::vector<uint8_t> bytes);
    SharedArray(const SharedArray& other) noexcept;
    SharedArray(SharedArray&& other) noexcept : block_(std::exchange(other.block_, nullptr)) {}
    SharedArray& operator=(SharedArray other) noexcept {
        std::swap(block_, other.block_);
        return *this;
    }
    ~SharedArray();

    ValueArray& operator*() const;
    ValueArray* operator->() const { return &**this; }
    explicit operator bool() const { return block_ != nullptr; }
    // The byte values of an array made from bytes whose elements nobody has used as
    // values yet; null otherwise (then read the elements).
    const std::vector<uint8_t>* bytes() const;
    // The same array, as two handles to one safe array are equal.
    friend bool operator==(const SharedArray& a, const SharedArray& b) {
        return a.block_ == b.block_;
    }

  private:
    struct Block;
    Block* block_ = nullptr;
};

// A VARIANT: Empty, Null, 16-bit Integer, Long, Double, Boolean, String, an array of
// values, or a reference to a value held elsewhere (an argument passed by reference).
// Strings hold UTF-8; a null BSTR is simply the empty string here.
struct Value {
    using Array = SharedArray;
    using Ref = Value*;
    std::variant<Empty, Null, int16_t, int32_t, double, bool, Text, Array, Ref> v;

    Value() = default;
    Value(int16_t x) : v(x) {}
    Value(int32_t x) : v(x) {}
    Value(double x) : v(x) {}
    Value(bool x) : v(x) {}
    Value(std::string x) : v(Text(std::move(x))) {}
    Value(const char* x) : v(Text(std::string(x))) {}
    Value(Null x) : v(x) {}
    Value(ValueArray items) : v(SharedArray(std::move(items))) {}
    Value(SharedArray items) : v(std::move(items)) {}
    static Value by_ref(Value& target) {
        Value r;
        r.v = &target;
        return r;
    }

    // The value itself, following a by-reference argument to what it refers to.
    const Value& deref() const;
    Value& deref();

    bool is_empty() const { return std::holds_alternative<Empty>(deref().v); }
    bool is_array() const { return std::holds_alternative<Array>(deref().v); }
    // The text of a String value, without following references; null for other types.
    const std::string* text_if() const {
        const Text* text = std::get_if<Text>(&v);
        return text ? &**text : nullptr;
    }
    std::string* text_if() {
        Text* text = std::get_if<Text>(&v);
        return text ? &**text : nullptr;
    }
    // The elements of an array value; raises type mismatch for anything else.
    const ValueArray& elements() const;
};

// Coercions with Visual Basic semantics (en-US locale). Each raises AutomationError.
// Value to String: numbers as plain decimal text, Empty as "", Booleans as "True"/"False".
std::string to_string(const Value& value);
// Value to Boolean: numbers are True when non-zero; "True"/"False" and numeric text.
bool to_bool(const Value& value);
// Value to 16-bit Integer: fractions round half to even; out of range raises Overflow.
int16_t to_i2(const Value& value);
// Value to Long, by the same rules.
int32_t to_i4(const Value& value);
// Value to Double.
double to_r8(const Value& value);
// String to Long by VarI4FromStr rules for the en-US locale: surrounding blanks, signs
// (leading, trailing or in parentheses), thousands separators, a decimal point, an
// exponent, "&H" hexadecimal and "&O" octal; fractions round half to even. Text that is
// not a number raises Type mismatch, a number outside the Long range raises Overflow.
int32_t str_to_i4(std::string_view text);
// String to Double by the same parsing rules.
double str_to_r8(std::string_view text);

// Length in characters as a BSTR counts them (UTF-16 code units).
int32_t char_length(std::string_view utf8);

// Round half to even, as every Automation integer conversion does.
double round_half_even(double x);

}  // namespace czqic
