#include "standin/store/profile.h"

#include <mapicode.h>

#include <algorithm>

#include "standin/store/files.h"
#include "standin/store/layout.h"
#include "standin/store/names.h"

#include "base/boundary.h"

namespace standin::store {

namespace {

// Numbers a process reserves at once for new items of a folder: one metadata
// write per block instead of per item. Numbers left unused when the process ends
// are skipped, never reused.
constexpr uint32_t kReservedBlock = 64;

}  // namespace

std::wstring Folder::path() const { return JoinPath(store_.path(), relativePath_); }

HRESULT Folder::GetInfo(FolderInfo& info) const {
    info = FolderInfo{};
    info.name = IsRoot() ? store_.directory() : LastComponent(relativePath_);
    Metadata metadata;
    HRESULT hr = metadata.Load(FolderFileOf(*this));
    if (FAILED(hr)) return hr;
    uint32_t id = 0;
    hr = metadata.GetNumber(kId, 0, id);
    if (FAILED(hr)) return hr;
    if (id == 0) return MAPI_E_CORRUPT_DATA;
    const std::wstring* typeWord = metadata.Find(kType);
    const std::optional<ItemType> type = typeWord ? ItemTypeFromWord(*typeWord) : ItemType::Mail;
    if (!type) return MAPI_E_CORRUPT_DATA;
    uint32_t faults = 0, messageFaults = 0;
    if (FAILED(hr = ReadFaults(metadata, FaultScope::Folder, kFault, faults)) ||
        FAILED(hr = ReadFaults(metadata, FaultScope::Message, kMessageFault, messageFaults))) {
        return hr;
    }
    if (const std::wstring* name = metadata.Find(kName)) info.name = *name;
    info.id = id;
    info.type = *type;
    info.faults = faults;
    info.messageFaults = messageFaults;
    return S_OK;
}

HRESULT Folder::GetName(std::wstring& name) const {
    if (!IsDirectory(path())) return MAPI_E_NOT_FOUND;
    FolderInfo info;
    (void)GetInfo(info);  // the directory's name stands in for an unreadable folder.ini
    name = std::move(info.name);
    return S_OK;
}

HRESULT Folder::GetEntryId(std::vector<BYTE>& entryId) const {
    FolderInfo info;
    HRESULT hr = GetInfo(info);
    if (FAILED(hr)) return hr;
    StoreInfo storeInfo;
    hr = store_.GetInfo(storeInfo);
    if (FAILED(hr)) return hr;
    EntryId id;
    id.kind = EntryKind::Folder;
    id.storeUid = storeInfo.uid;
    id.folderId = info.id;
    entryId = EncodeEntryId(id);
    return S_OK;
}

HRESULT Folder::GetParent(Folder& parent) const {
    if (IsRoot()) return MAPI_E_NOT_FOUND;
    const size_t slash = relativePath_.rfind(L'\\');
    parent = Folder(store_, slash == std::wstring::npos ? std::wstring() : relativePath_.substr(0, slash));
    return S_OK;
}

HRESULT Folder::ListSubfolders(std::vector<std::pair<std::wstring, Folder>>& named) const {
    named.clear();
    std::vector<DirectoryEntry> entries;
    const HRESULT hr = ListDirectory(path(), entries);
    if (FAILED(hr)) return hr;
    for (const DirectoryEntry& entry : entries) {
        if (!entry.isDirectory || IsTemporaryName(entry.name)) continue;
        Folder subfolder(store_, JoinPath(relativePath_, entry.name));
        FolderInfo info;
        (void)subfolder.GetInfo(info);  // listed by the directory's name if need be
        named.emplace_back(std::move(info.name), std::move(subfolder));
    }
    std::stable_sort(named.begin(), named.end(), [](const auto& a, const auto& b) {
        return CompareStringOrdinal(a.first.c_str(), -1, b.first.c_str(), -1, TRUE) == CSTR_LESS_THAN;
    });
    return S_OK;
}

HRESULT Folder::GetSubfolders(std::vector<Folder>& subfolders) const {
    return base::ReturnOr(
        [&] {
            subfolders.clear();
            std::vector<std::pair<std::wstring, Folder>> named;
            const HRESULT hr = ListSubfolders(named);
            if (FAILED(hr)) return hr;
            for (auto& entry : named) subfolders.push_back(std::move(entry.second));
            return S_OK;
        },
        MAPI_E_NOT_ENOUGH_MEMORY);
}

HRESULT Folder::FindSubfolder(std::wstring_view name, Folder& subfolder) const {
    return base::ReturnOr(
        [&] {
            std::vector<std::pair<std::wstring, Folder>> named;
            const HRESULT hr = ListSubfolders(named);
            if (FAILED(hr)) return hr;
            for (auto& [candidateName, candidate] : named) {
                if (SameName(candidateName, name)) {
                    subfolder = std::move(candidate);
                    return S_OK;
                }
            }
            return MAPI_E_NOT_FOUND;
        },
        MAPI_E_NOT_ENOUGH_MEMORY);
}

HRESULT Folder::CreateSubfolder(std::wstring_view name, ItemType type, IfExists ifExists,
                                Folder& created) const {
    return base::ReturnOr(
        [&] {
            const Profile::WriteLock lock(*store_.profile());
            FolderInfo parentInfo;  // no folders below one whose metadata is broken
            HRESULT hr = GetInfo(parentInfo);
            if (FAILED(hr)) return hr;
            if (ifExists != IfExists::Unchecked) {
                Folder existing;
                hr = FindSubfolder(name, existing);
                if (SUCCEEDED(hr)) {
                    if (ifExists == IfExists::Collide) return MAPI_E_COLLISION;
                    created = std::move(existing);
                    return S_OK;
                }
                if (hr != MAPI_E_NOT_FOUND) return hr;
            }

            Metadata storeMetadata;
            hr = storeMetadata.Load(StoreFileOf(store_));
            if (FAILED(hr)) return hr;
            uint32_t id = 0;
            hr = storeMetadata.GetNumber(kNextFolderId, kRootFolderId + 1, id);
            if (FAILED(hr)) return hr;
            storeMetadata.SetNumber(kNextFolderId, id + 1);
            hr = storeMetadata.Save(StoreFileOf(store_));
            if (FAILED(hr)) return hr;

            std::wstring directory;
            hr = ChooseDirectoryName(path(), name, id, directory);
            if (FAILED(hr)) return hr;
            const Metadata metadata = NewFolderMetadata(id, type, name, directory);
            hr = CreateDirectoryWith(path(), directory, {{kFolderFile, &metadata}});
            if (FAILED(hr)) return hr;
            created = Folder(store_, JoinPath(relativePath_, directory));
            store_.profile()->CacheFolderPath(store_.directory(), id, created.relativePath());
            return S_OK;
        },
        MAPI_E_NOT_ENOUGH_MEMORY);
}

HRESULT Folder::Rename(std::wstring_view name) const {
    return base::ReturnOr(
        [&] {
            const Profile::WriteLock lock(*store_.profile());
            Folder parent;
            if (SUCCEEDED(GetParent(parent))) {
                Folder sibling;
                if (SUCCEEDED(parent.FindSubfolder(name, sibling)) &&
                    sibling.relativePath() != relativePath_) {
                    return MAPI_E_COLLISION;
                }
            }
            Metadata metadata;
            const HRESULT hr = metadata.Load(FolderFileOf(*this));
            if (FAILED(hr)) return hr;
            const std::wstring directory = IsRoot() ? store_.directory() : LastComponent(relativePath_);
            if (name == directory) {
                metadata.Remove(kName);
            } else {
                metadata.Set(kName, name);
            }
            return metadata.Save(FolderFileOf(*this));
        },
        MAPI_E_NOT_ENOUGH_MEMORY);
}

HRESULT Folder::SetFaults(uint32_t faults, uint32_t messageFaults) const {
    const Profile::WriteLock lock(*store_.profile());
    Metadata metadata;
    const HRESULT hr = metadata.Load(FolderFileOf(*this));
    if (FAILED(hr)) return hr;
    WriteFaults(metadata, FaultScope::Folder, kFault, faults);
    WriteFaults(metadata, FaultScope::Message, kMessageFault, messageFaults);
    return metadata.Save(FolderFileOf(*this));
}

HRESULT Folder::SetItemFaults(uint32_t number, uint32_t faults) const {
    const Profile::WriteLock lock(*store_.profile());
    Metadata metadata;
    const HRESULT hr = metadata.Load(FolderFileOf(*this));
    if (FAILED(hr)) return hr;
    WriteFaults(metadata, FaultScope::Message, ItemFaultKey(number), faults);
    return metadata.Save(FolderFileOf(*this));
}

HRESULT Folder::GetItems(std::vector<Item>& items) const {
    return base::ReturnOr(
        [&] {
            items.clear();
            std::vector<DirectoryEntry> entries;
            const HRESULT hr = ListDirectory(path(), entries);
            if (FAILED(hr)) return hr;
            for (const DirectoryEntry& entry : entries) {
                uint32_t number = 0;
                if (!entry.isDirectory && ParseItemFileName(entry.name, number)) {
                    items.emplace_back(*this, number, entry.size);
                }
            }
            std::sort(items.begin(), items.end(),
                      [](const Item& a, const Item& b) { return a.number() < b.number(); });
            return S_OK;
        },
        MAPI_E_NOT_ENOUGH_MEMORY);
}

HRESULT Folder::GetItem(uint32_t number, Item& item) const {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(JoinPath(path(), ItemFileName(number)).c_str(), GetFileExInfoStandard, &data) ||
        (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return MAPI_E_NOT_FOUND;
    }
    item = Item(*this, number, (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow);
    return S_OK;
}

HRESULT Folder::GetItemFaults(uint32_t number, uint32_t& faults) const {
    faults = 0;
    FolderInfo info;
    HRESULT hr = GetInfo(info);
    if (FAILED(hr)) return hr;
    Metadata metadata;
    hr = metadata.Load(FolderFileOf(*this));
    if (FAILED(hr)) return hr;
    uint32_t own = 0;
    hr = ReadFaults(metadata, FaultScope::Message, ItemFaultKey(number).c_str(), own);
    if (FAILED(hr)) return hr;
    faults = info.messageFaults | own;
    return S_OK;
}

HRESULT Folder::ReserveItemNumber(uint32_t& number) const {
    FolderInfo info;
    HRESULT hr = GetInfo(info);
    if (FAILED(hr)) return hr;
    const Profile& profile = *store_.profile();
    const std::wstring key = store_.directory() + L"|" + std::to_wstring(info.id);
    if (profile.TakeReservedNumber(key, number)) return S_OK;
    const Profile::WriteLock lock(profile);
    Metadata metadata;
    hr = metadata.Load(FolderFileOf(*this));
    if (FAILED(hr)) return hr;
    uint32_t next = 0;
    hr = metadata.GetNumber(kNextItem, kFirstItemNumber, next);
    if (FAILED(hr)) return hr;
    next = std::max(next, kFirstItemNumber);
    if (next > UINT32_MAX - kReservedBlock) return MAPI_E_CALL_FAILED;
    metadata.SetNumber(kNextItem, next + kReservedBlock);
    hr = metadata.Save(FolderFileOf(*this));
    if (FAILED(hr)) return hr;
    profile.ReserveNumbers(key, next + 1, next + kReservedBlock);
    number = next;
    return S_OK;
}

HRESULT Folder::AddItemFile(const void* data, size_t size, Item& item) const {
    return base::ReturnOr(
        [&] {
            // Numbers are never reused, so an old entry ID cannot name a new item; a
            // file already there (put by hand) moves us on to the next number.
            for (;;) {
                uint32_t number = 0;
                HRESULT hr = ReserveItemNumber(number);
                if (FAILED(hr)) return hr;
                hr = WriteFileAtomically(JoinPath(path(), ItemFileName(number)), data, size, false,
                                         store_.profile()->path());
                if (hr == MAPI_E_COLLISION) continue;
                if (FAILED(hr)) return hr;
                item = Item(*this, number, size);
                return S_OK;
            }
        },
        MAPI_E_NOT_ENOUGH_MEMORY);
}

}  // namespace standin::store
