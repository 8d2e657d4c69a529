// MAPI logon onto the stand-in's profiles, and which profile a logon finds.
//
// The host's open profile (what MAPILogonEx without MAPI_NEW_SESSION joins, as an
// add-in joins the shared session of the Outlook that loaded it) is the
// profile folder named by the environment variable STANDIN_MAPI_PROFILE, read at
// each logon; without it, the bundled default profile, profiles\default beside
// the folder of mapi32.dll (build\profiles\default for build\bin\mapi32.dll).
//
// A new session by name finds the profile whose profile.ini `name` equals it, ignoring
// case, among the host's open profile and the profile folders inside the folder
// named by STANDIN_MAPI_PROFILES (default: profiles beside the DLL's folder).
#pragma once

#include <windows.h>
#include <mapix.h>

#include <memory>
#include <string>

#include "base/com.h"
#include "standin/store/profile.h"

namespace standin::store {

inline constexpr wchar_t kHostProfileVariable[] = L"STANDIN_MAPI_PROFILE";
inline constexpr wchar_t kProfilesVariable[] = L"STANDIN_MAPI_PROFILES";
// A file each logon appends "flags=<decimal> name=<the name's bytes in hex, or none>" to,
// and the object model its namespace's Logon and Logoff.
inline constexpr wchar_t kLogonRecordVariable[] = L"STANDIN_MAPI_LOGON_RECORD";

// Appends `line` and a line break to the logon record, when there is one.
void AppendLogonRecord(std::string line) noexcept;

// MAPILogonEx. `profileName` is in the ANSI code page, or UTF-16 with MAPI_UNICODE
// in `flags`; null or empty means none. Without MAPI_NEW_SESSION the logon shares
// the host's open profile whatever the name; with it, it opens the profile named,
// or without a name and with MAPI_USE_DEFAULT the host's. MAPI_E_LOGON_FAILED when no
// profile matches, the profile cannot be read, or its `logon` fault switch is set.
// It does not ask for MAPIInitialize first: in a host such as Outlook, the host
// has initialised MAPI before an add-in logs on.
[[nodiscard]] HRESULT Logon(const void* profileName, ULONG flags,
                            base::ComPtr<IMAPISession>& session) noexcept;

// The profile folder a logon would use, for hosts and tests.
[[nodiscard]] HRESULT FindHostProfile(std::wstring& folder);
[[nodiscard]] HRESULT FindProfileByName(const std::wstring& name, std::wstring& folder);

}  // namespace standin::store
