// Ownership of a VARIANT: whatever it holds (a BSTR, an interface reference, an
// array) is cleared exactly once, when the owner is reset or dies.
#pragma once

#include <oleauto.h>

namespace base {

class UniqueVariant {
public:
    UniqueVariant() noexcept { ::VariantInit(&value_); }
    UniqueVariant(const UniqueVariant&) = delete;
    UniqueVariant& operator=(const UniqueVariant&) = delete;
    ~UniqueVariant() { reset(); }

    [[nodiscard]] const VARIANT& get() const noexcept { return value_; }
    void reset() noexcept { ::VariantClear(&value_); }
    // Holds a copy of `text` as VT_BSTR; E_OUTOFMEMORY, holding nothing, when the copy
    // cannot be allocated.
    [[nodiscard]] HRESULT SetText(const wchar_t* text) noexcept {
        reset();
        BSTR copy = ::SysAllocString(text);
        if (!copy) return E_OUTOFMEMORY;
        value_.vt = VT_BSTR;
        value_.bstrVal = copy;
        return S_OK;
    }
    // Hands what is held to the caller, who then owns it; holds nothing afterwards.
    [[nodiscard]] VARIANT release() noexcept {
        VARIANT value = value_;
        ::VariantInit(&value_);
        return value;
    }
    // Clears what is held, then hands out the VARIANT for an out-parameter.
    [[nodiscard]] VARIANT* put() noexcept {
        reset();
        return &value_;
    }

private:
    VARIANT value_;
};

}  // namespace base
