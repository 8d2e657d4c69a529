// MAPIFolder and _Folders over the store's folders.
#include <mutex>
#include <vector>

#include "standin/mapi/hex.h"
#include "standin/outlook/dispatch.h"
#include "standin/outlook/objects.h"

namespace standin::outlook {
namespace {

class FolderObject final : public DispatchObject<FolderObject, MAPIFolder> {
public:
    FolderObject(base::ComPtr<_NameSpace> nameSpace, store::Folder folder)
        : nameSpace_(std::move(nameSpace)), folder_(std::move(folder)) {}

    [[nodiscard]] HRESULT GetName(Call& call) {
        std::wstring name;
        const HRESULT hr = folder_.GetName(name);
        if (FAILED(hr)) return hr;
        return call.ReturnText(name);
    }

    // Renames the folder; a store's root names the store.
    [[nodiscard]] HRESULT PutName(Call& call) {
        std::wstring name;
        const HRESULT hr = call.Text(0, name);
        if (FAILED(hr)) return hr;
        return folder_.Rename(name);
    }

    [[nodiscard]] HRESULT GetFolders(Call& call) {
        base::ComPtr<_Folders> subfolders;
        const HRESULT hr = NewSubfolders(nameSpace_.get(), folder_, subfolders);
        if (FAILED(hr)) return hr;
        return call.ReturnObject(subfolders.get());
    }

    // A folder whose folder.ini cannot be read still has a name and is taken for a
    // mail folder, as the store reports it, so walks go on below it; only its
    // EntryID fails.
    [[nodiscard]] HRESULT GetDefaultItemType(Call& call) {
        std::wstring name;
        const HRESULT hr = folder_.GetName(name);  // fails only for a folder that is gone
        if (FAILED(hr)) return hr;
        store::FolderInfo info;
        static_cast<void>(folder_.GetInfo(info));
        return call.ReturnLong(static_cast<long>(info.type));
    }

    [[nodiscard]] HRESULT GetEntryID(Call& call) {
        std::vector<BYTE> entryId;
        HRESULT hr = CheckFault(store::fault::kEntryId);
        if (SUCCEEDED(hr)) hr = folder_.GetEntryId(entryId);
        if (FAILED(hr)) return hr;
        return call.ReturnText(mapi::HexText(entryId.data(), entryId.size()));
    }

    [[nodiscard]] HRESULT GetStoreID(Call& call) {
        std::vector<BYTE> entryId;
        HRESULT hr = CheckFault(store::fault::kStoreId);
        if (SUCCEEDED(hr)) hr = folder_.store().GetEntryId(entryId);
        if (FAILED(hr)) return hr;
        return call.ReturnText(mapi::HexText(entryId.data(), entryId.size()));
    }

    // The parent folder; for a store's root, the namespace.
    [[nodiscard]] HRESULT GetParent(Call& call) {
        store::Folder parent;
        if (FAILED(folder_.GetParent(parent))) return call.ReturnObject(nameSpace_.get());
        return ReturnNewFolder(call, nameSpace_.get(), std::move(parent));
    }

    [[nodiscard]] HRESULT GetItems(Call& call) {
        base::ComPtr<_Items> items;
        const HRESULT hr = NewItems(folder_, items);
        if (FAILED(hr)) return hr;
        return call.ReturnObject(items.get());
    }

    static constexpr Member<FolderObject> kMembers[] = {
        {L"Name", DISPID_VALUE, Access::Get, 0, 0, &FolderObject::GetName},
        {L"Name", DISPID_VALUE, Access::Put, 1, 1, &FolderObject::PutName},
        {L"Folders", 1, Access::Get, 0, 0, &FolderObject::GetFolders},
        {L"DefaultItemType", 2, Access::Get, 0, 0, &FolderObject::GetDefaultItemType},
        {L"EntryID", 3, Access::Get, 0, 0, &FolderObject::GetEntryID},
        {L"StoreID", 4, Access::Get, 0, 0, &FolderObject::GetStoreID},
        {L"Parent", 5, Access::Get, 0, 0, &FolderObject::GetParent},
        {L"Items", 6, Access::Get, 0, 0, &FolderObject::GetItems},
    };

private:
    // kFaultResult when the folder's fault switch `bit` is set.
    [[nodiscard]] HRESULT CheckFault(uint32_t bit) const {
        store::FolderInfo info;
        return SUCCEEDED(folder_.GetInfo(info)) && (info.faults & bit) ? store::kFaultResult : S_OK;
    }

