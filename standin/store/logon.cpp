#include "standin/store/logon.h"

#include <mapicode.h>

#include <cstring>
#include <cwchar>
#include <new>

#include "base/boundary.h"
#include "base/unique_resource.h"
#include "standin/mapi/hex.h"
#include "standin/store/files.h"
#include "standin/store/mapi_objects.h"
#include "standin/store/names.h"

namespace standin::store {

namespace {

constexpr wchar_t kProfilesFolder[] = L"profiles";
constexpr wchar_t kDefaultProfileFolder[] = L"default";
constexpr wchar_t kProfileFile[] = L"profile.ini";
constexpr ULONG kMapiUseDefault = 0x00000040;  // MAPI_USE_DEFAULT

std::wstring Environment(const wchar_t* name) {
    const DWORD size = GetEnvironmentVariableW(name, nullptr, 0);
    if (size == 0) return {};
    std::wstring value(size, L'\0');
    const DWORD length = GetEnvironmentVariableW(name, value.data(), size);
    value.resize(length < size ? length : 0);
    return value;
}

// The folder that holds the folder of this module: build\ for build\bin\mapi32.dll.
std::wstring ModuleParentFolder() {
    HMODULE module = nullptr;
    if (!GetModuleHandleExW(
            GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
            reinterpret_cast<LPCWSTR>(&ModuleParentFolder), &module)) {
        return {};
    }
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = GetModuleFileNameW(module, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0) return {};
        if (length < path.size()) {
            path.resize(length);
            break;
        }
        path.resize(path.size() * 2);
    }
    for (int level = 0; level < 2; ++level) {
        const size_t slash = path.find_last_of(L"\\/");
        if (slash == std::wstring::npos) return {};
        path.resize(slash);
    }
    return path;
}

std::wstring ProfilesFolder() {
    std::wstring folder = Environment(kProfilesVariable);
    return folder.empty() ? JoinPath(ModuleParentFolder(), kProfilesFolder) : folder;
}

// Appends the name's bytes as MAPILogonEx received them, in hexadecimal, and the
// flags to the logon record: a caller's tests see there the exact text a logon
// passed, which the shared session otherwise ignores.
void RecordLogon(const void* profileName, ULONG flags) {
    std::string line = "flags=" + std::to_string(flags) + " name=";
    if (!profileName) {
        line += "none";
    } else {
        const size_t size = (flags & MAPI_UNICODE) ? std::wcslen(static_cast<const wchar_t*>(profileName)) * 2
                                                   : std::strlen(static_cast<const char*>(profileName));
        const size_t at = line.size();
        line.resize(at + 2 * size);
        mapi::EncodeHex(static_cast<const BYTE*>(profileName), size, line.data() + at);
    }
    AppendLogonRecord(std::move(line));
}

bool ProfileHasName(const std::wstring& folder, const std::wstring& name) {
    std::shared_ptr<Profile> profile;
    std::wstring profileName;
    return SUCCEEDED(Profile::Open(folder, profile)) && SUCCEEDED(profile->GetName(profileName)) &&
           SameName(profileName, name);
}

}  // namespace

void AppendLogonRecord(std::string line) noexcept {
    try {
        const std::wstring path = Environment(kLogonRecordVariable);
        if (path.empty()) return;
        line += "\r\n";
        base::UniqueFile file(CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                          nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        DWORD written = 0;
        if (file)
            (void)WriteFile(file.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    } catch (const std::bad_alloc&) {
    }
}

HRESULT FindHostProfile(std::wstring& folder) {
    folder = Environment(kHostProfileVariable);
    if (folder.empty())
        folder = JoinPath(JoinPath(ModuleParentFolder(), kProfilesFolder), kDefaultProfileFolder);
    return IsFile(JoinPath(folder, kProfileFile)) ? S_OK : MAPI_E_NOT_FOUND;
}

HRESULT FindProfileByName(const std::wstring& name, std::wstring& folder) {
    std::wstring host;
    if (SUCCEEDED(FindHostProfile(host)) && ProfileHasName(host, name)) {
        folder = host;
        return S_OK;
    }
    const std::wstring profiles = ProfilesFolder();
    std::vector<DirectoryEntry> entries;
    if (FAILED(ListDirectory(profiles, entries))) return MAPI_E_NOT_FOUND;
    for (const DirectoryEntry& entry : entries) {
        const std::wstring candidate = JoinPath(profiles, entry.name);
        if (entry.isDirectory && ProfileHasName(candidate, name)) {
            folder = candidate;
            return S_OK;
        }
    }
    return MAPI_E_NOT_FOUND;
}

HRESULT Logon(const void* profileName, ULONG flags, base::ComPtr<IMAPISession>& session) noexcept {
    return base::ReturnOr(
        [&] {
            RecordLogon(profileName, flags);
            // "MAPILogonEx": without MAPI_NEW_SESSION the existing shared session (the
            // host's, which shares it) is used even when a profile is named; a narrow
            // name is in the ANSI code page.
            const bool shared = !(flags & MAPI_NEW_SESSION);
            const std::wstring name = shared ? std::wstring() : TextArgument(profileName, flags);
            std::wstring folder;
            HRESULT hr = S_OK;
            if (!name.empty()) {
                hr = FindProfileByName(name, folder);
            } else if (shared || (flags & kMapiUseDefault)) {
                hr = FindHostProfile(folder);
            } else {
                hr = MAPI_E_LOGON_FAILED;  // a new session on no profile: MAPI would ask the user
            }
            if (FAILED(hr)) return MAPI_E_LOGON_FAILED;
            std::shared_ptr<Profile> profile;
            uint32_t faults = 0;
            if (FAILED(Profile::Open(folder, profile)) || FAILED(profile->GetFaults(faults)) ||
                (faults & fault::kLogon)) {
                return MAPI_E_LOGON_FAILED;
            }
            return CreateSession(std::move(profile), shared, session);
        },
        MAPI_E_NOT_ENOUGH_MEMORY);
}

}  // namespace standin::store
