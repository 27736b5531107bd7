#include "platform/win32/com/convert.h"

#include <limits>
#include <type_traits>
#include <variant>

#include "platform/win32/com/error.h"

namespace czqic::win {
namespace {

[[noreturn]] void type_mismatch() {
    raise_runtime_error(rt_error::kTypeMismatch);
}

Value integer_value(int64_t x) {
    if (x >= std::numeric_limits<int32_t>::min() && x <= std::numeric_limits<int32_t>::max())
        return Value(static_cast<int32_t>(x));
    return Value(static_cast<double>(x));
}

Value double_of(const VARIANT& var) {
    VARIANT converted;
    VariantInit(&converted);
    check(VariantChangeType(&converted, const_cast<VARIANT*>(&var), 0, VT_R8),
          "converting a number");
    return Value(V_R8(&converted));
}

Value array_value(SAFEARRAY* array, VARTYPE element_type) {
    if (!array) return Value(ValueArray{});
    // Visual Basic arrays handed to the component are one-dimensional; anything else
    // has no meaning here.
    if (SafeArrayGetDim(array) != 1) type_mismatch();
    LONG lower = 0, upper = -1;
    check(SafeArrayGetLBound(array, 1, &lower), "reading an array");
    check(SafeArrayGetUBound(array, 1, &upper), "reading an array");
    ValueArray items;
    if (upper >= lower) items.reserve(static_cast<size_t>(upper - lower + 1));
    for (LONG i = lower; i <= upper; ++i) {
        ScopedVariant element;
        if (element_type == VT_VARIANT) {
            check(SafeArrayGetElement(array, &i, element.out()), "reading an array element");
        } else {
            if (element_type == VT_DECIMAL || element_type == VT_RECORD) type_mismatch();
            // Every other element type fits the VARIANT's value union, which starts at
            // the same address whatever member it is read as.
            VARIANT* raw = element.out();
            check(SafeArrayGetElement(array, &i, &V_I8(raw)), "reading an array element");
            V_VT(raw) = element_type;
        }
        items.push_back(variant_to_value(element.get()));
    }
    return Value(std::move(items));
}

void assign_through(VARIANT& reference, const Value& value) {
    const VARTYPE target = V_VT(&reference) & ~VT_BYREF;
    ScopedVariant fresh = to_variant(value);
    if (target == VT_VARIANT) {
        VariantClear(V_VARIANTREF(&reference));
        fresh.release_to(V_VARIANTREF(&reference));
        return;
    }
    ScopedVariant converted;
    if (target == (VT_ARRAY | VT_VARIANT)) {
        if (fresh.type() != target) type_mismatch();
        converted = std::move(fresh);
    } else {
        check(VariantChangeType(converted.out(), fresh.ptr(), 0, target),
              "returning a by-reference argument");
    }
    VARIANT plain;
    converted.release_to(&plain);
    switch (target) {
        case VT_BSTR:
            SysFreeString(*V_BSTRREF(&reference));
            *V_BSTRREF(&reference) = V_BSTR(&plain);
            return;
        case VT_ARRAY | VT_VARIANT:
            if (*V_ARRAYREF(&reference)) SafeArrayDestroy(*V_ARRAYREF(&reference));
            *V_ARRAYREF(&reference) = V_ARRAY(&plain);
            return;
        case VT_I2:
            *V_I2REF(&reference) = V_I2(&plain);
            return;
        case VT_I4:
            *V_I4REF(&reference) = V_I4(&plain);
            return;
        case VT_R8:
            *V_R8REF(&reference) = V_R8(&plain);
            return;
        case VT_BOOL:
            *V_BOOLREF(&reference) = V_BOOL(&plain);
            return;
        default:
            // Types the component never passes by reference keep the caller's value.
            VariantClear(&plain);
            return;
    }
}

// An array of Variants holding each byte as a Double, written in place: the elements of
// a new vector are Empty, and nothing here can fail half-way.
ScopedSafeArray byte_values_array(const std::vector<uint8_t>& bytes) {
    ScopedSafeArray array(SafeArrayCreateVector(VT_VARIANT, 0, static_cast<ULONG>(bytes.size())));
    if (!array.get()) throw std::bad_alloc();
    void* data = nullptr;
    check(SafeArrayAccessData(array.get(), &data), "building an array");
    auto* elements = static_cast<VARIANT*>(data);
    for (size_t i = 0; i < bytes.size(); ++i) {
        V_VT(&elements[i]) = VT_R8;
        V_R8(&elements[i]) = bytes[i];
    }
    SafeArrayUnaccessData(array.get());
    return array;
}

ScopedSafeArray values_array(const Value::Array& items) {
    const ValueArray* elements = items ? &*items : nullptr;
    const size_t count = elements ? elements->size() : 0;
    ScopedSafeArray array(SafeArrayCreateVector(VT_VARIANT, 0, static_cast<ULONG>(count)));
    if (!array.get()) throw std::bad_alloc();
    for (size_t i = 0; i < count; ++i) {
        ScopedVariant element = to_variant((*elements)[i]);
        LONG index = static_cast<LONG>(i);
        check(SafeArrayPutElement(array.get(), &index, element.ptr()), "building an array");
    }
    return array;
}

}  // namespace

std::wstring widen(std::string_view utf8) {
    if (utf8.empty()) return {};
    const int size = static_cast<int>(utf8.size());
    const int length = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), size, nullptr, 0);
    std::wstring wide(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), size, wide.data(), length);
    return wide;
}

