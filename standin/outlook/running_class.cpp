#include "standin/outlook/running_class.h"

#include <utility>

#include "base/com_object.h"
#include "outlook/outlook_interfaces.h"
#include "standin/outlook/dispatch.h"

namespace standin::outlook {
namespace {

// What the registered class object writes when COM marshals it: the process it lives
// in and the cookie its plain twin has in the global interface table.
struct MarshalData {
    DWORD processId;
    DWORD tableCookie;
};

[[nodiscard]] HRESULT GlobalTable(base::ComPtr<IGlobalInterfaceTable>& table) noexcept {
    return ::CoCreateInstance(CLSID_StdGlobalInterfaceTable, nullptr, CLSCTX_INPROC_SERVER,
                              IID_IGlobalInterfaceTable, table.put_void());
}

[[nodiscard]] HRESULT ReadData(IStream* stream, MarshalData& data) noexcept {
    if (!stream) return E_POINTER;
    ULONG read = 0;
    const HRESULT hr = stream->Read(&data, sizeof(data), &read);
    if (FAILED(hr)) return hr;
    return read == sizeof(data) ? S_OK : STG_E_READFAULT;
}

// The class object registered with COM: used directly in its own apartment, and
// marshaled as the cookie of `factory` everywhere else.
class MarshaledClass final : public base::ComObject<IClassFactory, IMarshal> {
public:
    MarshaledClass(IClassFactory* factory, DWORD tableCookie) noexcept
        : factory_(Share(factory)), tableCookie_(tableCookie) {}

    [[nodiscard]] std::span<const InterfaceEntry> Table() const noexcept override {
        static constexpr InterfaceEntry kInterfaces[] = {{&IID_IClassFactory},
                                                         Answer<IMarshal>(IID_IMarshal)};
        return kInterfaces;
    }

    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID iid, void** out) noexcept override {
        return factory_->CreateInstance(outer, iid, out);
    }
    STDMETHODIMP LockServer(BOOL lock) noexcept override { return factory_->LockServer(lock); }

    STDMETHODIMP GetUnmarshalClass(REFIID, void*, DWORD, void*, DWORD, CLSID* clsid) noexcept override {
        if (!clsid) return E_POINTER;
        *clsid = CLSID_RunningClassUnmarshaler;
        return S_OK;
    }
    STDMETHODIMP GetMarshalSizeMax(REFIID, void*, DWORD, void*, DWORD, DWORD* size) noexcept override {
        if (!size) return E_POINTER;
        *size = sizeof(MarshalData);
        return S_OK;
    }
    STDMETHODIMP MarshalInterface(IStream* stream, REFIID, void*, DWORD, void*, DWORD) noexcept override {
        if (!stream) return E_POINTER;
        const MarshalData data{::GetCurrentProcessId(), tableCookie_};
        return stream->Write(&data, sizeof(data), nullptr);
    }
    STDMETHODIMP UnmarshalInterface(IStream*, REFIID, void**) noexcept override { return E_NOTIMPL; }
    // The cookie stays the registration's until Revoke: nothing to give back per copy.
    STDMETHODIMP ReleaseMarshalData(IStream* stream) noexcept override {
        MarshalData data{};
        return ReadData(stream, data);
    }
    STDMETHODIMP DisconnectObject(DWORD) noexcept override { return S_OK; }

private:
    const base::ComPtr<IClassFactory> factory_;
    const DWORD tableCookie_;
};

// Turns marshaled data back into the proxy of the class object in the host's apartment.
// A module static: its references are locks on the module.
class Unmarshaler final : public base::StaticComObject<IMarshal> {
public:
    [[nodiscard]] std::span<const InterfaceEntry> Table() const noexcept override {
        static constexpr InterfaceEntry kInterfaces[] = {{&IID_IMarshal}};
        return kInterfaces;
    }

    STDMETHODIMP GetUnmarshalClass(REFIID, void*, DWORD, void*, DWORD, CLSID*) noexcept override {
        return E_NOTIMPL;
    }
    STDMETHODIMP GetMarshalSizeMax(REFIID, void*, DWORD, void*, DWORD, DWORD*) noexcept override {
        return E_NOTIMPL;
    }
    STDMETHODIMP MarshalInterface(IStream*, REFIID, void*, DWORD, void*, DWORD) noexcept override {
        return E_NOTIMPL;
    }
    // Another process cannot reach this process's table: it finds no running Outlook.
    STDMETHODIMP UnmarshalInterface(IStream* stream, REFIID iid, void** out) noexcept override {
        if (!out) return E_POINTER;
        *out = nullptr;
        MarshalData data{};
        HRESULT hr = ReadData(stream, data);
        if (FAILED(hr)) return hr;
        if (data.processId != ::GetCurrentProcessId()) return CO_E_SERVER_EXEC_FAILURE;
        base::ComPtr<IGlobalInterfaceTable> table;
        if (FAILED(hr = GlobalTable(table))) return hr;
        return table->GetInterfaceFromGlobal(data.tableCookie, iid, out);
    }
    STDMETHODIMP ReleaseMarshalData(IStream* stream) noexcept override {
        MarshalData data{};
        return ReadData(stream, data);
    }
    STDMETHODIMP DisconnectObject(DWORD) noexcept override { return S_OK; }
};

Unmarshaler g_unmarshaler;

[[nodiscard]] HRESULT FindUnmarshaler(REFIID iid, void** out) noexcept {
    return g_unmarshaler.QueryInterface(iid, out);
}

base::ClassFactory<&FindUnmarshaler> g_unmarshalerClass;

}  // namespace

HRESULT RunningClass::Register(IClassFactory* factory) noexcept {
    if (!factory) return E_POINTER;
    Revoke();
    base::ComPtr<IGlobalInterfaceTable> table;
    HRESULT hr = GlobalTable(table);
    if (FAILED(hr) ||
        FAILED(hr = table->RegisterInterfaceInGlobal(factory, IID_IClassFactory, &tableCookie_)))
        return hr;
    base::ComPtr<IClassFactory> marshaled;
    hr = base::MakeObject<MarshaledClass, IClassFactory>(marshaled, factory, tableCookie_);
    if (FAILED(hr) ||
        FAILED(hr = ::CoRegisterClassObject(CLSID_OutlookApplication, marshaled.get(), CLSCTX_LOCAL_SERVER,
                                            REGCLS_MULTIPLEUSE, &registration_))) {
        Revoke();
    }
    return hr;
}

void RunningClass::Revoke() noexcept {
    if (registration_) static_cast<void>(::CoRevokeClassObject(std::exchange(registration_, 0)));
    if (!tableCookie_) return;
    base::ComPtr<IGlobalInterfaceTable> table;
    if (SUCCEEDED(GlobalTable(table))) static_cast<void>(table->RevokeInterfaceFromGlobal(tableCookie_));
    tableCookie_ = 0;
}

IClassFactory& UnmarshalerClass() noexcept { return g_unmarshalerClass; }

}  // namespace standin::outlook
