// The plumbing every COM object here shares, a server's or a client's own (a site, an
// event sink): the reference count, the module-wide counts that DllCanUnloadNow reads,
// QueryInterface over a list of offered interfaces, and the answer of a call that hands
// out nothing.
#pragma once

#include <windows.h>

#include <ole2.h>

#include <atomic>

#include "platform/win32/scoped.h"

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

// For a call that hands nothing out: clears the caller's out-parameter and answers hr.
template <class T>
HRESULT hand_out_nothing(T** out, HRESULT hr) {
    if (out) *out = nullptr;
    return hr;
}

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

}  // namespace czqic::win
