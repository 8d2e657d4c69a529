#include "standin/store/profile.h"

#include <mapicode.h>

#include "standin/store/files.h"
#include "standin/store/layout.h"
#include "standin/store/names.h"

#include "base/boundary.h"

namespace standin::store {

namespace {

// The UID of a store whose store.ini cannot be read: stable for its directory.
GUID DerivedStoreUid(std::wstring_view directory) { return StableGuid(directory); }

}  // namespace

std::wstring Store::path() const { return JoinPath(profile_->path(), directory_); }

HRESULT Store::GetInfo(StoreInfo& info) const {
    info = StoreInfo{};
    info.uid = DerivedStoreUid(directory_);
    info.serviceUid = info.uid;
    Metadata metadata;
    HRESULT hr = metadata.Load(StoreFileOf(*this));
    if (FAILED(hr)) return hr;
    GUID uid{}, serviceUid{};
    const std::wstring* uidText = metadata.Find(kUid);
    const std::wstring* serviceText = metadata.Find(kServiceUid);
    if (!uidText || !GuidFromHex(*uidText, uid)) return MAPI_E_CORRUPT_DATA;
    if (serviceText && !GuidFromHex(*serviceText, serviceUid)) return MAPI_E_CORRUPT_DATA;
    uint32_t faults = 0;
    hr = ReadFaults(metadata, FaultScope::Store, kFault, faults);
    if (FAILED(hr)) return hr;
    info.uid = uid;
    info.serviceUid = serviceText ? serviceUid : uid;
    info.faults = faults;
    if (const std::wstring* file = metadata.Find(kDataFile)) info.dataFile = *file;
    return S_OK;
}

HRESULT Store::GetEntryId(std::vector<BYTE>& entryId) const {
    StoreInfo info;
    (void)GetInfo(info);  // a broken store.ini still has a derived UID
    EntryId id;
    id.kind = EntryKind::Store;
    id.storeUid = info.uid;
    entryId = EncodeEntryId(id);
    return S_OK;
}

HRESULT Store::GetDisplayName(std::wstring& name) const { return RootFolder().GetName(name); }

HRESULT Store::IsDefault(bool& isDefault) const {
    Store defaultStore;
    const HRESULT hr = profile_->GetDefaultStore(defaultStore);
    if (FAILED(hr) && hr != MAPI_E_NOT_FOUND) return hr;
    isDefault = SUCCEEDED(hr) && SameName(defaultStore.directory(), directory_);
    return S_OK;
}

Folder Store::RootFolder() const { return Folder(*this, std::wstring()); }

HRESULT Store::GetFolder(uint32_t folderId, Folder& folder) const {
    return base::ReturnOr(
        [&] {
            std::wstring cached;
            FolderInfo info;
            if (profile_->CachedFolderPath(directory_, folderId, cached)) {
                Folder candidate(*this, cached);
                if (SUCCEEDED(candidate.GetInfo(info)) && info.id == folderId) {
                    folder = std::move(candidate);
                    return S_OK;
                }
            }
            // Not where it was: walk the store, noting every folder on the way.
            std::vector<Folder> pending{RootFolder()};
            while (!pending.empty()) {
                Folder current = std::move(pending.back());
                pending.pop_back();
                if (SUCCEEDED(current.GetInfo(info)) && info.id != 0) {
                    profile_->CacheFolderPath(directory_, info.id, current.relativePath());
                    if (info.id == folderId) {
                        folder = std::move(current);
                        return S_OK;
                    }
                }
                std::vector<Folder> subfolders;
                if (SUCCEEDED(current.GetSubfolders(subfolders))) {
                    for (Folder& subfolder : subfolders) pending.push_back(std::move(subfolder));
                }
            }
            return MAPI_E_NOT_FOUND;
        },
        MAPI_E_NOT_ENOUGH_MEMORY);
}

HRESULT Store::GetDefaultFolder(FolderRole role, Folder& folder) const {
    Metadata metadata;
    HRESULT hr = metadata.Load(StoreFileOf(*this));
    if (FAILED(hr)) return hr;
    uint32_t id = 0;
    hr = metadata.GetNumber(kFolderRolePrefix + ToUtf8(FolderRoleWord(role)), 0, id);
    if (FAILED(hr)) return hr;
    if (id == 0) return MAPI_E_NOT_FOUND;
    return GetFolder(id, folder);
}

HRESULT Store::SetDefaultFolder(FolderRole role, const Folder& folder) const {
    FolderInfo info;
    HRESULT hr = folder.GetInfo(info);
    if (FAILED(hr)) return hr;
    const Profile::WriteLock lock(*profile_);
    Metadata metadata;
    hr = metadata.Load(StoreFileOf(*this));
    if (FAILED(hr)) return hr;
    metadata.SetNumber(kFolderRolePrefix + ToUtf8(FolderRoleWord(role)), info.id);
    return metadata.Save(StoreFileOf(*this));
}

namespace {

template <typename Change>
[[nodiscard]] HRESULT ChangeStoreFile(const Store& store, Change change) {
    const Profile::WriteLock lock(*store.profile());
    Metadata metadata;
    const HRESULT hr = metadata.Load(StoreFileOf(store));
    if (FAILED(hr)) return hr;
    change(metadata);
    return metadata.Save(StoreFileOf(store));
}

}  // namespace

HRESULT Store::SetFaults(uint32_t faults) const {
    return ChangeStoreFile(
        *this, [&](Metadata& metadata) { WriteFaults(metadata, FaultScope::Store, kFault, faults); });
}

HRESULT Store::SetDataFile(std::wstring_view file) const {
    return ChangeStoreFile(*this, [&](Metadata& metadata) { metadata.Set(kDataFile, file); });
}

}  // namespace standin::store