std::string narrow(const wchar_t* text, size_t length) {
    if (!text || length == 0) return {};
    const int size = static_cast<int>(length);
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, text, size, nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, size, utf8.data(), bytes, nullptr, nullptr);
    return utf8;
}

std::string narrow(std::wstring_view text) {
    return narrow(text.data(), text.size());
}

std::string narrow_bstr(BSTR text) {
    return narrow(text, text ? SysStringLen(text) : 0);
}

ScopedBstr make_bstr(std::string_view utf8) {
    const std::wstring wide = widen(utf8);
    ScopedBstr bstr(wide.data(), static_cast<UINT>(wide.size()));
    if (!bstr.get()) throw std::bad_alloc();
    return bstr;
}

std::wstring guid_text(const GUID& guid) {
    wchar_t text[40] = {};
    StringFromGUID2(guid, text, 40);
    return text;
}

void value_to_variant(const Value& value, VARIANT* out) {
    VariantInit(out);
    const Value& target = value.deref();
    std::visit(
        [out](const auto& x) {
            using T = std::decay_t<decltype(x)>;
            if constexpr (std::is_same_v<T, Empty>) {
                V_VT(out) = VT_EMPTY;
            } else if constexpr (std::is_same_v<T, Null>) {
                V_VT(out) = VT_NULL;
            } else if constexpr (std::is_same_v<T, int16_t>) {
                V_VT(out) = VT_I2;
                V_I2(out) = x;
            } else if constexpr (std::is_same_v<T, int32_t>) {
                V_VT(out) = VT_I4;
                V_I4(out) = x;
            } else if constexpr (std::is_same_v<T, double>) {
                V_VT(out) = VT_R8;
                V_R8(out) = x;
            } else if constexpr (std::is_same_v<T, bool>) {
                V_VT(out) = VT_BOOL;
                V_BOOL(out) = x ? VARIANT_TRUE : VARIANT_FALSE;
            } else if constexpr (std::is_same_v<T, Text>) {
                V_BSTR(out) = make_bstr(*x).release();
                V_VT(out) = VT_BSTR;
            } else if constexpr (std::is_same_v<T, Value::Array>) {
                const auto* bytes = x.bytes();
                V_ARRAY(out) = (bytes ? byte_values_array(*bytes) : values_array(x)).release();
                V_VT(out) = VT_ARRAY | VT_VARIANT;
            } else {
                // A reference that deref() could not follow leads nowhere.
                type_mismatch();
            }
        },
        target.v);
}

ScopedVariant to_variant(const Value& value) {
    ScopedVariant var;
    value_to_variant(value, var.out());
    return var;
}

