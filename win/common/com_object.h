// The plumbing every COM object of these servers shares: the reference count, the
// server-wide counts that DllCanUnloadNow reads, QueryInterface over a list of offered
// interfaces, and a class factory.
#pragma once

#include <windows.h>

#include <ole2.h>

#include <atomic>
#include <functional>

#include "win/common/scoped.h"

namespace czqic::win {

// Objects alive and client locks held in this DLL.
class ServerCounts {
  public:
    static void object_created() { objects_.fetch_add(1); }
    static void object_destroyed() { objects_.fetch_sub(1); }
    static void lock(bool on) { on ? locks_.fetch_add(1) : locks_.fetch_sub(1); }
    static bool idle() { return objects_.load() == 0 && locks_.load() == 0; }
    static long objects() { return objects_.load(); }

  private:
    static inline std::atomic<long> objects_{0};
    static inline std::atomic<long> locks_{0};
};

// Implements IUnknown for a class deriving from the interfaces it offers. The object
// starts with one reference, owned by whoever created it.
template <class... Interfaces>
class ComObject : public Interfaces... {
  public:
    ComObject() { ServerCounts::object_created(); }
    virtual ~ComObject() { ServerCounts::object_destroyed(); }
    ComObject(const ComObject&) = delete;  // identity is the object's address
    ComObject& operator=(const ComObject&) = delete;

    STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        IUnknown* found = find_interface(iid);
        if (!found) return E_NOINTERFACE;
        found->AddRef();
        *out = found;
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return refs_.fetch_add(1) + 1; }
    STDMETHODIMP_(ULONG) Release() override {
        const ULONG left = refs_.fetch_sub(1) - 1;
        if (left == 0) delete this;
        return left;
    }

  protected:
    // The interface pointer for iid (IUnknown included), or nullptr.
    virtual IUnknown* find_interface(REFIID iid) = 0;

  private:
    std::atomic<ULONG> refs_{1};
};

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

// The module (DLL or EXE) this code is linked into.
HMODULE this_module();

}  // namespace czqic::win
