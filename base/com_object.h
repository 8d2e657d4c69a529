// The one way this code base writes a COM object: an atomic reference count, a
// QueryInterface served from a table of interfaces, a lock on the module while the
// object lives; the one class object that hands such objects out, and the module's
// DllGetClassObject and DllCanUnloadNow over them.
#pragma once

#include <objbase.h>

#include <atomic>
#include <new>
#include <span>
#include <tuple>
#include <utility>

#include "base/boundary.h"
#include "base/com.h"

namespace base {

// Live objects and server locks of this module: its DllCanUnloadNow answers S_OK
// only at zero. Each binary (DLL or program) that includes this has its own count.
inline std::atomic<long> g_moduleLockCount{0};

// One lock on the module for its owner's lifetime. Any thread.
class ModuleLock {
public:
    ModuleLock() noexcept { ++g_moduleLockCount; }
    ~ModuleLock() { --g_moduleLockCount; }
    ModuleLock(const ModuleLock&) = delete;
    ModuleLock& operator=(const ModuleLock&) = delete;
};

// The QueryInterface of an object that implements `Interfaces`. The object lists what
// it answers in Table(): IUnknown is answered by the first row (the object's
// identity), every other IID by its own row; anything else is E_NOINTERFACE with a
// null out-parameter.
template <typename... Interfaces>
class ComInterfaces : public Interfaces... {
    using Primary = std::tuple_element_t<0, std::tuple<Interfaces...>>;

    template <typename Interface>
    static IUnknown* Cast(ComInterfaces* self) noexcept {
        return static_cast<Interface*>(self);
    }

public:
    // One row of the interface table: an IID and the interface that answers it (by
    // default the first of `Interfaces`).
    struct InterfaceEntry {
        const IID* iid;
        IUnknown* (*cast)(ComInterfaces* self) noexcept = &Cast<Primary>;
    };
    // The row for `iid` answered by `Interface`, one of the object's own.
    template <typename Interface>
    static constexpr InterfaceEntry Answer(const IID& iid) noexcept {
        return {&iid, &Cast<Interface>};
    }

    STDMETHODIMP QueryInterface(REFIID iid, void** out) noexcept override {
        if (!out) return E_POINTER;
        *out = nullptr;
        const std::span<const InterfaceEntry> table = Table();
        for (size_t i = 0; i < table.size(); ++i) {
            if (IsEqualIID(iid, *table[i].iid) || (i == 0 && IsEqualIID(iid, IID_IUnknown))) {
                IUnknown* found = table[i].cast(this);
                found->AddRef();
                *out = found;
                return S_OK;
            }
        }
        return E_NOINTERFACE;
    }

protected:
    ComInterfaces() noexcept = default;
    ComInterfaces(const ComInterfaces&) = delete;
    ComInterfaces& operator=(const ComInterfaces&) = delete;
    virtual ~ComInterfaces() = default;

    // The interfaces this object answers, first row first.
    [[nodiscard]] virtual std::span<const InterfaceEntry> Table() const noexcept = 0;
};

// A heap object: created with one reference, the creator's, and deleted at the last
// Release; it holds the module while it lives. Counts are atomic; everything else is
// the object's own business.
template <typename... Interfaces>
class ComObject : public ComInterfaces<Interfaces...> {
public:
    STDMETHODIMP_(ULONG) AddRef() noexcept override { return ++references_; }
    STDMETHODIMP_(ULONG) Release() noexcept override {
        const ULONG remaining = --references_;
        if (remaining == 0) delete this;
        return remaining;
    }

protected:
    ComObject() noexcept = default;

private:
    std::atomic<ULONG> references_{1};
    ModuleLock moduleLock_;
};

// A heap object whose pointers cross apartments of the process as they are: it answers
// IMarshal with the free-threaded marshaler, aggregated (CoCreateFreeThreadedMarshaler),
// so marshaling it within the process hands over the pointer itself, as MAPI's objects
// are handed over ("Threading in MAPI": they are free-threaded). The object's calls must
// then be safe on whatever thread makes them.
template <typename... Interfaces>
class FreeThreadedComObject : public ComObject<Interfaces...> {
public:
    STDMETHODIMP QueryInterface(REFIID iid, void** out) noexcept override {
        if (!out || !IsEqualIID(iid, IID_IMarshal)) return ComObject<Interfaces...>::QueryInterface(iid, out);
        *out = nullptr;
        IUnknown* marshaler = marshaler_.load();
        if (!marshaler) {
            IUnknown* created = nullptr;
            IUnknown* self = nullptr;
            const HRESULT hr =
                ComObject<Interfaces...>::QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&self));
            if (FAILED(hr)) return hr;
            const HRESULT made = ::CoCreateFreeThreadedMarshaler(self, &created);
            self->Release();
            if (FAILED(made)) return made;
            // The first thread's marshaler wins; a late one is dropped.
            if (marshaler_.compare_exchange_strong(marshaler, created)) {
                marshaler = created;
            } else {
                created->Release();
            }
        }
        return marshaler->QueryInterface(iid, out);
    }

