// IMAPISession over a profile, and the entry-ID opening shared by sessions,
// stores and folders.
#include "standin/store/mapi_objects.h"

#include <mapicode.h>
#include <mapiguid.h>
#include <mapitags.h>
#include <mapiutil.h>

#include <atomic>
#include <cstring>

#include "standin/store/item_message.h"
#include "standin/store/names.h"

#include "base/boundary.h"

namespace standin::store {

namespace {

// The default columns of the two session tables: their required column sets,
// as the MAPI pages "Message Store Tables" and "Status Tables" list them. A
// caller that reads rows without SetColumns gets these, not what it hoped for.
constexpr ULONG kStoresTableColumns[] = {
    PR_DEFAULT_STORE, PR_DISPLAY_NAME_W,     PR_ENTRYID,    PR_INSTANCE_KEY,   PR_MDB_PROVIDER,
    PR_OBJECT_TYPE,   PR_PROVIDER_DISPLAY_W, PR_RECORD_KEY, PR_RESOURCE_FLAGS, PR_RESOURCE_TYPE};
constexpr ULONG kStatusTableColumns[] = {PR_DISPLAY_NAME_W, PR_PROVIDER_DLL_NAME_W, PR_STATUS_CODE,
                                         PR_RESOURCE_FLAGS, PR_RESOURCE_METHODS,    PR_RESOURCE_TYPE,
                                         PR_ENTRYID,        PR_INSTANCE_KEY,        PR_OBJECT_TYPE,
                                         PR_ROWID};
constexpr wchar_t kProviderDll[] = L"mapi32.dll";

constexpr wchar_t kSubsystemDisplay[] = L"MAPI Subsystem";
constexpr wchar_t kSpoolerDisplay[] = L"Outgoing queue";
constexpr wchar_t kStoreProviderDisplay[] = L"Stand-in Message Store";

std::vector<BYTE> GuidBytes(const GUID& guid) {
    const auto* bytes = reinterpret_cast<const BYTE*>(&guid);
    return std::vector<BYTE>(bytes, bytes + sizeof(GUID));
}

std::vector<BYTE> InstanceKey(ULONG row) {
    std::vector<BYTE> key(sizeof(row));
    std::memcpy(key.data(), &row, sizeof(row));
    return key;
}

[[nodiscard]] HRESULT StoreRow(const Store& store, ULONG index, ProviderProps& row) {
    std::vector<BYTE> entryId;
    HRESULT hr = store.GetEntryId(entryId);
    if (FAILED(hr)) return hr;
    StoreInfo info;
    (void)store.GetInfo(info);  // a broken store.ini shows here; opening the store reports it
    std::wstring name;
    if (FAILED(store.GetDisplayName(name))) name = store.directory();
    bool isDefault = false;
    hr = store.IsDefault(isDefault);
    if (FAILED(hr)) return hr;
    row.SetBinary(PR_ENTRYID, entryId);
    row.SetBoolean(PR_DEFAULT_STORE, isDefault);
    if (!(info.faults & fault::kNoServiceUid)) row.SetBinary(PR_SERVICE_UID, GuidBytes(info.serviceUid));
    row.SetString(PR_DISPLAY_NAME, name);
    row.SetBinary(PR_RECORD_KEY, GuidBytes(info.uid));
    row.SetBinary(PR_INSTANCE_KEY, InstanceKey(index));
    row.SetBinary(PR_MDB_PROVIDER, GuidBytes(kStoreProviderUid));
    row.SetBinary(PR_PROVIDER_UID, GuidBytes(kStoreProviderUid));
    row.SetString(PR_PROVIDER_DISPLAY, kStoreProviderDisplay);
    row.SetLong(PR_RESOURCE_FLAGS, isDefault ? STATUS_DEFAULT_STORE : 0);
    row.SetLong(PR_OBJECT_TYPE, MAPI_STORE);
    row.SetLong(PR_RESOURCE_TYPE, MAPI_STORE_PROVIDER);
    row.SetLong(PR_ROWID, static_cast<LONG>(index));
    return S_OK;
}

// No status object can be opened here, so a row has no PR_ENTRYID: that column
// reads as an error value. `methods` are those MAPI's own status objects have
// (the "PidTagResourceMethods" page).
ProviderProps StatusRow(ULONG index, LONG resourceType, LONG methods, const std::wstring& name,
                        const wchar_t* provider) {
    ProviderProps row;
    row.SetLong(PR_ROWID, static_cast<LONG>(index));
    row.SetString(PR_DISPLAY_NAME, name);
    row.SetLong(PR_RESOURCE_TYPE, resourceType);
    row.SetLong(PR_RESOURCE_METHODS, methods);
    row.SetString(PR_PROVIDER_DISPLAY, provider);
    row.SetString(PR_PROVIDER_DLL_NAME, kProviderDll);
    row.SetLong(PR_STATUS_CODE, STATUS_AVAILABLE);
    row.SetLong(PR_RESOURCE_FLAGS, 0);
    row.SetLong(PR_OBJECT_TYPE, MAPI_STATUS);
    row.SetBinary(PR_INSTANCE_KEY, InstanceKey(index));
    return row;
}

class Session final : public base::FreeThreadedComObject<IMAPISession> {
public:
    Session(std::shared_ptr<Profile> profile, bool shared) : profile_(std::move(profile)), shared_(shared) {}

