// Moving values across the COM boundary: UTF-8 text to and from BSTRs, automation Values
// to and from VARIANTs, and the argument lists of IDispatch::Invoke in both directions
// (reversed order, by-reference arguments written back after the call).
#pragma once

#include <windows.h>

#include <oaidl.h>

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/automation.h"
#include "platform/win32/scoped.h"

namespace czqic::win {

std::wstring widen(std::string_view utf8);
std::string narrow(const wchar_t* text, size_t length);
std::string narrow(std::wstring_view text);
// A null BSTR reads as the empty string.
std::string narrow_bstr(BSTR text);
ScopedBstr make_bstr(std::string_view utf8);
// "{xxxxxxxx-xxxx-...}", as the registry writes class and library identifiers.
std::wstring guid_text(const GUID& guid);

// Fills an empty VARIANT; arrays become SAFEARRAYs of VARIANT with lower bound 0, a
// by-reference Value is passed as what it refers to.
void value_to_variant(const Value& value, VARIANT* out);
ScopedVariant to_variant(const Value& value);
// What the VARIANT holds, following a by-reference VARIANT. Integer types without a
// Value alternative become Long (or Double past its range), the other numbers Double;
// a missing optional argument is Empty. Objects raise Type mismatch.
Value variant_to_value(const VARIANT& var);

// The arguments of an outgoing IDispatch::Invoke, built from Values in call order.
// A by-reference Value is passed as a typed reference (VT_BYREF | VT_BSTR for a String,
// as Visual Basic passes a String variable) and gets the callee's changes back.
class OutgoingArgs {
  public:
    OutgoingArgs(std::span<Value> args, bool property_put);
    OutgoingArgs(const OutgoingArgs&) = delete;  // the DISPPARAMS point into this object
    OutgoingArgs& operator=(const OutgoingArgs&) = delete;

    DISPPARAMS* params() { return &params_; }
    // Copies what the callee left in by-reference arguments back into their targets.
    void write_back();

  private:
    std::span<Value> args_;
    std::vector<ScopedVariant> backing_;  // one per argument, call order
    std::vector<VARIANT> slots_;          // reversed, as DISPPARAMS wants them
    DISPID put_id_ = DISPID_PROPERTYPUT;
    DISPPARAMS params_{};
};

// The arguments of an incoming IDispatch::Invoke as Values in call order. By-reference
// VARIANTs arrive as by-reference Values over private copies; write_back() stores the
// copies' final values in the caller's variables.
class IncomingArgs {
  public:
    explicit IncomingArgs(const DISPPARAMS* params);
    IncomingArgs(const IncomingArgs&) = delete;  // the Values refer into this object
    IncomingArgs& operator=(const IncomingArgs&) = delete;

    std::span<Value> values() { return values_; }
    void write_back();

  private:
    const DISPPARAMS* params_;
    std::vector<Value> storage_;
    std::vector<Value> values_;
};

}  // namespace czqic::win
