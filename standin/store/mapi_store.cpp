// IMsgStore over a store of the profile.
#include "standin/mapi/mapi.h"
#include "standin/store/mapi_objects.h"

#include <mapicode.h>
#include <mapiguid.h>
#include <mapitags.h>

#include <cstring>
#include <iterator>

namespace standin::store {

namespace {

// Special folders the store names in its own properties.
struct RoleProperty {
    FolderRole role;
    ULONG tag;
};
constexpr RoleProperty kRoleProperties[] = {
    {FolderRole::DeletedItems, PR_IPM_WASTEBASKET_ENTRYID},
    {FolderRole::SentMail, PR_IPM_SENTMAIL_ENTRYID},
    {FolderRole::Outbox, PR_IPM_OUTBOX_ENTRYID},
};

constexpr LONG kSupportMask = STORE_ENTRYID_UNIQUE | STORE_MODIFY_OK | STORE_CREATE_OK | STORE_ATTACH_OK |
                              STORE_OLE_OK | STORE_UNICODE_OK;

std::vector<BYTE> GuidBytes(const GUID& guid) {
    const auto* bytes = reinterpret_cast<const BYTE*>(&guid);
    return std::vector<BYTE>(bytes, bytes + sizeof(GUID));
}

class MsgStore final : public ProviderObject<IMsgStore> {
public:
    explicit MsgStore(Store store) : store_(std::move(store)) {}

    [[nodiscard]] std::span<const InterfaceEntry> Table() const noexcept override {
        static constexpr InterfaceEntry kInterfaces[] = {{&IID_IMAPIProp}, {&IID_IMsgStore}};
        return kInterfaces;
    }

    STDMETHODIMP Advise(ULONG, LPENTRYID, ULONG, LPMAPIADVISESINK, ULONG*) noexcept override {
        return MAPI_E_NO_SUPPORT;
    }
    STDMETHODIMP Unadvise(ULONG) noexcept override { return MAPI_E_NO_SUPPORT; }
    STDMETHODIMP CompareEntryIDs(ULONG size1, LPENTRYID id1, ULONG size2, LPENTRYID id2, ULONG,
                                 ULONG* result) noexcept override {
        if (!result) return MAPI_E_INVALID_PARAMETER;
        *result = size1 == size2 && id1 && id2 && std::memcmp(id1, id2, size1) == 0;
        return S_OK;
    }
    STDMETHODIMP OpenEntry(ULONG entryIdSize, LPENTRYID entryId, LPCIID interfaceId, ULONG, ULONG* objectType,
                           LPUNKNOWN* object) noexcept override {
        return OpenEntryObject(*store_.profile(), &store_, entryIdSize, entryId, interfaceId, objectType,
                               object);
    }
    STDMETHODIMP SetReceiveFolder(LPTSTR, ULONG, ULONG, LPENTRYID) noexcept override {
        return MAPI_E_NO_SUPPORT;
    }
    STDMETHODIMP GetReceiveFolder(LPTSTR, ULONG flags, ULONG* entryIdSize, LPENTRYID* entryId,
                                  LPTSTR* explicitClass) noexcept override;
    STDMETHODIMP GetReceiveFolderTable(ULONG, LPMAPITABLE*) noexcept override { return MAPI_E_NO_SUPPORT; }
    STDMETHODIMP StoreLogoff(ULONG* flags) noexcept override {
        if (flags) *flags = 0;  // nothing pending: every change is on disk already
        return S_OK;
    }
    STDMETHODIMP AbortSubmit(ULONG, LPENTRYID, ULONG) noexcept override { return MAPI_E_NO_SUPPORT; }
    STDMETHODIMP GetOutgoingQueue(ULONG, LPMAPITABLE*) noexcept override { return MAPI_E_NO_SUPPORT; }
    STDMETHODIMP SetLockState(LPMESSAGE, ULONG) noexcept override { return MAPI_E_NO_SUPPORT; }
    STDMETHODIMP FinishedMsg(ULONG, ULONG, LPENTRYID) noexcept override { return MAPI_E_NO_SUPPORT; }
    STDMETHODIMP NotifyNewMail(LPNOTIFICATION) noexcept override { return MAPI_E_NO_SUPPORT; }

private:
    [[nodiscard]] HRESULT Snapshot(ProviderProps& properties) const override;

