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
#include "platform/win32/com/convert.h"
#include "platform/win32/com/error.h"

namespace czqic {
namespace {

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

// Text read by one of OLE Automation's VarXxxFromStr in the user's locale. A BSTR
// reaches the parser as a C string: whatever follows an embedded NUL is unseen.
template <class T, class Parse>
T parsed(std::string_view text, Parse parse) {
    const std::wstring wide = win::widen(text.substr(0, text.find('\0')));
    T result{};
    const HRESULT hr = parse(const_cast<OLECHAR*>(wide.c_str()), LOCALE_USER_DEFAULT, 0, &result);
    if (FAILED(hr)) raise_conversion_failure(hr);
    return result;
}

}  // namespace

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
    return parsed<LONG>(text, VarI4FromStr);
}

double str_to_r8(std::string_view text) {
    return parsed<double>(text, VarR8FromStr);
}

int32_t char_length(std::string_view utf8) {
    if (utf8.empty()) return 0;
    const int units = MultiByteToWideChar(
        CP_UTF8, 0, utf8.data(),
        static_cast<int>(std::min<size_t>(utf8.size(), std::numeric_limits<int>::max())), nullptr,
        0);
    return units;
}

}  // namespace czqic
