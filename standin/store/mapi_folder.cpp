// IMAPIFolder over a folder of the store.
#include "standin/store/mapi_objects.h"

#include <mapicode.h>
#include <mapiguid.h>
#include <mapitags.h>

#include <cstring>

#include "standin/store/names.h"

#include "base/boundary.h"

namespace standin::store {

namespace {

std::vector<BYTE> InstanceKey(ULONG row) {
    std::vector<BYTE> key(sizeof(row));
    std::memcpy(key.data(), &row, sizeof(row));
    return key;
}

constexpr std::wstring_view kIpmSubtreeName = L"Top of Personal Folders";

// Properties every view of a folder shares: the folder's own, a hierarchy row.
[[nodiscard]] HRESULT FolderProperties(const Folder& folder, ProviderProps& properties) {
    FolderInfo info;
    const HRESULT status = folder.GetInfo(info);
    std::vector<BYTE> entryId;
    HRESULT hr = status;
    if (SUCCEEDED(hr)) hr = folder.GetEntryId(entryId);
    if (SUCCEEDED(hr)) {
        properties.SetBinary(PR_ENTRYID, entryId);
        properties.SetBinary(PR_RECORD_KEY, entryId);
    } else {
        properties.SetError(PR_ENTRYID, hr);
    }
    // The IPM subtree carries its provider's name; the store's display name is the
    // object model's Name of that folder.
    properties.SetString(PR_DISPLAY_NAME, folder.IsRoot() ? std::wstring(kIpmSubtreeName) : info.name);
    properties.SetLong(PR_OBJECT_TYPE, MAPI_FOLDER);
    properties.SetLong(PR_FOLDER_TYPE, FOLDER_GENERIC);
    properties.SetString(PR_CONTAINER_CLASS, std::wstring(ContainerClass(info.type)));
    std::vector<Folder> subfolders;
    properties.SetBoolean(PR_SUBFOLDERS, SUCCEEDED(folder.GetSubfolders(subfolders)) && !subfolders.empty());
    std::vector<BYTE> storeId;
    if (SUCCEEDED(folder.store().GetEntryId(storeId))) properties.SetBinary(PR_STORE_ENTRYID, storeId);
    return S_OK;
}

class MapiFolder final : public ProviderObject<IMAPIFolder> {
public:
    MapiFolder(Folder folder, OpenedAs as) : folder_(std::move(folder)), as_(as) {}

    [[nodiscard]] std::span<const InterfaceEntry> Table() const noexcept override {
        static constexpr InterfaceEntry kInterfaces[] = {
            {&IID_IMAPIProp}, {&IID_IMAPIContainer}, {&IID_IMAPIFolder}};
        return kInterfaces;
    }

    STDMETHODIMP SetProps(ULONG count, LPSPropValue values, LPSPropProblemArray* problems) noexcept override;

    // IMAPIContainer
    STDMETHODIMP GetContentsTable(ULONG flags, LPMAPITABLE* table) noexcept override;
    STDMETHODIMP GetHierarchyTable(ULONG flags, LPMAPITABLE* table) noexcept override;
    STDMETHODIMP OpenEntry(ULONG entryIdSize, LPENTRYID entryId, LPCIID interfaceId, ULONG flags,
                           ULONG* objectType, LPUNKNOWN* object) noexcept override {
        if (!entryId || entryIdSize == 0) {
            if (!objectType || !object) return MAPI_E_INVALID_PARAMETER;
            if ((flags & MAPI_MODIFY) && !as_.writable) return MAPI_E_NO_ACCESS;
            *objectType = MAPI_FOLDER;
            return QueryInterface(interfaceId ? *interfaceId : IID_IMAPIFolder,
                                  reinterpret_cast<void**>(object));
        }
        const Store& store = folder_.store();
        return OpenEntryObject(*store.profile(), &store, entryIdSize, entryId, interfaceId, flags, as_,
                               objectType, object);
    }
    STDMETHODIMP SetSearchCriteria(LPSRestriction, LPENTRYLIST, ULONG) noexcept override {
        return MAPI_E_NO_SUPPORT;
    }
    STDMETHODIMP GetSearchCriteria(ULONG, LPSRestriction*, LPENTRYLIST*, ULONG*) noexcept override {
        return MAPI_E_NO_SUPPORT;
    }

