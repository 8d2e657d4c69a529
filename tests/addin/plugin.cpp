#include "tests/addin/plugin.h"

#include "base/unique_resource.h"

namespace addintest {
namespace {

using GetClassObjectExport = HRESULT(WINAPI*)(REFCLSID, REFIID, void**);
using PlainExport = HRESULT(WINAPI*)();
constexpr DWORD kProgramTimeoutMs = 60000;  // a limit for hung programs, not a measure

}  // namespace

std::wstring PluginPath() {
    wchar_t self[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring path(self, length);
    return path.substr(0, path.find_last_of(L'\\') + 1) + L"TallowmerePlugin.dll";
}

LoadedPlugin::LoadedPlugin() : module_(LoadLibraryW(PluginPath().c_str())) {}

HRESULT LoadedPlugin::GetClassObject(REFCLSID clsid, REFIID iid, void** out) const {
    return Find<GetClassObjectExport>("DllGetClassObject")(clsid, iid, out);
}

HRESULT LoadedPlugin::CanUnloadNow() const { return Find<PlainExport>("DllCanUnloadNow")(); }

HRESULT LoadedPlugin::RegisterServer() const { return Find<PlainExport>("DllRegisterServer")(); }

HRESULT LoadedPlugin::UnregisterServer() const { return Find<PlainExport>("DllUnregisterServer")(); }

HRESULT LoadedPlugin::CreateConnect(base::ComPtr<_IDTExtensibility2>& connect) const {
    base::ComPtr<IClassFactory> factory;
    const HRESULT hr = GetClassObject(CLSID_Connect, IID_IClassFactory, factory.put_void());
    if (FAILED(hr)) return hr;
    return factory->CreateInstance(nullptr, __uuidof(_IDTExtensibility2), connect.put_void());
}

std::wstring GuidText(const GUID& guid) {
    wchar_t text[39];
    StringFromGUID2(guid, text, 39);
    return text;
}

DWORD RunSystemProgram(const std::wstring& commandLine) {
    std::wstring mutableLine = commandLine;
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    if (!CreateProcessW(nullptr, mutableLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info))
        return ~0u;
    const base::UniqueHandle process(info.hProcess), thread(info.hThread);
    DWORD code = ~0u;
    if (WaitForSingleObject(process.get(), kProgramTimeoutMs) != WAIT_OBJECT_0 ||
        !GetExitCodeProcess(process.get(), &code)) {
        TerminateProcess(process.get(), ~0u);
        return ~0u;
    }
    return code;
}

}  // namespace addintest
