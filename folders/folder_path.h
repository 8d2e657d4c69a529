// Folder paths: building one for a folder, and reading one a client sent back.
//
// A folder path is two backslashes, the display name of a store's root folder, then
// one backslash and a display name per level down (`\\Mailbox\Inbox\Projects`).
// Replies carry names as Outlook gives them; in paths from the client a name may
// carry the escapes of the folder name escape table. Names match as _wcsicmp finds
// them equal in the runtime's default locale: A to Z folded, nothing else.
// Calls are made on the request's thread, inside its apartment.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "base/com.h"
#include "outlook/outlook_interfaces.h"

namespace folders {

// The folder's path, built upwards through its parents until one is not a folder.
// E_FAIL for a null folder or when memory runs out; the first get_Name's or
// QueryInterface's failure.
[[nodiscard]] HRESULT BuildFolderPath(MAPIFolder* folder, base::UniqueBstr& path) noexcept;

// Replaces every entity of the escape table ("&#92", no semicolon) by its character.
int UnescapeFolderName(std::wstring& name);

// One level of a path: the name split off here (still escaped) and what follows
// the separator, which the next level splits. A separator followed by nothing is
// an empty rest, not none.
struct PathStep {
    bool absolute = false;  // began with two backslashes; `name` is a store's root name
    std::wstring name;
    std::optional<std::wstring> rest;
};
[[nodiscard]] PathStep SplitFolderPath(std::wstring_view path);

// The first folder of `folders` (1 to `count`) whose name matches `name`; folders
// whose Item or get_Name fails are skipped. `lastResult` is the last call's result.
[[nodiscard]] bool FindByName(_Folders* folders, long count, const std::wstring& name,
                              base::ComPtr<MAPIFolder>& found, HRESULT& lastResult) noexcept;

// The root folder of the default store: the Inbox's parent.
[[nodiscard]] HRESULT getDefaultPST(_NameSpace* nameSpace, base::ComPtr<MAPIFolder>& root) noexcept;

// The folder a path names. An absolute path starts at the store whose root name
// matches (the default store first; an unknown root name means the default store);
// a relative one at `folder`. On failure `folder` holds the deepest folder reached,
// or is unchanged. E_FAIL for an empty path, a relative path without a start folder
// and a name no subfolder matches. Logs nothing.
[[nodiscard]] HRESULT FindFolderByPath(_NameSpace* nameSpace, base::ComPtr<MAPIFolder>& folder,
                                       const std::wstring& path) noexcept;

}  // namespace folders