    // IMAPIFolder
    STDMETHODIMP CreateMessage(LPCIID interfaceId, ULONG flags, LPMESSAGE* message) noexcept override;
    STDMETHODIMP CopyMessages(LPENTRYLIST messages, LPCIID interfaceId, LPVOID destination, ULONG,
                              LPMAPIPROGRESS, ULONG flags) noexcept override;
    STDMETHODIMP DeleteMessages(LPENTRYLIST messages, ULONG, LPMAPIPROGRESS, ULONG) noexcept override;
    STDMETHODIMP CreateFolder(ULONG folderType, LPTSTR name, LPTSTR comment, LPCIID interfaceId, ULONG flags,
                              LPMAPIFOLDER* folder) noexcept override;
    STDMETHODIMP CopyFolder(ULONG, LPENTRYID, LPCIID, LPVOID, LPTSTR, ULONG, LPMAPIPROGRESS,
                            ULONG) noexcept override {
        return MAPI_E_NO_SUPPORT;
    }
    STDMETHODIMP DeleteFolder(ULONG, LPENTRYID, ULONG, LPMAPIPROGRESS, ULONG) noexcept override {
        return MAPI_E_NO_SUPPORT;
    }
    STDMETHODIMP SetReadFlags(LPENTRYLIST, ULONG, LPMAPIPROGRESS, ULONG) noexcept override {
        return MAPI_E_NO_SUPPORT;
    }
    STDMETHODIMP GetMessageStatus(ULONG, LPENTRYID, ULONG, ULONG*) noexcept override {
        return MAPI_E_NO_SUPPORT;
    }
    STDMETHODIMP SetMessageStatus(ULONG, LPENTRYID, ULONG, ULONG, ULONG*) noexcept override {
        return MAPI_E_NO_SUPPORT;
    }
    STDMETHODIMP SaveContentsSort(LPSSortOrderSet, ULONG) noexcept override { return MAPI_E_NO_SUPPORT; }
    STDMETHODIMP EmptyFolder(ULONG, LPMAPIPROGRESS, ULONG) noexcept override { return MAPI_E_NO_SUPPORT; }

    [[nodiscard]] const Folder& folder() const noexcept { return folder_; }
    [[nodiscard]] bool writable() const noexcept { return as_.writable; }

private:
    [[nodiscard]] HRESULT Snapshot(ProviderProps& properties) const override;
    // The items an entry list names, all of this folder.
    [[nodiscard]] HRESULT ItemsOf(const ENTRYLIST* list, std::vector<Item>& items) const;

