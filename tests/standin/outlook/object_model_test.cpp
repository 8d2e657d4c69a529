// The object model reached as the add-in reaches Outlook: every operation it calls,
// from worker threads of their own apartments, through the add-in's typed layer,
// against a profile whose MAPI side (the stand-in mapi32.dll) is checked alongside.
#include <gtest/gtest.h>

#include <windows.h>
#include <mapicode.h>
#include <mapiguid.h>
#include <mapitags.h>
#include <mapiutil.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <thread>

#include "base/unique_variant.h"
#include "tests/outlook/fake_dispatch.h"
#include "tests/standin/outlook/om_test_util.h"

namespace {

using base::ComPtr;
using base::UniqueBstr;
using base::UniqueVariant;
using namespace omtest;

constexpr ULONG kSessionFlags = MAPI_EXTENDED | MAPI_ALLOW_OTHERS;

class StandinObjectModel : public HostedApplication {};

[[nodiscard]] std::uintptr_t Identity(IUnknown* object) {
    ComPtr<IUnknown> identity;
    EXPECT_EQ(S_OK, object->QueryInterface(IID_IUnknown, identity.put_void()));
    return reinterpret_cast<std::uintptr_t>(identity.get());
}

// The add-in's MAPI session: the one of the host's open profile.
[[nodiscard]] ComPtr<IMAPISession> JoinSession() {
    IMAPISession* session = reinterpret_cast<IMAPISession*>(0xdeadbeef);
    const HRESULT hr = MAPILogonEx(0, nullptr, nullptr, kSessionFlags, &session);
    EXPECT_EQ(S_OK, hr) << "MAPILogonEx got 0x" << std::hex << hr;
    return ComPtr<IMAPISession>(SUCCEEDED(hr) ? session : nullptr);
}

// A text property read by name, as a scripting client reads it.
[[nodiscard]] std::wstring TextProperty(IDispatch* object, const wchar_t* name) {
    RawGet call;
    GetProperty(object, name, call);
    EXPECT_EQ(S_OK, call.result) << testing::PrintToString(name) << " got 0x" << std::hex << call.result;
    return call.value.vt == VT_BSTR ? std::wstring(call.value.bstrVal) : std::wstring();
}

[[nodiscard]] std::wstring Subject(IDispatch* item) { return TextProperty(item, L"Subject"); }

TEST_F(StandinObjectModel, WorkersOfOtherApartmentsGetTheOneRunningApplicationDirectly) {
    const base::ScopedComInitializer com(COINIT_APARTMENTTHREADED);
    ComPtr<IUnknown> hostView;
    ASSERT_EQ(S_OK, CoCreateInstance(CLSID_OutlookApplication, nullptr, CLSCTX_ALL, IID_IUnknown,
                                     hostView.put_void()));
    std::uintptr_t seen[2] = {};
    for (std::uintptr_t& identity : seen) {
        AsAddInWorker([&](_Application* application) {
            identity = Identity(application);
            const ComPtr<_NameSpace> byName = MapiNamespace(application);
            ComPtr<_NameSpace> session;
            EXPECT_EQ(S_OK, outlook::GetSession(application, session));
            ASSERT_TRUE(byName && session);
            EXPECT_EQ(Identity(byName.get()), Identity(session.get())) << "GetNamespace and Session differ";
            ComPtr<_NameSpace> other;
            EXPECT_EQ(S_OK, outlook::GetNamespace(application, L"mapi", other));
            EXPECT_EQ(E_INVALIDARG, outlook::GetNamespace(application, L"LDAP", other));
            EXPECT_FALSE(other);
        });
    }
    // Equal pointers on three apartments: no proxy stands between them.
    EXPECT_EQ(Identity(hostView.get()), seen[0]);
    EXPECT_EQ(seen[0], seen[1]);
}

TEST_F(StandinObjectModel, NoApplicationIsHandedOutWhileNoHostHasItOpen) {
    OutlookStandinClose();
    std::thread worker([] {
        const base::ScopedComInitializer com(COINIT_APARTMENTTHREADED);
        IUnknown* object = reinterpret_cast<IUnknown*>(0xdeadbeef);
        const HRESULT hr = CoCreateInstance(CLSID_OutlookApplication, nullptr, CLSCTX_ALL, IID_IUnknown,
                                            reinterpret_cast<void**>(&object));
        EXPECT_EQ(CO_E_SERVER_EXEC_FAILURE, hr) << "got 0x" << std::hex << hr;
        EXPECT_EQ(nullptr, object);
    });
    worker.join();
}

// Walks as the add-in's folder enumeration does: Folders, Count, Item, Name,
// DefaultItemType, depth first; and builds each path back up through Parent.
void Walk(MAPIFolder* folder, const std::wstring& path, uintptr_t nameSpace, std::vector<std::wstring>& lines) {
    long type = -1;
    EXPECT_EQ(S_OK, outlook::GetDefaultItemType(folder, &type));
    lines.push_back(path + L" " + std::to_wstring(type));

    std::wstring upward = Name(folder);
    ComPtr<IDispatch> parent;
    EXPECT_EQ(S_OK, outlook::GetParent(folder, parent));
    for (ComPtr<MAPIFolder> up; parent && SUCCEEDED(parent.As(up));) {
        upward = Name(up.get()) + L"\\" + upward;
        EXPECT_EQ(S_OK, outlook::GetParent(up.get(), parent));
    }
    ASSERT_TRUE(parent) << "a root's parent is the namespace, not nothing";
    EXPECT_EQ(nameSpace, Identity(parent.get()));
    EXPECT_EQ(path, L"\\\\" + upward);

    ComPtr<_Folders> subfolders;
    ASSERT_EQ(S_OK, outlook::GetFolders(folder, subfolders));
    long count = -1;
    ASSERT_EQ(S_OK, outlook::GetCount(subfolders.get(), &count));
    for (long i = 1; i <= count; ++i) {
        ComPtr<MAPIFolder> subfolder;
        ASSERT_EQ(S_OK, outlook::Item(subfolders.get(), i, subfolder)) << "index " << i;
        Walk(subfolder.get(), path + L"\\" + Name(subfolder.get()), nameSpace, lines);
    }
}

TEST_F(StandinObjectModel, FolderWalkReachesEveryStoreAndFolderInTheStoresOrder) {
    AsAddInWorker([](_Application* application) {
        const ComPtr<_NameSpace> nameSpace = MapiNamespace(application);
        ComPtr<_Folders> roots;
        ASSERT_EQ(S_OK, outlook::GetFolders(nameSpace.get(), roots));
        long count = -1;
        ASSERT_EQ(S_OK, outlook::GetCount(roots.get(), &count));
        std::vector<std::wstring> lines;
        for (long i = 1; i <= count; ++i) {
            ComPtr<MAPIFolder> root;
            ASSERT_EQ(S_OK, outlook::Item(roots.get(), i, root));
            Walk(root.get(), L"\\\\" + Name(root.get()), Identity(nameSpace.get()), lines);
        }
        const std::vector<std::wstring> expected = {
            L"\\\\Mailbox 0",
            L"\\\\Mailbox\\Calendar 1",
            L"\\\\Mailbox\\Calendar\\Notes 0",
            L"\\\\Mailbox\\Contacts 2",
            L"\\\\Mailbox\\Deleted Items 0",
            L"\\\\Mailbox\\Deleted Items\\Old 0",
            L"\\\\Mailbox\\Inbox 0",
            L"\\\\Mailbox\\Inbox\\A\\B 0",
            L"\\\\Mailbox\\Inbox\\Projects 0",
            L"\\\\Mailbox\\Inbox\\Projects\\2023 0",
            L"\\\\Mailbox\\Junk E-mail 0",
            L"\\\\Archive 0",
            L"\\\\Archive\\2022 0",
        };
        EXPECT_EQ(expected, lines);

        ComPtr<MAPIFolder> outside;
        EXPECT_EQ(DISP_E_BADINDEX, outlook::Item(roots.get(), count + 1, outside));
        EXPECT_EQ(DISP_E_BADINDEX, outlook::Item(roots.get(), 0, outside));
    });
}

TEST_F(StandinObjectModel, GetFolderFromIDOpensTheRootsNamedByTheMapiStoreTable) {
    AsAddInWorker([](_Application* application) {
        const ComPtr<_NameSpace> nameSpace = MapiNamespace(application);
        const ComPtr<IMAPISession> session = JoinSession();
        ASSERT_TRUE(session);
        std::vector<storetest::StoreRow> rows;
        ASSERT_EQ(S_OK, storetest::ReadStoresTable(session.get(), rows));
        ASSERT_EQ(2u, rows.size());
        const wchar_t* const names[] = {L"Mailbox", L"Archive"};
        std::vector<std::wstring> subtrees, stores;
        for (size_t i = 0; i < rows.size(); ++i) {
            ComPtr<IMsgStore> store;
            ASSERT_EQ(S_OK, session->OpenMsgStore(0, static_cast<ULONG>(rows[i].entryId.size()),
                                                  reinterpret_cast<LPENTRYID>(rows[i].entryId.data()), nullptr,
                                                  storetest::kOpenStoreFlags, store.put()));
            std::vector<BYTE> subtree;
            ASSERT_EQ(S_OK, storetest::GetBinary(store.get(), storetest::PR_IPM_SUBTREE_ENTRYID_TAG, subtree));
            subtrees.push_back(storetest::Hex(subtree.data(), subtree.size()));
            stores.push_back(storetest::Hex(rows[i].entryId.data(), rows[i].entryId.size()));

            UniqueVariant storeId;
            ASSERT_EQ(S_OK, storeId.SetText(stores.back().c_str()));
            ComPtr<MAPIFolder> root;
            ASSERT_EQ(S_OK, outlook::GetFolderFromID(nameSpace.get(), subtrees.back().c_str(), storeId.get(), root))
                << "store " << i;
            EXPECT_EQ(names[i], Name(root.get()));
            UniqueBstr entryId, rootStoreId;
            EXPECT_EQ(S_OK, outlook::GetEntryID(root.get(), entryId));
            EXPECT_EQ(subtrees.back(), Text(entryId));
            EXPECT_EQ(S_OK, outlook::GetStoreID(root.get(), rootStoreId));
            EXPECT_EQ(stores.back(), Text(rootStoreId));
        }

        std::wstring lower = subtrees[0];
        for (wchar_t& c : lower) c = static_cast<wchar_t>(towlower(c));
        const std::wstring foreign(48, L'1');  // an entry ID of another provider
        struct Case {
            std::wstring entryId;
            std::wstring storeId;
            HRESULT expected;
        };
        const Case cases[] = {
            {lower, L"", S_OK},
            {subtrees[0], L"", S_OK},
            {subtrees[0], stores[1], MAPI_E_NOT_FOUND},  // not in that store
            {stores[0], L"", MAPI_E_NOT_FOUND},          // a store is no folder
            {L"XYZW", L"", MAPI_E_INVALID_ENTRYID},
            {subtrees[0].substr(1), L"", MAPI_E_INVALID_ENTRYID},
            {foreign, L"", MAPI_E_UNKNOWN_ENTRYID},
            {subtrees[0], L"00", MAPI_E_INVALID_ENTRYID},
        };
        for (size_t i = 0; i < std::size(cases); ++i) {
            UniqueVariant storeId;
            ASSERT_EQ(S_OK, storeId.SetText(cases[i].storeId.c_str()));
            ComPtr<MAPIFolder> folder;
            const HRESULT hr = outlook::GetFolderFromID(nameSpace.get(), cases[i].entryId.c_str(), storeId.get(), folder);
            EXPECT_EQ(cases[i].expected, hr) << "case " << i << " got 0x" << std::hex << hr;
            EXPECT_EQ(SUCCEEDED(hr), static_cast<bool>(folder)) << "case " << i;
        }
    });
}

struct ItemCase {
    const wchar_t* messageClass;
    const wchar_t* subject;
    bool isMail;
};
constexpr ItemCase kInboxItems[] = {
    {L"IPM.Note", L"First mail", true},
    {L"IPM.Schedule.Meeting.Request", L"Planning meeting", false},
    {L"REPORT.IPM.Note.NDR", L"Undeliverable", false},
    {L"IPM.Note.SMIME", L"Grüße – second mail", true},
};

TEST_F(StandinObjectModel, ItemsGivesEveryItemOnceAndOnlyMailsAnswerForMailItem) {
    AsAddInWorker([](_Application* application) {
        const ComPtr<_NameSpace> nameSpace = MapiNamespace(application);
        const ComPtr<MAPIFolder> inbox = FolderAt(nameSpace.get(), {L"Mailbox", L"Inbox"});
        ASSERT_TRUE(inbox);
        ComPtr<_Items> items;
        ASSERT_EQ(S_OK, outlook::GetItems(inbox.get(), items));
        long count = -1;
        EXPECT_EQ(S_OK, outlook::GetCount(items.get(), &count));
        EXPECT_EQ(static_cast<long>(std::size(kInboxItems)), count);

        const std::vector<ComPtr<IDispatch>> all = AllItems(inbox.get());
        ASSERT_EQ(std::size(kInboxItems), all.size());
        for (size_t i = 0; i < all.size(); ++i) {
            EXPECT_EQ(kInboxItems[i].subject, Subject(all[i].get())) << "item " << i;
            EXPECT_EQ(kInboxItems[i].messageClass, TextProperty(all[i].get(), L"MessageClass")) << "item " << i;
            _MailItem* mail = reinterpret_cast<_MailItem*>(0xdeadbeef);
            const HRESULT hr = all[i]->QueryInterface(__uuidof(_MailItem), reinterpret_cast<void**>(&mail));
            const ComPtr<_MailItem> owned(SUCCEEDED(hr) ? mail : nullptr);
            EXPECT_EQ(kInboxItems[i].isMail ? S_OK : E_NOINTERFACE, hr) << "item " << i << " got 0x" << std::hex << hr;
            if (FAILED(hr)) {
                EXPECT_EQ(nullptr, mail) << "item " << i;
            }
        }
    });
}

TEST_F(StandinObjectModel, GetItemFromIDThenMAPIOBJECTGivesTheMailsMessageOnTheWorkerThread) {
    AsAddInWorker([](_Application* application) {
        const ComPtr<_NameSpace> nameSpace = MapiNamespace(application);
        const ComPtr<IMAPISession> session = JoinSession();
        ASSERT_TRUE(session);
        const ComPtr<MAPIFolder> inbox = FolderAt(nameSpace.get(), {L"Mailbox", L"Inbox"});
        ASSERT_TRUE(inbox);
        const std::vector<ComPtr<IDispatch>> all = AllItems(inbox.get());
        ASSERT_EQ(std::size(kInboxItems), all.size());
        for (size_t i = 0; i < all.size(); ++i) {
            if (!kInboxItems[i].isMail) continue;
            ComPtr<_MailItem> listed;
            ASSERT_EQ(S_OK, all[i].As(listed));
            UniqueBstr entryId;
            ASSERT_EQ(S_OK, outlook::GetEntryID(listed.get(), entryId)) << "item " << i;

            UniqueVariant emptyStore;
            ASSERT_EQ(S_OK, emptyStore.SetText(L""));
            ComPtr<IDispatch> item;
            ASSERT_EQ(S_OK, outlook::GetItemFromID(nameSpace.get(), entryId.c_str(), emptyStore.get(), item));
            ComPtr<_MailItem> mail;
            ASSERT_EQ(S_OK, item.As(mail)) << "item " << i;
            ComPtr<IUnknown> object;
            ASSERT_EQ(S_OK, outlook::GetMAPIOBJECT(mail.get(), object));
            ComPtr<IMessage> message;
            ASSERT_EQ(S_OK, object->QueryInterface(IID_IMessage, message.put_void())) << "MAPIOBJECT is no IMessage";
            std::wstring subject;
            EXPECT_EQ(S_OK, storetest::GetText(message.get(), PR_SUBJECT_W, subject));
            EXPECT_EQ(kInboxItems[i].subject, subject);

            // The same item through the add-in's MAPI session.
            std::vector<BYTE> bytes(entryId.length() / 2);
            for (size_t b = 0; b < bytes.size(); ++b) {
                bytes[b] = static_cast<BYTE>(std::stoul(Text(entryId).substr(b * 2, 2), nullptr, 16));
            }
            ComPtr<IMessage> opened;
            ASSERT_EQ(S_OK, storetest::OpenEntryAs(session.get(), bytes, IID_IMessage, opened));
            std::wstring openedSubject;
            EXPECT_EQ(S_OK, storetest::GetText(opened.get(), PR_SUBJECT_W, openedSubject));
            EXPECT_EQ(subject, openedSubject);
        }

        // A folder's entry ID names no item, and an item's no folder.
        UniqueBstr inboxId;
        ASSERT_EQ(S_OK, outlook::GetEntryID(inbox.get(), inboxId));
        UniqueVariant noStore;
        ComPtr<IDispatch> notAnItem;
        EXPECT_EQ(MAPI_E_NOT_FOUND, outlook::GetItemFromID(nameSpace.get(), inboxId.c_str(), noStore.get(), notAnItem));
        ComPtr<_MailItem> first;
        ASSERT_EQ(S_OK, all[0].As(first));
        UniqueBstr firstId;
        ASSERT_EQ(S_OK, outlook::GetEntryID(first.get(), firstId));
        ComPtr<MAPIFolder> notAFolder;
        EXPECT_EQ(MAPI_E_NOT_FOUND, outlook::GetFolderFromID(nameSpace.get(), firstId.c_str(), noStore.get(), notAFolder));
    });
}

TEST_F(StandinObjectModel, GetDefaultFolderGivesTheDefaultStoresSpecialFolders) {
    struct Case {
        OlDefaultFolders kind;
        const wchar_t* name;
    };
    constexpr Case cases[] = {
        {olFolderInbox, L"Inbox"},
        {olFolderJunk, L"Junk E-mail"},
        {olFolderDeletedItems, L"Deleted Items"},
    };
    AsAddInWorker([&](_Application* application) {
        const ComPtr<_NameSpace> nameSpace = MapiNamespace(application);
        for (size_t i = 0; i < std::size(cases); ++i) {
            ComPtr<MAPIFolder> folder;
            ASSERT_EQ(S_OK, outlook::GetDefaultFolder(nameSpace.get(), cases[i].kind, folder)) << "case " << i;
            EXPECT_EQ(cases[i].name, Name(folder.get())) << "case " << i;
            ComPtr<IDispatch> parent;
            ComPtr<MAPIFolder> root;
            ASSERT_EQ(S_OK, outlook::GetParent(folder.get(), parent));
            ASSERT_EQ(S_OK, parent.As(root));
            EXPECT_EQ(L"Mailbox", Name(root.get())) << "case " << i;
        }
        ComPtr<MAPIFolder> folder;
        EXPECT_EQ(E_INVALIDARG, outlook::GetDefaultFolder(nameSpace.get(), static_cast<OlDefaultFolders>(7), folder));
    });

    // A default store without a Junk E-mail folder.
    Reopen("profile \"No junk\"\nstore \"Mailbox\" default\n  folder \"Inbox\" role=inbox\n"
           "  folder \"Deleted Items\" role=deleted-items\n");
    AsAddInWorker([](_Application* application) {
        const ComPtr<_NameSpace> nameSpace = MapiNamespace(application);
        ComPtr<MAPIFolder> folder;
        EXPECT_EQ(MAPI_E_NOT_FOUND, outlook::GetDefaultFolder(nameSpace.get(), olFolderJunk, folder));
        EXPECT_FALSE(folder);
        EXPECT_EQ(S_OK, outlook::GetDefaultFolder(nameSpace.get(), olFolderDeletedItems, folder));
    });
}

TEST_F(StandinObjectModel, AddStoreAppendsAStoreWhoseRootIsTheLastFolderAndTakesANewName) {
    struct Case {
        const wchar_t* file;
        HRESULT expected;
        const wchar_t* rootName;
    };
    constexpr Case cases[] = {
        {L"Restored2", S_OK, L"Outlook Data File"},
        {L"C:\\Data\\Backup.pst", S_OK, L"Outlook Data File"},
        {L"2", S_OK, L"Outlook Data File"},
        {L"", E_INVALIDARG, nullptr},
    };
    AsAddInWorker([&](_Application* application) {
        const ComPtr<_NameSpace> nameSpace = MapiNamespace(application);
        ComPtr<_Folders> before;  // taken before: GetLast reads the list again
        ASSERT_EQ(S_OK, outlook::GetFolders(nameSpace.get(), before));
        long stores = 2;
        for (size_t i = 0; i < std::size(cases); ++i) {
            UniqueVariant file;
            ASSERT_EQ(S_OK, file.SetText(cases[i].file));
            const HRESULT hr = outlook::AddStore(nameSpace.get(), file.get());
            EXPECT_EQ(cases[i].expected, hr) << "case " << i << " got 0x" << std::hex << hr;
            if (FAILED(hr)) continue;
            ++stores;
            ComPtr<_Folders> roots;
            ASSERT_EQ(S_OK, outlook::GetFolders(nameSpace.get(), roots));
            long count = -1;
            EXPECT_EQ(S_OK, outlook::GetCount(roots.get(), &count));
            EXPECT_EQ(stores, count) << "case " << i;
            ComPtr<MAPIFolder> last, lastBefore;
            ASSERT_EQ(S_OK, outlook::GetLast(roots.get(), last));
            EXPECT_EQ(cases[i].rootName, Name(last.get())) << "case " << i;
            ASSERT_EQ(S_OK, outlook::GetLast(before.get(), lastBefore));
            EXPECT_EQ(cases[i].rootName, Name(lastBefore.get())) << "case " << i;
        }

        // As the restore does: the new root takes the name the client asked for,
        // and the add-in's MAPI session sees the new stores.
        ComPtr<_Folders> roots;
        ComPtr<MAPIFolder> last;
        ASSERT_EQ(S_OK, outlook::GetFolders(nameSpace.get(), roots));
        ASSERT_EQ(S_OK, outlook::GetLast(roots.get(), last));
        EXPECT_EQ(S_OK, outlook::PutName(last.get(), L"Restored"));
        EXPECT_EQ(L"Restored", Name(last.get()));
        EXPECT_TRUE(StoreRoot(nameSpace.get(), L"Restored"));
        const ComPtr<IMAPISession> session = JoinSession();
        ASSERT_TRUE(session);
        std::vector<storetest::StoreRow> rows;
        ASSERT_EQ(S_OK, storetest::ReadStoresTable(session.get(), rows));
        EXPECT_EQ(static_cast<size_t>(stores), rows.size());
    });
}

TEST_F(StandinObjectModel, NamePutRenamesTheFolderAndRefusesASiblingsName) {
    AsAddInWorker([](_Application* application) {
        const ComPtr<_NameSpace> nameSpace = MapiNamespace(application);
        const ComPtr<MAPIFolder> projects = FolderAt(nameSpace.get(), {L"Mailbox", L"Inbox", L"Projects"});
        ASSERT_TRUE(projects);
        EXPECT_EQ(S_OK, outlook::PutName(projects.get(), L"Plans: 2023/24"));
        EXPECT_EQ(L"Plans: 2023/24", Name(projects.get()));
        const ComPtr<MAPIFolder> renamed = FolderAt(nameSpace.get(), {L"Mailbox", L"Inbox", L"Plans: 2023/24"});
        ASSERT_TRUE(renamed);
        EXPECT_TRUE(Subfolder(renamed.get(), L"2023"));
        const HRESULT hr = outlook::PutName(projects.get(), L"a\\b");
        EXPECT_EQ(MAPI_E_COLLISION, hr) << "got 0x" << std::hex << hr;
        EXPECT_EQ(L"Plans: 2023/24", Name(projects.get()));
    });
}

// Logon with the add-in's arguments, as its folder tree request logs on.
[[nodiscard]] HRESULT LogonAsTheAddIn(_NameSpace* nameSpace) {
    UniqueVariant outlookProfile, password;
    EXPECT_EQ(S_OK, outlookProfile.SetText(L"Outlook"));
    EXPECT_EQ(S_OK, password.SetText(L""));
    VARIANT no;
    VariantInit(&no);
    no.vt = VT_BOOL;
    no.boolVal = VARIANT_FALSE;
    return outlook::Logon(nameSpace, outlookProfile.get(), password.get(), no, no);
}

TEST_F(StandinObjectModel, FaultSwitchesOfTheStoreReachTheObjectModel) {
    AsAddInWorker([](_Application* application) {
        const ComPtr<_NameSpace> nameSpace = MapiNamespace(application);
        EXPECT_EQ(S_OK, LogonAsTheAddIn(nameSpace.get()));
        EXPECT_EQ(S_OK, outlook::Logoff(nameSpace.get()));
    });

    Reopen("profile \"Faults\" fault=\"logon add-store\"\nstore \"Mailbox\" default\n  folder \"Inbox\" role=inbox\n"
           "    folder \"Broken\"\n      folder \"Below\"\n    mail subject=\"Uncopyable\" fault=copy-to\n"
           "    mail subject=\"Unreadable\"\n");
    // A folder whose metadata cannot be read: listed and walked, but without an entry ID.
    const std::filesystem::path inboxFolder(profile() + L"\\Mailbox\\Inbox");
    std::ofstream(inboxFolder / L"Broken" / L"folder.ini", std::ios::trunc) << "\xff\xfe garbage";
    // An item whose file is no message file: its last one.
    std::filesystem::path lastItem;
    for (const auto& entry : std::filesystem::directory_iterator(inboxFolder)) {
        if (entry.path().extension() == L".msg" && entry.path() > lastItem) lastItem = entry.path();
    }
    ASSERT_FALSE(lastItem.empty());
    std::ofstream(lastItem, std::ios::trunc) << "not a compound file";

    AsAddInWorker([](_Application* application) {
        const ComPtr<_NameSpace> nameSpace = MapiNamespace(application);
        HRESULT hr = LogonAsTheAddIn(nameSpace.get());
        EXPECT_EQ(MAPI_E_LOGON_FAILED, hr) << "got 0x" << std::hex << hr;
        EXPECT_EQ(S_OK, outlook::Logoff(nameSpace.get()));

        UniqueVariant file;
        ASSERT_EQ(S_OK, file.SetText(L"C:\\Data\\Restored.pst"));
        hr = outlook::AddStore(nameSpace.get(), file.get());
        EXPECT_EQ(E_FAIL, hr) << "AddStore got 0x" << std::hex << hr;

        const ComPtr<MAPIFolder> broken = FolderAt(nameSpace.get(), {L"Mailbox", L"Inbox", L"Broken"});
        ASSERT_TRUE(broken);
        long type = -1;
        EXPECT_EQ(S_OK, outlook::GetDefaultItemType(broken.get(), &type));
        EXPECT_EQ(olMailItem, type);
        UniqueBstr entryId, storeId;
        EXPECT_TRUE(FAILED(outlook::GetEntryID(broken.get(), entryId)));
        EXPECT_EQ(S_OK, outlook::GetStoreID(broken.get(), storeId));
        const ComPtr<MAPIFolder> below = Subfolder(broken.get(), L"Below");
        ASSERT_TRUE(below);
        EXPECT_EQ(S_OK, outlook::GetEntryID(below.get(), entryId));

        // The message behind a mail keeps its own fault switches.
        const ComPtr<MAPIFolder> inbox = FolderAt(nameSpace.get(), {L"Mailbox", L"Inbox"});
        const std::vector<ComPtr<IDispatch>> all = AllItems(inbox.get());
        ASSERT_EQ(2u, all.size());
        ComPtr<_MailItem> mail;
        ASSERT_EQ(S_OK, all[0].As(mail));
        ComPtr<IUnknown> object;
        ASSERT_EQ(S_OK, outlook::GetMAPIOBJECT(mail.get(), object));
        ComPtr<IMessage> message;
        ASSERT_EQ(S_OK, object->QueryInterface(IID_IMessage, message.put_void()));
        EXPECT_EQ(MAPI_E_CALL_FAILED, message->CopyTo(0, nullptr, nullptr, 0, nullptr, &IID_IMessage,
                                                      message.get(), 0, nullptr));

        // An item whose message cannot be read is listed, with an entry ID, as no mail.
        ComPtr<_MailItem> unreadable;
        EXPECT_EQ(E_NOINTERFACE, all[1].As(unreadable));
        EXPECT_FALSE(TextProperty(all[1].get(), L"EntryID").empty());
        RawGet messageObject;
        GetProperty(all[1].get(), L"MAPIOBJECT", messageObject);
        EXPECT_EQ(DISP_E_EXCEPTION, messageObject.result);
        EXPECT_EQ(MAPI_E_CORRUPT_DATA, messageObject.exception.scode) << "got 0x" << std::hex << messageObject.exception.scode;
    });
}

TEST_F(StandinObjectModel, COMAddInsListsTheHostsAddInsAndKeepsWhatTheyPublishUntilTheHostCloses) {
    ComPtr<IDispatch> entry;
    ASSERT_EQ(S_OK, OutlookStandinAddAddIn(L"Sample.Connect", entry.put()));
    const ComPtr<fake::FakeDispatch> published = fake::FakeDispatch::Create();  // what an add-in publishes
    AsAddInWorker([&](_Application* application) {
        ComPtr<COMAddIns> addIns;
        ASSERT_EQ(S_OK, outlook::GetCOMAddIns(application, addIns));
        EXPECT_EQ(L"Sample.Connect", TextProperty(entry.get(), L"ProgId"));
        const struct {
            const wchar_t* progId;
            HRESULT expected;
        } cases[] = {{L"sample.CONNECT", S_OK}, {L"Other.Connect", E_INVALIDARG}};
        for (size_t i = 0; i < std::size(cases); ++i) {
            UniqueVariant index;
            ASSERT_EQ(S_OK, index.SetText(cases[i].progId));
            ComPtr<COMAddIn> addIn;
            const HRESULT hr = outlook::Item(addIns.get(), index.get(), addIn);
            EXPECT_EQ(cases[i].expected, hr) << "case " << i << " got 0x" << std::hex << hr;
            if (SUCCEEDED(hr)) {
                EXPECT_EQ(Identity(entry.get()), Identity(addIn.get())) << "case " << i;
            }
        }
        ComPtr<COMAddIn> addIn;
        ASSERT_EQ(S_OK, entry.As(addIn));
        EXPECT_EQ(S_OK, outlook::PutObject(addIn.get(), published.get()));
        RawGet read;
        GetProperty(addIn.get(), L"Object", read);
        EXPECT_EQ(S_OK, read.result);
        ASSERT_EQ(VT_DISPATCH, read.value.vt);
        EXPECT_EQ(static_cast<IDispatch*>(published.get()), read.value.pdispVal);
    });
    EXPECT_EQ(2u, published->references()) << "the entry holds what was published";
    OutlookStandinClose();
    EXPECT_EQ(1u, published->references()) << "closing drops it";
}

TEST_F(StandinObjectModel, QuitSignalsTheHostsEvent) {
    ASSERT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(quitRequested(), 0));
    AsAddInWorker([](_Application* application) { EXPECT_EQ(S_OK, outlook::Quit(application)); });
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(quitRequested(), 0));
}

}  // namespace
