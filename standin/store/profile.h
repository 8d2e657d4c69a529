// The stand-in's mail store on disk, and the C++ API over it.
//
// A profile is a folder a person can read:
//
//   <profile>\profile.ini            name, store order, default store, faults
//   <profile>\<store>\store.ini      store UID, service UID, folder ids of special
//                                    folders (inbox, junk...), faults
//   <profile>\<store>\folder.ini     the store's root folder (its name is the store's)
//   <profile>\<store>\<folder>\folder.ini        id, item type, name when the
//                                                directory cannot carry it, faults
//   <profile>\<store>\<folder>\00000001.msg      one Outlook message file per item
//
// Folders nest as directories. The disk is the truth: every call reads the
// metadata it needs, and every write replaces a file atomically, so several
// objects on one profile, in one process or several, stay consistent; only
// lookups of folder ids are cached, and checked before use.
//
// The API is for the stand-in's own layers: the MAPI objects of mapi32.dll, the
// profile generator, and the Outlook object model stand-in, which walks stores,
// folders and items here without MAPI tables. Handles (Store, Folder, Item) are
// small values that name an object; they stay valid while the object exists and
// may be copied between threads. Every call is thread-safe. Calls return HRESULTs
// (MAPI codes); nothing throws. Fault switches are reported here and enforced by
// the MAPI objects, except message faults, which the IMessages handed out here
// enforce themselves.
#pragma once

#include <windows.h>
#include <mapidefs.h>
#include <mapicode.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "base/com.h"
#include "base/mutex_ownership.h"
#include "base/unique_resource.h"
#include "standin/store/entry_id.h"
#include "standin/store/faults.h"

namespace standin::store {

// A folder's default item type, numbered as Outlook's item types.
enum class ItemType : LONG { Mail = 0, Calendar = 1, Contacts = 2, Tasks = 3, Journal = 4, Notes = 5 };

// The special folders of a store, numbered as Outlook's default folders.
enum class FolderRole : LONG {
    DeletedItems = 3,
    Outbox = 4,
    SentMail = 5,
    Inbox = 6,
    Calendar = 9,
    Contacts = 10,
    Journal = 11,
    Notes = 12,
    Tasks = 13,
    Drafts = 16,
    Junk = 23,
};

class Profile;
class Folder;
class Item;

struct StoreInfo {
    GUID uid{};         // the store's UID in entry IDs; PR_STORE_RECORD_KEY
    GUID serviceUid{};  // PR_SERVICE_UID of the store's row in the stores table
    uint32_t faults = 0;
    std::wstring dataFile;  // the file NameSpace.AddStore added it from; empty for others
};

class Store {
public:
    Store() = default;
    Store(std::shared_ptr<Profile> profile, std::wstring directory)
        : profile_(std::move(profile)), directory_(std::move(directory)) {}

    [[nodiscard]] explicit operator bool() const noexcept { return profile_ != nullptr; }
    [[nodiscard]] const std::shared_ptr<Profile>& profile() const noexcept { return profile_; }
    // The store's folder inside the profile folder (its name only).
    [[nodiscard]] const std::wstring& directory() const noexcept { return directory_; }
    [[nodiscard]] std::wstring path() const;

    // store.ini. A missing or unreadable one fails (MAPI_E_NOT_FOUND,
    // MAPI_E_CORRUPT_DATA) and `info.uid` is then derived from the directory name,
    // so the store still has an entry ID that leads to that error.
    [[nodiscard]] HRESULT GetInfo(StoreInfo& info) const;
    // Always succeeds for a listed store, also one whose data is gone (see GetInfo).
    [[nodiscard]] HRESULT GetEntryId(std::vector<BYTE>& entryId) const;
    // The root folder's name.
    [[nodiscard]] HRESULT GetDisplayName(std::wstring& name) const;
    [[nodiscard]] HRESULT IsDefault(bool& isDefault) const;

