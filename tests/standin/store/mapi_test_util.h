// Helpers of the tests that reach the store through mapi32.dll as the add-in
// does, on temporary profiles written by profile-gen.exe.
#pragma once

#include <windows.h>
#include <mapidefs.h>
#include <mapix.h>

#include <gtest/gtest.h>

#include <mapicode.h>
#include <mapiguid.h>

#include <optional>
#include <string>
#include <vector>

#include "base/com.h"

namespace storetest {

// A fresh folder under the temporary folder, removed with everything in it.
class TempFolder {
public:
    TempFolder();
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    [[nodiscard]] const std::wstring& path() const { return path_; }
    [[nodiscard]] std::wstring Sub(const std::wstring& name) const { return path_ + L"\\" + name; }

private:
    std::wstring path_;
};

// Sets an environment variable for the owner's lifetime (null: removes it).
class ScopedEnvironment {
public:
    ScopedEnvironment(const wchar_t* name, const wchar_t* value);
    ~ScopedEnvironment();
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

private:
    std::wstring name_;
    std::wstring old_;
    bool hadOld_;
};

// Runs profile-gen.exe (beside this program) on `description`; the exit code.
[[nodiscard]] DWORD GenerateProfile(const std::string& description, const std::wstring& folder);

void WriteText(const std::wstring& path, const std::string& text);
[[nodiscard]] std::string ReadText(const std::wstring& path);
[[nodiscard]] std::string Utf8(const std::wstring& text);
[[nodiscard]] std::wstring Hex(const void* bytes, size_t size);

// The profile name as the add-in reads it: status table, restriction on
// MAPI_SUBSYSTEM, FindRow, QueryRows; `flags` 0 or MAPI_UNICODE. The name is
// narrow text widened byte for byte, or the wide text.
[[nodiscard]] HRESULT StatusTableName(IMAPISession* session, ULONG flags, std::wstring& name);

// One row of the stores table as the add-in reads it.
struct StoreRow {
    std::vector<BYTE> entryId;
    bool isDefault = false;
    std::vector<BYTE> serviceUid;  // empty when the row has none
    std::wstring name;
};
[[nodiscard]] HRESULT ReadStoresTable(IMAPISession* session, std::vector<StoreRow>& rows);

// A binary property, or the error HrGetOneProp gives.
[[nodiscard]] HRESULT GetBinary(IMAPIProp* object, ULONG tag, std::vector<BYTE>& bytes);
[[nodiscard]] HRESULT GetText(IMAPIProp* object, ULONG tag, std::wstring& text);

// The subfolders of a folder from its hierarchy table: display names and entry
// IDs (an entry ID the row cannot give is empty).
struct FolderRow {
    std::wstring name;
    std::vector<BYTE> entryId;
};
[[nodiscard]] HRESULT ReadHierarchy(IMAPIFolder* folder, std::vector<FolderRow>& rows);
[[nodiscard]] HRESULT ReadContents(IMAPIFolder* folder, std::vector<std::vector<BYTE>>& entryIds);

template <typename T>
[[nodiscard]] HRESULT OpenEntryAs(IMAPISession* session, const std::vector<BYTE>& entryId, const IID& iid,
                                  base::ComPtr<T>& out, ULONG* type = nullptr) {
    ULONG objectType = 0xdeadbeef;
    const HRESULT hr = session->OpenEntry(
        static_cast<ULONG>(entryId.size()), reinterpret_cast<LPENTRYID>(const_cast<BYTE*>(entryId.data())),
        const_cast<IID*>(&iid), MAPI_BEST_ACCESS, &objectType, reinterpret_cast<IUnknown**>(out.put()));
    if (type) *type = objectType;
    return hr;
}

inline constexpr ULONG kAllowOthers = MAPI_ALLOW_OTHERS;
inline constexpr ULONG kEnumSessionFlags = MAPI_EXTENDED | MAPI_ALLOW_OTHERS;                  // 0x28
inline constexpr ULONG kFolderLookupFlags = MAPI_UNICODE | MAPI_EXTENDED | MAPI_ALLOW_OTHERS;  // 0x80000028
inline constexpr ULONG kOpenStoreFlags = MDB_NO_DIALOG | MAPI_DEFERRED_ERRORS | MAPI_BEST_ACCESS;  // 0x19
inline constexpr ULONG PR_IPM_SUBTREE_ENTRYID_TAG = 0x35E00102;

// The host's profile of the tests: every fault switch of stores and folders.
inline constexpr char kHostDescription[] = R"(profile "Host Profile"
store "Mailbox" default uid=00112233445566778899AABBCCDDEEFF service-uid=FFEEDDCCBBAA99887766554433221100
  folder "Inbox" role=inbox
    mail subject="First" body="Body one" attach="a.txt:alpha"
    mail subject="Uncopyable" fault=copy-to
    folder "Projects"
    folder "A\\B"
  folder "Locked" fault=create-folder
  folder "Unsaveable" message-fault=save-changes
  folder "Calendar" type=calendar
store "Archive"
  folder "2022"
store "Closed" fault="open-store no-service-uid"
store "No subtree" fault=no-ipm-subtree
store "Gone" fault=data-missing
)";