protected:
    FreeThreadedComObject() noexcept = default;
    ~FreeThreadedComObject() override {
        if (IUnknown* marshaler = marshaler_.load()) marshaler->Release();
    }

private:
    std::atomic<IUnknown*> marshaler_{nullptr};  // the aggregated marshaler, made on first demand
};

// An object that lives as long as the module (a static): every reference a client
// holds is a lock on the module instead of a count of its own.
template <typename... Interfaces>
class StaticComObject : public ComInterfaces<Interfaces...> {
public:
    STDMETHODIMP_(ULONG) AddRef() noexcept override {
        ++g_moduleLockCount;
        return 2;  // never destroyed: any count above one will do
    }
    STDMETHODIMP_(ULONG) Release() noexcept override {
        --g_moduleLockCount;
        return 1;
    }

protected:
    StaticComObject() noexcept = default;
};

// A new `Object` made from `args`, with one reference, owned by `out` (as `Result`, one of
// its interfaces or itself); E_OUTOFMEMORY (MAPI's MAPI_E_NOT_ENOUGH_MEMORY too) when
// it cannot be made.
template <typename Object, typename Result = Object, typename... Args>
[[nodiscard]] HRESULT MakeObject(ComPtr<Result>& out, Args&&... args) noexcept {
    // Made before `out` lets go of what it holds, which `args` may refer to.
    const HRESULT hr = ReturnOr(
        [&] {
            out.reset(static_cast<Result*>(new Object(std::forward<Args>(args)...)));
            return S_OK;
        },
        E_OUTOFMEMORY);
    if (FAILED(hr)) out.reset();
    return hr;
}

// Makes or finds the instance a class object hands out, queried for `iid`.
using CreateFunction = HRESULT (*)(REFIID iid, void** out) noexcept;

// A new `Object` (default-constructed) queried for `iid`; an object that does not
// answer it is destroyed again.
template <typename Object>
[[nodiscard]] HRESULT CreateNew(REFIID iid, void** out) noexcept {
    ComPtr<Object> object;
    const HRESULT hr = MakeObject<Object>(object);
    if (FAILED(hr)) return hr;
    return object->QueryInterface(iid, out);
}

// The class object of one class: a static whose instances `Create` gives.
// Aggregation is refused. Any thread.
template <CreateFunction Create>
class ClassFactory final : public StaticComObject<IClassFactory> {
public:
    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID iid, void** out) noexcept override {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (outer) return CLASS_E_NOAGGREGATION;
        return Create(iid, out);
    }
    // A lock is a reference: the module stays while either is held.
    STDMETHODIMP LockServer(BOOL lock) noexcept override {
        static_cast<void>(lock ? AddRef() : Release());
        return S_OK;
    }

private:
    [[nodiscard]] std::span<const InterfaceEntry> Table() const noexcept override {
        static constexpr InterfaceEntry kInterfaces[] = {{&IID_IClassFactory}};
        return kInterfaces;
    }
};

// DllGetClassObject of a module that serves the class `served` through `factory`.
[[nodiscard]] inline HRESULT GetClassObject(REFCLSID served, IClassFactory& factory, REFCLSID clsid,
                                            REFIID iid, void** out) noexcept {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (!IsEqualCLSID(clsid, served)) return CLASS_E_CLASSNOTAVAILABLE;
    return factory.QueryInterface(iid, out);
}

// DllCanUnloadNow of a module that nothing holds but its objects and locks.
[[nodiscard]] inline HRESULT CanUnloadNow() noexcept { return g_moduleLockCount == 0 ? S_OK : S_FALSE; }

}  // namespace base
