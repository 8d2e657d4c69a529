// IMsgStore over a store of the profile.
#include "standin/mapi/mapi.h"
#include "standin/store/mapi_objects.h"

#include <mapicode.h>
#include <mapiguid.h>
#include <mapitags.h>

#include <cstring>
#include <iterator>
#include <mutex>
#include <set>

#include "standin/store/layout.h"

#include "base/boundary.h"

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

// The stores of the shared session logged off in this process, as "PROFILE|STORE".
std::mutex g_loggedOffLock;
std::set<std::wstring> g_loggedOff;  // under g_loggedOffLock

[[nodiscard]] std::wstring StoreKey(const Store& store) {
    return UpperCase(store.profile()->path() + L"|" + store.directory());
}

class MsgStore final : public ProviderObject<IMsgStore> {
public:
    MsgStore(Store store, OpenedAs as) : store_(std::move(store)), as_(as) {}

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
    STDMETHODIMP OpenEntry(ULONG entryIdSize, LPENTRYID entryId, LPCIID interfaceId, ULONG flags,
                           ULONG* objectType, LPUNKNOWN* object) noexcept override {
        if (const HRESULT hr = CheckLoggedOn(); FAILED(hr)) return hr;
        return OpenEntryObject(*store_.profile(), &store_, entryIdSize, entryId, interfaceId, flags, as_,
                               objectType, object);
    }
    STDMETHODIMP SetReceiveFolder(LPTSTR, ULONG, ULONG, LPENTRYID) noexcept override {
        return MAPI_E_NO_SUPPORT;
    }
    STDMETHODIMP GetReceiveFolder(LPTSTR, ULONG flags, ULONG* entryIdSize, LPENTRYID* entryId,
                                  LPTSTR* explicitClass) noexcept override;
    STDMETHODIMP GetReceiveFolderTable(ULONG, LPMAPITABLE*) noexcept override { return MAPI_E_NO_SUPPORT; }
    STDMETHODIMP StoreLogoff(ULONG* flags) noexcept override {
        if (const HRESULT hr = CheckLoggedOn(); FAILED(hr)) return hr;
        if (flags) *flags = 0;  // nothing pending: every change is on disk already
        if (!as_.shared) return S_OK;
        return base::ReturnOr(
            [&] {
                LogOffSharedStore(store_);
                return S_OK;
            },
            MAPI_E_NOT_ENOUGH_MEMORY);
    }
    STDMETHODIMP AbortSubmit(ULONG, LPENTRYID, ULONG) noexcept override { return MAPI_E_NO_SUPPORT; }
    STDMETHODIMP GetOutgoingQueue(ULONG, LPMAPITABLE*) noexcept override { return MAPI_E_NO_SUPPORT; }
    STDMETHODIMP SetLockState(LPMESSAGE, ULONG) noexcept override { return MAPI_E_NO_SUPPORT; }
    STDMETHODIMP FinishedMsg(ULONG, ULONG, LPENTRYID) noexcept override { return MAPI_E_NO_SUPPORT; }
    STDMETHODIMP NotifyNewMail(LPNOTIFICATION) noexcept override { return MAPI_E_NO_SUPPORT; }

private:
    [[nodiscard]] HRESULT Snapshot(ProviderProps& properties) const override;
    [[nodiscard]] HRESULT CheckLoggedOn() const noexcept {
        return base::ReturnOr(
            [&] { return as_.shared && IsSharedStoreLoggedOff(store_) ? MAPI_E_END_OF_SESSION : S_OK; },
            MAPI_E_NOT_ENOUGH_MEMORY);
    }

    const Store store_;
    const OpenedAs as_;
};

HRESULT MsgStore::Snapshot(ProviderProps& properties) const {
    if (const HRESULT hr = CheckLoggedOn(); FAILED(hr)) return hr;
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
        if (SUCCEEDED(store_.RootFolder().GetEntryId(rootId))) {
            if (info.faults & fault::kLongIpmSubtree) rootId.resize(4096);
            properties.SetBinary(PR_IPM_SUBTREE_ENTRYID, rootId);
        }
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
    if (const HRESULT hr = CheckLoggedOn(); FAILED(hr)) return hr;
    return base::ReturnOr(
        [&] {
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
        },
        MAPI_E_NOT_ENOUGH_MEMORY);
}

}  // namespace

HRESULT OpenStoreObject(const Store& store, OpenedAs as, base::ComPtr<IMsgStore>& msgStore) {
    return base::ReturnOr(
        [&] {
            if (as.shared && IsSharedStoreLoggedOff(store)) return MAPI_E_END_OF_SESSION;
            StoreInfo info;
            const HRESULT hr = store.GetInfo(info);
            if (FAILED(hr)) return hr;
            if (info.faults & fault::kOpenStore) return kFaultResult;
            msgStore.reset(new MsgStore(store, as));
            return S_OK;
        },
        MAPI_E_NOT_ENOUGH_MEMORY);
}

void LogOffSharedStore(const Store& store) {
    std::wstring key = StoreKey(store);
    const std::lock_guard lock(g_loggedOffLock);
    g_loggedOff.insert(std::move(key));
}

bool IsSharedStoreLoggedOff(const Store& store) {
    const std::wstring key = StoreKey(store);
    const std::lock_guard lock(g_loggedOffLock);
    return g_loggedOff.count(key) != 0;
}

}  // namespace standin::store
