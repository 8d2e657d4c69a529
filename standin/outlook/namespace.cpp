// _NameSpace: the "MAPI" namespace over the application's profile.
#include <mapicode.h>

#include "standin/mapi/hex.h"
#include "standin/outlook/dispatch.h"
#include "standin/outlook/objects.h"
#include "standin/store/logon.h"
#include "standin/store/names.h"

namespace standin::outlook {
namespace {

// A store added by AddStore keeps its folder on disk under its file's name: the
// name without folder and without the data file extension.
constexpr std::wstring_view kDataFileExtension = L".pst";

// The root of a new data file: named as Outlook names a new personal store, with
// its Deleted Items folder, one of the folders every IPM store has
// ("HrValidateIPMSubtree": Search Root, IPM Subtree and Deleted Items at least).
constexpr std::wstring_view kNewDataFileName = L"Personal Folders";
constexpr std::wstring_view kDeletedItemsName = L"Deleted Items";

[[nodiscard]] std::wstring StoreNameFromFile(std::wstring_view file) {
    const size_t slash = file.find_last_of(L"\\/");
    if (slash != std::wstring_view::npos) file.remove_prefix(slash + 1);
    if (file.size() > kDataFileExtension.size() &&
        store::SameName(file.substr(file.size() - kDataFileExtension.size()), kDataFileExtension)) {
        file.remove_suffix(kDataFileExtension.size());
    }
    return std::wstring(file);
}

class NameSpaceObject final : public DispatchObject<NameSpaceObject, _NameSpace> {
public:
    explicit NameSpaceObject(std::shared_ptr<store::Profile> profile) : profile_(std::move(profile)) {}

    // GetFolderFromID(EntryIDFolder, [EntryIDStore]): a folder by its entry ID.
    [[nodiscard]] HRESULT GetFolderFromID(Call& call) {
        store::Entry entry;
        const HRESULT hr = ResolveEntry(call, store::EntryKind::Folder, entry);
        if (FAILED(hr)) return hr;
        return ReturnNewFolder(call, this, entry.folder);
    }

    // GetItemFromID(EntryIDItem, [EntryIDStore]): an item by its entry ID.
    [[nodiscard]] HRESULT GetItemFromID(Call& call) {
        store::Entry entry;
        HRESULT hr = ResolveEntry(call, store::EntryKind::Message, entry);
        if (FAILED(hr)) return hr;
        base::ComPtr<IDispatch> item;
        hr = NewItem(entry.item, item);
        if (FAILED(hr)) return hr;
        return call.ReturnObject(item.get());
    }

    // GetDefaultFolder(FolderType): a special folder of the default store.
    [[nodiscard]] HRESULT GetDefaultFolder(Call& call) {
        long kind = 0;
        HRESULT hr = call.Long(0, kind);
        if (FAILED(hr)) return hr;
        const auto role = static_cast<store::FolderRole>(kind);
        if (store::FolderRoleWord(role).empty()) return E_INVALIDARG;
        store::Store defaultStore;
        hr = profile_->GetDefaultStore(defaultStore);
        if (FAILED(hr)) return hr;
        store::Folder folder;
        hr = defaultStore.GetDefaultFolder(role, folder);
        if (FAILED(hr)) return hr;
        return ReturnNewFolder(call, this, folder);
    }

    [[nodiscard]] HRESULT GetFolders(Call& call) {
        base::ComPtr<_Folders> roots;
        const HRESULT hr = NewStoreRoots(this, profile_, roots);
        if (FAILED(hr)) return hr;
        return call.ReturnObject(roots.get());
    }

    // AddStore(Store): the data file at that path, last in the profile; a file
    // not there yet is made ("NameSpace.AddStore method (Outlook)"). A file the
    // profile has open already adds nothing.
    [[nodiscard]] HRESULT AddStore(Call& call) {
        std::wstring file;
        HRESULT hr = call.Text(0, file);
        if (FAILED(hr)) return hr;
        if (file.empty()) return E_INVALIDARG;
        uint32_t faults = 0;
        hr = profile_->GetFaults(faults);
        if (FAILED(hr)) return hr;
        if (faults & store::fault::kAddStore) return E_FAIL;
        std::vector<store::Store> stores;
        hr = profile_->GetStores(stores);
        if (FAILED(hr)) return hr;
        for (const store::Store& open : stores) {
            store::StoreInfo info;
            if (SUCCEEDED(open.GetInfo(info)) && store::SameName(info.dataFile, file)) return S_OK;
        }
        store::Store added;
        store::Folder deletedItems;
        if (FAILED(hr = profile_->AddStore(StoreNameFromFile(file), added)) ||
            FAILED(hr = added.SetDataFile(file)) ||
            FAILED(hr = added.RootFolder().Rename(std::wstring(kNewDataFileName))) ||
            FAILED(hr = added.RootFolder().CreateSubfolder(std::wstring(kDeletedItemsName),
                                                           store::ItemType::Mail,
                                                           store::Folder::IfExists::Open, deletedItems))) {
            return hr;
        }
        return added.SetDefaultFolder(store::FolderRole::DeletedItems, deletedItems);
    }

