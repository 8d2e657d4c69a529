#include "addin/module.h"

#include <objbase.h>

#include <iterator>
#include <new>
#include <string>

#include "addin/connect.h"
#include "addin/connect_ids.h"
#include "addin/registration.h"
#include "addin/resource.h"
#include "base/boundary.h"
#include "base/com.h"
#include "base/com_object.h"
#include "server/mail_server.h"

namespace addin {

CTallowmerePluginModule g_module;

namespace {

// Shows that the add-in is loaded in some process of this session. Never waited on.
constexpr wchar_t kRunningMarkerName[] = L"Local\\Kestrava.TallowmerePlugin.RunningMtx";
constexpr DWORD kTypeInfoLockSpinCount = 0;

base::ClassFactory<&base::CreateNew<CConnect>> g_connectClassObject;

// The module's classes, each with its class object and its registration script.
struct ClassEntry {
    const CLSID* clsid;
    IClassFactory* classObject;
    UINT scriptId;
};
const ClassEntry kClassTable[] = {
    {&CLSID_Connect, &g_connectClassObject, IDR_CONNECT},
};

// The registration scripts of the module with their replacements: %APPID% for the
// AppID script; %MODULE% (this module's full path) and %APPID% for a class's script.
class RegistrationScripts {
public:
    [[nodiscard]] HRESULT Prepare(const CTallowmerePluginModule& module) noexcept {
        ::StringFromGUID2(APPID_TallowmerePlugin, appId_, static_cast<int>(std::size(appId_)));
        return module.GetModulePath(path_);
    }
    [[nodiscard]] const wchar_t* modulePath() const noexcept { return path_.c_str(); }

    [[nodiscard]] HRESULT RunAppIdScript(ScriptMode mode) const noexcept {
        const Replacement replacements[] = {{L"APPID", appId_}};
        return RunRegistrationScript(modulePath(), IDR_TALLOWMEREPLUGIN, replacements, mode);
    }
    [[nodiscard]] HRESULT RunClassScript(const ClassEntry& entry, ScriptMode mode) const noexcept {
        const Replacement replacements[] = {{L"MODULE", modulePath()}, {L"APPID", appId_}};
        return RunRegistrationScript(modulePath(), entry.scriptId, replacements, mode);
    }

private:
    std::wstring path_;
    wchar_t appId_[39] = {};  // "{...}", the registry form
};

}  // namespace

bool CTallowmerePluginModule::Attach(HINSTANCE instance) noexcept {
    instance_ = instance;
    runningMarker_.reset(::CreateMutexW(nullptr, FALSE, kRunningMarkerName));
    return typeInfoLock_.Initialize(kTypeInfoLockSpinCount);
}

void CTallowmerePluginModule::Detach() noexcept { runningMarker_.reset(); }

HRESULT CTallowmerePluginModule::CanUnloadNow() const noexcept {
    return g_mailServer.stopEvent() ? S_FALSE : base::CanUnloadNow();
}

HRESULT CTallowmerePluginModule::GetClassObject(REFCLSID clsid, REFIID iid, void** out) noexcept {
    HRESULT hr = CLASS_E_CLASSNOTAVAILABLE;
    for (const ClassEntry& entry : kClassTable) {
        hr = base::GetClassObject(*entry.clsid, *entry.classObject, clsid, iid, out);
        if (hr != CLASS_E_CLASSNOTAVAILABLE) break;
    }
    return hr;
}

HRESULT CTallowmerePluginModule::GetModulePath(std::wstring& path) const noexcept {
    wchar_t buffer[MAX_PATH];
    const DWORD length = ::GetModuleFileNameW(instance_, buffer, MAX_PATH);
    if (length == 0 || length == MAX_PATH) return HRESULT_FROM_WIN32(::GetLastError());
    if (!base::Completes([&] { path.assign(buffer, length); })) {
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

HRESULT CTallowmerePluginModule::RegisterServer() noexcept {
    RegisterAddInKey();

    const base::ScopedComInitializer apartment;  // the registrar is a COM class
    const SystemThreadLocale systemLocale;
    RegistrationScripts scripts;
    HRESULT hr = scripts.Prepare(*this);
    if (FAILED(hr)) return hr;
    hr = scripts.RunAppIdScript(ScriptMode::kRegister);
    if (FAILED(hr)) return hr;
    for (const ClassEntry& entry : kClassTable) {
        hr = scripts.RunClassScript(entry, ScriptMode::kRegister);
        if (FAILED(hr)) return hr;
    }
    return RegisterTypeLibrary(scripts.modulePath());
}

HRESULT CTallowmerePluginModule::UnregisterServer() noexcept {
    UnregisterAddInKey();

    const base::ScopedComInitializer apartment;
    const SystemThreadLocale systemLocale;
    RegistrationScripts scripts;
    HRESULT hr = scripts.Prepare(*this);
    if (FAILED(hr)) return hr;
    for (const ClassEntry& entry : kClassTable) {
        hr = scripts.RunClassScript(entry, ScriptMode::kUnregister);
        if (FAILED(hr)) return hr;
    }
    hr = UnregisterTypeLibrary(scripts.modulePath());
    if (FAILED(hr)) return hr;
    return scripts.RunAppIdScript(ScriptMode::kUnregister);
}

}  // namespace addin
