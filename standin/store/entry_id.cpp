#include "standin/store/entry_id.h"

#include <mapidefs.h>
#include <mapicode.h>

#include <cstring>

namespace standin::store {

// {6E0C8A0B-2F7D-4B9E-A1C3-5D4E7F901B26}
const GUID kStoreProviderUid = {0x6e0c8a0b, 0x2f7d, 0x4b9e, {0xa1, 0xc3, 0x5d, 0x4e, 0x7f, 0x90, 0x1b, 0x26}};

namespace {

constexpr BYTE kVersion = 1;
constexpr size_t kHeaderSize = 4 + sizeof(GUID) + 4;
constexpr size_t kStoreSize = kHeaderSize + sizeof(GUID);
constexpr size_t kFolderSize = kStoreSize + 4;
constexpr size_t kMessageSize = kFolderSize + 4;

size_t SizeOf(EntryKind kind) {
    switch (kind) {
    case EntryKind::Store:
        return kStoreSize;
    case EntryKind::Folder:
        return kFolderSize;
    case EntryKind::Message:
        return kMessageSize;
    }
    return 0;
}

void PutNumber(BYTE* at, uint32_t value) {
    for (int i = 0; i < 4; ++i) at[i] = static_cast<BYTE>(value >> (8 * i));
}

uint32_t GetNumber(const BYTE* at) {
    uint32_t value = 0;
    for (int i = 3; i >= 0; --i) value = (value << 8) | at[i];
    return value;
}

}  // namespace

std::vector<BYTE> EncodeEntryId(const EntryId& id) {
    std::vector<BYTE> bytes(SizeOf(id.kind), 0);
    std::memcpy(&bytes[4], &kStoreProviderUid, sizeof(GUID));
    bytes[4 + sizeof(GUID)] = static_cast<BYTE>(id.kind);
    bytes[5 + sizeof(GUID)] = kVersion;
    std::memcpy(&bytes[kHeaderSize], &id.storeUid, sizeof(GUID));
    if (id.kind != EntryKind::Store) PutNumber(&bytes[kStoreSize], id.folderId);
    if (id.kind == EntryKind::Message) PutNumber(&bytes[kFolderSize], id.itemNumber);
    return bytes;
}

HRESULT DecodeEntryId(const void* raw, size_t size, EntryId& id) noexcept {
    const auto* bytes = static_cast<const BYTE*>(raw);
    if (!bytes || size < kHeaderSize) return MAPI_E_INVALID_ENTRYID;
    if (std::memcmp(&bytes[4], &kStoreProviderUid, sizeof(GUID)) != 0) return MAPI_E_UNKNOWN_ENTRYID;
    const auto kind = static_cast<EntryKind>(bytes[4 + sizeof(GUID)]);
    if (bytes[5 + sizeof(GUID)] != kVersion || SizeOf(kind) == 0 || SizeOf(kind) != size) {
        return MAPI_E_INVALID_ENTRYID;
    }
    id = EntryId{};
    id.kind = kind;
    std::memcpy(&id.storeUid, &bytes[kHeaderSize], sizeof(GUID));
    if (kind != EntryKind::Store) id.folderId = GetNumber(&bytes[kStoreSize]);
    if (kind == EntryKind::Message) id.itemNumber = GetNumber(&bytes[kFolderSize]);
    return S_OK;
}

}  // namespace standin::store
