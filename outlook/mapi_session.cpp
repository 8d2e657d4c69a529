#include "outlook/mapi_session.h"

#include <mapitags.h>
#include <mapiutil.h>

#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <new>
#include <utility>
#include <vector>

#include "base/boundary.h"
#include "base/scope_exit.h"
#include "base/unique_resource.h"
#include "diag/log.h"
#include "outlook/application.h"

namespace outlook {
namespace {

constexpr wchar_t kMessagingProfilesKey[] =
    L"Software\\Microsoft\\Windows NT\\CurrentVersion\\Windows Messaging Subsystem\\Profiles";
constexpr wchar_t kDefaultProfileValue[] = L"DefaultProfile";
constexpr wchar_t kOfficeOutlookKeyFormat[] = L"software\\microsoft\\office\\%d.0\\outlook";
// Office versions whose Outlook key may name the default profile, newest first.
constexpr int kNewestOfficeVersion = 20;
constexpr int kOldestOfficeVersion = 15;

// The status table's columns: the display name, the resource type.
constexpr ULONG kStatusColumnCount = 2;

// The stores table's columns: PR_ENTRYID, PR_DEFAULT_STORE, PR_SERVICE_UID.
enum StoreColumn : ULONG { kEntryIdColumn = 0, kServiceUidColumn = 2, kStoreColumnCount = 3 };
constexpr ULONG kRestrictFlags = TBL_ASYNC;

constexpr ULONG kLogonFlags = MAPI_EXTENDED | MAPI_ALLOW_OTHERS;
constexpr ULONG kOpenStoreFlags = MDB_NO_DIALOG | MAPI_DEFERRED_ERRORS | MAPI_BEST_ACCESS;

// A status table in the width the session gives it: narrow first, then wide.
[[nodiscard]] HRESULT OpenStatusTable(IMAPISession* session, base::ComPtr<IMAPITable>& table, bool& wide) {
    wide = false;
    if (SUCCEEDED(session->GetStatusTable(0, table.put()))) return S_OK;
    wide = true;
    return session->GetStatusTable(MAPI_UNICODE, table.put());
}

// The name of the status table's MAPI subsystem row, the profile's.
[[nodiscard]] HRESULT ReadProfileRow(IMAPITable* table, bool wide, std::wstring& name) {
    SizedSPropTagArray(kStatusColumnCount, columns) = {
        kStatusColumnCount, {wide ? PR_DISPLAY_NAME_W : PR_DISPLAY_NAME_A, PR_RESOURCE_TYPE}};
    static_cast<void>(table->SetColumns(reinterpret_cast<LPSPropTagArray>(&columns), 0));
    SPropValue subsystem{};
    subsystem.ulPropTag = PR_RESOURCE_TYPE;
    subsystem.Value.l = MAPI_SUBSYSTEM;
    SRestriction restriction{};
    restriction.rt = RES_PROPERTY;
    restriction.res.resProperty.relop = RELOP_EQ;
    restriction.res.resProperty.ulPropTag = PR_RESOURCE_TYPE;
    restriction.res.resProperty.lpProp = &subsystem;
    HRESULT hr = table->Restrict(&restriction, kRestrictFlags);
    if (FAILED(hr)) return hr;
    hr = table->FindRow(&restriction, BOOKMARK_BEGINNING, 0);
    if (FAILED(hr)) return hr;
    SRowSet* answer = nullptr;
    hr = table->QueryRows(1, 0, &answer);
    if (FAILED(hr)) return hr;
    const RoutedRowSet rows(answer, RowSetFree{&::FreeProws});
    if (rows && rows->cRows > 0) {
        const SPropValue& value = rows->aRow[0].lpProps[0];
        if (wide) {
            name = value.Value.lpszW;
        } else {
            const size_t length = std::mbstowcs(nullptr, value.Value.lpszA, 0);
            std::wstring converted(length == static_cast<size_t>(-1) ? 0 : length, L'\0');
            if (!converted.empty()) std::mbstowcs(converted.data(), value.Value.lpszA, length + 1);
            name = std::move(converted);
        }
    }
    return hr;
}

[[nodiscard]] std::string Utf8(const std::wstring& text) {
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    if (size <= 0) return std::string();
    std::string converted(static_cast<size_t>(size), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, converted.data(), size, nullptr, nullptr);
    converted.resize(static_cast<size_t>(size) - 1);
    return converted;
}

}  // namespace

HRESULT TallowmereUtils::getMAPISession(base::ComPtr<IMAPISession>& session) noexcept {
    const HRESULT hr = MapiRoute(nullptr).MAPILogonEx(0, nullptr, nullptr, MAPI_ALLOW_OTHERS, session.put());
    if (FAILED(hr)) return hr;
    return session ? S_OK : E_FAIL;
}

HRESULT GetCurrentProfileName(std::wstring& name) noexcept {
    return base::ReturnOr(
        [&] {
            base::ComPtr<_Application> application;
            GetOutlookApplication(application);
            if (!application) return E_FAIL;
            base::ComPtr<IMAPISession> session;
            if (FAILED(TallowmereUtils::getMAPISession(session))) {
                LogMessage(L"TallowmereUtils::getMAPISession failed!");
                return E_FAIL;
            }
            base::ComPtr<IMAPITable> table;
            const base::ScopeExit logoff([&] { static_cast<void>(session->Logoff(0, 0, 0)); });
            bool wide = false;
            if (FAILED(OpenStatusTable(session.get(), table, wide))) return E_FAIL;
            std::wstring found = name;
            const HRESULT hr = ReadProfileRow(table.get(), wide, found);
            if (SUCCEEDED(hr)) name = std::move(found);
            LogMessage(L"Logging off session.");
            return hr;
        },
        E_OUTOFMEMORY);
}

bool RegistryKeyExists(HKEY root, const wchar_t* subkey) noexcept {
    if (!root) return false;
    base::UniqueRegKey key;
    return ::RegOpenKeyExW(root, subkey, 0, READ_CONTROL, key.put()) == ERROR_SUCCESS;
}

bool GetRegistryString(HKEY root, const wchar_t* subkey, const wchar_t* valueName,
                       std::wstring& value) noexcept {
    if (!root) return false;
    base::UniqueRegKey key;
    if (::RegOpenKeyExW(root, subkey, 0, KEY_QUERY_VALUE, key.put()) != ERROR_SUCCESS) return false;
    DWORD type = 0, size = 0;
    if (::RegQueryValueExW(key.get(), valueName, nullptr, &type, nullptr, &size) != ERROR_SUCCESS ||
        type != REG_SZ) {
        return false;
    }
    return base::ReturnOr(
        [&] {
            // Four spare zero bytes terminate a stored text that lacks its terminator.
            std::vector<BYTE> buffer(size + 4, 0);
            if (size > 0 && (::RegQueryValueExW(key.get(), valueName, nullptr, &type, buffer.data(), &size) !=
                                 ERROR_SUCCESS ||
                             type != REG_SZ)) {
                return false;
            }
            value = reinterpret_cast<const wchar_t*>(buffer.data());
            return true;
        },
        false);
}

HRESULT GetDefaultProfileName(std::wstring& name) noexcept {
    if (GetRegistryString(HKEY_CURRENT_USER, kMessagingProfilesKey, kDefaultProfileValue, name)) return S_OK;
    for (int version = kNewestOfficeVersion; version >= kOldestOfficeVersion; --version) {
        wchar_t key[64];
        std::swprintf(key, std::size(key), kOfficeOutlookKeyFormat, version);
        if (!RegistryKeyExists(HKEY_CURRENT_USER, key)) continue;
        // The newest Office decides, even when it names no profile.
        return GetRegistryString(HKEY_CURRENT_USER, key, kDefaultProfileValue, name) ? S_OK : E_FAIL;
    }
    return E_FAIL;
}

void HexIntoBuffer(const MapiFunctions& route, const SBinary& bytes, char* text) noexcept {
    text[0] = '\0';
    if (bytes.cb > (kHexCapacity - 1) / 2) return;  // two digits a byte, and the terminator
    route.HexFromBin(bytes.lpb, static_cast<int>(bytes.cb), text);
}

CEnumSession::CEnumSession(const MapiFunctions* functions, const std::wstring& profileName) noexcept
    : entryIdHex(new (std::nothrow) char[kHexCapacity]()),
      serviceUidHex(new (std::nothrow) char[kHexCapacity]()),
      functions_(IsComplete(functions) ? functions : nullptr),
      rows_(nullptr, RowSetFree{MapiRoute(functions).FreeProws}) {
    logonResult_ = Logon(profileName);
    if (FAILED(logonResult_)) Close();
}

CEnumSession::~CEnumSession() { Close(); }

HRESULT CEnumSession::Logon(const std::wstring& profileName) noexcept {
    const MapiFunctions& route = MapiRoute(functions_);
    HRESULT hr = S_OK;
    if (functions_) {
        if (FAILED(hr = functions_->MAPIInitialize(nullptr))) return hr;
        initialized_ = true;
    }
    std::string utf8;
    if (!base::Completes([&] { utf8 = Utf8(profileName); })) {
        return E_OUTOFMEMORY;
    }
    hr = route.MAPILogonEx(0, utf8.empty() ? nullptr : utf8.data(), nullptr, kLogonFlags, session_.put());
    if (FAILED(hr)) return hr;
    if (!session_) return E_POINTER;
    hr = session_->GetMsgStoresTable(0, storesTable_.put());
    if (FAILED(hr)) return hr;
    SizedSPropTagArray(kStoreColumnCount, columns) = {kStoreColumnCount,
                                                      {PR_ENTRYID, PR_DEFAULT_STORE, PR_SERVICE_UID}};
    SRowSet* rows = nullptr;
    hr = route.HrQueryAllRows(storesTable_.get(), reinterpret_cast<LPSPropTagArray>(&columns), nullptr,
                              nullptr, 0, &rows);
    if (FAILED(hr)) return hr;
    rows_.reset(rows);
    return S_OK;
}

HRESULT CEnumSession::GetCurrent() noexcept {
    store.reset();
    if (entryIdHex) entryIdHex[0] = '\0';
    if (serviceUidHex) serviceUidHex[0] = '\0';
    isDefaultStore = false;
    if (!rows_ || !session_ || !entryIdHex || !serviceUidHex || currentRow >= rows_->cRows) return E_FAIL;
    const MapiFunctions& route = MapiRoute(functions_);
    const SRow& row = rows_->aRow[currentRow];
    // A row whose entry ID is an error value names no store.
    if (row.cValues == 0 || row.lpProps[kEntryIdColumn].ulPropTag != PR_ENTRYID) return E_FAIL;
    const SBinary& entryId = row.lpProps[kEntryIdColumn].Value.bin;
    HexIntoBuffer(route, entryId, entryIdHex.get());
    for (ULONG column = 1; column < row.cValues; ++column) {
        if (row.lpProps[column].ulPropTag == PR_DEFAULT_STORE)
            isDefaultStore = row.lpProps[column].Value.b != 0;
    }
    if (row.cValues > kServiceUidColumn && row.lpProps[kServiceUidColumn].ulPropTag == PR_SERVICE_UID) {
        HexIntoBuffer(route, row.lpProps[kServiceUidColumn].Value.bin, serviceUidHex.get());
    }
    const HRESULT hr = session_->OpenMsgStore(0, entryId.cb, reinterpret_cast<LPENTRYID>(entryId.lpb),
                                              nullptr, kOpenStoreFlags, store.put());
    return FAILED(hr) ? hr : S_OK;
}

HRESULT CEnumSession::Close() noexcept {
    currentRow = 0;
    if (entryIdHex) entryIdHex[0] = '\0';
    isDefaultStore = false;
    if (store) {
        ULONG flags = LOGOFF_ORDERLY;
        static_cast<void>(store->StoreLogoff(&flags));
    }
    store.reset();
    rows_.reset();
    storesTable_.reset();
    if (session_) static_cast<void>(session_->Logoff(0, 0, 0));
    session_.reset();
    // Balances the MAPIInitialize of Logon, once; a failed one needs none.
    if (std::exchange(initialized_, false)) functions_->MAPIUninitialize();
    return S_OK;
}

}  // namespace outlook
