// The module TallowmerePlugin.dll as a COM server: its running marker, its lock count,
// its class table and its registration.
#pragma once

#include <windows.h>

#include <string>

#include "base/critical_section.h"
#include "base/unique_resource.h"

namespace addin {

// Neither copied nor moved: it owns the running marker and a critical section.
class CTallowmerePluginModule {
public:
    // DLL_PROCESS_ATTACH: creates the running marker (or opens the one another process
    // of the session holds; a failure leaves the module without one) and initialises
    // the module. False when the module cannot work, and the load fails.
    [[nodiscard]] bool Attach(HINSTANCE instance) noexcept;
    // DLL_PROCESS_DETACH: closes the running marker.
    void Detach() noexcept;

    // DllCanUnloadNow: S_OK only without live objects, held class objects or locks, and
    // while the mail server does not run (unloading would stop its threads under the
    // loader lock). Any thread.
    [[nodiscard]] HRESULT CanUnloadNow() const noexcept;

    // The class object of `clsid` from the class table, queried for `iid`;
    // CLASS_E_CLASSNOTAVAILABLE for any other class.
    [[nodiscard]] HRESULT GetClassObject(REFCLSID clsid, REFIID iid, void** out) noexcept;

    // Writes the Outlook add-in key of the current user (silently), then registers the
    // AppID, the classes and the type library; the result is the COM registration's:
    // the first failure, after which the remaining steps are skipped.
    [[nodiscard]] HRESULT RegisterServer() noexcept;
    // Removes the add-in key (silently), then unregisters the classes, the type library
    // and the AppID, stopping at the first failure, whose HRESULT is the result.
    [[nodiscard]] HRESULT UnregisterServer() noexcept;

    // This module's full file name.
    [[nodiscard]] HRESULT GetModulePath(std::wstring& path) const noexcept;
    // Guards the lazily loaded type information of the objects' dual interfaces.
    [[nodiscard]] base::CriticalSection& typeInfoLock() noexcept { return typeInfoLock_; }

private:
    HINSTANCE instance_ = nullptr;
    base::UniqueHandle runningMarker_;
    base::CriticalSection typeInfoLock_;
};

// The process's one module object.
extern CTallowmerePluginModule g_module;

}  // namespace addin
