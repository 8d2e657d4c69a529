#include "standin/store/profile.h"

#include <mapidefs.h>
#include <mapicode.h>
#include <objbase.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>

#include "standin/store/files.h"
#include "standin/store/metadata.h"
#include "standin/store/names.h"

namespace standin::store {

namespace {

constexpr wchar_t kProfileFile[] = L"profile.ini";
constexpr wchar_t kStoreFile[] = L"store.ini";
constexpr wchar_t kFolderFile[] = L"folder.ini";
constexpr uint32_t kRootFolderId = 1;
constexpr uint32_t kFirstItemNumber = 1;
// Numbers a process reserves at once for new items of a folder: one metadata
// write per block instead of per item. Numbers left unused when the process ends
// are skipped, never reused.
constexpr uint32_t kReservedBlock = 64;
constexpr wchar_t kMutexPrefix[] = L"Local\\StandinMapiProfile-";

// Keys of the metadata files.
constexpr char kName[] = "name";
constexpr char kStore[] = "store";
constexpr char kDefaultStore[] = "default-store";
constexpr char kFault[] = "fault";
constexpr char kUid[] = "uid";
constexpr char kServiceUid[] = "service-uid";
constexpr char kNextFolderId[] = "next-folder-id";
constexpr char kFolderRolePrefix[] = "folder.";
constexpr char kId[] = "id";
constexpr char kType[] = "type";
constexpr char kNextItem[] = "next-item";
constexpr char kMessageFault[] = "message-fault";

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

// The UID of a store whose store.ini cannot be read: stable for its directory.
GUID DerivedStoreUid(std::wstring_view directory) { return StableGuid(directory); }

std::wstring LastComponent(const std::wstring& path) {
    const size_t slash = path.rfind(L'\\');
    return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

std::wstring FolderFileOf(const Folder& folder) { return JoinPath(folder.path(), kFolderFile); }
std::wstring StoreFileOf(const Store& store) { return JoinPath(store.path(), kStoreFile); }

std::string ItemFaultKey(uint32_t number) {
    return std::string(kMessageFault) + "." + std::to_string(number);
}

[[nodiscard]] HRESULT ReadFaults(Metadata& metadata, FaultScope scope, const char* key, uint32_t& faults) {
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

// Picks a directory name for a new folder or store that no entry of `parent` has.
[[nodiscard]] HRESULT ChooseDirectoryName(const std::wstring& parent, std::wstring_view displayName,
                                          uint32_t id, std::wstring& directory) {
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

// Writes `metadata` into a new directory `parent\directory`, which appears whole.
[[nodiscard]] HRESULT CreateDirectoryWith(const std::wstring& parent, const std::wstring& directory,
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

// ---------------------------------------------------------------- names

std::wstring ItemFileName(uint32_t number) {
    wchar_t name[32];
    _snwprintf(name, std::size(name), L"%08u.msg", number);
    return name;
}

bool ParseItemFileName(std::wstring_view name, uint32_t& number) noexcept {
    constexpr std::wstring_view extension = L".msg";
    constexpr size_t minDigits = 8, maxDigits = 10;
    if (name.size() < minDigits + extension.size() || name.size() > maxDigits + extension.size()) return false;
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
    static constexpr wchar_t kHex[] = L"0123456789ABCDEF";
    const auto* bytes = reinterpret_cast<const BYTE*>(&guid);
    std::wstring text;
    for (size_t i = 0; i < sizeof(GUID); ++i) {
        text += kHex[bytes[i] >> 4];
        text += kHex[bytes[i] & 0xF];
    }
    return text;
}

bool GuidFromHex(std::wstring_view text, GUID& guid) noexcept {
    if (text.size() != 2 * sizeof(GUID)) return false;
    auto* bytes = reinterpret_cast<BYTE*>(&guid);
    for (size_t i = 0; i < sizeof(GUID); ++i) {
        int value = 0;
        for (const wchar_t c : text.substr(2 * i, 2)) {
            int digit = -1;
            if (c >= L'0' && c <= L'9') digit = c - L'0';
            if (c >= L'a' && c <= L'f') digit = c - L'a' + 10;
            if (c >= L'A' && c <= L'F') digit = c - L'A' + 10;
            if (digit < 0) return false;
            value = value * 16 + digit;
        }
        bytes[i] = static_cast<BYTE>(value);
    }
    return true;
}

GUID StableGuid(std::wstring_view text) {
    const std::wstring upper = UpperCase(std::wstring(text));
    const uint64_t parts[2] = {Fnv1a(upper, 0xcbf29ce484222325ULL), Fnv1a(upper, 0x84222325cbf29ce4ULL)};
    GUID uid{};
    static_assert(sizeof(parts) == sizeof(uid));
    std::memcpy(&uid, parts, sizeof(uid));
    return uid;
}

// ---------------------------------------------------------------- Profile

Profile::Profile(std::wstring path) : path_(std::move(path)) {
    wchar_t name[64];
    _snwprintf(name, std::size(name), L"%ls%016llx", kMutexPrefix,
               static_cast<unsigned long long>(Fnv1a(UpperCase(path_), 0xcbf29ce484222325ULL)));
    writeMutex_.reset(CreateMutexW(nullptr, FALSE, name));
}

Profile::WriteLock::WriteLock(const Profile& profile) noexcept : mutex_(profile.writeMutex_.get()) {
    // An abandoned mutex is ours all the same; the files it guarded are whole,
    // since every write is a rename.
    if (mutex_) WaitForSingleObject(mutex_, INFINITE);
}

Profile::WriteLock::~WriteLock() {
    if (mutex_) ReleaseMutex(mutex_);
}

HRESULT Profile::Open(const std::wstring& folder, std::shared_ptr<Profile>& profile) {
    try {
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
    } catch (const std::bad_alloc&) {
        return MAPI_E_NOT_ENOUGH_MEMORY;
    }
}

HRESULT Profile::Create(const std::wstring& folder, std::wstring_view name, std::shared_ptr<Profile>& profile) {
    try {
        if (!CreateDirectoryW(folder.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
            return HresultFromFileError(GetLastError());
        }
        std::vector<DirectoryEntry> entries;
        HRESULT hr = ListDirectory(folder, entries);
        if (FAILED(hr)) return hr;
        if (!entries.empty()) return MAPI_E_COLLISION;
        Metadata metadata;
        metadata.AddComment(L"A profile of the stand-in mail store: its name, its stores in order, the default store.");
        metadata.Set(kName, name);
        hr = metadata.Save(JoinPath(folder, kProfileFile));
        if (FAILED(hr)) return hr;
        return Open(folder, profile);
    } catch (const std::bad_alloc&) {
        return MAPI_E_NOT_ENOUGH_MEMORY;
    }
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

HRESULT Profile::AddStore(std::wstring_view displayName, Store& store, const GUID* uid, const GUID* serviceUid) {
    try {
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
        const Metadata rootMetadata = NewFolderMetadata(kRootFolderId, ItemType::Mail, displayName, directory);
        hr = CreateDirectoryWith(path_, directory, {{kStoreFile, &storeMetadata}, {kFolderFile, &rootMetadata}});
        if (FAILED(hr)) return hr;

        profileMetadata.Add(kStore, directory);
        if (!profileMetadata.Find(kDefaultStore)) profileMetadata.Set(kDefaultStore, directory);
        hr = profileMetadata.Save(JoinPath(path_, kProfileFile));
        if (FAILED(hr)) return hr;
        store = Store(shared_from_this(), directory);
        return S_OK;
    } catch (const std::bad_alloc&) {
        return MAPI_E_NOT_ENOUGH_MEMORY;
    }
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
    try {
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
    } catch (const std::bad_alloc&) {
        return MAPI_E_NOT_ENOUGH_MEMORY;
    }
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

// ---------------------------------------------------------------- Store

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
    return S_OK;
}

HRESULT Store::GetEntryId(std::vector<BYTE>& entryId) const {
    if (!IsDirectory(path())) return MAPI_E_NOT_FOUND;
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
    try {
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
    } catch (const std::bad_alloc&) {
        return MAPI_E_NOT_ENOUGH_MEMORY;
    }
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

HRESULT Store::SetFaults(uint32_t faults) const {
    const Profile::WriteLock lock(*profile_);
    Metadata metadata;
    const HRESULT hr = metadata.Load(StoreFileOf(*this));
    if (FAILED(hr)) return hr;
    WriteFaults(metadata, FaultScope::Store, kFault, faults);
    return metadata.Save(StoreFileOf(*this));
}

// ---------------------------------------------------------------- Folder

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

HRESULT Folder::GetSubfolders(std::vector<Folder>& subfolders) const {
    try {
        subfolders.clear();
        std::vector<DirectoryEntry> entries;
        const HRESULT hr = ListDirectory(path(), entries);
        if (FAILED(hr)) return hr;
        std::vector<std::pair<std::wstring, Folder>> named;
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
        for (auto& entry : named) subfolders.push_back(std::move(entry.second));
        return S_OK;
    } catch (const std::bad_alloc&) {
        return MAPI_E_NOT_ENOUGH_MEMORY;
    }
}

HRESULT Folder::FindSubfolder(std::wstring_view name, Folder& subfolder) const {
    std::vector<Folder> subfolders;
    const HRESULT hr = GetSubfolders(subfolders);
    if (FAILED(hr)) return hr;
    for (Folder& candidate : subfolders) {
        std::wstring candidateName;
        if (SUCCEEDED(candidate.GetName(candidateName)) && SameName(candidateName, name)) {
            subfolder = std::move(candidate);
            return S_OK;
        }
    }
    return MAPI_E_NOT_FOUND;
}

HRESULT Folder::CreateSubfolder(std::wstring_view name, ItemType type, bool openIfExists, Folder& created) const {
    try {
        const Profile::WriteLock lock(*store_.profile());
        FolderInfo parentInfo;  // no folders below one whose metadata is broken
        HRESULT hr = GetInfo(parentInfo);
        if (FAILED(hr)) return hr;
        Folder existing;
        hr = FindSubfolder(name, existing);
        if (SUCCEEDED(hr)) {
            if (!openIfExists) return MAPI_E_COLLISION;
            created = std::move(existing);
            return S_OK;
        }
        if (hr != MAPI_E_NOT_FOUND) return hr;

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
    } catch (const std::bad_alloc&) {
        return MAPI_E_NOT_ENOUGH_MEMORY;
    }
}

HRESULT Folder::Rename(std::wstring_view name) const {
    try {
        const Profile::WriteLock lock(*store_.profile());
        Folder parent;
        if (SUCCEEDED(GetParent(parent))) {
            Folder sibling;
            if (SUCCEEDED(parent.FindSubfolder(name, sibling)) && sibling.relativePath() != relativePath_) {
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
    } catch (const std::bad_alloc&) {
        return MAPI_E_NOT_ENOUGH_MEMORY;
    }
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
    try {
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
    } catch (const std::bad_alloc&) {
        return MAPI_E_NOT_ENOUGH_MEMORY;
    }
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
    try {
        // Numbers are never reused, so an old entry ID cannot name a new item; a
        // file already there (put by hand) moves us on to the next number.
        for (;;) {
            uint32_t number = 0;
            HRESULT hr = ReserveItemNumber(number);
            if (FAILED(hr)) return hr;
            hr = WriteFileAtomically(JoinPath(path(), ItemFileName(number)), data, size, false);
            if (hr == MAPI_E_COLLISION) continue;
            if (FAILED(hr)) return hr;
            item = Item(*this, number, size);
            return S_OK;
        }
    } catch (const std::bad_alloc&) {
        return MAPI_E_NOT_ENOUGH_MEMORY;
    }
}

// ---------------------------------------------------------------- Item

std::wstring Item::path() const { return JoinPath(folder_.path(), ItemFileName(number_)); }

HRESULT Item::GetEntryId(std::vector<BYTE>& entryId) const {
    std::vector<BYTE> folderEntryId;
    const HRESULT hr = folder_.GetEntryId(folderEntryId);
    if (FAILED(hr)) return hr;
    EntryId id;
    if (FAILED(DecodeEntryId(folderEntryId.data(), folderEntryId.size(), id))) return MAPI_E_CALL_FAILED;
    id.kind = EntryKind::Message;
    id.itemNumber = number_;
    entryId = EncodeEntryId(id);
    return S_OK;
}

HRESULT Item::GetFaults(uint32_t& faults) const { return folder_.GetItemFaults(number_, faults); }

HRESULT Item::Delete() const {
    if (!DeleteFileW(path().c_str())) return HresultFromFileError(GetLastError());
    return S_OK;
}

HRESULT Item::CopyTo(const Folder& target, Item& copy) const {
    try {
        std::vector<BYTE> bytes;
        const HRESULT hr = ReadFileBytes(path(), bytes);
        if (FAILED(hr)) return hr;
        return target.AddItemFile(bytes.data(), bytes.size(), copy);
    } catch (const std::bad_alloc&) {
        return MAPI_E_NOT_ENOUGH_MEMORY;
    }
}

HRESULT Item::MoveTo(const Folder& target, Item& moved) const {
    const HRESULT hr = CopyTo(target, moved);
    if (FAILED(hr)) return hr;
    return Delete();
}

}  // namespace standin::store
