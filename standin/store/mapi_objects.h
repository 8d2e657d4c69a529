// The store's MAPI objects: sessions, message stores, folders. Each is a COM
// object over handles of the store API (profile.h); it keeps no state of the
// store, so any number of them, on any threads, see one consistent profile. They are
// free-threaded, as MAPI's are: a pointer crosses apartments as it is.
#pragma once

#include <windows.h>
#include <mapidefs.h>
#include <mapix.h>

#include <memory>
#include <span>
#include <vector>

#include "base/boundary.h"
#include "base/com.h"
#include "base/com_object.h"
#include "standin/store/profile.h"
#include "standin/store/provider_props.h"

namespace standin::store {

// How an object was opened. Without MAPI_MODIFY or MAPI_BEST_ACCESS it is read-only
// and refuses every change with MAPI_E_NO_ACCESS ("IMAPISession::OpenEntry"), and so is
// whatever it opens; `shared` marks the objects of the host's shared session.
struct OpenedAs {
    bool writable = true;
    bool shared = false;

    // What opening with `flags` (MAPI_MODIFY, MAPI_BEST_ACCESS) through this object gives;
    // MAPI_E_NO_ACCESS for MAPI_MODIFY through a read-only object.
    [[nodiscard]] HRESULT Child(ULONG flags, OpenedAs& child) const noexcept;
};

// A session on `profile` (IMAPISession); `shared` for the host's shared session.
[[nodiscard]] HRESULT CreateSession(std::shared_ptr<Profile> profile, bool shared,
                                    base::ComPtr<IMAPISession>& session);
// The IMsgStore of a store; applies the store's fault switches. MAPI_E_END_OF_SESSION
// for a store of the shared session that was logged off.
[[nodiscard]] HRESULT OpenStoreObject(const Store& store, OpenedAs as, base::ComPtr<IMsgStore>& msgStore);
// The IMAPIFolder of a folder; MAPI_E_CORRUPT_DATA / MAPI_E_NOT_FOUND for a folder
// whose folder.ini is unreadable.
[[nodiscard]] HRESULT OpenFolderObject(const Folder& folder, OpenedAs as,
                                       base::ComPtr<IMAPIFolder>& mapiFolder);
// Opens what an entry ID names, with `flags` through an opener of access `opener`.
// `store` limits the lookup to one store (null: the whole profile). `interfaceId`
// null gives the object's own interface.
[[nodiscard]] HRESULT OpenEntryObject(Profile& profile, const Store* store, ULONG entryIdSize,
                                      const ENTRYID* entryId, const IID* interfaceId, ULONG flags,
                                      OpenedAs opener, ULONG* objectType, IUnknown** object) noexcept;

// "IMsgStore::StoreLogoff" in the shared session: MAPI releases the store provider's
// logon and every object of it, which all clients of the shared session hold (the host
// itself among them). From then on the store's objects of the shared session in this
// process answer MAPI_E_END_OF_SESSION, and the shared session opens it no more.
void LogOffSharedStore(const Store& store);
[[nodiscard]] bool IsSharedStoreLoggedOff(const Store& store);
// A table of rows, in the string width `flags` (MAPI_UNICODE) selects, handed
// out in `table` (null on failure). Its columns until SetColumns are
// `defaultColumns` (string tags as PT_UNICODE) or, when none are given, every
// tag of the rows.
[[nodiscard]] HRESULT CreateRowTable(const std::vector<ProviderProps>& rows, ULONG flags, LPMAPITABLE* table,
                                     std::span<const ULONG> defaultColumns = {});

// IMAPIProp over a ProviderProps made on each call, so it is always current.
// Writing is refused unless a subclass accepts it.
template <typename Interface>
class ProviderObject : public base::FreeThreadedComObject<Interface> {
public:
    STDMETHODIMP GetLastError(HRESULT, ULONG, LPMAPIERROR* error) noexcept override {
        if (!error) return MAPI_E_INVALID_PARAMETER;
        *error = nullptr;  // no more to tell than the code
        return S_OK;
    }
    STDMETHODIMP SaveChanges(ULONG) noexcept override { return S_OK; }
    STDMETHODIMP GetProps(LPSPropTagArray tags, ULONG flags, ULONG* count,
                          LPSPropValue* values) noexcept override {
        ProviderProps properties;
        const HRESULT hr = SafeSnapshot(properties);
        if (FAILED(hr)) return hr;
        return properties.GetProps(tags, flags, count, values);
    }
    STDMETHODIMP GetPropList(ULONG flags, LPSPropTagArray* tags) noexcept override {
        ProviderProps properties;
        const HRESULT hr = SafeSnapshot(properties);
        if (FAILED(hr)) return hr;
        return properties.GetPropList(flags, tags);
    }
    STDMETHODIMP OpenProperty(ULONG, LPCIID, ULONG, ULONG, LPUNKNOWN*) noexcept override {
        return MAPI_E_NO_SUPPORT;
    }
    STDMETHODIMP SetProps(ULONG, LPSPropValue, LPSPropProblemArray*) noexcept override {
        return MAPI_E_NO_ACCESS;
    }
    STDMETHODIMP DeleteProps(LPSPropTagArray, LPSPropProblemArray*) noexcept override {
        return MAPI_E_NO_ACCESS;
    }
    STDMETHODIMP CopyTo(ULONG, LPCIID, LPSPropTagArray, ULONG, LPMAPIPROGRESS, LPCIID, LPVOID, ULONG,
                        LPSPropProblemArray*) noexcept override {
        return MAPI_E_NO_SUPPORT;
    }
    STDMETHODIMP CopyProps(LPSPropTagArray, ULONG, LPMAPIPROGRESS, LPCIID, LPVOID, ULONG,
                           LPSPropProblemArray*) noexcept override {
        return MAPI_E_NO_SUPPORT;
    }
    STDMETHODIMP GetNamesFromIDs(LPSPropTagArray*, LPGUID, ULONG, ULONG*, LPMAPINAMEID**) noexcept override {
        return MAPI_E_NO_SUPPORT;
    }
    STDMETHODIMP GetIDsFromNames(ULONG, LPMAPINAMEID*, ULONG, LPSPropTagArray*) noexcept override {
        return MAPI_E_NO_SUPPORT;
    }

protected:
    [[nodiscard]] virtual HRESULT Snapshot(ProviderProps& properties) const = 0;

private:
    [[nodiscard]] HRESULT SafeSnapshot(ProviderProps& properties) const noexcept {
        return base::ReturnOr([&] { return Snapshot(properties); }, MAPI_E_NOT_ENOUGH_MEMORY);
    }
};

// Copies bytes into a new MAPI buffer, for out-parameters such as entry IDs.
[[nodiscard]] HRESULT CopyToMapiBuffer(const std::vector<BYTE>& bytes, ULONG* size, ENTRYID** copy) noexcept;
// The narrow or wide (MAPI_UNICODE in `flags`) LPTSTR argument as a wide string.
[[nodiscard]] std::wstring TextArgument(const void* text, ULONG flags);

}  // namespace standin::store