    // The store's root folder: the top of its folder tree, which Outlook shows
    // under the store's name (PR_IPM_SUBTREE_ENTRYID, unless a fault hides it).
    [[nodiscard]] Folder RootFolder() const;
    // MAPI_E_NOT_FOUND when the store has no folder of that id (any more).
    [[nodiscard]] HRESULT GetFolder(uint32_t folderId, Folder& folder) const;
    // MAPI_E_NOT_FOUND when the store has no such special folder.
    [[nodiscard]] HRESULT GetDefaultFolder(FolderRole role, Folder& folder) const;
    [[nodiscard]] HRESULT SetDefaultFolder(FolderRole role, const Folder& folder) const;
    [[nodiscard]] HRESULT SetFaults(uint32_t faults) const;
    [[nodiscard]] HRESULT SetDataFile(std::wstring_view file) const;

private:
    std::shared_ptr<Profile> profile_;
    std::wstring directory_;
};

struct FolderInfo {
    uint32_t id = 0;    // 0 when folder.ini cannot be read
    std::wstring name;  // the display name
    ItemType type = ItemType::Mail;
    uint32_t faults = 0;
    uint32_t messageFaults = 0;  // for every item of the folder
};

class Folder {
public:
    Folder() = default;
    // `relativePath` is the folder's path below the store's directory, empty for
    // the root.
    Folder(Store store, std::wstring relativePath)
        : store_(std::move(store)), relativePath_(std::move(relativePath)) {}

    [[nodiscard]] explicit operator bool() const noexcept { return static_cast<bool>(store_); }
    [[nodiscard]] const Store& store() const noexcept { return store_; }
    [[nodiscard]] const std::wstring& relativePath() const noexcept { return relativePath_; }
    [[nodiscard]] bool IsRoot() const noexcept { return relativePath_.empty(); }
    [[nodiscard]] std::wstring path() const;

    // folder.ini. When it is missing or unreadable the result says so, and `info`
    // still holds the directory's name as the name, Mail as the type, id 0: such a
    // folder can be listed and walked but has no entry ID.
    [[nodiscard]] HRESULT GetInfo(FolderInfo& info) const;
    [[nodiscard]] HRESULT GetName(std::wstring& name) const;
    [[nodiscard]] HRESULT GetEntryId(std::vector<BYTE>& entryId) const;
    // MAPI_E_NOT_FOUND for a root folder.
    [[nodiscard]] HRESULT GetParent(Folder& parent) const;
    // Subfolders sorted by display name (case-insensitive).
    [[nodiscard]] HRESULT GetSubfolders(std::vector<Folder>& subfolders) const;
    // The subfolder whose display name equals `name` ignoring case; MAPI_E_NOT_FOUND.
    [[nodiscard]] HRESULT FindSubfolder(std::wstring_view name, Folder& subfolder) const;
    // A new subfolder. A subfolder of that name (ignoring case) already there is
    // returned with IfExists::Open, else MAPI_E_COLLISION; IfExists::Unchecked is
    // for a caller that has made sure there is none (the generator checks its
    // plan), and spares the listing of every sibling. Fault switches are not
    // applied here. Any name is allowed; one a directory cannot carry is kept in
    // folder.ini.
    enum class IfExists { Collide, Open, Unchecked };
    [[nodiscard]] HRESULT CreateSubfolder(std::wstring_view name, ItemType type, IfExists ifExists,
                                          Folder& created) const;
    // Renames the folder (for the root: the store). The directory keeps its name;
    // the new name goes to folder.ini. MAPI_E_COLLISION when a sibling has it.
    [[nodiscard]] HRESULT Rename(std::wstring_view name) const;
    [[nodiscard]] HRESULT SetFaults(uint32_t faults, uint32_t messageFaults) const;
    [[nodiscard]] HRESULT SetItemFaults(uint32_t number, uint32_t faults) const;

    // Items in number (creation) order.
    [[nodiscard]] HRESULT GetItems(std::vector<Item>& items) const;
    // MAPI_E_NOT_FOUND when no such item exists (any more).
    [[nodiscard]] HRESULT GetItem(uint32_t number, Item& item) const;
    // A new, empty message. Its first SaveChanges writes a new item file with the
    // next number; later ones replace it. Message faults of the folder apply. Each
    // SaveChanges of an item's message first sets PR_DISPLAY_TO, PR_DISPLAY_CC and
    // PR_DISPLAY_BCC from its recipient table, as message stores keep them
    // ("PidTagDisplayTo": synchronized at every SaveChanges): the display names of each
    // type joined by "; ", empty for none.
    [[nodiscard]] HRESULT CreateMessage(base::ComPtr<IMessage>& message) const;

    // --- for the store's own implementation ---
    // The faults of item `number`: the folder's message faults and the item's own.
    [[nodiscard]] HRESULT GetItemFaults(uint32_t number, uint32_t& faults) const;
    // Writes a message file as a new item with the next number.
    [[nodiscard]] HRESULT AddItemFile(const void* data, size_t size, Item& item) const;
    // A number no item of this folder has had or will get elsewhere.
    [[nodiscard]] HRESULT ReserveItemNumber(uint32_t& number) const;

private:
    // Subfolders with their display names, sorted by them.
    [[nodiscard]] HRESULT ListSubfolders(std::vector<std::pair<std::wstring, Folder>>& named) const;

