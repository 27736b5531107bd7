// A server's class objects: the factory DllGetClassObject hands out, creating one class's
// objects and counting the client's locks on the server.
#pragma once

#include <windows.h>

#include <ole2.h>

#include "platform/win32/com/error.h"
#include "platform/win32/com/object.h"
#include "platform/win32/com/server_registration.h"

namespace czqic::win {

// Hands out a new reference of the object's interface iid and drops the creator's own.
template <class T>
HRESULT hand_out(T* fresh, REFIID iid, void** out) {
    return ComPtr<T>::adopt(fresh)->QueryInterface(iid, out);
}

class ClassFactory final : public ComObject<IClassFactory> {
  public:
    explicit ClassFactory(const ServerClass& made) : made_(made) {}

    // A creation that throws or whose object lacks iid fails with its error information,
    // from the class's ProgID.
    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (outer) return CLASS_E_NOAGGREGATION;
        return com_boundary({IID_IClassFactory, made_.progid}, nullptr,
                            [&] { check(made_.create(iid, out), made_.name); });
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
    const ServerClass& made_;
};

}  // namespace czqic::win
