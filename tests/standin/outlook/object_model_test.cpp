// The object model reached as the add-in reaches Outlook, from worker threads of their
// own apartments through the add-in's typed layer: what the add-in's end-to-end tests
// do not reach (items and their messages, added stores, renames, fault switches, what
// the host keeps), with the profile's MAPI side checked alongside.
#include <gtest/gtest.h>

#include <windows.h>
#include <mapicode.h>
#include <mapiguid.h>
#include <mapitags.h>
#include <mapiutil.h>

#include <cstdint>

#include "base/unique_variant.h"
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

// As in Outlook, the application lives in the host's apartment and is no in-process
// server: other apartments get proxies, and only a caller that allows a local server
// finds it.
TEST_F(StandinObjectModel, WorkersOfOtherApartmentsGetProxiesOfTheOneRunningApplication) {
    ComPtr<IUnknown> hostView;
    ASSERT_EQ(S_OK, CoCreateInstance(CLSID_OutlookApplication, nullptr, CLSCTX_ALL, IID_IUnknown,
                                     hostView.put_void()));
    const std::uintptr_t host = Identity(hostView.get());
    AsAddInWorker([&](_Application* application) {
        EXPECT_NE(host, Identity(application)) << "no proxy between the apartments";
        const ComPtr<_NameSpace> byName = MapiNamespace(application);
        ComPtr<_NameSpace> session;
        EXPECT_EQ(S_OK, outlook::GetSession(application, session));
        ASSERT_TRUE(byName && session);
        EXPECT_EQ(Identity(byName.get()), Identity(session.get())) << "GetNamespace and Session differ";
        ComPtr<IUnknown> inProcess;
        const HRESULT hr = CoCreateInstance(CLSID_OutlookApplication, nullptr, CLSCTX_INPROC_SERVER,
                                            IID_IUnknown, inProcess.put_void());
        EXPECT_EQ(REGDB_E_CLASSNOTREG, hr) << "got 0x" << std::hex << hr;
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

TEST_F(StandinObjectModel, ItemsGiveEveryItemOnceAndAMailsEntryIdOpensItsMessageOnTheWorkerThread) {
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
            EXPECT_EQ(kInboxItems[i].messageClass, TextProperty(all[i].get(), L"MessageClass"))
                << "item " << i;
            ComPtr<_MailItem> listed;
            const HRESULT hr = all[i].As(listed);
            EXPECT_EQ(kInboxItems[i].isMail ? S_OK : E_NOINTERFACE, hr)
                << "item " << i << " got 0x" << std::hex << hr;
            if (FAILED(hr)) continue;
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
            ASSERT_EQ(S_OK, object->QueryInterface(IID_IMessage, message.put_void()))
                << "MAPIOBJECT is no IMessage";
            std::wstring subject;
            EXPECT_EQ(S_OK, storetest::GetText(message.get(), PR_SUBJECT_W, subject));
            EXPECT_EQ(kInboxItems[i].subject, subject);
        }
    });
}

TEST_F(StandinObjectModel, AddStoreAppendsAStoreWhoseRootIsTheLastFolderAndTakesANewName) {
    struct Case {
        const wchar_t* file;
        HRESULT expected;
        bool added;  // a data file the profile has open already adds nothing
    };
    constexpr Case cases[] = {
        {L"Restored2", S_OK, true},
        {L"C:\\Data\\Backup.pst", S_OK, true},
        {L"restored2", S_OK, false},
        {L"", E_INVALIDARG, false},
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
            stores += cases[i].added;
            ComPtr<_Folders> roots;
            ASSERT_EQ(S_OK, outlook::GetFolders(nameSpace.get(), roots));
            long count = -1;
            EXPECT_EQ(S_OK, outlook::GetCount(roots.get(), &count));
            EXPECT_EQ(stores, count) << "case " << i;
            ComPtr<MAPIFolder> last, lastBefore;
            ASSERT_EQ(S_OK, outlook::GetLast(roots.get(), last));
            EXPECT_EQ(L"Personal Folders", Name(last.get())) << "case " << i;
            ASSERT_EQ(S_OK, outlook::GetLast(before.get(), lastBefore));
            EXPECT_EQ(L"Personal Folders", Name(lastBefore.get())) << "case " << i;
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
        EXPECT_TRUE(FolderAt(nameSpace.get(), {L"Restored", L"Deleted Items"}));
        const ComPtr<IMAPISession> session = JoinSession();
        ASSERT_TRUE(session);
        std::vector<storetest::StoreRow> rows;
        ASSERT_EQ(S_OK, storetest::ReadStoresTable(session.get(), rows));
        EXPECT_EQ(static_cast<size_t>(stores), rows.size());
    });
}

// Outlook busy: the profile's busy call alone is refused, the next one served.
TEST_F(StandinObjectModel, ABusyOutlookRefusesItsBusyCallAlone) {
    Reopen("profile \"Busy\" busy-call=2\nstore \"Mailbox\" default\n");
    AsAddInWorker([](_Application* application) {
        const ComPtr<_NameSpace> nameSpace = MapiNamespace(application);
        ComPtr<_Folders> roots;
        EXPECT_EQ(RPC_E_CALL_REJECTED, outlook::GetFolders(nameSpace.get(), roots));
        EXPECT_EQ(S_OK, outlook::GetFolders(nameSpace.get(), roots));
    });
}

}  // namespace
