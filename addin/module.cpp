#include "addin/module.h"

#include <objbase.h>

#include <iterator>
#include <new>
#include <string>

#include "addin/com_object.h"
#include "addin/connect.h"
#include "addin/connect_ids.h"
#include "addin/registration.h"
#include "addin/resource.h"
#include "base/com.h"

namespace addin {

CTallowmerePluginModule g_module;

namespace {

// Shows that the add-in is loaded in some process of this session. Never waited on.
constexpr wchar_t kRunningMarkerName[] = L"Local\\Kestrava.TallowmerePlugin.RunningMtx";
constexpr DWORD kTypeInfoLockSpinCount = 0;

ClassObject<CConnect> g_connectClassObject;

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

void CTallowmerePluginModule::Lock() noexcept { ::InterlockedIncrement(&lockCount_); }

void CTallowmerePluginModule::Unlock() noexcept { ::InterlockedDecrement(&lockCount_); }

LONG CTallowmerePluginModule::LockCount() const noexcept { return lockCount_; }

HRESULT CTallowmerePluginModule::GetClassObject(REFCLSID clsid, REFIID iid, void** out) noexcept {
    if (!out) return E_POINTER;
    *out = nullptr;
    for (const ClassEntry& entry : kClassTable) {
        if (IsEqualCLSID(clsid, *entry.clsid)) return entry.classObject->QueryInterface(iid, out);
    }
    return CLASS_E_CLASSNOTAVAILABLE;
}

HRESULT CTallowmerePluginModule::GetModulePath(std::wstring& path) const noexcept {
    wchar_t buffer[MAX_PATH];
    const DWORD length = ::GetModuleFileNameW(instance_, buffer, MAX_PATH);
    if (length == 0 || length == MAX_PATH) return HRESULT_FROM_WIN32(::GetLastError());
    try {
        path.assign(buffer, length);
    } catch (const std::bad_alloc&) {
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
