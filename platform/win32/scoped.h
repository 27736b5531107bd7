// Owners for the Windows resources the COM side handles: interface pointers, BSTRs,
// VARIANTs, safe arrays, type descriptions, registry keys, handles, directory searches,
// locks held and the COM apartment. Each
// holds its raw value, releases it exactly once, and cannot be copied.
#pragma once

#include <windows.h>

#include <oaidl.h>
#include <ocidl.h>
#include <ole2.h>
#include <oleauto.h>
#include <olectl.h>

#include <utility>

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

class ScopedSafeArray {
  public:
    ScopedSafeArray() = default;
    explicit ScopedSafeArray(SAFEARRAY* adopted) : array_(adopted) {}
    ScopedSafeArray(ScopedSafeArray&& other) noexcept
        : array_(std::exchange(other.array_, nullptr)) {}
    ScopedSafeArray(const ScopedSafeArray&) = delete;  // owns the array and its elements
    ScopedSafeArray& operator=(const ScopedSafeArray&) = delete;
    ~ScopedSafeArray() {
        if (array_) SafeArrayDestroy(array_);
    }

    SAFEARRAY* get() const { return array_; }
    SAFEARRAY* release() { return std::exchange(array_, nullptr); }

  private:
    SAFEARRAY* array_ = nullptr;
};

// A type description borrowed from its ITypeInfo, handed back when done.
class ScopedTypeAttr {
  public:
    ScopedTypeAttr(ITypeInfo* info, TYPEATTR* attr) : info_(info), attr_(attr) {}
    ScopedTypeAttr(const ScopedTypeAttr&) = delete;  // returns the attributes once
    ScopedTypeAttr& operator=(const ScopedTypeAttr&) = delete;
    ~ScopedTypeAttr() {
        if (attr_) info_->ReleaseTypeAttr(attr_);
    }
    const TYPEATTR* operator->() const { return attr_; }
    const TYPEATTR* get() const { return attr_; }

  private:
    ITypeInfo* info_;
    TYPEATTR* attr_;
};

class ScopedFuncDesc {
  public:
    ScopedFuncDesc(ITypeInfo* info, FUNCDESC* desc) : info_(info), desc_(desc) {}
    ScopedFuncDesc(const ScopedFuncDesc&) = delete;  // returns the description once
    ScopedFuncDesc& operator=(const ScopedFuncDesc&) = delete;
    ~ScopedFuncDesc() {
        if (desc_) info_->ReleaseFuncDesc(desc_);
    }
    const FUNCDESC* operator->() const { return desc_; }
    const FUNCDESC* get() const { return desc_; }

  private:
    ITypeInfo* info_;
    FUNCDESC* desc_;
};

class ScopedHKey {
  public:
    ScopedHKey() = default;
    ScopedHKey(ScopedHKey&& other) noexcept : key_(std::exchange(other.key_, nullptr)) {}
    ScopedHKey(const ScopedHKey&) = delete;  // owns the open key
    ScopedHKey& operator=(const ScopedHKey&) = delete;
    ~ScopedHKey() {
        if (key_) RegCloseKey(key_);
    }
    HKEY get() const { return key_; }
    HKEY* out() { return &key_; }

  private:
    HKEY key_ = nullptr;
};

class ScopedHandle {
  public:
    ScopedHandle() = default;
    explicit ScopedHandle(HANDLE adopted) : handle_(adopted) {}
    ScopedHandle(const ScopedHandle&) = delete;  // owns the kernel handle
    ScopedHandle& operator=(const ScopedHandle&) = delete;
    ~ScopedHandle() {
        if (valid()) CloseHandle(handle_);
    }
    HANDLE get() const { return handle_; }
    bool valid() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }

  private:
    HANDLE handle_ = nullptr;
};

// A directory search of FindFirstFileW, closed with FindClose.
class ScopedFind {
  public:
    explicit ScopedFind(HANDLE adopted) : handle_(adopted) {}
    ScopedFind(const ScopedFind&) = delete;  // owns the search
    ScopedFind& operator=(const ScopedFind&) = delete;
    ~ScopedFind() {
        if (valid()) FindClose(handle_);
    }
    HANDLE get() const { return handle_; }
    bool valid() const { return handle_ != INVALID_HANDLE_VALUE; }

  private:
    HANDLE handle_;
};

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

// The calling thread's membership of a single-threaded apartment.
class ScopedComApartment {
  public:
    ScopedComApartment() : hr_(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)) {}
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