    [[nodiscard]] std::span<const InterfaceEntry> Table() const noexcept override {
        static constexpr InterfaceEntry kInterfaces[] = {{&IID_IMAPISession}};
        return kInterfaces;
    }

    STDMETHODIMP GetLastError(HRESULT, ULONG, LPMAPIERROR* error) noexcept override {
        if (!error) return MAPI_E_INVALID_PARAMETER;
        *error = nullptr;
        return S_OK;
    }
    STDMETHODIMP GetMsgStoresTable(ULONG flags, LPMAPITABLE* table) noexcept override;
    STDMETHODIMP OpenMsgStore(ULONG_PTR, ULONG entryIdSize, LPENTRYID entryId, LPCIID interfaceId,
                              ULONG flags, LPMDB* store) noexcept override;
    STDMETHODIMP OpenAddressBook(ULONG_PTR, LPCIID, ULONG, LPADRBOOK*) noexcept override {
        return MAPI_E_NO_SUPPORT;
    }
    STDMETHODIMP OpenProfileSection(LPMAPIUID, LPCIID, ULONG, LPPROFSECT*) noexcept override {
        return MAPI_E_NO_SUPPORT;
    }
    STDMETHODIMP GetStatusTable(ULONG flags, LPMAPITABLE* table) noexcept override;
    STDMETHODIMP OpenEntry(ULONG entryIdSize, LPENTRYID entryId, LPCIID interfaceId, ULONG flags,
                           ULONG* objectType, LPUNKNOWN* object) noexcept override {
        if (FAILED(CheckOpen())) return MAPI_E_LOGON_FAILED;
        // As for an entry ID no provider of the session claims: the caller goes
        // through the entry's store instead.
        uint32_t faults = 0;
        if (SUCCEEDED(profile_->GetFaults(faults)) && (faults & fault::kSessionUnknownEntryId)) {
            return MAPI_E_UNKNOWN_ENTRYID;
        }
        return OpenEntryObject(*profile_, nullptr, entryIdSize, entryId, interfaceId, flags,
                               OpenedAs{true, shared_}, objectType, object);
    }
    STDMETHODIMP CompareEntryIDs(ULONG size1, LPENTRYID id1, ULONG size2, LPENTRYID id2, ULONG,
                                 ULONG* result) noexcept override {
        if (!result) return MAPI_E_INVALID_PARAMETER;
        *result = size1 == size2 && id1 && id2 && std::memcmp(id1, id2, size1) == 0;
        return S_OK;
    }
    STDMETHODIMP Advise(ULONG, LPENTRYID, ULONG, LPMAPIADVISESINK, ULONG*) noexcept override {
        return MAPI_E_NO_SUPPORT;
    }
    STDMETHODIMP Unadvise(ULONG) noexcept override { return MAPI_E_NO_SUPPORT; }
    STDMETHODIMP MessageOptions(ULONG_PTR, ULONG, LPTSTR, LPMESSAGE) noexcept override {
        return MAPI_E_NO_SUPPORT;
    }
    STDMETHODIMP QueryDefaultMessageOpt(LPTSTR, ULONG, ULONG*, LPSPropValue*) noexcept override {
        return MAPI_E_NO_SUPPORT;
    }
    STDMETHODIMP EnumAdrTypes(ULONG, ULONG*, LPTSTR**) noexcept override { return MAPI_E_NO_SUPPORT; }
    STDMETHODIMP QueryIdentity(ULONG*, LPENTRYID*) noexcept override { return MAPI_E_NO_SUPPORT; }
    STDMETHODIMP Logoff(ULONG_PTR, ULONG, ULONG) noexcept override {
        loggedOff_ = true;
        return S_OK;
    }
    STDMETHODIMP SetDefaultStore(ULONG, ULONG entryIdSize, LPENTRYID entryId) noexcept override;
    STDMETHODIMP AdminServices(ULONG, LPSERVICEADMIN*) noexcept override { return MAPI_E_NO_SUPPORT; }
    STDMETHODIMP ShowForm(ULONG_PTR, LPMDB, LPMAPIFOLDER, LPCIID, ULONG, LPMESSAGE, ULONG, ULONG, ULONG,
                          ULONG, LPSTR) noexcept override {
        return MAPI_E_NO_SUPPORT;
    }
    STDMETHODIMP PrepareForm(LPCIID, LPMESSAGE, ULONG*) noexcept override { return MAPI_E_NO_SUPPORT; }

private:
    // A session that was logged off answers nothing but Release.
    [[nodiscard]] HRESULT CheckOpen() const noexcept { return loggedOff_ ? MAPI_E_LOGON_FAILED : S_OK; }

