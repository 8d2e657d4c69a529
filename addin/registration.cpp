#include "addin/registration.h"

#include <oleauto.h>

#include <algorithm>
#include <array>
#include <string>
#include <string_view>

#include "addin/addin_key.h"
#include "addin/connect_ids.h"
#include "addin/registrar.h"
#include "base/boundary.h"
#include "base/com.h"
#include "base/unique_resource.h"

namespace addin {
namespace {

constexpr wchar_t kScriptResourceType[] = L"REGISTRY";
constexpr BYTE kWindowsXpMajorVersion = 5;
constexpr size_t kTextValueCapacity = 256;

// A REG_SZ value of exactly the text's characters (at most 256), without a terminating
// zero. RegSetValueExW stores one character more when the counted text is followed by a
// zero in memory, so the text goes into a buffer whose remaining characters are not zero.
void SetTextValue(HKEY key, const wchar_t* name, std::wstring_view text) noexcept {
    std::array<wchar_t, kTextValueCapacity + 1> buffer;
    buffer.fill(L' ');
    const size_t length = std::min(text.size(), kTextValueCapacity);
    std::copy_n(text.begin(), length, buffer.begin());
    ::RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(buffer.data()),
                     static_cast<DWORD>(length * sizeof(wchar_t)));
}

// Only removal names the 32-bit view, and not on Windows XP (major version 5).
[[nodiscard]] REGSAM RemovalView() noexcept {
    return LOBYTE(LOWORD(::GetVersion())) == kWindowsXpMajorVersion ? 0 : KEY_WOW64_32KEY;
}

// The folder part of a path, up to and including its last "\", "/" or ":".
[[nodiscard]] std::wstring FolderOf(const wchar_t* path) {
    const std::wstring text(path);
    const size_t separator = text.find_last_of(L"\\/:");
    return separator == std::wstring::npos ? std::wstring() : text.substr(0, separator + 1);
}

[[nodiscard]] HRESULT LoadModuleTypeLibrary(const wchar_t* modulePath,
                                            base::ComPtr<ITypeLib>& library) noexcept {
    return ::LoadTypeLibEx(modulePath, REGKIND_NONE, library.put());
}

}  // namespace

void RegisterAddInKey() noexcept {
    base::UniqueRegKey key;
    const bool created = base::ReturnOr(
        [&] {
            const std::wstring path = std::wstring(kAddInsKey) + kConnectProgId;  // named by the ProgID
            return ::RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                     KEY_WRITE, nullptr, key.put(), nullptr) == ERROR_SUCCESS;
        },
        false);
    if (!created) return;
    ::RegSetValueExW(key.get(), L"LoadBehavior", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&kLoadBehavior),
                     sizeof(kLoadBehavior));
    SetTextValue(key.get(), L"FriendlyName", kFriendlyName);
    SetTextValue(key.get(), L"Description", kDescription);
}

void UnregisterAddInKey() noexcept {
    const REGSAM view = RemovalView();
    base::UniqueRegKey addIns;
    if (::RegOpenKeyExW(HKEY_CURRENT_USER, kAddInsKey, 0, KEY_ALL_ACCESS | view, addIns.put()) !=
        ERROR_SUCCESS)
        return;
    ::RegDeleteKeyExW(addIns.get(), kConnectProgId, view, 0);
}

HRESULT RunRegistrationScript(const wchar_t* modulePath, UINT resourceId,
                              std::span<const Replacement> replacements, ScriptMode mode) noexcept {
    base::ComPtr<IRegistrar> registrar;
    HRESULT hr = ::CoCreateInstance(CLSID_Registrar, nullptr, CLSCTX_INPROC_SERVER, __uuidof(IRegistrar),
                                    registrar.put_void());
    if (FAILED(hr)) return hr;
    for (const Replacement& replacement : replacements) {
        hr = registrar->AddReplacement(replacement.key, replacement.value);
        if (FAILED(hr)) return hr;
    }
    return mode == ScriptMode::kRegister
               ? registrar->ResourceRegister(modulePath, resourceId, kScriptResourceType)
               : registrar->ResourceUnregister(modulePath, resourceId, kScriptResourceType);
}

HRESULT RegisterTypeLibrary(const wchar_t* modulePath) noexcept {
    base::ComPtr<ITypeLib> library;
    const HRESULT hr = LoadModuleTypeLibrary(modulePath, library);
    if (FAILED(hr)) return hr;
    return base::ReturnOr(
        [&] {
            std::wstring helpFolder = FolderOf(modulePath);
            return ::RegisterTypeLib(library.get(), const_cast<wchar_t*>(modulePath), helpFolder.data());
        },
        E_OUTOFMEMORY);
}

HRESULT UnregisterTypeLibrary(const wchar_t* modulePath) noexcept {
    base::ComPtr<ITypeLib> library;
    HRESULT hr = LoadModuleTypeLibrary(modulePath, library);
    if (FAILED(hr)) return hr;
    TLIBATTR* attributes = nullptr;
    hr = library->GetLibAttr(&attributes);
    if (FAILED(hr)) return hr;
    const TLIBATTR identity = *attributes;
    library->ReleaseTLibAttr(attributes);
    return ::UnRegisterTypeLib(identity.guid, identity.wMajorVerNum, identity.wMinorVerNum, identity.lcid,
                               identity.syskind);
}

}  // namespace addin
