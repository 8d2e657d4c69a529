#include "addin/connect.h"

#include "addin/module.h"
#include "base/unique_variant.h"
#include "diag/log.h"
#include "outlook/object_model.h"
#include "server/mail_server.h"

namespace addin {

// IConnect from this module's own type library; _IDTExtensibility2 from the host's
// Add-In Designer library, found through the registry.
TypeInfoCache g_connectTypeInfo(__uuidof(IConnect));
TypeInfoCache g_extensibilityTypeInfo(__uuidof(_IDTExtensibility2), LIBID_AddInDesignerObjects,
                                      kAddInDesignerObjectsMajor, kAddInDesignerObjectsMinor);

CConnect::CConnect() noexcept { LogMessage(L"CConnect::CConnect"); }

CConnect::~CConnect() { LogMessage(L"CConnect::~CConnect"); }

std::span<const CConnect::InterfaceEntry> CConnect::Table() const noexcept {
    static constexpr InterfaceEntry kInterfaces[] = {
        {&IID_IDispatch},
        {&__uuidof(_IDTExtensibility2)},
        Answer<DualInterface<IConnect, g_connectTypeInfo>>(__uuidof(IConnect)),
    };
    return kInterfaces;
}

STDMETHODIMP CConnect::OnConnection(IDispatch* Application, ext_ConnectMode, IDispatch*,
                                    SAFEARRAY**) noexcept {
    LogMessage(L"CConnect::OnConnection");
    if (!Application || FAILED(Application->QueryInterface(__uuidof(_Application), host_.put_void())))
        return S_FALSE;
    published_.reset();
    base::UniqueVariant progId;
    const HRESULT hr = progId.SetText(kConnectProgId);
    if (FAILED(hr)) return hr;
    if (!PublishInAddInList(progId.get())) return S_OK;  // inert: no log, no server

    const std::wstring logPath = DefaultLogPath();
    OpenLogFile(logPath.c_str());
    WriteLogHeader();
    LogMessage(L"Initializing mail server...");
    // Not examined: a server that cannot start writes nothing to the log, and Outlook is
    // not told; the add-in stays loaded without a channel.
    static_cast<void>(g_mailServer.Start(wire::kChannel, wire::kChannelMode, wire::kRequestTimeoutMs));
    return S_OK;
}

bool CConnect::PublishInAddInList(const VARIANT& progId) noexcept {
    base::ComPtr<COMAddIns> addIns;
    base::ComPtr<COMAddIn> addIn;
    if (FAILED(outlook::GetCOMAddIns(host_.get(), addIns)) ||
        FAILED(outlook::Item(addIns.get(), progId, addIn)) || !addIn) {
        LogMessage(L"NULL myAddin pointer in getBackupPlugin");
        return false;
    }
    if (SUCCEEDED(QueryInterface(__uuidof(IConnect), published_.put_void()))) {
        static_cast<void>(outlook::PutObject(addIn.get(), published_.get()));  // result not used
    }
    return true;
}

STDMETHODIMP CConnect::OnDisconnection(ext_DisconnectMode, SAFEARRAY**) noexcept {
    LogMessage(L"CConnect::OnDisconnection");
    g_mailServer.Stop(INFINITE);
    published_.reset();
    return S_OK;
}

STDMETHODIMP CConnect::OnAddInsUpdate(SAFEARRAY**) noexcept {
    LogMessage(L"CConnect::OnAddInsUpdate");
    return S_OK;
}

STDMETHODIMP CConnect::OnStartupComplete(SAFEARRAY**) noexcept {
    LogMessage(L"CConnect::OnStartupComplete");
    return S_OK;
}

STDMETHODIMP CConnect::OnBeginShutdown(SAFEARRAY**) noexcept {
    LogMessage(L"CConnect::OnBeginShutdown");
    return S_OK;
}

}  // namespace addin