    const std::shared_ptr<Profile> profile_;
    const bool shared_;
    std::atomic<bool> loggedOff_{false};
};

HRESULT Session::GetMsgStoresTable(ULONG flags, LPMAPITABLE* table) noexcept {
    if (!table) return MAPI_E_INVALID_PARAMETER;
    *table = nullptr;
    if (FAILED(CheckOpen())) return MAPI_E_LOGON_FAILED;
    return base::ReturnOr(
        [&] {
            std::vector<Store> stores;
            HRESULT hr = profile_->GetStores(stores);
            if (FAILED(hr)) return hr;
            std::vector<ProviderProps> rows;
            for (const Store& store : stores) {
                ProviderProps row;
                // A store whose folder is gone has no row; one with broken metadata has.
                if (SUCCEEDED(StoreRow(store, static_cast<ULONG>(rows.size()), row)))
                    rows.push_back(std::move(row));
            }
            return CreateRowTable(rows, flags, table, kStoresTableColumns);
        },
        MAPI_E_NOT_ENOUGH_MEMORY);
}

HRESULT Session::GetStatusTable(ULONG flags, LPMAPITABLE* table) noexcept {
    if (!table) return MAPI_E_INVALID_PARAMETER;
    *table = nullptr;
    if (FAILED(CheckOpen())) return MAPI_E_LOGON_FAILED;
    return base::ReturnOr(
        [&] {
            uint32_t faults = 0;
            HRESULT hr = profile_->GetFaults(faults);
            if (FAILED(hr)) return hr;
            if ((faults & fault::kStatusTableUnicodeOnly) && !(flags & MAPI_UNICODE))
                return MAPI_E_BAD_CHARWIDTH;
            std::wstring profileName;
            hr = profile_->GetName(profileName);
            if (FAILED(hr)) return hr;
            std::vector<ProviderProps> rows;
            if (!(faults & fault::kStatusTableNoSubsystem)) {
                rows.push_back(
                    StatusRow(0, MAPI_SUBSYSTEM, STATUS_VALIDATE_STATE, profileName, kSubsystemDisplay));
            }
            rows.push_back(StatusRow(1, MAPI_SPOOLER, STATUS_VALIDATE_STATE | STATUS_FLUSH_QUEUES,
                                     kSpoolerDisplay, kSpoolerDisplay));
            std::vector<Store> stores;
            hr = profile_->GetStores(stores);
            if (FAILED(hr)) return hr;
            for (const Store& store : stores) {
                std::wstring name;
                if (FAILED(store.GetDisplayName(name))) continue;
                rows.push_back(StatusRow(static_cast<ULONG>(rows.size()) + 1, MAPI_STORE_PROVIDER, 0, name,
                                         kStoreProviderDisplay));
            }
            return CreateRowTable(rows, flags, table, kStatusTableColumns);
        },
        MAPI_E_NOT_ENOUGH_MEMORY);
}

HRESULT Session::OpenMsgStore(ULONG_PTR, ULONG entryIdSize, LPENTRYID entryId, LPCIID interfaceId,
                              ULONG flags, LPMDB* store) noexcept {
    if (!store) return MAPI_E_INVALID_PARAMETER;
    *store = nullptr;
    if (FAILED(CheckOpen())) return MAPI_E_LOGON_FAILED;
    if (interfaceId && !IsEqualIID(*interfaceId, IID_IMsgStore) && !IsEqualIID(*interfaceId, IID_IMAPIProp) &&
        !IsEqualIID(*interfaceId, IID_IUnknown)) {
        return MAPI_E_INTERFACE_NOT_SUPPORTED;
    }
    return base::ReturnOr(
        [&] {
            Entry entry;
            HRESULT hr = profile_->Resolve(entryId, entryIdSize, entry);
            if (FAILED(hr)) return hr;
            if (entry.kind != EntryKind::Store) return MAPI_E_INVALID_ENTRYID;
            // "IMAPISession::OpenMsgStore": read-only unless MDB_WRITE or MAPI_BEST_ACCESS asks more.
            const OpenedAs as{(flags & (MDB_WRITE | MAPI_BEST_ACCESS)) != 0, shared_};
            base::ComPtr<IMsgStore> opened;
            hr = OpenStoreObject(entry.store, as, opened);
            if (FAILED(hr)) return hr;
            *store = opened.detach();
            return S_OK;
        },
        MAPI_E_NOT_ENOUGH_MEMORY);
}

HRESULT Session::SetDefaultStore(ULONG, ULONG entryIdSize, LPENTRYID entryId) noexcept {
    if (FAILED(CheckOpen())) return MAPI_E_LOGON_FAILED;
    return base::ReturnOr(
        [&] {
            Entry entry;
            const HRESULT hr = profile_->Resolve(entryId, entryIdSize, entry);
            if (FAILED(hr)) return hr;
            if (entry.kind != EntryKind::Store) return MAPI_E_INVALID_ENTRYID;
            return profile_->SetDefaultStore(entry.store);
        },
        MAPI_E_NOT_ENOUGH_MEMORY);
}

[[nodiscard]] HRESULT QueryOpened(IUnknown* object, const IID* interfaceId, IUnknown** out) {
    if (!interfaceId) {
        object->AddRef();
        *out = object;
        return S_OK;
    }
    const HRESULT hr = object->QueryInterface(*interfaceId, reinterpret_cast<void**>(out));
    return hr == E_NOINTERFACE ? MAPI_E_INTERFACE_NOT_SUPPORTED : hr;
}

}  // namespace

HRESULT OpenedAs::Child(ULONG flags, OpenedAs& child) const noexcept {
    if ((flags & MAPI_MODIFY) && !writable) return MAPI_E_NO_ACCESS;
    child = OpenedAs{writable && (flags & (MAPI_MODIFY | MAPI_BEST_ACCESS)) != 0, shared};
    return S_OK;
}

HRESULT CreateSession(std::shared_ptr<Profile> profile, bool shared, base::ComPtr<IMAPISession>& session) {
    return base::ReturnOr(
        [&] {
            session.reset(new Session(std::move(profile), shared));
            return S_OK;
        },
        MAPI_E_NOT_ENOUGH_MEMORY);
}

HRESULT OpenEntryObject(Profile& profile, const Store* store, ULONG entryIdSize, const ENTRYID* entryId,
                        const IID* interfaceId, ULONG flags, OpenedAs opener, ULONG* objectType,
                        IUnknown** object) noexcept {
    if (!objectType || !object) return MAPI_E_INVALID_PARAMETER;
    *object = nullptr;
    OpenedAs as;
    if (const HRESULT hr = opener.Child(flags, as); FAILED(hr)) return hr;
    return base::ReturnOr(
        [&] {
            Entry entry;
            if (!entryId || entryIdSize == 0) {
                if (!store) return MAPI_E_INVALID_ENTRYID;
                entry.kind = EntryKind::Folder;  // a store's null entry ID is its root folder
                entry.store = *store;
                entry.folder = store->RootFolder();
            } else {
                HRESULT hr = profile.Resolve(entryId, entryIdSize, entry);
                if (FAILED(hr)) return hr;
                if (store && !SameName(entry.store.directory(), store->directory()))
                    return MAPI_E_INVALID_ENTRYID;
            }
            if (as.shared && IsSharedStoreLoggedOff(entry.store)) return MAPI_E_END_OF_SESSION;
            base::ComPtr<IUnknown> opened;
            HRESULT hr = S_OK;
            switch (entry.kind) {
            case EntryKind::Store: {
                base::ComPtr<IMsgStore> msgStore;
                hr = OpenStoreObject(entry.store, as, msgStore);
                opened.reset(msgStore.detach());
                *objectType = MAPI_STORE;
                break;
            }
            case EntryKind::Folder: {
                base::ComPtr<IMAPIFolder> folder;
                hr = OpenFolderObject(entry.folder, as, folder);
                opened.reset(folder.detach());
                *objectType = MAPI_FOLDER;
                break;
            }
            case EntryKind::Message: {
                base::ComPtr<IMessage> message;
                hr = entry.item.Open(message, as.writable);
                opened.reset(message.detach());
                *objectType = MAPI_MESSAGE;
                break;
            }
            }
            if (FAILED(hr)) return hr;
            return QueryOpened(opened.get(), interfaceId, object);
        },
        MAPI_E_NOT_ENOUGH_MEMORY);
}

HRESULT CopyToMapiBuffer(const std::vector<BYTE>& bytes, ULONG* size, ENTRYID** copy) noexcept {
    void* buffer = nullptr;
    const HRESULT hr = MAPIAllocateBuffer(static_cast<ULONG>(bytes.size()), &buffer);
    if (FAILED(hr)) return hr;
    std::memcpy(buffer, bytes.data(), bytes.size());
    *size = static_cast<ULONG>(bytes.size());
    *copy = static_cast<ENTRYID*>(buffer);
    return S_OK;
}

std::wstring TextArgument(const void* text, ULONG flags) {
    if (!text) return {};
    if (flags & MAPI_UNICODE) return static_cast<const wchar_t*>(text);
    const char* narrow = static_cast<const char*>(text);
    const int length = MultiByteToWideChar(CP_ACP, 0, narrow, -1, nullptr, 0);
    std::wstring wide(static_cast<size_t>(length > 0 ? length - 1 : 0), L'\0');
    if (length > 1) MultiByteToWideChar(CP_ACP, 0, narrow, -1, wide.data(), length);
    return wide;
}

}  // namespace standin::store
