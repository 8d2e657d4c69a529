// The store through mapi32.dll, bound by ordinal as the add-in binds it: logon,
// status and stores tables, stores, folders, entry IDs and fault switches.
#include <gtest/gtest.h>

#include <windows.h>
#include <mapicode.h>
#include <mapiguid.h>
#include <mapitags.h>
#include <mapiutil.h>

#include <filesystem>
#include <fstream>
#include <optional>

#include "base/mapi_row_set.h"
#include "tests/standin/store/mapi_test_util.h"

namespace {

using namespace storetest;

// Logons to the host's shared session or a named one, and the profile name each
// session's status table gives.
TEST_F(MapiStore, LogonSharesTheHostsSessionOrFindsOneByName) {
    (void)AddNamedProfile(L"second",
                          "profile \"Pr\xC3\xBC"
                          "fung\"\nstore \"Second store\"\n");
    constexpr ULONG kNewSession = MAPI_EXTENDED | MAPI_NEW_SESSION;
    const struct {
        const char* name;
        ULONG flags;
        HRESULT expected;
        const wchar_t* profile;  // the name in the status table
        ULONG statusFlags = MAPI_UNICODE;
    } cases[] = {
        {nullptr, kAllowOthers, S_OK, L"Host Profile"},
        {nullptr, kFolderLookupFlags, S_OK, L"Host Profile"},
        {"", kEnumSessionFlags, S_OK, L"Host Profile"},
        // The host's shared session, whatever the name.
        {"Pr\xC3\xBC"
         "fung",
         kEnumSessionFlags, S_OK, L"Host Profile"},
        {"Unknown profile", kEnumSessionFlags, S_OK, L"Host Profile"},
        // A new session by name: narrow names are in the ANSI code page.
        {"Host Profile", kNewSession, S_OK, L"Host Profile"},
        {"pr\xFC"
         "fung",
         kNewSession, S_OK,
         L"Pr\u00FC"
         L"fung"},
        {"Pr\xC3\xBC"
         "fung",
         kNewSession, MAPI_E_LOGON_FAILED, nullptr},
        {"Unknown profile", kNewSession, MAPI_E_LOGON_FAILED, nullptr},
        {nullptr, MAPI_EXTENDED, S_OK, L"Host Profile"},       // shared without MAPI_ALLOW_OTHERS too
        {nullptr, kNewSession, MAPI_E_LOGON_FAILED, nullptr},  // a new session on no profile
        {"Host Profile", kNewSession, S_OK, L"Host Profile", 0},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        base::ComPtr<IMAPISession> session;
        const HRESULT hr = Logon(cases[i].name, cases[i].flags, session);
        EXPECT_EQ(cases[i].expected, hr) << "case " << i << ": got 0x" << std::hex << hr;
        if (FAILED(hr) || !cases[i].profile) continue;
        std::wstring name = L"unchanged";
        EXPECT_EQ(S_OK, StatusTableName(session.get(), cases[i].statusFlags, name)) << i;
        EXPECT_EQ(cases[i].profile, name) << i;
        EXPECT_EQ(S_OK, session->Logoff(0, 0, 0)) << i;
        base::ComPtr<IMAPITable> table;  // a logged-off session answers no more
        EXPECT_EQ(MAPI_E_LOGON_FAILED, session->GetMsgStoresTable(0, table.put())) << i;
    }

    WriteText(host() + L"\\profile.ini",
              "this is not metadata\n");  // a broken host profile: nothing to share
    base::ComPtr<IMAPISession> session;
    EXPECT_EQ(MAPI_E_LOGON_FAILED, Logon(nullptr, kAllowOthers, session));
}

TEST_F(MapiStore, StoresTableAndOpeningEachStore) {
    base::ComPtr<IMAPISession> session;
    LogonHost(session);
    std::vector<StoreRow> rows;
    ASSERT_EQ(S_OK, ReadStoresTable(session.get(), rows));
    ASSERT_EQ(5u, rows.size());
    EXPECT_TRUE(rows[0].isDefault);
    EXPECT_FALSE(rows[1].isDefault);
    EXPECT_EQ(std::vector<BYTE>({0xFF, 0xEE, 0xDD, 0xCC, 0xBB, 0xAA, 0x99, 0x88, 0x77, 0x66, 0x55, 0x44, 0x33,
                                 0x22, 0x11, 0x00}),
              rows[0].serviceUid);

    // Stores whose opening or subtree fails (the folder walk's faults) are listed all the same.
    const wchar_t* const names[] = {L"Mailbox", L"Archive", L"Closed", L"No subtree", L"Gone"};
    for (size_t i = 0; i < rows.size(); ++i) EXPECT_EQ(names[i], rows[i].name) << i;
}

// A store of the shared session logged off is gone for every holder in the shared
// session, the host's among them ("IMsgStore::StoreLogoff"); a session of its own
// keeps it, and its own logoff ends nothing of the shared one.
TEST_F(MapiStore, StoreLogoffInTheSharedSessionEndsTheStoreForEveryHolder) {
    OpenedStore one, other, own;
    LogonHost(one.session);
    LogonHost(other.session);
    ASSERT_EQ(S_OK, Logon("Host Profile", MAPI_NEW_SESSION, own.session));
    for (OpenedStore* opened : {&one, &other, &own}) OpenDefaultStore(opened->session.get(), *opened);
    ULONG flags = LOGOFF_ORDERLY;
    ASSERT_EQ(S_OK, own.store->StoreLogoff(&flags));
    flags = LOGOFF_ORDERLY;
    ASSERT_EQ(S_OK, one.store->StoreLogoff(&flags));
    std::vector<BYTE> subtree;
    EXPECT_EQ(MAPI_E_END_OF_SESSION, GetBinary(other.store.get(), PR_IPM_SUBTREE_ENTRYID_TAG, subtree));
    std::vector<BYTE> storeId;
    ASSERT_EQ(S_OK, GetBinary(own.store.get(), PR_ENTRYID, storeId));
    base::ComPtr<IMsgStore> again;
    EXPECT_EQ(MAPI_E_END_OF_SESSION, other.session->OpenMsgStore(0, static_cast<ULONG>(storeId.size()),
                                                                 reinterpret_cast<LPENTRYID>(storeId.data()),
                                                                 nullptr, kOpenStoreFlags, again.put()));
    EXPECT_EQ(S_OK, GetBinary(own.store.get(), PR_IPM_SUBTREE_ENTRYID_TAG, subtree));
}

// A folder made, one refused by its fault switch, and the restore's road to a
// folder: through the store with IUnknown, also when the session's OpenEntry
// claims not to know the ID.
TEST_F(MapiStore, CreateFolderAndOpenItThroughTheStore) {
    OpenedStore opened;
    LogonHost(opened.session);
    OpenDefaultStore(opened.session.get(), opened);
    base::ComPtr<IMAPIFolder> locked, created;
    ASSERT_EQ(S_OK, FindSubfolder(opened.session.get(), opened.root.get(), L"Locked", locked));
    const auto name = [](const char* text) {
        return const_cast<LPTSTR>(reinterpret_cast<const TCHAR*>(text));
    };
    EXPECT_EQ(MAPI_E_CALL_FAILED, locked->CreateFolder(FOLDER_GENERIC, name("x"), nullptr, nullptr,
                                                       OPEN_IF_EXISTS, created.put()));
    ASSERT_EQ(S_OK, opened.root->CreateFolder(FOLDER_GENERIC, name("Restored"), nullptr, nullptr, 0,
                                              created.put()));
    std::vector<BYTE> id;
    ASSERT_EQ(S_OK, GetBinary(created.get(), PR_ENTRYID, id));

    std::ofstream(std::filesystem::path(host() + L"\\profile.ini"), std::ios::app)
        << "fault = session-unknown-entry-id\n";
    base::ComPtr<IUnknown> refused;
    EXPECT_EQ(MAPI_E_UNKNOWN_ENTRYID, OpenEntryAs(opened.session.get(), id, IID_IUnknown, refused));
    ULONG type = 0;
    base::ComPtr<IUnknown> viaStore;
    ASSERT_EQ(S_OK, opened.store->OpenEntry(
                        static_cast<ULONG>(id.size()), reinterpret_cast<LPENTRYID>(id.data()),
                        const_cast<IID*>(&IID_IUnknown), MAPI_BEST_ACCESS, &type, viaStore.put()));
    EXPECT_EQ(static_cast<ULONG>(MAPI_FOLDER), type);
    base::ComPtr<IMAPIFolder> asFolder;
    EXPECT_EQ(S_OK, viaStore->QueryInterface(IID_IMAPIFolder, asFolder.put_void()));
}

}  // namespace
