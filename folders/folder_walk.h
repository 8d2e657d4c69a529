// The walk over every message store of the profile and its mail folders, collecting
// folder paths in depth-first pre-order: stores in the stores table's order, each
// folder before its subfolders, siblings in their collection's order. Folders whose
// default item type is not mail are left out with their subtrees; a path equal to an
// excluded path (exactly, case-sensitive) is left out, a store's root with its store.
// Runs on the request's thread, inside its apartment.
#pragma once

#include <mapidefs.h>

#include <string>
#include <vector>

#include "base/com.h"
#include "outlook/mapi_library.h"
#include "outlook/outlook_interfaces.h"

namespace folders {

using FolderList = std::vector<std::wstring>;

// Appends the paths of all stores' mail folders. The result is that of the last step
// made for the last store: an earlier store's failure is only logged.
[[nodiscard]] HRESULT GetFoldersOnAllStores(FolderList& folders, const outlook::MapiFunctions& functions,
                                            const FolderList& excluded) noexcept;

// Appends the paths of the mail folders below `folder`. S_OK once the subfolder
// collection was read, whatever happened below; else the failure reading it.
[[nodiscard]] HRESULT GetSubFolders(FolderList& folders, MAPIFolder* folder,
                                    const FolderList& excluded) noexcept;

// Hexadecimal text of a binary property; empty when it cannot be read or would not
// fit the text buffer.
[[nodiscard]] std::string GetStorePropertyHex(const outlook::MapiFunctions& functions, IMsgStore* store,
                                              ULONG propertyTag) noexcept;

}  // namespace folders