    Store store_;
    std::wstring relativePath_;
};

class Item {
public:
    Item() = default;
    Item(Folder folder, uint32_t number, uint64_t size = 0)
        : folder_(std::move(folder)), number_(number), size_(size) {}

    [[nodiscard]] explicit operator bool() const noexcept { return static_cast<bool>(folder_); }
    [[nodiscard]] const Folder& folder() const noexcept { return folder_; }
    [[nodiscard]] uint32_t number() const noexcept { return number_; }
    // The file's size when the item was listed.
    [[nodiscard]] uint64_t size() const noexcept { return size_; }
    [[nodiscard]] std::wstring path() const;

    [[nodiscard]] HRESULT GetEntryId(std::vector<BYTE>& entryId) const;
    // The faults of this item: the folder's message faults and its own.
    [[nodiscard]] HRESULT GetFaults(uint32_t& faults) const;
    // The item as an IMessage, read into memory: no file stays open, so any number
    // of threads may open one item. SaveChanges replaces the file atomically; one that
    // is not `writable` refuses every change with MAPI_E_NO_ACCESS. MAPI_E_NOT_FOUND for
    // a deleted item, MAPI_E_CORRUPT_DATA for a file that is not a message file.
    [[nodiscard]] HRESULT Open(base::ComPtr<IMessage>& message, bool writable = true) const;
    [[nodiscard]] HRESULT Delete() const;
    // Copies the item into another folder, where the copy gets the next number.
    [[nodiscard]] HRESULT CopyTo(const Folder& target, Item& copy) const;
    // Moves the item into another folder, where it gets a new number (and entry
    // ID); the old entry ID no longer resolves.
    [[nodiscard]] HRESULT MoveTo(const Folder& target, Item& moved) const;

private:
    Folder folder_;
    uint32_t number_ = 0;
    uint64_t size_ = 0;
};

// What an entry ID names.
struct Entry {
    EntryKind kind = EntryKind::Store;
    Store store;
    Folder folder;  // folders and messages
    Item item;      // messages
};

// "PRB: IMAPIProp::GetProps May Return Truncated Data for PR_BODY": store
// providers limit what GetProps returns, typically to between 4 KB and 16 KB, and
// answer a larger value with E_OUTOFMEMORY (MAPI_E_NOT_ENOUGH_MEMORY).
inline constexpr uint32_t kDefaultPropertySizeLimit = 16 * 1024;

// What a profile sets beyond its stores: profile.ini keys of the same names as the
// profile line's attributes (standin/store/profilegen/description.h).
struct ProfileSettings {
    // `property-size-limit`: the largest string or binary value, in bytes, that GetProps
    // of an item returns; a larger one comes back as MAPI_E_NOT_ENOUGH_MEMORY, to be read
    // with OpenProperty.
    uint32_t propertySizeLimit = kDefaultPropertySizeLimit;
    // `busy-call`: the object-model call, counted from the application's start, that
    // Outlook refuses as busy; 0 for none.
    uint32_t busyCall = 0;
    // `main-thread-busy`: how long, in ms, the host's main thread serves nothing once it
    // has connected the add-in.
    uint32_t mainThreadBusyMs = 0;
    // `locale`: the C runtime locale the host sets (setlocale, LC_ALL) before it loads
    // add-ins, as another module of Outlook's process may; empty for none.
    std::wstring locale;
};

// The numeric settings by key, for readers and writers of profile.ini and of profile
// lines; the locale's key is kLocaleSetting.
struct NumberSetting {
    const char* key;
    uint32_t ProfileSettings::*field;
};
inline constexpr NumberSetting kNumberSettings[] = {
    {"property-size-limit", &ProfileSettings::propertySizeLimit},
    {"busy-call", &ProfileSettings::busyCall},
    {"main-thread-busy", &ProfileSettings::mainThreadBusyMs},
};
inline constexpr char kLocaleSetting[] = "locale";

// A profile folder. Thread-safe; shared by everything opened on it in this process.

class Profile : public std::enable_shared_from_this<Profile> {
public:
    // Opens the profile in `folder`, which must hold a readable profile.ini
    // (MAPI_E_NOT_FOUND, MAPI_E_CORRUPT_DATA otherwise).
    [[nodiscard]] static HRESULT Open(const std::wstring& folder, std::shared_ptr<Profile>& profile);
    // Makes a new, empty profile: `folder` must not exist or be empty.
    [[nodiscard]] static HRESULT Create(const std::wstring& folder, std::wstring_view name,
                                        std::shared_ptr<Profile>& profile);

