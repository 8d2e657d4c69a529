// IDispatch for an object's dual interfaces, served from the interface's type
// information (ITypeInfo::Invoke onto the interface's own vtable).
#pragma once

#include <oaidl.h>

#include "base/com.h"

namespace addin {

// Where a dual interface's type information is found, loaded on first use and kept for
// the module's lifetime; a failed load is tried again on the next use. Any thread.
class TypeInfoCache {
public:
    // The type library embedded in this module (TYPELIB resource 1).
    explicit TypeInfoCache(const IID& iid) noexcept : iid_(iid) {}
    // A type library found through the registry by its ID and version.
    TypeInfoCache(const IID& iid, const GUID& libraryId, WORD major, WORD minor) noexcept
        : iid_(iid), libraryId_(&libraryId), major_(major), minor_(minor) {}
    TypeInfoCache(const TypeInfoCache&) = delete;
    TypeInfoCache& operator=(const TypeInfoCache&) = delete;

    // The interface's type information with one reference for the caller, or the
    // HRESULT of the failed load.
    [[nodiscard]] HRESULT Get(ITypeInfo** info) noexcept;

private:
    [[nodiscard]] HRESULT LoadTypeLibrary(ITypeLib** library) const noexcept;

    const IID& iid_;
    const GUID* libraryId_ = nullptr;  // null: this module's own type library
    WORD major_ = 0;
    WORD minor_ = 0;
    base::ComPtr<ITypeInfo> info_;  // set once, under the module's type info lock
};

// The IDispatch half of the dual interface `Interface`, whose type information `Cache`
// gives. Derive the object from it once per dual interface; each keeps its own vtable.
template <typename Interface, TypeInfoCache& Cache>
class DualInterface : public Interface {
public:
    STDMETHODIMP GetTypeInfoCount(UINT* count) noexcept override {
        if (!count) return E_POINTER;
        *count = 1;
        return S_OK;
    }
    STDMETHODIMP GetTypeInfo(UINT index, LCID, ITypeInfo** info) noexcept override {
        if (!info) return E_POINTER;
        *info = nullptr;
        if (index != 0) return DISP_E_BADINDEX;
        return Cache.Get(info);
    }
    STDMETHODIMP GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, LCID, DISPID* ids) noexcept override {
        if (!IsEqualIID(iid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
        base::ComPtr<ITypeInfo> info;
        const HRESULT hr = Cache.Get(info.put());
        if (FAILED(hr)) return hr;
        return info->GetIDsOfNames(names, count, ids);
    }
    STDMETHODIMP Invoke(DISPID id, REFIID iid, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                        EXCEPINFO* exception, UINT* argumentError) noexcept override {
        if (!IsEqualIID(iid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
        base::ComPtr<ITypeInfo> info;
        const HRESULT hr = Cache.Get(info.put());
        if (FAILED(hr)) return hr;
        return info->Invoke(static_cast<Interface*>(this), id, flags, params, result, exception,
                            argumentError);
    }
};

}  // namespace addin
