// CConnect, the add-in object Outlook creates and drives through _IDTExtensibility2:
// connected, it publishes itself in Outlook's COM add-in list, opens the log and
// starts the process-wide mail server; disconnected, it stops the server.
//
// Threads: single-threaded object: its methods run on the thread Outlook calls them on.
// The server's threads never touch it.
#pragma once

#include "addin/connect_ids.h"
#include "addin/dual_interface.h"
#include "base/com.h"
#include "base/com_object.h"
#include "outlook/outlook_interfaces.h"

namespace addin {

extern TypeInfoCache g_connectTypeInfo;
extern TypeInfoCache g_extensibilityTypeInfo;

class CConnect final : public base::ComObject<DualInterface<_IDTExtensibility2, g_extensibilityTypeInfo>,
                                              DualInterface<IConnect, g_connectTypeInfo>> {
public:
    // One reference, the creator's.
    CConnect() noexcept;

    // S_FALSE when `Application` is not Outlook's (nothing else happens); S_OK otherwise,
    // also when the add-in is missing from Outlook's add-in list (then inert: no log
    // opened, no server) or the server does not start.
    STDMETHODIMP OnConnection(IDispatch* Application, ext_ConnectMode ConnectMode, IDispatch* AddInInst,
                              SAFEARRAY** custom) noexcept override;
    // Stops the mail server, waiting for all its threads; the log stays open.
    STDMETHODIMP OnDisconnection(ext_DisconnectMode RemoveMode, SAFEARRAY** custom) noexcept override;
    STDMETHODIMP OnAddInsUpdate(SAFEARRAY** custom) noexcept override;
    STDMETHODIMP OnStartupComplete(SAFEARRAY** custom) noexcept override;
    STDMETHODIMP OnBeginShutdown(SAFEARRAY** custom) noexcept override;

private:
    ~CConnect() override;

    // IDispatch and IUnknown: the _IDTExtensibility2 part; _IDTExtensibility2; IConnect.
    [[nodiscard]] std::span<const InterfaceEntry> Table() const noexcept override;

    // Sets this add-in's COMAddIn.Object (the entry named `progId`) to the published
    // IConnect; false when the host's add-in list has no such entry.
    [[nodiscard]] bool PublishInAddInList(const VARIANT& progId) noexcept;

    base::ComPtr<_Application> host_;   // set by OnConnection, kept until the object dies
    base::ComPtr<IConnect> published_;  // this object's own IConnect while connected
};

}  // namespace addin