// Profiles for one test: the host's open profile, and named ones beside it.
class MapiStore : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(0u, GenerateProfile(kHostDescription, host_));
        hostVariable_.emplace(L"STANDIN_MAPI_PROFILE", host_.c_str());
        profilesVariable_.emplace(L"STANDIN_MAPI_PROFILES", named_.path().c_str());
    }
    [[nodiscard]] std::wstring AddNamedProfile(const std::wstring& folder, const std::string& description) {
        const std::wstring path = named_.Sub(folder);
        EXPECT_EQ(0u, GenerateProfile(description, path));
        return path;
    }
    [[nodiscard]] HRESULT Logon(const char* name, ULONG flags, base::ComPtr<IMAPISession>& session) {
        IMAPISession* raw = reinterpret_cast<IMAPISession*>(0xdeadbeef);
        const HRESULT hr =
            MAPILogonEx(0, const_cast<LPTSTR>(reinterpret_cast<const TCHAR*>(name)), nullptr, flags, &raw);
        if (FAILED(hr)) {
            EXPECT_EQ(nullptr, raw) << "a failed logon leaves no session";
            return hr;
        }
        session.reset(raw);
        return hr;
    }
    void LogonHost(base::ComPtr<IMAPISession>& session) {
        ASSERT_EQ(S_OK, Logon(nullptr, kAllowOthers, session));
    }
    [[nodiscard]] const std::wstring& host() const { return host_; }

private:
    TempFolder temp_;
    TempFolder named_;
    std::wstring host_ = temp_.Sub(L"host");
    std::optional<ScopedEnvironment> hostVariable_;
    std::optional<ScopedEnvironment> profilesVariable_;
};

struct OpenedStore {
    base::ComPtr<IMAPISession> session;
    base::ComPtr<IMsgStore> store;
    base::ComPtr<IMAPIFolder> root;
};

inline void OpenDefaultStore(IMAPISession* session, OpenedStore& opened) {
    std::vector<StoreRow> rows;
    ASSERT_EQ(S_OK, ReadStoresTable(session, rows));
    ASSERT_FALSE(rows.empty());
    ASSERT_EQ(S_OK, session->OpenMsgStore(0, static_cast<ULONG>(rows[0].entryId.size()),
                                          reinterpret_cast<LPENTRYID>(rows[0].entryId.data()), nullptr,
                                          kOpenStoreFlags, opened.store.put()));
    std::vector<BYTE> subtree;
    ASSERT_EQ(S_OK, GetBinary(opened.store.get(), PR_IPM_SUBTREE_ENTRYID_TAG, subtree));
    ASSERT_EQ(S_OK, OpenEntryAs(session, subtree, IID_IMAPIFolder, opened.root));
}

inline HRESULT FindSubfolder(IMAPISession* session, IMAPIFolder* parent, const std::wstring& name,
                             base::ComPtr<IMAPIFolder>& folder) {
    std::vector<FolderRow> rows;
    const HRESULT hr = ReadHierarchy(parent, rows);
    if (FAILED(hr)) return hr;
    for (const FolderRow& row : rows) {
        if (row.name == name) return OpenEntryAs(session, row.entryId, IID_IMAPIFolder, folder);
    }
    return MAPI_E_NOT_FOUND;
}

}  // namespace storetest
