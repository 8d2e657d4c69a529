#include "standin/store/profile.h"

#include <mapicode.h>
#include <objbase.h>

#include <cstdio>
#include <map>

#include "standin/store/files.h"
#include "standin/store/layout.h"

#include "base/boundary.h"

namespace standin::store {

namespace {

constexpr wchar_t kMutexPrefix[] = L"Local\\StandinMapiProfile-";

struct Registry {
    std::mutex lock;
    std::map<std::wstring, std::weak_ptr<Profile>> profiles;  // by upper-case full path
};
Registry& ProfileRegistry() {
    static Registry registry;
    return registry;
}

[[nodiscard]] HRESULT FullPath(const std::wstring& path, std::wstring& full) {
    const DWORD size = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (size == 0) return HresultFromFileError(GetLastError());
    full.assign(size, L'\0');
    const DWORD length = GetFullPathNameW(path.c_str(), size, full.data(), nullptr);
    if (length == 0 || length >= size) return MAPI_E_CALL_FAILED;
    full.resize(length);
    while (full.size() > 3 && (full.back() == L'\\' || full.back() == L'/')) full.pop_back();
    return S_OK;
}

}  // namespace

Profile::Profile(std::wstring path) : path_(std::move(path)) {
    wchar_t name[64];
    _snwprintf(name, std::size(name), L"%ls%016llx", kMutexPrefix,
               static_cast<unsigned long long>(Fnv1a(UpperCase(path_), 0xcbf29ce484222325ULL)));
    writeMutex_.reset(CreateMutexW(nullptr, FALSE, name));
}

HRESULT Profile::Open(const std::wstring& folder, std::shared_ptr<Profile>& profile) {
    return base::ReturnOr(
        [&] {
            std::wstring full;
            HRESULT hr = FullPath(folder, full);
            if (FAILED(hr)) return hr;
            Metadata metadata;
            hr = metadata.Load(JoinPath(full, kProfileFile));
            if (FAILED(hr)) return hr;
            Registry& registry = ProfileRegistry();
            const std::lock_guard lock(registry.lock);
            std::weak_ptr<Profile>& slot = registry.profiles[UpperCase(full)];
            profile = slot.lock();
            if (!profile) {
                profile = std::make_shared<Profile>(full);
                slot = profile;
            }
            return S_OK;
        },
        MAPI_E_NOT_ENOUGH_MEMORY);
}

HRESULT Profile::Create(const std::wstring& folder, std::wstring_view name,
                        std::shared_ptr<Profile>& profile) {
    return base::ReturnOr(
        [&] {
            if (!CreateDirectoryW(folder.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
                return HresultFromFileError(GetLastError());
            }
            std::vector<DirectoryEntry> entries;
            HRESULT hr = ListDirectory(folder, entries);
            if (FAILED(hr)) return hr;
            if (!entries.empty()) return MAPI_E_COLLISION;
            Metadata metadata;
            metadata.AddComment(
                L"A profile of the stand-in mail store: its name, its stores in order, the default store.");
            metadata.Set(kName, name);
            hr = metadata.Save(JoinPath(folder, kProfileFile));
            if (FAILED(hr)) return hr;
            return Open(folder, profile);
        },
        MAPI_E_NOT_ENOUGH_MEMORY);
}

HRESULT Profile::LoadMetadata(Metadata& metadata) const {
    return metadata.Load(JoinPath(path_, kProfileFile));
}

HRESULT Profile::GetName(std::wstring& name) const {
    Metadata metadata;
    const HRESULT hr = LoadMetadata(metadata);
    if (FAILED(hr)) return hr;
    const std::wstring* value = metadata.Find(kName);
    name = value ? *value : LastComponent(path_);
    return S_OK;
}

HRESULT Profile::GetFaults(uint32_t& faults) const {
    Metadata metadata;
    const HRESULT hr = LoadMetadata(metadata);
    if (FAILED(hr)) return hr;
    return ReadFaults(metadata, FaultScope::Profile, kFault, faults);
}

HRESULT Profile::GetSettings(ProfileSettings& settings) const {
    settings = ProfileSettings{};
    Metadata metadata;
    HRESULT hr = LoadMetadata(metadata);
    if (FAILED(hr)) return hr;
    for (const NumberSetting& number : kNumberSettings) {
        uint32_t& value = settings.*number.field;
        if (FAILED(hr = metadata.GetNumber(number.key, value, value))) return hr;
    }
    if (const std::wstring* locale = metadata.Find(kLocaleSetting)) settings.locale = *locale;
    return S_OK;
}

HRESULT Profile::SetSettings(const ProfileSettings& settings) {
    const WriteLock lock(*this);
    Metadata metadata;
    const HRESULT hr = LoadMetadata(metadata);
    if (FAILED(hr)) return hr;
    const ProfileSettings defaults;
    for (const NumberSetting& number : kNumberSettings) {
        if (settings.*number.field != defaults.*number.field)
            metadata.SetNumber(number.key, settings.*number.field);
    }
    if (!settings.locale.empty()) metadata.Set(kLocaleSetting, settings.locale);
    return metadata.Save(JoinPath(path_, kProfileFile));
}

HRESULT Profile::SetFaults(uint32_t faults) {
    const WriteLock lock(*this);
    Metadata metadata;
    const HRESULT hr = LoadMetadata(metadata);
    if (FAILED(hr)) return hr;
    WriteFaults(metadata, FaultScope::Profile, kFault, faults);
    return metadata.Save(JoinPath(path_, kProfileFile));
}

HRESULT Profile::GetStores(std::vector<Store>& stores) {
    stores.clear();
    Metadata metadata;
    const HRESULT hr = LoadMetadata(metadata);
    if (FAILED(hr)) return hr;
    for (std::wstring& directory : metadata.FindAll(kStore)) {
        stores.emplace_back(shared_from_this(), std::move(directory));
    }
    return S_OK;
}

HRESULT Profile::GetDefaultStore(Store& store) {
    Metadata metadata;
    const HRESULT hr = LoadMetadata(metadata);
    if (FAILED(hr)) return hr;
    const std::wstring* directory = metadata.Find(kDefaultStore);
    if (!directory) return MAPI_E_NOT_FOUND;
    store = Store(shared_from_this(), *directory);
    return S_OK;
}

HRESULT Profile::SetDefaultStore(const Store& store) {
    const WriteLock lock(*this);
    Metadata metadata;
    const HRESULT hr = LoadMetadata(metadata);
    if (FAILED(hr)) return hr;
    metadata.Set(kDefaultStore, store.directory());
    return metadata.Save(JoinPath(path_, kProfileFile));
}

HRESULT Profile::AddStore(std::wstring_view displayName, Store& store, const GUID* uid,
                          const GUID* serviceUid) {
    return base::ReturnOr(
        [&] {
            const WriteLock lock(*this);
            Metadata profileMetadata;
            HRESULT hr = LoadMetadata(profileMetadata);
            if (FAILED(hr)) return hr;
            const uint32_t index = static_cast<uint32_t>(profileMetadata.FindAll(kStore).size()) + 1;
            std::wstring directory;
            hr = ChooseDirectoryName(path_, displayName, index, directory);
            if (FAILED(hr)) return hr;

            GUID storeUid{}, storeServiceUid{};
            if (uid) {
                storeUid = *uid;
                storeServiceUid = serviceUid ? *serviceUid : *uid;
            } else if (FAILED(hr = CoCreateGuid(&storeUid)) || FAILED(hr = CoCreateGuid(&storeServiceUid))) {
                return hr;
            }
            Metadata storeMetadata;
            storeMetadata.AddComment(L"A message store. folder.<role> names special folders by folder id.");
            storeMetadata.Set(kUid, GuidToHex(storeUid));
            storeMetadata.Set(kServiceUid, GuidToHex(storeServiceUid));
            storeMetadata.SetNumber(kNextFolderId, kRootFolderId + 1);
            const Metadata rootMetadata =
                NewFolderMetadata(kRootFolderId, ItemType::Mail, displayName, directory);
            hr = CreateDirectoryWith(path_, directory,
                                     {{kStoreFile, &storeMetadata}, {kFolderFile, &rootMetadata}});
            if (FAILED(hr)) return hr;

            profileMetadata.Add(kStore, directory);
            if (!profileMetadata.Find(kDefaultStore)) profileMetadata.Set(kDefaultStore, directory);
            hr = profileMetadata.Save(JoinPath(path_, kProfileFile));
            if (FAILED(hr)) return hr;
            store = Store(shared_from_this(), directory);
            return S_OK;
        },
        MAPI_E_NOT_ENOUGH_MEMORY);
}

HRESULT Profile::FindStore(const GUID& uid, Store& store) {
    std::vector<Store> stores;
    const HRESULT hr = GetStores(stores);
    if (FAILED(hr)) return hr;
    for (Store& candidate : stores) {
        StoreInfo info;
        (void)candidate.GetInfo(info);  // a broken store.ini still has a derived UID
        if (IsEqualGUID(info.uid, uid)) {
            store = std::move(candidate);
            return S_OK;
        }
    }
    return MAPI_E_NOT_FOUND;
}

HRESULT Profile::Resolve(const void* entryId, size_t size, Entry& entry) {
    return base::ReturnOr(
        [&] {
            EntryId id;
            HRESULT hr = DecodeEntryId(entryId, size, id);
            if (FAILED(hr)) return hr;
            Entry found;
            found.kind = id.kind;
            hr = FindStore(id.storeUid, found.store);
            if (FAILED(hr)) return hr;
            if (id.kind != EntryKind::Store) {
                hr = found.store.GetFolder(id.folderId, found.folder);
                if (FAILED(hr)) return hr;
            }
            if (id.kind == EntryKind::Message) {
                hr = found.folder.GetItem(id.itemNumber, found.item);
                if (FAILED(hr)) return hr;
            }
            entry = std::move(found);
            return S_OK;
        },
        MAPI_E_NOT_ENOUGH_MEMORY);
}

bool Profile::CachedFolderPath(const std::wstring& store, uint32_t id, std::wstring& path) const {
    const std::lock_guard lock(cacheLock_);
    const auto found = folderPaths_.find(store + L"|" + std::to_wstring(id));
    if (found == folderPaths_.end()) return false;
    path = found->second;
    return true;
}

bool Profile::TakeReservedNumber(const std::wstring& folderKey, uint32_t& number) const {
    const std::lock_guard lock(cacheLock_);
    const auto found = reserved_.find(folderKey);
    if (found == reserved_.end() || found->second.first >= found->second.second) return false;
    number = found->second.first++;
    return true;
}

void Profile::ReserveNumbers(const std::wstring& folderKey, uint32_t first, uint32_t end) const {
    const std::lock_guard lock(cacheLock_);
    reserved_[folderKey] = {first, end};
}

void Profile::CacheFolderPath(const std::wstring& store, uint32_t id, const std::wstring& path) const {
    const std::lock_guard lock(cacheLock_);
    folderPaths_[store + L"|" + std::to_wstring(id)] = path;
}

}  // namespace standin::store