    const Folder folder_;
    const OpenedAs as_;
};

HRESULT MapiFolder::Snapshot(ProviderProps& properties) const {
    FolderInfo info;
    HRESULT hr = folder_.GetInfo(info);
    if (FAILED(hr)) return hr;
    hr = FolderProperties(folder_, properties);
    if (FAILED(hr)) return hr;
    std::vector<Item> items;
    hr = folder_.GetItems(items);
    if (FAILED(hr)) return hr;
    properties.SetLong(PR_CONTENT_COUNT, static_cast<LONG>(items.size()));
    properties.SetLong(PR_CONTENT_UNREAD, 0);
    Folder parent;
    std::vector<BYTE> parentId;
    if (SUCCEEDED(folder_.GetParent(parent)) ? SUCCEEDED(parent.GetEntryId(parentId))
                                             : SUCCEEDED(folder_.GetEntryId(parentId))) {
        properties.SetBinary(PR_PARENT_ENTRYID, parentId);  // a root is its own parent
    }
    return S_OK;
}

HRESULT MapiFolder::SetProps(ULONG count, LPSPropValue values, LPSPropProblemArray* problems) noexcept {
    if (problems) *problems = nullptr;
    if (count != 0 && !values) return MAPI_E_INVALID_PARAMETER;
    if (!as_.writable) return MAPI_E_NO_ACCESS;
    return base::ReturnOr(
        [&] {
            for (ULONG i = 0; i < count; ++i) {
                const ULONG tag = values[i].ulPropTag;
                if (PROP_ID(tag) != PROP_ID(PR_DISPLAY_NAME)) return MAPI_E_NO_ACCESS;
                const std::wstring name = PROP_TYPE(tag) == PT_UNICODE
                                              ? TextArgument(values[i].Value.lpszW, MAPI_UNICODE)
                                              : TextArgument(values[i].Value.lpszA, 0);
                const HRESULT hr = folder_.Rename(name);
                if (FAILED(hr)) return hr;
            }
            return S_OK;
        },
        MAPI_E_NOT_ENOUGH_MEMORY);
}

HRESULT MapiFolder::GetHierarchyTable(ULONG flags, LPMAPITABLE* table) noexcept {
    if (!table) return MAPI_E_INVALID_PARAMETER;
    *table = nullptr;
    return base::ReturnOr(
        [&] {
            std::vector<Folder> subfolders;
            HRESULT hr = folder_.GetSubfolders(subfolders);
            if (FAILED(hr)) return hr;
            std::vector<ProviderProps> rows(subfolders.size());
            for (size_t i = 0; i < subfolders.size(); ++i) {
                hr = FolderProperties(subfolders[i], rows[i]);
                if (FAILED(hr)) return hr;
                rows[i].SetBinary(PR_INSTANCE_KEY, InstanceKey(static_cast<ULONG>(i)));
                rows[i].SetLong(PR_DEPTH, 0);
            }
            return CreateRowTable(rows, flags, table);
        },
        MAPI_E_NOT_ENOUGH_MEMORY);
}

// Only what the folder listing tells: a row never opens its message file, so
// a folder of 100,000 items lists quickly. Open the item for its properties.
HRESULT MapiFolder::GetContentsTable(ULONG flags, LPMAPITABLE* table) noexcept {
    if (!table) return MAPI_E_INVALID_PARAMETER;
    *table = nullptr;
    return base::ReturnOr(
        [&] {
            std::vector<Item> items;
            HRESULT hr = folder_.GetItems(items);
            if (FAILED(hr)) return hr;
            std::vector<BYTE> folderId;
            hr = folder_.GetEntryId(folderId);
            if (FAILED(hr)) return hr;
            std::vector<ProviderProps> rows(items.size());
            for (size_t i = 0; i < items.size(); ++i) {
                std::vector<BYTE> entryId;
                hr = items[i].GetEntryId(entryId);
                if (FAILED(hr)) return hr;
                rows[i].SetBinary(PR_ENTRYID, entryId);
                rows[i].SetBinary(PR_INSTANCE_KEY, InstanceKey(static_cast<ULONG>(i)));
                rows[i].SetBinary(PR_PARENT_ENTRYID, folderId);
                rows[i].SetLong(PR_OBJECT_TYPE, MAPI_MESSAGE);
                rows[i].SetLong(PR_MESSAGE_SIZE,
                                static_cast<LONG>(std::min<uint64_t>(items[i].size(), LONG_MAX)));
            }
            return CreateRowTable(rows, flags, table);
        },
        MAPI_E_NOT_ENOUGH_MEMORY);
}

HRESULT MapiFolder::CreateMessage(LPCIID interfaceId, ULONG, LPMESSAGE* message) noexcept {
    if (!message) return MAPI_E_INVALID_PARAMETER;
    *message = nullptr;
    if (interfaceId && !IsEqualIID(*interfaceId, IID_IMessage) && !IsEqualIID(*interfaceId, IID_IMAPIProp) &&
        !IsEqualIID(*interfaceId, IID_IUnknown)) {
        return MAPI_E_INTERFACE_NOT_SUPPORTED;
    }
    if (!as_.writable) return MAPI_E_NO_ACCESS;
    FolderInfo info;
    HRESULT hr = folder_.GetInfo(info);
    if (FAILED(hr)) return hr;
    if (info.faults & fault::kCreateMessage) return kFaultResult;
    base::ComPtr<IMessage> created;
    hr = folder_.CreateMessage(created);
    if (FAILED(hr)) return hr;
    *message = created.detach();
    return S_OK;
}

HRESULT MapiFolder::CreateFolder(ULONG folderType, LPTSTR name, LPTSTR, LPCIID interfaceId, ULONG flags,
                                 LPMAPIFOLDER* folder) noexcept {
    if (!folder || !name) return MAPI_E_INVALID_PARAMETER;
    *folder = nullptr;
    if (folderType != FOLDER_GENERIC) return MAPI_E_NO_SUPPORT;
    if (!as_.writable) return MAPI_E_NO_ACCESS;
    return base::ReturnOr(
        [&] {
            FolderInfo info;
            HRESULT hr = folder_.GetInfo(info);
            if (FAILED(hr)) return hr;
            if (info.faults & fault::kCreateFolder) return kFaultResult;
            // A folder made through MAPI has no container class yet: Outlook shows it
            // as a mail folder.
            Folder created;
            const auto ifExists =
                (flags & OPEN_IF_EXISTS) ? Folder::IfExists::Open : Folder::IfExists::Collide;
            hr = folder_.CreateSubfolder(TextArgument(name, flags), ItemType::Mail, ifExists, created);
            if (FAILED(hr)) return hr;
            base::ComPtr<IMAPIFolder> opened;
            hr = OpenFolderObject(created, as_, opened);
            if (FAILED(hr)) return hr;
            hr = opened->QueryInterface(interfaceId ? *interfaceId : IID_IMAPIFolder,
                                        reinterpret_cast<void**>(folder));
            return hr == E_NOINTERFACE ? MAPI_E_INTERFACE_NOT_SUPPORTED : hr;
        },
        MAPI_E_NOT_ENOUGH_MEMORY);
}

HRESULT MapiFolder::ItemsOf(const ENTRYLIST* list, std::vector<Item>& items) const {
    if (!list) return MAPI_E_INVALID_PARAMETER;
    Profile& profile = *folder_.store().profile();
    for (ULONG i = 0; i < list->cValues; ++i) {
        Entry entry;
        const HRESULT hr = profile.Resolve(list->lpbin[i].lpb, list->lpbin[i].cb, entry);
        if (FAILED(hr)) return hr;
        if (entry.kind != EntryKind::Message || entry.folder.path() != folder_.path())
            return MAPI_E_INVALID_ENTRYID;
        items.push_back(std::move(entry.item));
    }
    return S_OK;
}

HRESULT MapiFolder::CopyMessages(LPENTRYLIST messages, LPCIID, LPVOID destination, ULONG, LPMAPIPROGRESS,
                                 ULONG flags) noexcept {
    if (!destination) return MAPI_E_INVALID_PARAMETER;
    return base::ReturnOr(
        [&] {
            base::ComPtr<IMAPIFolder> target;
            HRESULT hr =
                static_cast<IUnknown*>(destination)->QueryInterface(IID_IMAPIFolder, target.put_void());
            if (FAILED(hr)) return hr;
            // Only folders of this store's kind can take our items as files.
            const auto* ours = dynamic_cast<const MapiFolder*>(target.get());
            if (!ours) return MAPI_E_NO_SUPPORT;
            if (!ours->writable() || ((flags & MESSAGE_MOVE) && !as_.writable)) return MAPI_E_NO_ACCESS;
            std::vector<Item> items;
            hr = ItemsOf(messages, items);
            if (FAILED(hr)) return hr;
            for (const Item& item : items) {
                Item copied;
                hr = (flags & MESSAGE_MOVE) ? item.MoveTo(ours->folder(), copied)
                                            : item.CopyTo(ours->folder(), copied);
                if (FAILED(hr)) return hr;
            }
            return S_OK;
        },
        MAPI_E_NOT_ENOUGH_MEMORY);
}

HRESULT MapiFolder::DeleteMessages(LPENTRYLIST messages, ULONG, LPMAPIPROGRESS, ULONG) noexcept {
    if (!as_.writable) return MAPI_E_NO_ACCESS;
    return base::ReturnOr(
        [&] {
            std::vector<Item> items;
            HRESULT hr = ItemsOf(messages, items);
            if (FAILED(hr)) return hr;
            for (const Item& item : items) {
                hr = item.Delete();
                if (FAILED(hr)) return hr;
            }
            return S_OK;
        },
        MAPI_E_NOT_ENOUGH_MEMORY);
}

}  // namespace

HRESULT OpenFolderObject(const Folder& folder, OpenedAs as, base::ComPtr<IMAPIFolder>& mapiFolder) {
    return base::ReturnOr(
        [&] {
            FolderInfo info;
            const HRESULT hr = folder.GetInfo(info);
            if (FAILED(hr)) return hr;
            mapiFolder.reset(new MapiFolder(folder, as));
            return S_OK;
        },
        MAPI_E_NOT_ENOUGH_MEMORY);
}

}  // namespace standin::store