Value variant_to_value(const VARIANT& var) {
    if (V_VT(&var) & VT_BYREF) {
        ScopedVariant plain;
        check(VariantCopyInd(plain.out(), const_cast<VARIANT*>(&var)), "reading a reference");
        return variant_to_value(plain.get());
    }
    if (V_VT(&var) & VT_ARRAY) return array_value(V_ARRAY(&var), V_VT(&var) & VT_TYPEMASK);
    switch (V_VT(&var)) {
        case VT_EMPTY:
            return Value();
        case VT_NULL:
            return Value(Null{});
        case VT_I2:
            return Value(V_I2(&var));
        case VT_I4:
            return Value(static_cast<int32_t>(V_I4(&var)));
        case VT_INT:
            return Value(static_cast<int32_t>(V_INT(&var)));
        case VT_I1:
            return Value(static_cast<int32_t>(V_I1(&var)));
        case VT_UI1:
            return Value(static_cast<int32_t>(V_UI1(&var)));
        case VT_UI2:
            return Value(static_cast<int32_t>(V_UI2(&var)));
        case VT_UI4:
            return integer_value(V_UI4(&var));
        case VT_UINT:
            return integer_value(V_UINT(&var));
        case VT_I8:
            return integer_value(V_I8(&var));
        case VT_UI8:
            return V_UI8(&var) > static_cast<ULONGLONG>(std::numeric_limits<int64_t>::max())
                       ? Value(static_cast<double>(V_UI8(&var)))
                       : integer_value(static_cast<int64_t>(V_UI8(&var)));
        case VT_R8:
            return Value(V_R8(&var));
        case VT_R4:
        case VT_CY:
        case VT_DATE:
        case VT_DECIMAL:
            return double_of(var);
        case VT_BOOL:
            return Value(V_BOOL(&var) != VARIANT_FALSE);
        case VT_BSTR:
            return Value(narrow_bstr(V_BSTR(&var)));
        case VT_ERROR:
            // An optional argument the caller left out.
            if (V_ERROR(&var) == DISP_E_PARAMNOTFOUND) return Value();
            return Value(static_cast<int32_t>(V_ERROR(&var)));
        default:
            type_mismatch();
    }
}

OutgoingArgs::OutgoingArgs(std::span<Value> args, bool property_put)
    : args_(args), backing_(args.size()), slots_(args.size()) {
    for (size_t i = 0; i < args.size(); ++i) {
        backing_[i] = to_variant(args[i]);
        VARIANT& slot = slots_[args.size() - 1 - i];
        VariantInit(&slot);
        if (!std::holds_alternative<Value::Ref>(args[i].v)) {
            slot = backing_[i].get();  // borrowed: backing_ keeps ownership
            continue;
        }
        VARIANT* held = backing_[i].ptr();
        switch (V_VT(held)) {
            case VT_BSTR:
                V_VT(&slot) = VT_BYREF | VT_BSTR;
                V_BSTRREF(&slot) = &V_BSTR(held);
                break;
            case VT_I2:
                V_VT(&slot) = VT_BYREF | VT_I2;
                V_I2REF(&slot) = &V_I2(held);
                break;
            case VT_I4:
                V_VT(&slot) = VT_BYREF | VT_I4;
                V_I4REF(&slot) = &V_I4(held);
                break;
            case VT_R8:
                V_VT(&slot) = VT_BYREF | VT_R8;
                V_R8REF(&slot) = &V_R8(held);
                break;
            case VT_BOOL:
                V_VT(&slot) = VT_BYREF | VT_BOOL;
                V_BOOLREF(&slot) = &V_BOOL(held);
                break;
            case VT_ARRAY | VT_VARIANT:
                V_VT(&slot) = VT_BYREF | VT_ARRAY | VT_VARIANT;
                V_ARRAYREF(&slot) = &V_ARRAY(held);
                break;
            default:
                V_VT(&slot) = VT_BYREF | VT_VARIANT;
                V_VARIANTREF(&slot) = held;
                break;
        }
    }
    params_.rgvarg = slots_.empty() ? nullptr : slots_.data();
    params_.cArgs = static_cast<UINT>(slots_.size());
    if (property_put) {
        params_.rgdispidNamedArgs = &put_id_;
        params_.cNamedArgs = 1;
    }
}

void OutgoingArgs::write_back() {
    for (size_t i = 0; i < args_.size(); ++i) {
        if (!std::holds_alternative<Value::Ref>(args_[i].v)) continue;
        args_[i].deref() = variant_to_value(backing_[i].get());
    }
}

IncomingArgs::IncomingArgs(const DISPPARAMS* params) : params_(params) {
    const size_t count = params ? params->cArgs : 0;
    // Sized once: the by-reference Values point into storage_.
    storage_.resize(count);
    values_.resize(count);
    for (size_t i = 0; i < count; ++i) {
        const VARIANT& var = params->rgvarg[count - 1 - i];
        storage_[i] = variant_to_value(var);
        values_[i] = (V_VT(&var) & VT_BYREF) ? Value::by_ref(storage_[i]) : storage_[i];
    }
}

void IncomingArgs::write_back() {
    const size_t count = storage_.size();
    for (size_t i = 0; i < count; ++i) {
        VARIANT& var = params_->rgvarg[count - 1 - i];
        if (V_VT(&var) & VT_BYREF) assign_through(var, storage_[i]);
    }
}

}  // namespace czqic::win
