// DllRegisterServer: the module as the in-process server of Outlook's Application
// class, and the Add-In Designer type library it carries (TYPELIB resource 1).
// Both under HKCR, where Wine's COM looks (see host_api.h).
#include <olectl.h>

#include <new>
#include <string>

#include "base/com.h"
#include "base/unique_resource.h"
#include "outlook/outlook_interfaces.h"

namespace {

constexpr wchar_t kClassName[] = L"Outlook Application (stand-in)";
constexpr wchar_t kThreadingModel[] = L"Both";
constexpr wchar_t kInprocServer[] = L"\\InprocServer32";

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

[[nodiscard]] HRESULT RegisterServer() {
    std::wstring path;
    HRESULT hr = ModulePath(path);
    if (FAILED(hr)) return hr;
    wchar_t clsid[39] = {};
    if (::StringFromGUID2(CLSID_OutlookApplication, clsid, ARRAYSIZE(clsid)) == 0) return E_UNEXPECTED;
    const std::wstring classKey = std::wstring(L"CLSID\\") + clsid;
    if (FAILED(hr = SetClassesText(classKey, nullptr, kClassName)) ||
        FAILED(hr = SetClassesText(classKey + kInprocServer, nullptr, path)) ||
        FAILED(hr = SetClassesText(classKey + kInprocServer, L"ThreadingModel", kThreadingModel))) {
        return hr;
    }
    base::ComPtr<ITypeLib> library;
    return ::LoadTypeLibEx(path.c_str(), REGKIND_REGISTER, library.put());
}

}  // namespace

STDAPI DllRegisterServer() {
    try {
        return RegisterServer();
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}
