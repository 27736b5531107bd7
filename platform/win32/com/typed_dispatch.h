// IDispatch written once for every object here that implements it, a server's or a
// client's own (a site, an event sink): the naming half answered from the one type
// description the object dispatches through, Invoke left to the object. An object that
// describes nothing names no type information and knows no names.
#pragma once

#include <windows.h>

#include <oaidl.h>
#include <oleauto.h>

#include "platform/dispatch.h"
#include "platform/win32/com/error.h"
#include "platform/win32/com/object.h"

namespace czqic::win {

template <class Interface = IDispatch>
class TypedDispatch : public Interface {
  public:
    STDMETHODIMP GetTypeInfoCount(UINT* count) override {
        return com_boundary(dispatch_origin(), nullptr, [&] {
            if (!count) return E_POINTER;
            *count = dispatch_info() ? 1 : 0;
            return S_OK;
        });
    }
    STDMETHODIMP GetTypeInfo(UINT index, LCID, ITypeInfo** out) override {
        return com_boundary(dispatch_origin(), nullptr, [&] {
            ITypeInfo* info = dispatch_info();
            if (!info) return hand_out_nothing(out, E_NOTIMPL);
            if (!out) return E_POINTER;
            *out = nullptr;
            if (index != 0) return DISP_E_BADINDEX;
            info->AddRef();
            *out = info;
            return S_OK;
        });
    }
    STDMETHODIMP GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, LCID,
                               DISPID* ids) override {
        return com_boundary(dispatch_origin(), nullptr, [&] {
            ITypeInfo* info = dispatch_info();
            if (!info) return DISP_E_UNKNOWNNAME;
            if (iid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
            return DispGetIDsOfNames(info, names, count, ids);
        });
    }

  protected:
    // The description Invoke follows (nullptr: none); the object keeps the reference.
    virtual ITypeInfo* dispatch_info() = 0;
    // Who answers for the calls above, and which thread may make them: any, unless the
    // object belongs to one (its Invoke should then use the same origin).
    virtual ErrorOrigin dispatch_origin() { return {IID_IDispatch, nullptr}; }
};

// What an IDispatch::Invoke's flags ask for.
inline InvokeKind invoke_kind(WORD flags) {
    if (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) return InvokeKind::PropertyPut;
    if (flags & DISPATCH_METHOD) return InvokeKind::Method;
    return InvokeKind::PropertyGet;
}

}  // namespace czqic::win
