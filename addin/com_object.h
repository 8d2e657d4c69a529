// The small COM plumbing of the module: an object's QueryInterface as a table, and the
// cached class object that creates objects of one class.
#pragma once

#include <objbase.h>

#include <new>
#include <span>

#include "addin/module.h"
#include "base/com.h"

namespace addin {

// One row of an object's interface table: the IID it answers and how to reach the
// interface from the object.
template <typename Object>
struct InterfaceEntry {
    const IID* iid;
    IUnknown* (*cast)(Object* object) noexcept;
};

// The cast of a table row: `Object` as its base `Interface`.
template <typename Object, typename Interface>
IUnknown* AsInterface(Object* object) noexcept {
    return static_cast<Interface*>(object);
}

// QueryInterface over a table: IUnknown is answered by the first row, every other IID
// by its own row; anything else is E_NOINTERFACE with a null out-parameter.
template <typename Object>
[[nodiscard]] HRESULT QueryInterfaceFromTable(Object* object, std::span<const InterfaceEntry<Object>> table,
                                              REFIID iid, void** out) noexcept {
    if (!out) return E_POINTER;
    *out = nullptr;
    for (size_t i = 0; i < table.size(); ++i) {
        if (IsEqualIID(iid, *table[i].iid) || (i == 0 && IsEqualIID(iid, IID_IUnknown))) {
            IUnknown* found = table[i].cast(object);
            found->AddRef();
            *out = found;
            return S_OK;
        }
    }
    return E_NOINTERFACE;
}

// The class object of `Object`, one static instance per class, cached for the module's
// lifetime. Every reference a client holds on it is a lock on the module, so that
// DllCanUnloadNow says S_FALSE while anyone keeps it. `Object` starts with one
// reference, owned by its creator. Any thread.
template <typename Object>
class ClassObject final : public IClassFactory {
public:
    constexpr ClassObject() noexcept = default;

    STDMETHODIMP QueryInterface(REFIID iid, void** out) noexcept override {
        static constexpr InterfaceEntry<ClassObject> kInterfaces[] = {
            {&IID_IClassFactory, &AsInterface<ClassObject, IClassFactory>},
        };
        return QueryInterfaceFromTable<ClassObject>(this, kInterfaces, iid, out);
    }
    STDMETHODIMP_(ULONG) AddRef() noexcept override {
        g_module.Lock();
        return 2;  // never destroyed: any count above one will do
    }
    STDMETHODIMP_(ULONG) Release() noexcept override {
        g_module.Unlock();
        return 1;
    }

    // Aggregation is refused. A new object that does not answer `iid` is destroyed again.
    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID iid, void** out) noexcept override {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (outer) return CLASS_E_NOAGGREGATION;
        base::ComPtr<Object> object(new (std::nothrow) Object());
        if (!object) return E_OUTOFMEMORY;
        return object->QueryInterface(iid, out);
    }
    STDMETHODIMP LockServer(BOOL lock) noexcept override {
        if (lock) {
            g_module.Lock();
        } else {
            g_module.Unlock();
        }
        return S_OK;
    }
};

}  // namespace addin
