// COM ownership: interface pointers, BSTRs and the apartment a thread has entered.
#pragma once

#include <objbase.h>
#include <oleauto.h>

#include <utility>

#include "base/unique_resource.h"

namespace base {

template <typename T>
class ComPtr {
public:
    ComPtr() noexcept = default;
    // Adopts a reference the caller already owns.
    explicit ComPtr(T* p) noexcept : p_(p) {}
    // Takes a reference of its own to a pointer the caller only borrows.
    [[nodiscard]] static ComPtr Copy(T* p) noexcept {
        if (p) p->AddRef();
        return ComPtr(p);
    }
    ComPtr(ComPtr&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    ComPtr& operator=(ComPtr&& other) noexcept {
        if (this != &other) reset(std::exchange(other.p_, nullptr));
        return *this;
    }
    ComPtr(const ComPtr&) = delete;
    ComPtr& operator=(const ComPtr&) = delete;
    ~ComPtr() { reset(); }

    [[nodiscard]] T* get() const noexcept { return p_; }
    T* operator->() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }

    void reset(T* p = nullptr) noexcept {
        if (T* old = std::exchange(p_, p)) old->Release();
    }
    [[nodiscard]] T* detach() noexcept { return std::exchange(p_, nullptr); }

    // Releases the current pointer, then hands out the address for an out-parameter.
    [[nodiscard]] T** put() noexcept {
        reset();
        return &p_;
    }
    [[nodiscard]] void** put_void() noexcept { return reinterpret_cast<void**>(put()); }

    template <typename U>
    [[nodiscard]] HRESULT As(ComPtr<U>& out) const noexcept {
        if (!p_) return E_POINTER;
        return p_->QueryInterface(__uuidof(U), out.put_void());
    }

private:
    T* p_ = nullptr;
};

// A BSTR's owner; a null BSTR is the empty string.
class UniqueBstr : public UniqueResource<NullTraits<BSTR, ::SysFreeString>> {
public:
    using UniqueResource::UniqueResource;
    [[nodiscard]] const wchar_t* c_str() const noexcept { return get() ? get() : L""; }
    [[nodiscard]] UINT length() const noexcept { return ::SysStringLen(get()); }
};

// Enters a COM apartment on this thread for the owner's lifetime; leaves it only
// when entering succeeded (S_OK or S_FALSE), as CoUninitialize must balance.
class ScopedComInitializer {
public:
    explicit ScopedComInitializer(DWORD model = COINIT_APARTMENTTHREADED) noexcept
        : hr_(::CoInitializeEx(nullptr, model)) {}
    ScopedComInitializer(const ScopedComInitializer&) = delete;
    ScopedComInitializer& operator=(const ScopedComInitializer&) = delete;
    ~ScopedComInitializer() {
        if (SUCCEEDED(hr_)) ::CoUninitialize();
    }
    [[nodiscard]] HRESULT result() const noexcept { return hr_; }
    [[nodiscard]] bool succeeded() const noexcept { return SUCCEEDED(hr_); }

private:
    HRESULT hr_;
};

// Waits up to timeoutMs for `handle`: WAIT_OBJECT_0, WAIT_TIMEOUT or WAIT_FAILED. A thread
// of a single-threaded apartment owns objects that other apartments call into, and those
// calls run only when it pumps: there the wait keeps serving them (CoWaitForMultipleHandles,
// COM's modal loop), so a thread it waits for may be one of the callers. Elsewhere it is a
// plain wait.
[[nodiscard]] inline DWORD WaitServingCalls(HANDLE handle, DWORD timeoutMs) noexcept {
    APTTYPE type{};
    APTTYPEQUALIFIER qualifier{};
    const bool servesCalls = SUCCEEDED(::CoGetApartmentType(&type, &qualifier)) &&
                             (type == APTTYPE_STA || type == APTTYPE_MAINSTA);
    if (!servesCalls) return ::WaitForSingleObject(handle, timeoutMs);
    DWORD index = 0;
    const HRESULT hr = ::CoWaitForMultipleHandles(0, timeoutMs, 1, &handle, &index);
    if (hr == RPC_S_CALLPENDING) return WAIT_TIMEOUT;
    return SUCCEEDED(hr) ? WAIT_OBJECT_0 : WAIT_FAILED;
}

}  // namespace base
