// A server's class objects: the factory DllGetClassObject hands out, creating one class's
// objects and counting the client's locks on the server.
#pragma once

#include <windows.h>

#include <ole2.h>

#include <functional>

#include "platform/win32/com/object.h"

namespace czqic::win {

// Hands out a new reference of the object's interface iid and drops the creator's own.
template <class T>
HRESULT hand_out(T* fresh, REFIID iid, void** out) {
    const HRESULT hr = fresh->QueryInterface(iid, out);
    fresh->Release();
    return hr;
}

class ClassFactory final : public ComObject<IClassFactory> {
  public:
    using Create = std::function<HRESULT(REFIID iid, void** out)>;
    explicit ClassFactory(Create create) : create_(std::move(create)) {}

    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (outer) return CLASS_E_NOAGGREGATION;
        return create_(iid, out);
    }
    STDMETHODIMP LockServer(BOOL lock) override {
        ServerCounts::lock(lock != FALSE);
        return S_OK;
    }

  private:
    IUnknown* find_interface(REFIID iid) override {
        if (iid == IID_IUnknown || iid == IID_IClassFactory) return this;
        return nullptr;
    }
    Create create_;
};

}  // namespace czqic::win
