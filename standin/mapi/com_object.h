// Reference counting shared by the stand-in's COM objects. An object is created
// with one reference (the creator's) and deletes itself when the last goes.
// Counts are atomic; everything else is the object's own business.
#pragma once

#include <objbase.h>

#include <initializer_list>

namespace standin {

template <typename Interface>
class ComObject : public Interface {
public:
    STDMETHODIMP_(ULONG) AddRef() noexcept override { return static_cast<ULONG>(::InterlockedIncrement(&refs_)); }
    STDMETHODIMP_(ULONG) Release() noexcept override {
        const LONG refs = ::InterlockedDecrement(&refs_);
        if (refs == 0) delete this;
        return static_cast<ULONG>(refs);
    }

protected:
    ComObject() noexcept = default;
    virtual ~ComObject() = default;
    ComObject(const ComObject&) = delete;
    ComObject& operator=(const ComObject&) = delete;

    // QueryInterface for an object that answers IUnknown and each of `iids` with
    // its one Interface pointer.
    [[nodiscard]] HRESULT QueryFor(REFIID iid, std::initializer_list<const IID*> iids, void** out) noexcept {
        if (!out) return E_POINTER;
        *out = nullptr;
        bool known = iid == IID_IUnknown;
        for (const IID* candidate : iids) known = known || iid == *candidate;
        if (!known) return E_NOINTERFACE;
        AddRef();
        *out = static_cast<Interface*>(this);
        return S_OK;
    }

private:
    volatile LONG refs_ = 1;
};

}  // namespace standin
