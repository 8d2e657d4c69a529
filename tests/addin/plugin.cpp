#include "tests/addin/plugin.h"

#include "base/unique_resource.h"
#include "tests/support/child_process.h"

namespace addintest {
namespace {

using GetClassObjectExport = HRESULT(WINAPI*)(REFCLSID, REFIID, void**);
using PlainExport = HRESULT(WINAPI*)();

}  // namespace

std::wstring PluginPath() { return testsupport::BesideThisProgram(L"TallowmerePlugin.dll"); }

LoadedPlugin::LoadedPlugin() : module_(LoadLibraryW(PluginPath().c_str())) {}

HRESULT LoadedPlugin::CanUnloadNow() const { return Find<PlainExport>("DllCanUnloadNow")(); }

HRESULT LoadedPlugin::RegisterServer() const { return Find<PlainExport>("DllRegisterServer")(); }

HRESULT LoadedPlugin::UnregisterServer() const { return Find<PlainExport>("DllUnregisterServer")(); }

HRESULT LoadedPlugin::CreateConnect(base::ComPtr<_IDTExtensibility2>& connect) const {
    base::ComPtr<IClassFactory> factory;
    const HRESULT hr =
        Find<GetClassObjectExport>("DllGetClassObject")(CLSID_Connect, IID_IClassFactory, factory.put_void());
    if (FAILED(hr)) return hr;
    return factory->CreateInstance(nullptr, __uuidof(_IDTExtensibility2), connect.put_void());
}

HRESULT RegisterPlugin() {
    const LoadedPlugin plugin;
    return plugin.loaded() ? plugin.RegisterServer() : HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND);
}

std::wstring GuidText(const GUID& guid) {
    wchar_t text[39];
    StringFromGUID2(guid, text, 39);
    return text;
}

std::vector<std::wstring> ClassKeys() {
    return {L"TallowmerePlugin.Connect",
            L"TallowmerePlugin.Connect.1",
            L"CLSID\\" + GuidText(CLSID_Connect),
            L"AppID\\" + GuidText(APPID_TallowmerePlugin),
            L"AppID\\TallowmerePlugin.DLL",
            L"TypeLib\\" + GuidText(LIBID_TallowmerePluginLib),
            L"Interface\\" + GuidText(__uuidof(IConnect))};
}

bool KeyExists(HKEY root, const std::wstring& path) {
    base::UniqueRegKey key;
    return RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, key.put()) == ERROR_SUCCESS;
}

}  // namespace addintest
