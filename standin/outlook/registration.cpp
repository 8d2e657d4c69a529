// DllRegisterServer: the module as the in-process server of the running class's
// unmarshaler, and the type libraries it carries (TYPELIB resources 1 and 2). Under
// HKCR, where Wine's COM looks: its CoCreateInstance does not find classes registered
// only under HKCU\Software\Classes.
#include <olectl.h>

#include <new>
#include <string>

#include "base/boundary.h"
#include "base/com.h"
#include "base/unique_resource.h"
#include "outlook/outlook_interfaces.h"
#include "standin/outlook/running_class.h"

namespace {

constexpr wchar_t kClassName[] = L"Outlook Application (stand-in)";
constexpr wchar_t kUnmarshalerName[] = L"Outlook Application's marshaling (stand-in)";
constexpr wchar_t kThreadingModel[] = L"Both";
constexpr wchar_t kInprocServer[] = L"\\InprocServer32";
// The type libraries' resource numbers, as LoadTypeLibEx takes them after the path.
constexpr const wchar_t* kTypeLibraries[] = {L"\\1", L"\\2"};

[[nodiscard]] HRESULT ModulePath(std::wstring& path) {
    HMODULE module = nullptr;
    if (!::GetModuleHandleExW(
            GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
            reinterpret_cast<LPCWSTR>(&ModulePath), &module)) {
        return HRESULT_FROM_WIN32(::GetLastError());
    }
    path.assign(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = ::GetModuleFileNameW(module, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0) return HRESULT_FROM_WIN32(::GetLastError());
        if (length < path.size()) {
            path.resize(length);
            return S_OK;
        }
        path.resize(path.size() * 2);
    }
}

// Writes the text value `name` (null: the default value) of HKCR\`subkey`.
[[nodiscard]] HRESULT SetClassesText(const std::wstring& subkey, const wchar_t* name,
                                     const std::wstring& text) {
    base::UniqueRegKey key;
    LSTATUS status = ::RegCreateKeyExW(HKEY_CLASSES_ROOT, subkey.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                       KEY_SET_VALUE, nullptr, key.put(), nullptr);
    if (status != ERROR_SUCCESS) return HRESULT_FROM_WIN32(status);
    status = ::RegSetValueExW(key.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                              static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
    return HRESULT_FROM_WIN32(status);
}

[[nodiscard]] std::wstring ClassKey(REFCLSID clsid) {
    wchar_t text[39] = {};
    static_cast<void>(::StringFromGUID2(clsid, text, ARRAYSIZE(text)));
    return std::wstring(L"CLSID\\") + text;
}

[[nodiscard]] HRESULT RegisterServer() {
    std::wstring path;
    HRESULT hr = ModulePath(path);
    if (FAILED(hr)) return hr;
    const std::wstring applicationKey = ClassKey(CLSID_OutlookApplication);
    const std::wstring unmarshalerKey = ClassKey(standin::outlook::CLSID_RunningClassUnmarshaler);
    if (FAILED(hr = SetClassesText(applicationKey, nullptr, kClassName)) ||
        FAILED(hr = SetClassesText(unmarshalerKey, nullptr, kUnmarshalerName)) ||
        FAILED(hr = SetClassesText(unmarshalerKey + kInprocServer, nullptr, path)) ||
        FAILED(hr = SetClassesText(unmarshalerKey + kInprocServer, L"ThreadingModel", kThreadingModel))) {
        return hr;
    }
    // Only a running host offers the application: an in-process server of it (as
    // earlier builds registered) would be taken first.
    const LSTATUS deleted = ::RegDeleteTreeW(HKEY_CLASSES_ROOT, (applicationKey + kInprocServer).c_str());
    if (deleted != ERROR_SUCCESS && deleted != ERROR_FILE_NOT_FOUND) return HRESULT_FROM_WIN32(deleted);
    // Registered with its resource number: Wine's LoadTypeLibEx(REGKIND_REGISTER) records
    // the module alone, which names resource 1.
    std::wstring folder = path.substr(0, path.find_last_of(L'\\'));
    for (const wchar_t* resource : kTypeLibraries) {
        std::wstring library = path + resource;
        base::ComPtr<ITypeLib> loaded;
        if (FAILED(hr = ::LoadTypeLibEx(library.c_str(), REGKIND_NONE, loaded.put())) ||
            FAILED(hr = ::RegisterTypeLib(loaded.get(), library.data(), folder.data()))) {
            return hr;
        }
    }
    return S_OK;
}

}  // namespace

STDAPI DllRegisterServer() {
    return base::ReturnOr([&] { return RegisterServer(); }, E_OUTOFMEMORY);
}
