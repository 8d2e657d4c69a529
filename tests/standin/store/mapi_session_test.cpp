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
#include "tests/support/child_process.h"

namespace {

using namespace storetest;

std::vector<BYTE> Bytes(std::initializer_list<BYTE> bytes) { return bytes; }

// ---------------------------------------------------------------- logon

TEST_F(MapiStore, LogonSharesTheHostsSessionOrFindsOneByName) {
    (void)AddNamedProfile(L"second", "profile \"Pr\xC3\xBC" "fung\"\nstore \"Second store\"\n");
    (void)AddNamedProfile(L"refusing", "profile \"Refusing\" fault=logon\nstore \"S\"\n");
    const TempFolder temp;
    const std::wstring record = temp.Sub(L"logons.txt");
    const ScopedEnvironment recording(L"STANDIN_MAPI_LOGON_RECORD", record.c_str());
    constexpr ULONG kNewSession = MAPI_EXTENDED | MAPI_NEW_SESSION;
    const struct {
        const char* name;
        ULONG flags;
        HRESULT expected;
        const wchar_t* profile;
    } cases[] = {
        {nullptr, kAllowOthers, S_OK, L"Host Profile"},
        {nullptr, kFolderLookupFlags, S_OK, L"Host Profile"},
        {"", kEnumSessionFlags, S_OK, L"Host Profile"},
        // The host's shared session, whatever the name.
        {"Pr\xC3\xBC" "fung", kEnumSessionFlags, S_OK, L"Host Profile"},
        {"Unknown profile", kEnumSessionFlags, S_OK, L"Host Profile"},
        // A new session by name: narrow names are in the ANSI code page.
        {"Host Profile", kNewSession, S_OK, L"Host Profile"},
        {"pr\xFC" "fung", kNewSession, S_OK, L"Pr\u00FC" L"fung"},
        {"Pr\xC3\xBC" "fung", kNewSession, MAPI_E_LOGON_FAILED, nullptr},
        {"Unknown profile", kNewSession, MAPI_E_LOGON_FAILED, nullptr},
        {nullptr, MAPI_EXTENDED, S_OK, L"Host Profile"},  // shared without MAPI_ALLOW_OTHERS too
        {nullptr, kNewSession, MAPI_E_LOGON_FAILED, nullptr},  // a new session on no profile
        {"Refusing", kNewSession, MAPI_E_LOGON_FAILED, nullptr},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        base::ComPtr<IMAPISession> session;
        const HRESULT hr = Logon(cases[i].name, cases[i].flags, session);
        EXPECT_EQ(cases[i].expected, hr) << "case " << i << ": got 0x" << std::hex << hr;
        if (FAILED(hr) || !cases[i].profile) continue;
        std::wstring name;
        EXPECT_EQ(S_OK, StatusTableName(session.get(), MAPI_UNICODE, name)) << i;
        EXPECT_EQ(cases[i].profile, name) << i;
        EXPECT_EQ(S_OK, session->Logoff(0, 0, 0)) << i;
        base::ComPtr<IMAPITable> table;  // a logged-off session answers no more
        EXPECT_EQ(MAPI_E_LOGON_FAILED, session->GetMsgStoresTable(0, table.put())) << i;
    }
    // Each logon's name bytes, exactly as passed.
    const std::string lines = ReadText(record);
    EXPECT_NE(std::string::npos, lines.find("flags=8 name=none\r\n"));
    EXPECT_NE(std::string::npos, lines.find("flags=40 name=5072C3BC66756E67\r\n")) << lines;

    // No host profile, or a broken one: nothing to share.
    {
        const ScopedEnvironment missing(L"STANDIN_MAPI_PROFILE", L"C:\\nowhere\\at\\all");
        base::ComPtr<IMAPISession> session;
        EXPECT_EQ(MAPI_E_LOGON_FAILED, Logon(nullptr, kAllowOthers, session));
    }
    WriteText(host() + L"\\profile.ini", "this is not metadata\n");
    base::ComPtr<IMAPISession> session;
    EXPECT_EQ(MAPI_E_LOGON_FAILED, Logon(nullptr, kAllowOthers, session));
}

// ---------------------------------------------------------------- status table

TEST_F(MapiStore, StatusTableNamesTheProfileAndItsFaults) {
    (void)AddNamedProfile(L"wide", "profile \"Wide only\" fault=status-table-unicode-only\n");
    (void)AddNamedProfile(L"norow", "profile \"No row\" fault=status-table-no-subsystem\n");
    const struct {
        const char* profile;
        ULONG flags;
        HRESULT expected;
        const wchar_t* name;
    } cases[] = {
        {"Host Profile", 0, S_OK, L"Host Profile"},
        {"Host Profile", MAPI_UNICODE, S_OK, L"Host Profile"},
        {"Wide only", 0, MAPI_E_BAD_CHARWIDTH, L"unchanged"},
        {"Wide only", MAPI_UNICODE, S_OK, L"Wide only"},
        {"No row", 0, MAPI_E_NOT_FOUND, L"unchanged"},
        {"No row", MAPI_UNICODE, MAPI_E_NOT_FOUND, L"unchanged"},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        base::ComPtr<IMAPISession> session;
        ASSERT_EQ(S_OK, Logon(cases[i].profile, MAPI_EXTENDED | MAPI_NEW_SESSION, session)) << i;
        std::wstring name = L"unchanged";
        const HRESULT hr = StatusTableName(session.get(), cases[i].flags, name);
        EXPECT_EQ(cases[i].expected, hr) << "case " << i << ": got 0x" << std::hex << hr;
        EXPECT_EQ(cases[i].name, name) << i;
    }
}

// ---------------------------------------------------------------- stores

TEST_F(MapiStore, StoresTableAndOpeningEachStore) {
    base::ComPtr<IMAPISession> session;
    LogonHost(session);
    std::vector<StoreRow> rows;
    ASSERT_EQ(S_OK, ReadStoresTable(session.get(), rows));
    ASSERT_EQ(5u, rows.size());
    EXPECT_TRUE(rows[0].isDefault);
    EXPECT_FALSE(rows[1].isDefault);
    EXPECT_EQ(Bytes({0xFF, 0xEE, 0xDD, 0xCC, 0xBB, 0xAA, 0x99, 0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11, 0x00}),
              rows[0].serviceUid);

    // A store's name is its row's; its IPM subtree carries the provider's name.
    const struct {
        HRESULT open;
        HRESULT subtree;
        const wchar_t* name;
        bool serviceUid;
    } expected[] = {
        {S_OK, S_OK, L"Mailbox", true},
        {S_OK, S_OK, L"Archive", true},
        {MAPI_E_CALL_FAILED, S_OK, L"Closed", false},
        {S_OK, MAPI_E_NOT_FOUND, L"No subtree", true},
        {MAPI_E_NOT_FOUND, S_OK, L"Gone", true},  // listed, its data gone
    };
    for (size_t i = 0; i < rows.size(); ++i) {
        EXPECT_EQ(expected[i].name, rows[i].name) << i;
        EXPECT_EQ(expected[i].serviceUid, !rows[i].serviceUid.empty()) << i;
        base::ComPtr<IMsgStore> store;
        HRESULT hr = session->OpenMsgStore(0, static_cast<ULONG>(rows[i].entryId.size()),
                                           reinterpret_cast<LPENTRYID>(rows[i].entryId.data()), nullptr,
                                           kOpenStoreFlags, store.put());
        EXPECT_EQ(expected[i].open, hr) << "store " << i << ": got 0x" << std::hex << hr;
        if (FAILED(hr)) {
            EXPECT_FALSE(store) << i;
            continue;
        }
        std::vector<BYTE> subtree;
        hr = GetBinary(store.get(), PR_IPM_SUBTREE_ENTRYID_TAG, subtree);
        EXPECT_EQ(expected[i].subtree, hr) << "store " << i << ": got 0x" << std::hex << hr;
        if (SUCCEEDED(hr)) {
            base::ComPtr<IMAPIFolder> root;
            ULONG type = 0;
            ASSERT_EQ(S_OK, OpenEntryAs(session.get(), subtree, IID_IMAPIFolder, root, &type)) << i;
            EXPECT_EQ(static_cast<ULONG>(MAPI_FOLDER), type);
            std::wstring name;
            EXPECT_EQ(S_OK, GetText(root.get(), PR_DISPLAY_NAME, name));
            EXPECT_EQ(L"Top of Personal Folders", name) << i;
        }
        ULONG flags = LOGOFF_ORDERLY;
        EXPECT_EQ(S_OK, store->StoreLogoff(&flags)) << i;
    }
}

// Read without SetColumns, the session's tables give MAPI's documented column
// sets, strings in the width asked for, not the columns a caller hopes for.
TEST_F(MapiStore, TablesHaveTheDocumentedDefaultColumns) {
    base::ComPtr<IMAPISession> session;
    LogonHost(session);
    const std::vector<ULONG> stores = {PR_DEFAULT_STORE, PR_DISPLAY_NAME_A,     PR_ENTRYID,    PR_INSTANCE_KEY,
                                       PR_MDB_PROVIDER,  PR_OBJECT_TYPE,        PR_PROVIDER_DISPLAY_A,
                                       PR_RECORD_KEY,    PR_RESOURCE_FLAGS,     PR_RESOURCE_TYPE};
    const std::vector<ULONG> status = {PR_DISPLAY_NAME_W,   PR_PROVIDER_DLL_NAME_W, PR_STATUS_CODE, PR_RESOURCE_FLAGS,
                                       PR_RESOURCE_METHODS, PR_RESOURCE_TYPE,       PR_ENTRYID,     PR_INSTANCE_KEY,
                                       PR_OBJECT_TYPE,      PR_ROWID};
    base::ComPtr<IMAPITable> tables[2];
    ASSERT_EQ(S_OK, session->GetMsgStoresTable(0, tables[0].put()));
    ASSERT_EQ(S_OK, session->GetStatusTable(MAPI_UNICODE, tables[1].put()));
    const std::vector<ULONG>* expected[] = {&stores, &status};
    for (size_t i = 0; i < std::size(tables); ++i) {
        base::UniqueRowSet rows;
        ASSERT_EQ(S_OK, tables[i]->QueryRows(1, 0, rows.put())) << i;
        ASSERT_EQ(1u, rows.get()->cRows) << i;
        std::vector<ULONG> tags;
        for (ULONG c = 0; c < rows.get()->aRow[0].cValues; ++c) {
            const ULONG tag = rows.get()->aRow[0].lpProps[c].ulPropTag;
            tags.push_back(PROP_TYPE(tag) == PT_ERROR ? (*expected[i])[c] : tag);  // a value it lacks
        }
        EXPECT_EQ(*expected[i], tags) << "table " << i;
    }
}

TEST_F(MapiStore, ABrokenStoreFailsAloneAndAStrangeEntryIdIsRefused) {
    WriteText(host() + L"\\Archive\\store.ini", "uid = 12\n");
    base::ComPtr<IMAPISession> session;
    LogonHost(session);
    std::vector<StoreRow> rows;
    ASSERT_EQ(S_OK, ReadStoresTable(session.get(), rows));
    ASSERT_EQ(5u, rows.size());
    base::ComPtr<IMsgStore> store;
    EXPECT_EQ(MAPI_E_CORRUPT_DATA, session->OpenMsgStore(0, static_cast<ULONG>(rows[1].entryId.size()),
                                                         reinterpret_cast<LPENTRYID>(rows[1].entryId.data()), nullptr,
                                                         kOpenStoreFlags, store.put()));
    EXPECT_EQ(S_OK, session->OpenMsgStore(0, static_cast<ULONG>(rows[0].entryId.size()),
                                          reinterpret_cast<LPENTRYID>(rows[0].entryId.data()), nullptr,
                                          kOpenStoreFlags, store.put()));

    std::vector<BYTE> foreign = rows[0].entryId;
    foreign[5] ^= 0xFF;
    base::ComPtr<IUnknown> object;
    EXPECT_EQ(MAPI_E_UNKNOWN_ENTRYID, OpenEntryAs(session.get(), foreign, IID_IUnknown, object));
    std::vector<BYTE> shortId(rows[0].entryId.begin(), rows[0].entryId.end() - 1);
    EXPECT_EQ(MAPI_E_INVALID_ENTRYID, OpenEntryAs(session.get(), shortId, IID_IUnknown, object));
}

// ---------------------------------------------------------------- folders

TEST_F(MapiStore, CreateFolderNewExistingAndRefused) {
    OpenedStore opened;
    LogonHost(opened.session);
    OpenDefaultStore(opened.session.get(), opened);
    base::ComPtr<IMAPIFolder> inbox;
    ASSERT_EQ(S_OK, FindSubfolder(opened.session.get(), opened.root.get(), L"Inbox", inbox));

    const struct {
        const char* name;
        ULONG flags;
        HRESULT expected;
    } cases[] = {
        {"Restored", OPEN_IF_EXISTS, S_OK},
        {"Restored", OPEN_IF_EXISTS, S_OK},   // the same folder again
        {"RESTORED", 0, MAPI_E_COLLISION},
        {"Projects", OPEN_IF_EXISTS, S_OK},   // made by the generator
        {"Sales/Marketing: \"Q1\"", OPEN_IF_EXISTS, S_OK},
    };
    std::vector<std::vector<BYTE>> ids;
    for (size_t i = 0; i < std::size(cases); ++i) {
        base::ComPtr<IMAPIFolder> folder;
        const HRESULT hr = inbox->CreateFolder(FOLDER_GENERIC, const_cast<LPTSTR>(reinterpret_cast<const TCHAR*>(cases[i].name)),
                                               nullptr, nullptr, cases[i].flags, folder.put());
        EXPECT_EQ(cases[i].expected, hr) << "case " << i << ": got 0x" << std::hex << hr;
        std::vector<BYTE> id;
        if (SUCCEEDED(hr)) {
            EXPECT_EQ(S_OK, GetBinary(folder.get(), PR_ENTRYID, id)) << i;
        }
        ids.push_back(id);
    }
    EXPECT_EQ(ids[0], ids[1]);
    std::vector<FolderRow> rows;
    ASSERT_EQ(S_OK, ReadHierarchy(inbox.get(), rows));
    ASSERT_EQ(4u, rows.size());
    EXPECT_EQ(L"Sales/Marketing: \"Q1\"", rows[3].name);

    base::ComPtr<IMAPIFolder> locked, created;
    ASSERT_EQ(S_OK, FindSubfolder(opened.session.get(), opened.root.get(), L"Locked", locked));
    EXPECT_EQ(MAPI_E_CALL_FAILED, locked->CreateFolder(FOLDER_GENERIC, const_cast<LPTSTR>(reinterpret_cast<const TCHAR*>("x")),
                                                       nullptr, nullptr, OPEN_IF_EXISTS, created.put()));
    // The restore's road to a folder: through the store with IUnknown, also when
    // the session's OpenEntry claims not to know the ID.
    std::ofstream(std::filesystem::path(host() + L"\\profile.ini"), std::ios::app) << "fault = session-unknown-entry-id\n";
    base::ComPtr<IUnknown> refused;
    EXPECT_EQ(MAPI_E_UNKNOWN_ENTRYID, OpenEntryAs(opened.session.get(), ids[0], IID_IUnknown, refused));
    ULONG type = 0;
    base::ComPtr<IUnknown> viaStore;
    ASSERT_EQ(S_OK, opened.store->OpenEntry(static_cast<ULONG>(ids[0].size()), reinterpret_cast<LPENTRYID>(ids[0].data()),
                                            const_cast<IID*>(&IID_IUnknown), MAPI_BEST_ACCESS, &type, viaStore.put()));
    EXPECT_EQ(static_cast<ULONG>(MAPI_FOLDER), type);
    base::ComPtr<IMAPIFolder> asFolder;
    EXPECT_EQ(S_OK, viaStore->QueryInterface(IID_IMAPIFolder, asFolder.put_void()));
}

// The entry IDs another process sees for the same folders, in hexadecimal.
TEST_CHILD_ROLE(folder_ids) {
    base::ComPtr<IMAPISession> session;
    if (FAILED(MAPILogonEx(0, nullptr, nullptr, MAPI_ALLOW_OTHERS, session.put()))) return 2;
    OpenedStore opened;
    OpenDefaultStore(session.get(), opened);
    if (!opened.root) return 3;
    std::vector<FolderRow> rows;
    if (FAILED(ReadHierarchy(opened.root.get(), rows))) return 4;
    std::ofstream out(std::filesystem::path(args.at(0)), std::ios::binary);
    for (const FolderRow& row : rows) out << Utf8(Hex(row.entryId.data(), row.entryId.size())) << "\n";
    return 0;
}

TEST_F(MapiStore, EntryIdsAreTheSameInAnotherProcess) {
    OpenedStore opened;
    LogonHost(opened.session);
    OpenDefaultStore(opened.session.get(), opened);
    std::vector<FolderRow> rows;
    ASSERT_EQ(S_OK, ReadHierarchy(opened.root.get(), rows));
    std::string mine;
    for (const FolderRow& row : rows) mine += Utf8(Hex(row.entryId.data(), row.entryId.size())) + "\n";

    TempFolder temp;
    testsupport::ChildProcess child(L"folder_ids", {temp.Sub(L"ids.txt")});
    ASSERT_TRUE(child.running());
    ASSERT_EQ(0u, child.Wait(60000));
    const std::string theirs = ReadText(temp.Sub(L"ids.txt"));
    EXPECT_EQ(mine, theirs);
    EXPECT_EQ(4u, rows.size());
}

TEST_F(MapiStore, ABrokenFolderShowsWithoutEntryIdAndTheRestOpens) {
    WriteText(host() + L"\\Mailbox\\Inbox\\Projects\\folder.ini", "id = broken\n");
    OpenedStore opened;
    LogonHost(opened.session);
    OpenDefaultStore(opened.session.get(), opened);
    base::ComPtr<IMAPIFolder> inbox, projects;
    ASSERT_EQ(S_OK, FindSubfolder(opened.session.get(), opened.root.get(), L"Inbox", inbox));
    std::vector<FolderRow> rows;
    ASSERT_EQ(S_OK, ReadHierarchy(inbox.get(), rows));
    ASSERT_EQ(2u, rows.size());
    EXPECT_EQ(L"Projects", rows[1].name);
    EXPECT_TRUE(rows[1].entryId.empty());
    EXPECT_FALSE(rows[0].entryId.empty());
    EXPECT_EQ(S_OK, OpenEntryAs(opened.session.get(), rows[0].entryId, IID_IMAPIFolder, projects));
}

}  // namespace
