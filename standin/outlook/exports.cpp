// The module's COM server exports and the host's calls (host_api.h): the one
// application this process runs, and the class object that hands it out, registered
// from the host's thread while the application is open.
#include <olectl.h>

#include <iterator>
#include <mutex>
#include <new>

#include "standin/outlook/application.h"
#include "standin/outlook/call_gate.h"
#include "standin/outlook/host_api.h"
#include "standin/outlook/running_class.h"
#include "base/boundary.h"
#include "base/com_object.h"
#include "standin/store/logon.h"

using standin::outlook::ApplicationObject;

namespace {

// The running application, between OutlookStandinOpen and OutlookStandinClose.
std::mutex g_lock;
base::ComPtr<ApplicationObject> g_application;  // under g_lock
// Its class, offered to the process's apartments; on the host's thread only.
standin::outlook::RunningClass g_runningClass;

// Every instance of Outlook's Application class is the running application.
[[nodiscard]] HRESULT FindApplication(REFIID iid, void** out) noexcept {
    const std::lock_guard lock(g_lock);
    if (!g_application) return CO_E_SERVER_EXEC_FAILURE;  // closed meanwhile
    return g_application->QueryInterface(iid, out);
}

base::ClassFactory<&FindApplication> g_applicationClass;

// The profile folder to open, made absolute.
[[nodiscard]] HRESULT ProfileFolder(const wchar_t* requested, std::wstring& folder) {
    std::wstring given = requested ? requested : L"";
    if (given.empty()) {
        const HRESULT hr = standin::store::FindHostProfile(given);
        if (FAILED(hr)) return hr;
    }
    const DWORD size = ::GetFullPathNameW(given.c_str(), 0, nullptr, nullptr);
    if (size == 0) return HRESULT_FROM_WIN32(::GetLastError());
    folder.assign(size, L'\0');
    const DWORD length = ::GetFullPathNameW(given.c_str(), size, folder.data(), nullptr);
    if (length == 0 || length >= size) return HRESULT_FROM_WIN32(::GetLastError());
    folder.resize(length);
    return S_OK;
}

[[nodiscard]] HRESULT Open(const wchar_t* requestedFolder, BSTR* profileName, HANDLE* quitRequested) {
    std::wstring folder;
    HRESULT hr = ProfileFolder(requestedFolder, folder);
    if (FAILED(hr)) return hr;
    const std::lock_guard lock(g_lock);
    if (g_application) return CO_E_ALREADYINITIALIZED;
    std::shared_ptr<standin::store::Profile> profile;
    hr = standin::store::Profile::Open(folder, profile);
    if (FAILED(hr)) return hr;
    std::wstring name;
    hr = profile->GetName(name);
    if (FAILED(hr)) return hr;
    base::UniqueBstr nameCopy(::SysAllocString(name.c_str()));
    if (!nameCopy.get()) return E_OUTOFMEMORY;
    base::ComPtr<ApplicationObject> application;
    hr = ApplicationObject::Create(std::move(profile), application);
    if (FAILED(hr)) return hr;
    if (!::SetEnvironmentVariableW(standin::store::kHostProfileVariable, folder.c_str())) {
        return HRESULT_FROM_WIN32(::GetLastError());
    }
    g_application = std::move(application);
    if (FAILED(hr = g_runningClass.Register(&g_applicationClass))) {
        g_application.reset();
        return hr;
    }
    *profileName = nameCopy.release();
    *quitRequested = g_application->quitRequested();
    return S_OK;
}

}  // namespace

STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, void** out) {
    return base::GetClassObject(standin::outlook::CLSID_RunningClassUnmarshaler,
                                standin::outlook::UnmarshalerClass(), clsid, iid, out);
}

// The running application is a live object, so the module stays while it is open.
STDAPI DllCanUnloadNow() { return base::CanUnloadNow(); }

extern "C" HRESULT WINAPI OutlookStandinOpen(const wchar_t* profileFolder, BSTR* profileName,
                                             HANDLE* quitRequested) noexcept {
    if (!profileName || !quitRequested) return E_POINTER;
    *profileName = nullptr;
    *quitRequested = nullptr;
    return base::ReturnOr([&] { return Open(profileFolder, profileName, quitRequested); }, E_OUTOFMEMORY);
}

extern "C" HRESULT WINAPI OutlookStandinGetHostSettings(OutlookStandinHostSettings* settings) noexcept {
    if (!settings) return E_POINTER;
    *settings = OutlookStandinHostSettings{};
    return base::ReturnOr(
        [&] {
            {
                const std::lock_guard lock(g_lock);
                if (!g_application) return E_UNEXPECTED;
            }
            std::shared_ptr<standin::store::Profile> profile;
            std::wstring folder;
            HRESULT hr = standin::store::FindHostProfile(folder);
            if (FAILED(hr) || FAILED(hr = standin::store::Profile::Open(folder, profile))) return hr;
            standin::store::ProfileSettings read;
            if (FAILED(hr = profile->GetSettings(read))) return hr;
            if (read.locale.size() >= std::size(settings->locale))
                return HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);
            settings->mainThreadBusyMs = read.mainThreadBusyMs;
            read.locale.copy(settings->locale, read.locale.size());
            return S_OK;
        },
        E_OUTOFMEMORY);
}

extern "C" void WINAPI OutlookStandinGetCallCounts(OutlookStandinCallCounts* counts) noexcept {
    if (counts)
        *counts = {standin::outlook::CallGate::invoked(), standin::outlook::CallGate::namesLookedUp()};
}

extern "C" HRESULT WINAPI OutlookStandinAddAddIn(const wchar_t* progId, IDispatch** entry) noexcept {
    if (!entry) return E_POINTER;
    *entry = nullptr;
    const std::lock_guard lock(g_lock);
    if (!g_application) return E_UNEXPECTED;
    base::ComPtr<IDispatch> added;
    const HRESULT hr = g_application->addIns().Add(progId, added);
    *entry = added.detach();
    return hr;
}

extern "C" void WINAPI OutlookStandinClose() noexcept {
    g_runningClass.Revoke();
    base::ComPtr<ApplicationObject> closing;
    {
        const std::lock_guard lock(g_lock);
        closing = std::move(g_application);
    }
    if (closing) closing->addIns().DisconnectAll();  // outside the lock: add-in objects may call back
}