    [[nodiscard]] const std::wstring& path() const noexcept { return path_; }
    [[nodiscard]] HRESULT GetName(std::wstring& name) const;
    [[nodiscard]] HRESULT GetFaults(uint32_t& faults) const;
    [[nodiscard]] HRESULT SetFaults(uint32_t faults);
    // Settings not in profile.ini have their defaults.
    [[nodiscard]] HRESULT GetSettings(ProfileSettings& settings) const;
    // Writes the settings that differ from their defaults.
    [[nodiscard]] HRESULT SetSettings(const ProfileSettings& settings);
    // In profile order. A store line of profile.ini whose folder is missing is
    // still listed; its calls fail with MAPI_E_NOT_FOUND.
    [[nodiscard]] HRESULT GetStores(std::vector<Store>& stores);
    // MAPI_E_NOT_FOUND when the profile names no default store.
    [[nodiscard]] HRESULT GetDefaultStore(Store& store);
    [[nodiscard]] HRESULT SetDefaultStore(const Store& store);
    // A new store with an empty root folder named `displayName`, last in order.
    // `uid` null: a new random UID (and service UID); otherwise these values.
    [[nodiscard]] HRESULT AddStore(std::wstring_view displayName, Store& store, const GUID* uid = nullptr,
                                   const GUID* serviceUid = nullptr);
    // The store, folder or item an entry ID names: MAPI_E_UNKNOWN_ENTRYID for an
    // ID of another provider, MAPI_E_INVALID_ENTRYID for a malformed one,
    // MAPI_E_NOT_FOUND when it names nothing (any more).
    [[nodiscard]] HRESULT Resolve(const void* entryId, size_t size, Entry& entry);
    [[nodiscard]] HRESULT FindStore(const GUID& uid, Store& store);

    // --- for the store's own implementation ---
    // Serialises read-modify-write of metadata and the numbering of new items and
    // folders, across threads and processes (a named mutex per profile folder).
    class WriteLock {
    public:
        // An abandoned mutex is taken all the same: the files it guarded are whole,
        // since every write is a rename.
        explicit WriteLock(const Profile& profile) noexcept
            : owned_(base::AcquireMutex(profile.writeMutex_.get(), INFINITE)) {}

    private:
        base::UniqueMutexOwnership owned_;
    };
    // Item numbers this process has reserved in a folder's metadata and not used
    // yet: taking one needs no metadata write.
    [[nodiscard]] bool TakeReservedNumber(const std::wstring& folderKey, uint32_t& number) const;
    void ReserveNumbers(const std::wstring& folderKey, uint32_t first, uint32_t end) const;
    // Where folder `id` of the store was last seen, if anywhere.
    [[nodiscard]] bool CachedFolderPath(const std::wstring& store, uint32_t id, std::wstring& path) const;
    void CacheFolderPath(const std::wstring& store, uint32_t id, const std::wstring& path) const;

    explicit Profile(std::wstring path);  // use Open or Create

private:
    [[nodiscard]] HRESULT LoadMetadata(class Metadata& metadata) const;

    const std::wstring path_;
    base::UniqueHandle writeMutex_;
    mutable std::mutex cacheLock_;
    mutable std::unordered_map<std::wstring, std::wstring> folderPaths_;  // "store|id" -> path
    mutable std::unordered_map<std::wstring, std::pair<uint32_t, uint32_t>>
        reserved_;  // "store|id" -> [next, end)
};

// The file name of item `number`: eight or more decimal digits and ".msg".
[[nodiscard]] std::wstring ItemFileName(uint32_t number);
// The number of an item file name; false for any other name.
[[nodiscard]] bool ParseItemFileName(std::wstring_view name, uint32_t& number) noexcept;

[[nodiscard]] std::wstring GuidToHex(const GUID& guid);
// A GUID that depends only on `text` (ignoring case): for deterministic UIDs.
[[nodiscard]] GUID StableGuid(std::wstring_view text);
[[nodiscard]] bool GuidFromHex(std::wstring_view text, GUID& guid) noexcept;

}  // namespace standin::store