    const Store store_;
};

HRESULT MsgStore::Snapshot(ProviderProps& properties) const {
    StoreInfo info;
    HRESULT hr = store_.GetInfo(info);
    if (FAILED(hr)) return hr;
    std::vector<BYTE> entryId;
    hr = store_.GetEntryId(entryId);
    if (FAILED(hr)) return hr;
    std::wstring name;
    hr = store_.GetDisplayName(name);
    if (FAILED(hr)) return hr;
    bool isDefault = false;
    hr = store_.IsDefault(isDefault);
    if (FAILED(hr)) return hr;
    properties.SetBinary(PR_ENTRYID, entryId);
    properties.SetBinary(PR_STORE_ENTRYID, entryId);
    properties.SetString(PR_DISPLAY_NAME, name);
    properties.SetLong(PR_OBJECT_TYPE, MAPI_STORE);
    properties.SetBinary(PR_RECORD_KEY, GuidBytes(info.uid));
    properties.SetBinary(PR_STORE_RECORD_KEY, GuidBytes(info.uid));
    properties.SetBinary(PR_MDB_PROVIDER, GuidBytes(kStoreProviderUid));
    properties.SetBinary(PR_SERVICE_UID, GuidBytes(info.serviceUid));
    properties.SetBoolean(PR_DEFAULT_STORE, isDefault);
    properties.SetLong(PR_STORE_SUPPORT_MASK, kSupportMask);
    if (!(info.faults & fault::kNoIpmSubtree)) {
        std::vector<BYTE> rootId;
        if (SUCCEEDED(store_.RootFolder().GetEntryId(rootId)))
            properties.SetBinary(PR_IPM_SUBTREE_ENTRYID, rootId);
    }
    for (const RoleProperty& role : kRoleProperties) {
        Folder folder;
        std::vector<BYTE> folderId;
        if (SUCCEEDED(store_.GetDefaultFolder(role.role, folder)) && SUCCEEDED(folder.GetEntryId(folderId))) {
            properties.SetBinary(role.tag, folderId);
        }
    }
    return S_OK;
}

HRESULT MsgStore::GetReceiveFolder(LPTSTR, ULONG flags, ULONG* entryIdSize, LPENTRYID* entryId,
                                   LPTSTR* explicitClass) noexcept {
    if (!entryIdSize || !entryId) return MAPI_E_INVALID_PARAMETER;
    *entryIdSize = 0;
    *entryId = nullptr;
    if (explicitClass) *explicitClass = nullptr;
    try {
        Folder inbox;
        HRESULT hr = store_.GetDefaultFolder(FolderRole::Inbox, inbox);
        if (FAILED(hr)) return hr;
        std::vector<BYTE> bytes;
        hr = inbox.GetEntryId(bytes);
        if (FAILED(hr)) return hr;
        if (explicitClass) {
            // Every class goes to the Inbox: the explicit class is the empty one.
            void* empty = nullptr;
            hr = MAPIAllocateBuffer((flags & MAPI_UNICODE) ? sizeof(wchar_t) : 1, &empty);
            if (FAILED(hr)) return hr;
            std::memset(empty, 0, (flags & MAPI_UNICODE) ? sizeof(wchar_t) : 1);
            *explicitClass = static_cast<LPTSTR>(empty);
        }
        hr = CopyToMapiBuffer(bytes, entryIdSize, entryId);
        if (FAILED(hr) && explicitClass) {
            MAPIFreeBuffer(*explicitClass);
            *explicitClass = nullptr;
        }
        return hr;
    } catch (const std::bad_alloc&) {
        return MAPI_E_NOT_ENOUGH_MEMORY;
    }
}

}  // namespace

HRESULT OpenStoreObject(const Store& store, base::ComPtr<IMsgStore>& msgStore) {
    try {
        StoreInfo info;
        const HRESULT hr = store.GetInfo(info);
        if (FAILED(hr)) return hr;
        if (info.faults & fault::kOpenStore) return kFaultResult;
        msgStore.reset(new MsgStore(store));
        return S_OK;
    } catch (const std::bad_alloc&) {
        return MAPI_E_NOT_ENOUGH_MEMORY;
    }
}

}  // namespace standin::store
