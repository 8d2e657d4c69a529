// The words of the metadata files (item types, special folders)
// and the rules that turn display names into directory names.
#pragma once

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "standin/store/profile.h"

namespace standin::store {

[[nodiscard]] std::wstring_view ItemTypeWord(ItemType type) noexcept;
[[nodiscard]] std::optional<ItemType> ItemTypeFromWord(std::wstring_view word) noexcept;
// The PR_CONTAINER_CLASS of a folder of that type ("IPF.Note"...).
[[nodiscard]] std::wstring_view ContainerClass(ItemType type) noexcept;

[[nodiscard]] std::wstring_view FolderRoleWord(FolderRole role) noexcept;
[[nodiscard]] std::optional<FolderRole> FolderRoleFromWord(std::wstring_view word) noexcept;

// Whether a display name can be a directory name unchanged: no character a file
// name cannot hold, no blank or dot at the end, not a device name, not a name of
// the store's own files (*.ini, *.msg, *.tmp, ~*), at most 120 characters.
[[nodiscard]] bool IsPlainDirectoryName(std::wstring_view name) noexcept;
// The directory name for a new folder: the display name when it is plain (and
// `numbered` is false), else the name with every offending character replaced by
// '_', followed by " ~<id>".
[[nodiscard]] std::wstring DirectoryNameFor(std::wstring_view displayName, uint32_t id, bool numbered);

// Display names compare as Outlook compares folder names: ignoring case.
[[nodiscard]] bool SameName(std::wstring_view a, std::wstring_view b) noexcept;

}  // namespace standin::store
