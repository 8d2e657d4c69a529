#include "standin/store/layout.h"

#include <mapicode.h>

#include <cstdio>
#include <cstring>

#include "standin/mapi/hex.h"
#include "standin/store/files.h"
#include "standin/store/names.h"

namespace standin::store {

uint64_t Fnv1a(std::wstring_view text, uint64_t seed) {
    uint64_t hash = seed;
    for (const wchar_t c : text) {
        hash = (hash ^ static_cast<uint16_t>(c)) * 0x100000001b3ULL;
    }
    return hash;
}

std::wstring UpperCase(std::wstring text) {
    if (!text.empty()) CharUpperBuffW(text.data(), static_cast<DWORD>(text.size()));
    return text;
}

std::wstring LastComponent(const std::wstring& path) {
    const size_t slash = path.rfind(L'\\');
    return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

std::string ItemFaultKey(uint32_t number) {
    return std::string(kMessageFault) + "." + std::to_string(number);
}

HRESULT ReadFaults(Metadata& metadata, FaultScope scope, const char* key, uint32_t& faults) {
    faults = 0;
    const std::wstring* words = metadata.Find(key);
    std::wstring bad;
    if (words && !ParseFaults(scope, *words, faults, bad)) return MAPI_E_CORRUPT_DATA;
    return S_OK;
}

void WriteFaults(Metadata& metadata, FaultScope scope, const std::string& key, uint32_t faults) {
    if (faults == 0) {
        metadata.Remove(key);
    } else {
        metadata.Set(key, FaultWords(scope, faults));
    }
}

HRESULT ChooseDirectoryName(const std::wstring& parent, std::wstring_view displayName, uint32_t id,
                            std::wstring& directory) {
    const std::wstring candidates[] = {DirectoryNameFor(displayName, id, false),
                                       DirectoryNameFor(displayName, id, true)};
    for (const std::wstring& candidate : candidates) {
        if (GetFileAttributesW(JoinPath(parent, candidate).c_str()) == INVALID_FILE_ATTRIBUTES) {
            directory = candidate;
            return S_OK;
        }
    }
    return MAPI_E_COLLISION;
}

HRESULT CreateDirectoryWith(const std::wstring& parent, const std::wstring& directory,
                            const std::vector<std::pair<const wchar_t*, const Metadata*>>& files) {
    const std::wstring temporary = JoinPath(parent, TemporaryName());
    if (!CreateDirectoryW(temporary.c_str(), nullptr)) return HresultFromFileError(GetLastError());
    HRESULT hr = S_OK;
    for (const auto& [name, metadata] : files) {
        hr = metadata->Save(JoinPath(temporary, name));
        if (FAILED(hr)) break;
    }
    if (SUCCEEDED(hr) && !MoveFileExW(temporary.c_str(), JoinPath(parent, directory).c_str(), 0)) {
        hr = HresultFromFileError(GetLastError());
    }
    if (FAILED(hr)) (void)DeleteTree(temporary);
    return hr;
}

Metadata NewFolderMetadata(uint32_t id, ItemType type, std::wstring_view name,
                           const std::wstring& directory) {
    Metadata metadata;
    metadata.AddComment(L"A folder of the stand-in mail store. Items are the numbered .msg files.");
    metadata.SetNumber(kId, id);
    metadata.Set(kType, ItemTypeWord(type));
    if (name != directory) metadata.Set(kName, name);
    metadata.SetNumber(kNextItem, kFirstItemNumber);
    return metadata;
}

std::wstring FolderFileOf(const Folder& folder) { return JoinPath(folder.path(), kFolderFile); }
std::wstring StoreFileOf(const Store& store) { return JoinPath(store.path(), kStoreFile); }

std::wstring ItemFileName(uint32_t number) {
    wchar_t name[32];
    _snwprintf(name, std::size(name), L"%08u.msg", number);
    return name;
}

bool ParseItemFileName(std::wstring_view name, uint32_t& number) noexcept {
    constexpr std::wstring_view extension = L".msg";
    constexpr size_t minDigits = 8, maxDigits = 10;
    if (name.size() < minDigits + extension.size() || name.size() > maxDigits + extension.size())
        return false;
    if (!SameName(name.substr(name.size() - extension.size()), extension)) return false;
    uint64_t value = 0;
    for (const wchar_t c : name.substr(0, name.size() - extension.size())) {
        if (c < L'0' || c > L'9') return false;
        value = value * 10 + static_cast<uint64_t>(c - L'0');
    }
    if (value == 0 || value > UINT32_MAX) return false;
    number = static_cast<uint32_t>(value);
    return true;
}

std::wstring GuidToHex(const GUID& guid) {
    return mapi::HexText(reinterpret_cast<const BYTE*>(&guid), sizeof(guid));
}

bool GuidFromHex(std::wstring_view text, GUID& guid) noexcept {
    return text.size() == 2 * sizeof(GUID) &&
           mapi::DecodeHex(text, reinterpret_cast<BYTE*>(&guid), sizeof(guid));
}

GUID StableGuid(std::wstring_view text) {
    const std::wstring upper = UpperCase(std::wstring(text));
    const uint64_t parts[2] = {Fnv1a(upper, 0xcbf29ce484222325ULL), Fnv1a(upper, 0x84222325cbf29ce4ULL)};
    GUID uid{};
    static_assert(sizeof(parts) == sizeof(uid));
    std::memcpy(&uid, parts, sizeof(uid));
    return uid;
}

}  // namespace standin::store