    const base::ComPtr<_NameSpace> nameSpace_;
    const store::Folder folder_;
};

// A folder collection reads its folders when it is made and again at each Count
// and GetLast, so a walk of Count, then Item from 1 to the count, sees one list,
// and a walk begun after a change sees the change.
class FoldersObject final : public DispatchObject<FoldersObject, _Folders> {
public:
    // `parent` empty: the root folders of the profile's stores.
    FoldersObject(base::ComPtr<_NameSpace> nameSpace, std::shared_ptr<store::Profile> profile,
                  store::Folder parent)
        : nameSpace_(std::move(nameSpace)), profile_(std::move(profile)), parent_(std::move(parent)) {}

    [[nodiscard]] HRESULT Load() {
        std::vector<store::Folder> folders;
        if (parent_) {
            const HRESULT hr = parent_.GetSubfolders(folders);
            if (FAILED(hr)) return hr;
        } else {
            std::vector<store::Store> stores;
            const HRESULT hr = profile_->GetStores(stores);
            if (FAILED(hr)) return hr;
            for (const store::Store& store : stores) folders.push_back(store.RootFolder());
        }
        const std::lock_guard lock(lock_);
        folders_ = std::move(folders);
        return S_OK;
    }

    [[nodiscard]] HRESULT GetCount(Call& call) {
        const HRESULT hr = Load();
        if (FAILED(hr)) return hr;
        const std::lock_guard lock(lock_);
        return call.ReturnLong(static_cast<long>(folders_.size()));
    }

    // Item(Index): 1-based.
    [[nodiscard]] HRESULT Item(Call& call) {
        long index = 0;
        const HRESULT hr = call.Long(0, index);
        if (FAILED(hr)) return hr;
        return ReturnFolderAt(call, index);
    }

    // The last folder, or "Nothing" when there is none.
    [[nodiscard]] HRESULT GetLast(Call& call) {
        const HRESULT hr = Load();
        if (FAILED(hr)) return hr;
        return ReturnFolderAt(call, kLast);
    }

    static constexpr Member<FoldersObject> kMembers[] = {
        {L"Item", DISPID_VALUE, Access::Method, 1, 1, &FoldersObject::Item},
        {L"Count", 1, Access::Get, 0, 0, &FoldersObject::GetCount},
        {L"GetLast", 2, Access::Method, 0, 0, &FoldersObject::GetLast},
    };

private:
    static constexpr long kLast = -1;

    // The folder at a 1-based index, or the last (kLast; "Nothing" when the list
    // is empty); an index outside the list fails.
    [[nodiscard]] HRESULT ReturnFolderAt(Call& call, long index) {
        store::Folder folder;
        {
            const std::lock_guard lock(lock_);
            const long count = static_cast<long>(folders_.size());
            if (index == kLast) {
                if (count == 0) return call.ReturnObject(nullptr);
                index = count;
            }
            if (index < 1 || index > count) return DISP_E_BADINDEX;
            folder = folders_[static_cast<size_t>(index - 1)];
        }
        return ReturnNewFolder(call, nameSpace_.get(), std::move(folder));
    }

    const base::ComPtr<_NameSpace> nameSpace_;
    const std::shared_ptr<store::Profile> profile_;
    const store::Folder parent_;
    std::mutex lock_;
    std::vector<store::Folder> folders_;  // under lock_
};

[[nodiscard]] HRESULT NewFolders(_NameSpace* nameSpace, std::shared_ptr<store::Profile> profile,
                                 store::Folder parent, base::ComPtr<_Folders>& out) {
    out.reset();
    base::ComPtr<FoldersObject> folders;
    HRESULT hr = MakeObject<FoldersObject>(folders, Share(nameSpace), std::move(profile), std::move(parent));
    if (FAILED(hr)) return hr;
    hr = folders->Load();
    if (FAILED(hr)) return hr;
    out.reset(folders.detach());
    return S_OK;
}

}  // namespace

HRESULT ReturnNewFolder(Call& call, _NameSpace* nameSpace, store::Folder folder) {
    base::ComPtr<MAPIFolder> object;
    const HRESULT hr = MakeObject<FolderObject>(object, Share(nameSpace), std::move(folder));
    if (FAILED(hr)) return hr;
    return call.ReturnObject(object.get());
}

HRESULT NewStoreRoots(_NameSpace* nameSpace, std::shared_ptr<store::Profile> profile,
                      base::ComPtr<_Folders>& out) {
    return NewFolders(nameSpace, std::move(profile), store::Folder(), out);
}

HRESULT NewSubfolders(_NameSpace* nameSpace, store::Folder parent, base::ComPtr<_Folders>& out) {
    return NewFolders(nameSpace, nullptr, std::move(parent), out);
}

}  // namespace standin::outlook
