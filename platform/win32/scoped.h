// Owners for the Windows resources the COM side handles: interface pointers, BSTRs,
// VARIANTs and EXCEPINFOs (which carry more than a release), then, as the one generic owner
// (platform/unique_resource.h), safe arrays, registry keys, modules, windows, system
// buffers, handles, directory searches and type descriptions; last, locks held and the COM
// apartment. Each holds its raw value, releases it exactly once, and cannot be copied.
#pragma once

#include <windows.h>

#include <oaidl.h>
#include <ocidl.h>
#include <ole2.h>
#include <oleauto.h>
#include <olectl.h>

#include <utility>

#include "platform/unique_resource.h"

namespace czqic::win {

// One counted reference to a COM interface.
template <class T>
class ComPtr {
  public:
    ComPtr() = default;
    // Adopts a reference the caller already counted (an out-parameter's result).
    static ComPtr adopt(T* raw) {
        ComPtr p;
        p.ptr_ = raw;
        return p;
    }
    // Takes a reference of its own on a pointer the caller keeps.
    static ComPtr share(T* raw) {
        if (raw) raw->AddRef();
        return adopt(raw);
    }
    ComPtr(ComPtr&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
    ComPtr& operator=(ComPtr&& other) noexcept {
        if (this != &other) reset(std::exchange(other.ptr_, nullptr));
        return *this;
    }
    ComPtr(const ComPtr&) = delete;  // owns one reference; share() makes another
    ComPtr& operator=(const ComPtr&) = delete;
    ~ComPtr() { reset(); }

    T* get() const { return ptr_; }
    T* operator->() const { return ptr_; }
    explicit operator bool() const { return ptr_ != nullptr; }
    ComPtr copy() const { return share(ptr_); }
    void reset(T* adopted = nullptr) {
        if (ptr_) ptr_->Release();
        ptr_ = adopted;
    }
    // Hands the reference to the caller (an out-parameter being filled).
    T* release() { return std::exchange(ptr_, nullptr); }
    // For an out-parameter: drops what is held first.
    T** out() {
        reset();
        return &ptr_;
    }
    void** out_void() { return reinterpret_cast<void**>(out()); }

    // QueryInterface; an empty pointer when the object does not offer Q.
    template <class Q>
    ComPtr<Q> query(REFIID iid) const {
        ComPtr<Q> result;
        if (ptr_) ptr_->QueryInterface(iid, result.out_void());
        return result;
    }

  private:
    T* ptr_ = nullptr;
};

class ScopedBstr {
  public:
    ScopedBstr() = default;
    explicit ScopedBstr(const wchar_t* text) : bstr_(SysAllocString(text)) {}
    ScopedBstr(const wchar_t* text, UINT length) : bstr_(SysAllocStringLen(text, length)) {}
    ScopedBstr(ScopedBstr&& other) noexcept : bstr_(std::exchange(other.bstr_, nullptr)) {}
    ScopedBstr& operator=(ScopedBstr&& other) noexcept {
        if (this != &other) reset(std::exchange(other.bstr_, nullptr));
        return *this;
    }
    ScopedBstr(const ScopedBstr&) = delete;  // owns its string
    ScopedBstr& operator=(const ScopedBstr&) = delete;
    ~ScopedBstr() { reset(); }

    BSTR get() const { return bstr_; }
    UINT length() const { return SysStringLen(bstr_); }
    void reset(BSTR adopted = nullptr) {
        if (bstr_) SysFreeString(bstr_);
        bstr_ = adopted;
    }
    BSTR release() { return std::exchange(bstr_, nullptr); }
    BSTR* out() {
        reset();
        return &bstr_;
    }

  private:
    BSTR bstr_ = nullptr;
};

class ScopedVariant {
  public:
    ScopedVariant() { VariantInit(&var_); }
    ScopedVariant(ScopedVariant&& other) noexcept : var_(other.var_) { VariantInit(&other.var_); }
    ScopedVariant& operator=(ScopedVariant&& other) noexcept {
        if (this != &other) {
            reset();
            var_ = other.var_;
            VariantInit(&other.var_);
        }
        return *this;
    }
    ScopedVariant(const ScopedVariant&) = delete;  // owns what the VARIANT holds
    ScopedVariant& operator=(const ScopedVariant&) = delete;
    ~ScopedVariant() { reset(); }

    const VARIANT& get() const { return var_; }
    VARIANT* ptr() { return &var_; }
    VARTYPE type() const { return V_VT(&var_); }
    void reset() { VariantClear(&var_); }
    // For an out-parameter: clears first.
    VARIANT* out() {
        reset();
        return &var_;
    }
    // Moves the contents into a VARIANT the caller owns from now on.
    void release_to(VARIANT* target) {
        *target = var_;
        VariantInit(&var_);
    }

