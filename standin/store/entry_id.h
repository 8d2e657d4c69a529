// Entry IDs of the store: binary, stable across runs, and self-describing enough to
// find their object without a lookup table:
//
//   flags (4 bytes, 0) | provider UID (16) | kind (1) | version (1) | 0 (2)
//   | store UID (16) | folder id (4, folders and messages) | item number (4, messages)
//
// The store UID is kept in store.ini, folder ids in folder.ini, and an item's
// number is its file name, so a moved or deleted item's ID finds nothing. Numbers
// are little-endian.
#pragma once

#include <windows.h>

#include <cstdint>
#include <vector>

namespace standin::store {

enum class EntryKind : BYTE { Store = 1, Folder = 2, Message = 3 };

struct EntryId {
    EntryKind kind = EntryKind::Store;
    GUID storeUid{};
    uint32_t folderId = 0;
    uint32_t itemNumber = 0;
};

[[nodiscard]] std::vector<BYTE> EncodeEntryId(const EntryId& id);
// MAPI_E_UNKNOWN_ENTRYID for an ID of another provider, MAPI_E_INVALID_ENTRYID for
// one of ours that is malformed.
[[nodiscard]] HRESULT DecodeEntryId(const void* bytes, size_t size, EntryId& id) noexcept;

// The provider UID at the head of every entry ID of this store.
extern const GUID kStoreProviderUid;

}  // namespace standin::store
