// Automation value conversions on Windows: every coercion is OLE Automation's own
// (VariantChangeTypeEx, VarI4FromStr, VarR8FromStr) in the user's locale, so the
// component converts exactly as Visual Basic code on the same machine would.
#include <windows.h>

#include <oleauto.h>

#include <cmath>
#include <limits>
#include <string>
#include <variant>

#include "platform/automation.h"
#include "win/common/com_error.h"
#include "win/common/convert.h"

namespace czqic {

std::string runtime_error_description(int32_t number) {
    switch (number) {
        case rt_error::kOverflow:
            return "Overflow";
        case 7:
            return "Out of memory";
        case rt_error::kSubscriptOutOfRange:
            return "Subscript out of range";
        case rt_error::kTypeMismatch:
            return "Type mismatch";
        case rt_error::kInvalidUseOfNull:
            return "Invalid use of Null";
        case rt_error::kCannotCreateObject:
            return "ActiveX component can't create object";
        case rt_error::kNoSuchMember:
            return "Object doesn't support this property or method";
        default:
            return "Application-defined or object-defined error";
    }
}

namespace {

// Unsigned arithmetic so that any number yields an HRESULT without signed overflow.
uint32_t hresult_of(int32_t number) {
    return 0x800A0000u + static_cast<uint32_t>(number);
}

constexpr int kMaxReferenceHops = 64;

const ValueArray& empty_array() {
    static const ValueArray empty;
    return empty;
}

// The run-time error a failed coercion raises, as Visual Basic maps the HRESULT.
[[noreturn]] void raise_conversion_failure(HRESULT hr) {
    switch (hr) {
        case DISP_E_OVERFLOW:
            raise_runtime_error(rt_error::kOverflow);
        case E_OUTOFMEMORY:
            raise_runtime_error(7);
        case DISP_E_TYPEMISMATCH:
        case DISP_E_BADVARTYPE:
            raise_runtime_error(rt_error::kTypeMismatch);
        default:
            throw AutomationError(win::error_number(hr), static_cast<uint32_t>(hr),
                                  win::hresult_description(hr));
    }
}

const Value& target_of(const Value& value) {
    const Value& target = value.deref();
    if (std::holds_alternative<Value::Ref>(target.v) ||
        std::holds_alternative<Value::Array>(target.v))
        raise_runtime_error(rt_error::kTypeMismatch);
    if (std::holds_alternative<Null>(target.v)) raise_runtime_error(rt_error::kInvalidUseOfNull);
    return target;
}

// The value coerced to type by VariantChangeTypeEx in the user's locale.
win::ScopedVariant coerced(const Value& value, VARTYPE type, USHORT flags = 0) {
    win::ScopedVariant source = win::to_variant(target_of(value));
    win::ScopedVariant result;
    const HRESULT hr =
        VariantChangeTypeEx(result.out(), source.ptr(), LOCALE_USER_DEFAULT, flags, type);
    if (FAILED(hr)) raise_conversion_failure(hr);
    return result;
}

}  // namespace

void raise_runtime_error(int32_t number) {
    throw AutomationError(number, hresult_of(number), runtime_error_description(number));
}

void raise_runtime_error(int32_t number, std::string description) {
    throw AutomationError(number, hresult_of(number), std::move(description));
}

const Value& Value::deref() const {
    const Value* current = this;
    for (int hops = 0; hops < kMaxReferenceHops; ++hops) {
        const Ref* ref = std::get_if<Ref>(&current->v);
        if (ref == nullptr || *ref == nullptr) break;
        current = *ref;
    }
    return *current;
}

Value& Value::deref() {
    return const_cast<Value&>(static_cast<const Value&>(*this).deref());
}

const ValueArray& Value::elements() const {
    const Array* array = std::get_if<Array>(&deref().v);
    if (array == nullptr) raise_runtime_error(rt_error::kTypeMismatch);
    return *array ? **array : empty_array();
}

std::string to_string(const Value& value) {
    // Booleans read "True" and "False", as Visual Basic's CStr gives them.
    auto text = coerced(value, VT_BSTR, VARIANT_ALPHABOOL);
    return win::narrow_bstr(V_BSTR(&text.get()));
}

bool to_bool(const Value& value) {
    return V_BOOL(&coerced(value, VT_BOOL).get()) != VARIANT_FALSE;
}

int16_t to_i2(const Value& value) {
    return V_I2(&coerced(value, VT_I2).get());
}

int32_t to_i4(const Value& value) {
    return V_I4(&coerced(value, VT_I4).get());
}

double to_r8(const Value& value) {
    return V_R8(&coerced(value, VT_R8).get());
}

int32_t str_to_i4(std::string_view text) {
    // A BSTR reaches the parser as a C string: whatever follows an embedded NUL is unseen.
    const std::wstring wide = win::widen(text.substr(0, text.find('\0')));
    LONG result = 0;
    const HRESULT hr =
        VarI4FromStr(const_cast<OLECHAR*>(wide.c_str()), LOCALE_USER_DEFAULT, 0, &result);
    if (FAILED(hr)) raise_conversion_failure(hr);
    return result;
}

double str_to_r8(std::string_view text) {
    const std::wstring wide = win::widen(text.substr(0, text.find('\0')));
    double result = 0;
    const HRESULT hr =
        VarR8FromStr(const_cast<OLECHAR*>(wide.c_str()), LOCALE_USER_DEFAULT, 0, &result);
    if (FAILED(hr)) raise_conversion_failure(hr);
    return result;
}

int32_t char_length(std::string_view utf8) {
    if (utf8.empty()) return 0;
    const int units = MultiByteToWideChar(
        CP_UTF8, 0, utf8.data(),
        static_cast<int>(std::min<size_t>(utf8.size(), std::numeric_limits<int>::max())), nullptr,
        0);
    return units;
}

double round_half_even(double x) {
    if (!std::isfinite(x)) return x;
    const double below = std::floor(x);
    const double fraction = x - below;
    double result = below;
    if (fraction > 0.5 || (fraction == 0.5 && std::fmod(below, 2.0) != 0.0)) result = below + 1.0;
    return result == 0.0 ? std::copysign(0.0, x) : result;
}

}  // namespace czqic