  private:
    VARIANT var_;
};

// An EXCEPINFO for a call to fill, whose strings go with it (raise_call_failure takes
// them out first when it reports them).
class ScopedExcepInfo {
  public:
    ScopedExcepInfo() = default;
    ScopedExcepInfo(const ScopedExcepInfo&) = delete;  // owns the strings
    ScopedExcepInfo& operator=(const ScopedExcepInfo&) = delete;
    ~ScopedExcepInfo() {
        SysFreeString(info_.bstrDescription);
        SysFreeString(info_.bstrSource);
        SysFreeString(info_.bstrHelpFile);
    }
    EXCEPINFO* ptr() { return &info_; }

  private:
    EXCEPINFO info_{};
};

using ScopedSafeArray = UniqueResource<SAFEARRAY*, ReleasedBy<SafeArrayDestroy, nullptr>>;
using ScopedHKey = UniqueResource<HKEY, ReleasedBy<RegCloseKey, nullptr>>;
using ScopedModule = UniqueResource<HMODULE, ReleasedBy<FreeLibrary, nullptr>>;
// A window of the calling thread (only its own thread can destroy it).
using ScopedWindow = UniqueResource<HWND, ReleasedBy<DestroyWindow, nullptr>>;
// A buffer the system allocated for the caller (FormatMessage's).
using ScopedLocalText = UniqueResource<wchar_t*, ReleasedBy<LocalFree, nullptr>>;

// A kernel object's handle; the calls that open one fail with either of two values.
struct CloseKernelHandle {
    void operator()(HANDLE handle) const noexcept { CloseHandle(handle); }
    static bool none(HANDLE handle) { return handle == nullptr || handle == INVALID_HANDLE_VALUE; }
};
using ScopedHandle = UniqueResource<HANDLE, CloseKernelHandle>;

// A directory search of FindFirstFileW.
struct CloseSearch {
    void operator()(HANDLE search) const noexcept { FindClose(search); }
    static bool none(HANDLE search) { return search == INVALID_HANDLE_VALUE; }
};
using ScopedFind = UniqueResource<HANDLE, CloseSearch>;

// Descriptions a type library or a type description lends, handed back to it when done:
// ScopedTypeAttr attr(info, raw) after info->GetTypeAttr(&raw).
template <class Lender, class Lent, void (STDMETHODCALLTYPE Lender::*give_back)(Lent*)>
struct GiveBack {
    Lender* lender = nullptr;
    void operator()(Lent* lent) const noexcept { (lender->*give_back)(lent); }
    static bool none(Lent* lent) { return lent == nullptr; }
};
template <class Lender, class Lent, void (STDMETHODCALLTYPE Lender::*give_back)(Lent*)>
class ScopedLent : public UniqueResource<Lent*, GiveBack<Lender, Lent, give_back>> {
  public:
    ScopedLent(Lender* lender, Lent* lent)
        : UniqueResource<Lent*, GiveBack<Lender, Lent, give_back>>(lent, {lender}) {}
};
using ScopedTypeAttr = ScopedLent<ITypeInfo, TYPEATTR, &ITypeInfo::ReleaseTypeAttr>;
using ScopedFuncDesc = ScopedLent<ITypeInfo, FUNCDESC, &ITypeInfo::ReleaseFuncDesc>;
using ScopedLibAttr = ScopedLent<ITypeLib, TLIBATTR, &ITypeLib::ReleaseTLibAttr>;

// An SRW lock held, shared or exclusive, until the end of the scope.
class ScopedSrwLock {
  public:
    enum Mode { kShared, kExclusive };
    ScopedSrwLock(SRWLOCK& lock, Mode mode) : lock_(lock), mode_(mode) {
        mode_ == kShared ? AcquireSRWLockShared(&lock_) : AcquireSRWLockExclusive(&lock_);
    }
    ScopedSrwLock(const ScopedSrwLock&) = delete;  // releases the lock once
    ScopedSrwLock& operator=(const ScopedSrwLock&) = delete;
    ~ScopedSrwLock() {
        mode_ == kShared ? ReleaseSRWLockShared(&lock_) : ReleaseSRWLockExclusive(&lock_);
    }

  private:
    SRWLOCK& lock_;
    Mode mode_;
};

// The calling thread's membership of an apartment, single-threaded unless told otherwise.
class ScopedComApartment {
  public:
    explicit ScopedComApartment(DWORD model = COINIT_APARTMENTTHREADED)
        : hr_(CoInitializeEx(nullptr, model)) {}
    ScopedComApartment(const ScopedComApartment&) = delete;  // one CoUninitialize per success
    ScopedComApartment& operator=(const ScopedComApartment&) = delete;
    ~ScopedComApartment() {
        if (SUCCEEDED(hr_)) CoUninitialize();
    }
    HRESULT result() const { return hr_; }

  private:
    HRESULT hr_;
};

}  // namespace czqic::win
