// How the store lies on disk, for the store's own classes: the metadata files,
// their keys, and the steps that create folders and stores.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "standin/store/faults.h"
#include "standin/store/metadata.h"
#include "standin/store/profile.h"

namespace standin::store {

inline constexpr wchar_t kProfileFile[] = L"profile.ini";
inline constexpr wchar_t kStoreFile[] = L"store.ini";
inline constexpr wchar_t kFolderFile[] = L"folder.ini";
inline constexpr uint32_t kRootFolderId = 1;
inline constexpr uint32_t kFirstItemNumber = 1;

// Keys of the metadata files.
inline constexpr char kName[] = "name";
inline constexpr char kStore[] = "store";
inline constexpr char kDefaultStore[] = "default-store";
inline constexpr char kFault[] = "fault";
inline constexpr char kUid[] = "uid";
inline constexpr char kServiceUid[] = "service-uid";
inline constexpr char kNextFolderId[] = "next-folder-id";
inline constexpr char kFolderRolePrefix[] = "folder.";
inline constexpr char kId[] = "id";
inline constexpr char kType[] = "type";
inline constexpr char kNextItem[] = "next-item";
inline constexpr char kMessageFault[] = "message-fault";
inline constexpr char kDataFile[] = "data-file";

[[nodiscard]] uint64_t Fnv1a(std::wstring_view text, uint64_t seed);
[[nodiscard]] std::wstring UpperCase(std::wstring text);
[[nodiscard]] std::wstring LastComponent(const std::wstring& path);
[[nodiscard]] std::wstring FolderFileOf(const Folder& folder);
[[nodiscard]] std::wstring StoreFileOf(const Store& store);
// The key of item `number`'s own message faults in folder.ini.
[[nodiscard]] std::string ItemFaultKey(uint32_t number);

// A missing key means no faults; words of another scope are corrupt data.
[[nodiscard]] HRESULT ReadFaults(Metadata& metadata, FaultScope scope, const char* key, uint32_t& faults);
// No faults removes the key.
void WriteFaults(Metadata& metadata, FaultScope scope, const std::string& key, uint32_t faults);

// Picks a directory name for a new folder or store that no entry of `parent` has.
[[nodiscard]] HRESULT ChooseDirectoryName(const std::wstring& parent, std::wstring_view displayName,
                                          uint32_t id, std::wstring& directory);
// Writes metadata files into a new directory `parent\directory`, which appears whole.
[[nodiscard]] HRESULT CreateDirectoryWith(
    const std::wstring& parent, const std::wstring& directory,
    const std::vector<std::pair<const wchar_t*, const Metadata*>>& files);
[[nodiscard]] Metadata NewFolderMetadata(uint32_t id, ItemType type, std::wstring_view name,
                                         const std::wstring& directory);

}  // namespace standin::store
