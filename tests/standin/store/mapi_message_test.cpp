// Messages of the store through mapi32.dll: creating and saving items, opening
// them by entry ID, CopyTo to and from message files, their fault switches,
// deleting and moving, and the bundled default profile read back whole.
#include <gtest/gtest.h>

#include <windows.h>
#include <imessage.h>
#include <mapicode.h>
#include <mapiguid.h>
#include <mapitags.h>
#include <mapiutil.h>

#include "base/mapi_buffer.h"
#include "base/mapi_row_set.h"
#include "tests/standin/msg/msg_test_util.h"
#include "tests/standin/store/mapi_test_util.h"

namespace {

using namespace storetest;

[[nodiscard]] HRESULT SetSubject(IMessage* message, const wchar_t* subject) {
    SPropValue values[2]{};
    values[0].ulPropTag = PR_SUBJECT_W;
    values[0].Value.lpszW = const_cast<wchar_t*>(subject);
    values[1].ulPropTag = PR_MESSAGE_CLASS_W;
    values[1].Value.lpszW = const_cast<wchar_t*>(L"IPM.Note");
    return message->SetProps(2, values, nullptr);
}

[[nodiscard]] HRESULT CopyAll(IMessage* from, IMessage* to) {
    return from->CopyTo(0, nullptr, nullptr, 0, nullptr, &IID_IMessage, to, 0, nullptr);
}

ULONG AttachmentCount(IMessage* message) {
    base::ComPtr<IMAPITable> table;
    ULONG count = 0xdeadbeef;
    if (FAILED(message->GetAttachmentTable(0, table.put())) || FAILED(table->GetRowCount(0, &count))) return 0xdeadbeef;
    return count;
}

class MapiMessages : public MapiStore {
protected:
    void SetUp() override {
        MapiStore::SetUp();
        LogonHost(opened_.session);
        OpenDefaultStore(opened_.session.get(), opened_);
        ASSERT_EQ(S_OK, FindSubfolder(session(), opened_.root.get(), L"Inbox", inbox_));
    }
    [[nodiscard]] IMAPISession* session() const { return opened_.session.get(); }
    [[nodiscard]] IMAPIFolder* inbox() const { return inbox_.get(); }
    [[nodiscard]] IMAPIFolder* root() const { return opened_.root.get(); }
    [[nodiscard]] std::vector<std::vector<BYTE>> Contents(IMAPIFolder* folder) {
        std::vector<std::vector<BYTE>> ids;
        EXPECT_EQ(S_OK, ReadContents(folder, ids));
        return ids;
    }
    [[nodiscard]] std::wstring SubjectOf(const std::vector<BYTE>& entryId) {
        base::ComPtr<IMessage> message;
        std::wstring subject;
        if (FAILED(OpenEntryAs(session(), entryId, IID_IMessage, message)) ||
            FAILED(GetText(message.get(), PR_SUBJECT, subject))) {
            return L"<unreadable>";
        }
        return subject;
    }

private:
    OpenedStore opened_;
    base::ComPtr<IMAPIFolder> inbox_;

protected:
};

TEST_F(MapiMessages, SaveChangesWritesANewItemAndThenReplacesIt) {
    base::ComPtr<IMAPIFolder> projects;
    ASSERT_EQ(S_OK, FindSubfolder(session(), inbox(), L"Projects", projects));
    base::ComPtr<IMessage> message;
    ASSERT_EQ(S_OK, projects->CreateMessage(nullptr, 0, message.put()));
    ASSERT_EQ(S_OK, SetSubject(message.get(), L"Grüße – first"));
    EXPECT_TRUE(Contents(projects.get()).empty()) << "nothing before SaveChanges";
    std::vector<BYTE> unsaved;
    EXPECT_EQ(MAPI_E_NOT_FOUND, GetBinary(message.get(), PR_ENTRYID, unsaved));

    ASSERT_EQ(S_OK, message->SaveChanges(KEEP_OPEN_READWRITE));
    std::vector<std::vector<BYTE>> ids = Contents(projects.get());
    ASSERT_EQ(1u, ids.size());
    std::vector<BYTE> entryId, parentId, folderId;
    ASSERT_EQ(S_OK, GetBinary(message.get(), PR_ENTRYID, entryId));
    EXPECT_EQ(ids[0], entryId);
    ASSERT_EQ(S_OK, GetBinary(message.get(), PR_PARENT_ENTRYID, parentId));
    ASSERT_EQ(S_OK, GetBinary(projects.get(), PR_ENTRYID, folderId));
    EXPECT_EQ(folderId, parentId);
    EXPECT_EQ(L"Grüße – first", SubjectOf(entryId));

    ASSERT_EQ(S_OK, SetSubject(message.get(), L"second"));
    ASSERT_EQ(S_OK, message->SaveChanges(KEEP_OPEN_READWRITE));
    ASSERT_EQ(1u, Contents(projects.get()).size());
    EXPECT_EQ(L"second", SubjectOf(entryId));

    ULONG type = 0;
    base::ComPtr<IMessage> viaStore;
    EXPECT_EQ(S_OK, OpenEntryAs(session(), entryId, IID_IMessage, viaStore, &type));
    EXPECT_EQ(static_cast<ULONG>(MAPI_MESSAGE), type);
}

TEST_F(MapiMessages, CopyToWorksBothWaysWithMessageFiles) {
    const std::vector<std::vector<BYTE>> ids = Contents(inbox());
    ASSERT_EQ(2u, ids.size());
    base::ComPtr<IMessage> first;
    ASSERT_EQ(S_OK, OpenEntryAs(session(), ids[0], IID_IMessage, first));

    TempFolder temp;
    msgtest::MessageFile file;
    ASSERT_EQ(S_OK, msgtest::CreateMessageFile(temp.Sub(L"saved.msg"), file));
    ASSERT_EQ(S_OK, CopyAll(first.get(), file.message.get()));
    ASSERT_EQ(S_OK, file.message->SaveChanges(KEEP_OPEN_READWRITE));
    std::wstring subject, body;
    EXPECT_EQ(S_OK, GetText(file.message.get(), PR_SUBJECT, subject));
    EXPECT_EQ(L"First", subject);
    EXPECT_EQ(S_OK, GetText(file.message.get(), PR_BODY, body));
    EXPECT_EQ(L"Body one", body);
    EXPECT_EQ(1u, AttachmentCount(file.message.get()));

    base::ComPtr<IMAPIFolder> projects;
    ASSERT_EQ(S_OK, FindSubfolder(session(), inbox(), L"Projects", projects));
    base::ComPtr<IMessage> restored;
    ASSERT_EQ(S_OK, projects->CreateMessage(nullptr, 0, restored.put()));
    ASSERT_EQ(S_OK, CopyAll(file.message.get(), restored.get()));
    ASSERT_EQ(S_OK, restored->SaveChanges(KEEP_OPEN_READWRITE));
    const std::vector<std::vector<BYTE>> copied = Contents(projects.get());
    ASSERT_EQ(1u, copied.size());
    base::ComPtr<IMessage> reopened;
    ASSERT_EQ(S_OK, OpenEntryAs(session(), copied[0], IID_IMessage, reopened));
    EXPECT_EQ(S_OK, GetText(reopened.get(), PR_BODY, body));
    EXPECT_EQ(L"Body one", body);
    EXPECT_EQ(1u, AttachmentCount(reopened.get()));
}

TEST_F(MapiMessages, MessageFaultSwitches) {
    const std::vector<std::vector<BYTE>> ids = Contents(inbox());
    ASSERT_EQ(2u, ids.size());
    TempFolder temp;
    const struct {
        size_t item;
        HRESULT copy;
    } cases[] = {{0, S_OK}, {1, MAPI_E_CALL_FAILED}};
    for (size_t i = 0; i < std::size(cases); ++i) {
        base::ComPtr<IMessage> message;
        ASSERT_EQ(S_OK, OpenEntryAs(session(), ids[cases[i].item], IID_IMessage, message)) << i;
        msgtest::MessageFile file;
        ASSERT_EQ(S_OK, msgtest::CreateMessageFile(temp.Sub(L"copy" + std::to_wstring(i) + L".msg"), file)) << i;
        const HRESULT hr = CopyAll(message.get(), file.message.get());
        EXPECT_EQ(cases[i].copy, hr) << "case " << i << ": got 0x" << std::hex << hr;
    }

    base::ComPtr<IMAPIFolder> unsaveable;
    ASSERT_EQ(S_OK, FindSubfolder(session(), root(), L"Unsaveable", unsaveable));
    base::ComPtr<IMessage> message;
    ASSERT_EQ(S_OK, unsaveable->CreateMessage(nullptr, 0, message.put()));
    ASSERT_EQ(S_OK, SetSubject(message.get(), L"never saved"));
    EXPECT_EQ(MAPI_E_CALL_FAILED, message->SaveChanges(KEEP_OPEN_READWRITE));
    EXPECT_TRUE(Contents(unsaveable.get()).empty());
}

TEST_F(MapiMessages, ACorruptItemFailsAloneWhenOpened) {
    WriteText(host() + L"\\Mailbox\\Inbox\\00000001.msg", "no compound file here");
    const std::vector<std::vector<BYTE>> ids = Contents(inbox());
    ASSERT_EQ(2u, ids.size());
    base::ComPtr<IMessage> message;
    EXPECT_EQ(MAPI_E_CORRUPT_DATA, OpenEntryAs(session(), ids[0], IID_IMessage, message));
    EXPECT_EQ(L"Uncopyable", SubjectOf(ids[1]));
}

// ---------------------------------------------------------------- the default profile

// Every folder path below `path`, and the class of every item, through the
// hierarchy and contents tables; `largeBodies` counts the bodies HrGetOneProp
// refuses as too large, which OpenProperty reads whole.
void WalkFolder(IMAPISession* session, IMAPIFolder* folder, const std::wstring& path,
                std::vector<std::wstring>& folders, std::vector<std::wstring>& classes, int& largeBodies) {
    std::vector<std::vector<BYTE>> items;
    ASSERT_EQ(S_OK, ReadContents(folder, items)) << Utf8(path);
    for (const std::vector<BYTE>& id : items) {
        base::ComPtr<IMessage> message;
        std::wstring messageClass;
        ASSERT_EQ(S_OK, OpenEntryAs(session, id, IID_IMessage, message)) << Utf8(path);
        ASSERT_EQ(S_OK, GetText(message.get(), PR_MESSAGE_CLASS, messageClass));
        classes.push_back(messageClass);
        base::UniqueMapiBuffer<SPropValue> body;
        const HRESULT hr = HrGetOneProp(message.get(), PR_BODY_A, body.put());
        if (hr != MAPI_E_NOT_ENOUGH_MEMORY) continue;
        ++largeBodies;
        base::ComPtr<IStream> stream;
        ASSERT_EQ(S_OK, message->OpenProperty(PR_BODY_A, &IID_IStream, 0, 0, reinterpret_cast<IUnknown**>(stream.put())));
        STATSTG stat{};
        ASSERT_EQ(S_OK, stream->Stat(&stat, STATFLAG_NONAME));
        EXPECT_GT(stat.cbSize.QuadPart, 16u * 1024);
    }
    std::vector<FolderRow> rows;
    ASSERT_EQ(S_OK, ReadHierarchy(folder, rows));
    for (const FolderRow& row : rows) {
        base::ComPtr<IMAPIFolder> sub;
        ASSERT_EQ(S_OK, OpenEntryAs(session, row.entryId, IID_IMAPIFolder, sub));
        const std::wstring subPath = path + L"\\" + row.name;  // not a reference into the growing list
        folders.push_back(subPath);
        WalkFolder(session, sub.get(), subPath, folders, classes, largeBodies);
    }
}

TEST(DefaultProfile, IsTheHostsByDefaultAndReadsBackWhole) {
    const ScopedEnvironment noHost(L"STANDIN_MAPI_PROFILE", nullptr);
    const ScopedEnvironment noProfiles(L"STANDIN_MAPI_PROFILES", nullptr);
    base::ComPtr<IMAPISession> shared, named;
    ASSERT_EQ(S_OK, MAPILogonEx(0, nullptr, nullptr, kAllowOthers, shared.put()));
    ASSERT_EQ(S_OK, MAPILogonEx(0, reinterpret_cast<LPTSTR>(const_cast<char*>("Outlook")), nullptr, kEnumSessionFlags,
                                named.put()));
    std::wstring name;
    ASSERT_EQ(S_OK, StatusTableName(named.get(), 0, name));
    EXPECT_EQ(L"Outlook", name);

    std::vector<StoreRow> rows;
    ASSERT_EQ(S_OK, ReadStoresTable(shared.get(), rows));
    ASSERT_EQ(2u, rows.size());
    EXPECT_TRUE(rows[0].isDefault);
    std::vector<std::wstring> folders, classes;
    int largeBodies = 0;
    for (const StoreRow& row : rows) {
        base::ComPtr<IMsgStore> store;
        ASSERT_EQ(S_OK, shared->OpenMsgStore(0, static_cast<ULONG>(row.entryId.size()),
                                             reinterpret_cast<LPENTRYID>(const_cast<BYTE*>(row.entryId.data())), nullptr,
                                             kOpenStoreFlags, store.put()));
        std::vector<BYTE> subtree;
        ASSERT_EQ(S_OK, GetBinary(store.get(), PR_IPM_SUBTREE_ENTRYID_TAG, subtree));
        base::ComPtr<IMAPIFolder> root;
        ASSERT_EQ(S_OK, OpenEntryAs(shared.get(), subtree, IID_IMAPIFolder, root));
        WalkFolder(shared.get(), root.get(), L"\\\\" + row.name, folders, classes, largeBodies);
    }
    EXPECT_EQ(18u, folders.size());
    EXPECT_EQ(26u, classes.size());
    EXPECT_EQ(1, largeBodies);
    for (const wchar_t* path : {L"\\\\Mailbox - Demo User\\Inbox\\Projects\\Sales/Marketing",
                                L"\\\\Mailbox - Demo User\\Inbox\\A\\B",
                                L"\\\\Mailbox - Demo User\\Inbox\\Q: \"What?\" <maybe> | *",
                                L"\\\\Archive\\Archive 2022\\Travel"}) {
        EXPECT_NE(folders.end(), std::find(folders.begin(), folders.end(), path)) << Utf8(path);
    }
    EXPECT_NE(classes.end(), std::find(classes.begin(), classes.end(), L"REPORT.IPM.Note.NDR"));
}

}  // namespace
