// MAPI sessions and profile names: the session Outlook has open, the name of its
// profile (or the default profile's from the registry), and CEnumSession, the
// walker over a session's message stores. Everything runs on a request's worker
// thread after it entered COM, and keeps nothing between calls.
#pragma once

#include <windows.h>
#include <mapix.h>

#include <cstdint>
#include <memory>
#include <string>

#include "base/com.h"
#include "outlook/mapi_library.h"

namespace outlook {

namespace TallowmereUtils {
// Joins the session Outlook has open (mapi32's MAPILogonEx, MAPI_ALLOW_OTHERS, no
// profile). A failure is returned as is; success without a session is E_FAIL.
[[nodiscard]] HRESULT getMAPISession(base::ComPtr<IMAPISession>& session) noexcept;
}  // namespace TallowmereUtils

// The profile name of Outlook's running session, from its status table; `name` is
// written only on success.
[[nodiscard]] HRESULT GetCurrentProfileName(std::wstring& name) noexcept;
// The default profile's name from the registry: the messaging subsystem's value, else
// that of the newest Office version whose Outlook key exists. S_OK when a name was
// read, else E_FAIL with `name` untouched.
[[nodiscard]] HRESULT GetDefaultProfileName(std::wstring& name) noexcept;
// A REG_SZ value (an empty one included); false for a null root, a missing key or
// value, or a value of another type.
[[nodiscard]] bool GetRegistryString(HKEY root, const wchar_t* subkey, const wchar_t* valueName,
                                     std::wstring& value) noexcept;
[[nodiscard]] bool RegistryKeyExists(HKEY root, const wchar_t* subkey) noexcept;

// Logs on to a profile by name (UTF-8 to MAPI; empty: the session Outlook has open)
// and reads its message-store table. The caller steps `currentRow` from 0 while it is
// below rowCount(), calling GetCurrent for each row. One request, one thread.
class CEnumSession {
public:
    // `functions` is used only when complete, otherwise mapi32.dll's imports. A failed
    // logon leaves the object closed: no rows, and GetCurrent fails with E_FAIL.
    CEnumSession(const MapiFunctions* functions, const std::wstring& profileName) noexcept;
    ~CEnumSession();
    CEnumSession(const CEnumSession&) = delete;
    CEnumSession& operator=(const CEnumSession&) = delete;

    [[nodiscard]] HRESULT logonResult() const noexcept { return logonResult_; }
    [[nodiscard]] uint32_t rowCount() const noexcept { return rows_ ? rows_->cRows : 0; }

    // Reads row `currentRow` (entry ID and service UID as hexadecimal text, the
    // default-store flag) and opens its store into `store`.
    [[nodiscard]] HRESULT GetCurrent() noexcept;
    // Logs the store and the session off and releases everything.
    HRESULT Close() noexcept;

    uint32_t currentRow = 0;
    // Hexadecimal texts of at most kHexCapacity - 1 digits; empty when absent or longer.
    std::unique_ptr<char[]> entryIdHex;
    bool isDefaultStore = false;
    std::unique_ptr<char[]> serviceUidHex;
    base::ComPtr<IMsgStore> store;

private:
    [[nodiscard]] HRESULT Logon(const std::wstring& profileName) noexcept;

    const MapiFunctions* functions_ = nullptr;  // a complete table, or null for the imports
    base::ComPtr<IMAPISession> session_;
    base::ComPtr<IMAPITable> storesTable_;
    RoutedRowSet rows_;
    bool initialized_ = false;  // MAPIInitialize of `functions_` succeeded
    HRESULT logonResult_ = E_FAIL;
};

// The hexadecimal text buffers' size, terminator included: values up to 4095 bytes.
inline constexpr size_t kHexCapacity = 8192;

// HexFromBin of `bytes` into `text` (kHexCapacity characters); empty text for a value
// that would not fit.
void HexIntoBuffer(const MapiFunctions& route, const SBinary& bytes, char* text) noexcept;

}  // namespace outlook