    // Logon([Profile], [Password], [ShowDialog], [NewSession]): the application is
    // logged on to its profile already; only the profile's logon fault refuses. What it
    // was given goes to the logon record.
    [[nodiscard]] HRESULT Logon(Call& call) {
        std::wstring profile, password;
        long dialog = -1, newSession = -1;
        (void)call.Text(0, profile);
        (void)call.Text(1, password);
        (void)call.Long(2, dialog);
        (void)call.Long(3, newSession);
        store::AppendLogonRecord("namespace-logon profile=" + std::string(profile.begin(), profile.end()) +
                                 " password=" + std::string(password.begin(), password.end()) +
                                 " dialog=" + std::to_string(dialog) + " new=" + std::to_string(newSession));
        uint32_t faults = 0;
        const HRESULT hr = profile_->GetFaults(faults);
        if (FAILED(hr)) return hr;
        return (faults & store::fault::kLogon) ? MAPI_E_LOGON_FAILED : S_OK;
    }

    [[nodiscard]] HRESULT Logoff(Call&) {
        store::AppendLogonRecord("namespace-logoff");
        return S_OK;
    }

    static constexpr Member<NameSpaceObject> kMembers[] = {
        {L"GetFolderFromID", 1, Access::Method, 1, 2, &NameSpaceObject::GetFolderFromID},
        {L"GetItemFromID", 2, Access::Method, 1, 2, &NameSpaceObject::GetItemFromID},
        {L"GetDefaultFolder", 3, Access::Method, 1, 1, &NameSpaceObject::GetDefaultFolder},
        {L"Folders", 4, Access::Get, 0, 0, &NameSpaceObject::GetFolders},
        {L"AddStore", 5, Access::Method, 1, 1, &NameSpaceObject::AddStore},
        {L"Logon", 6, Access::Method, 0, 4, &NameSpaceObject::Logon},
        {L"Logoff", 7, Access::Method, 0, 0, &NameSpaceObject::Logoff},
    };

private:
    // What the hexadecimal entry ID of argument 0 names, which must be of `kind`;
    // when argument 1 names a store, the entry must be in it.
    [[nodiscard]] HRESULT ResolveEntry(Call& call, store::EntryKind kind, store::Entry& entry) {
        std::wstring entryText, storeText;
        HRESULT hr = call.Text(0, entryText);
        if (FAILED(hr) || FAILED(hr = call.Text(1, storeText))) return hr;
        hr = Resolve(entryText, entry);
        if (FAILED(hr)) return hr;
        if (entry.kind != kind) return MAPI_E_NOT_FOUND;
        if (storeText.empty()) return S_OK;
        store::Entry storeEntry;
        hr = Resolve(storeText, storeEntry);
        if (FAILED(hr)) return hr;
        if (storeEntry.kind != store::EntryKind::Store ||
            storeEntry.store.directory() != entry.store.directory()) {
            return MAPI_E_NOT_FOUND;
        }
        return S_OK;
    }

    [[nodiscard]] HRESULT Resolve(std::wstring_view hex, store::Entry& entry) {
        std::vector<BYTE> bytes(hex.size() / 2);
        if (hex.size() % 2 != 0 || !mapi::DecodeHex(hex, bytes.data(), bytes.size()))
            return MAPI_E_INVALID_ENTRYID;
        return profile_->Resolve(bytes.data(), bytes.size(), entry);
    }

    const std::shared_ptr<store::Profile> profile_;
};

}  // namespace

HRESULT NewNameSpace(std::shared_ptr<store::Profile> profile, base::ComPtr<_NameSpace>& out) {
    return MakeObject<NameSpaceObject>(out, std::move(profile));
}

}  // namespace standin::outlook
