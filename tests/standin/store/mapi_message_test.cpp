// Messages of the store through mapi32.dll: their fault switches, a corrupt item, what
// an opening without write access refuses, the display lists a save keeps, and the
// bundled default profile read back whole.
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
    [[nodiscard]] std::vector<std::vector<BYTE>> Contents(IMAPIFolder* folder) {
        std::vector<std::vector<BYTE>> ids;
        EXPECT_EQ(S_OK, ReadContents(folder, ids));
        return ids;
    }
    OpenedStore opened_;
    base::ComPtr<IMAPIFolder> inbox_;
};

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
        ASSERT_EQ(S_OK, msgtest::CreateMessageFile(temp.Sub(L"copy" + std::to_wstring(i) + L".msg"), file))
            << i;
        const HRESULT hr =
            message->CopyTo(0, nullptr, nullptr, 0, nullptr, &IID_IMessage, file.message.get(), 0, nullptr);
        EXPECT_EQ(cases[i].copy, hr) << "case " << i << ": got 0x" << std::hex << hr;
    }

    base::ComPtr<IMAPIFolder> unsaveable;
    ASSERT_EQ(S_OK, FindSubfolder(session(), opened_.root.get(), L"Unsaveable", unsaveable));
    base::ComPtr<IMessage> message;
    ASSERT_EQ(S_OK, unsaveable->CreateMessage(nullptr, 0, message.put()));
    EXPECT_EQ(MAPI_E_CALL_FAILED, message->SaveChanges(KEEP_OPEN_READWRITE));
    EXPECT_TRUE(Contents(unsaveable.get()).empty());
}

TEST_F(MapiMessages, ACorruptItemFailsAloneWhenOpened) {
    WriteText(host() + L"\\Mailbox\\Inbox\\00000001.msg", "no compound file here");
    const std::vector<std::vector<BYTE>> ids = Contents(inbox());
    ASSERT_EQ(2u, ids.size());
    base::ComPtr<IMessage> message;
    EXPECT_EQ(MAPI_E_CORRUPT_DATA, OpenEntryAs(session(), ids[0], IID_IMessage, message));
    std::wstring subject;
    ASSERT_EQ(S_OK, OpenEntryAs(session(), ids[1], IID_IMessage, message));
    EXPECT_EQ(S_OK, GetText(message.get(), PR_SUBJECT, subject));
    EXPECT_EQ(L"Uncopyable", subject);
}

// An object opened without MAPI_MODIFY or MAPI_BEST_ACCESS, and whatever it opens, is
// read-only ("IMAPISession::OpenEntry"); a store without MDB_WRITE or MAPI_BEST_ACCESS
// too ("IMAPISession::OpenMsgStore").
TEST_F(MapiMessages, OnlyAnOpeningForChangesMayChange) {
    std::vector<BYTE> inboxId;
    ASSERT_EQ(S_OK, GetBinary(inbox(), PR_ENTRYID, inboxId));
    const std::vector<std::vector<BYTE>> items = Contents(inbox());
    ASSERT_FALSE(items.empty());
    const std::vector<BYTE>& item = items.front();
    const auto id = [](const std::vector<BYTE>& bytes) {
        return std::pair(static_cast<ULONG>(bytes.size()),
                         reinterpret_cast<LPENTRYID>(const_cast<BYTE*>(bytes.data())));
    };
    SPropValue subject{PR_SUBJECT_W, 0, {}};
    subject.Value.lpszW = const_cast<wchar_t*>(L"Changed");
    const struct {
        ULONG storeFlags;  // 0: through the session
        ULONG flags;
        HRESULT open;
        HRESULT change;  // a new message in the folder, a subject put on the item
    } cases[] = {
        {0, 0, S_OK, MAPI_E_NO_ACCESS},
        {0, MAPI_MODIFY, S_OK, S_OK},
        {0, MAPI_BEST_ACCESS, S_OK, S_OK},
        {MDB_NO_DIALOG, MAPI_BEST_ACCESS, S_OK, MAPI_E_NO_ACCESS},
        {MDB_NO_DIALOG, MAPI_MODIFY, MAPI_E_NO_ACCESS, S_OK},
        {MDB_WRITE, MAPI_MODIFY, S_OK, S_OK},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        const auto& c = cases[i];
        base::ComPtr<IMsgStore> store;
        if (c.storeFlags) {
            std::vector<BYTE> storeId;
            ASSERT_EQ(S_OK, GetBinary(opened_.store.get(), PR_ENTRYID, storeId));
            ASSERT_EQ(S_OK, session()->OpenMsgStore(0, id(storeId).first, id(storeId).second, nullptr,
                                                    c.storeFlags, store.put()));
        }
        for (const std::vector<BYTE>* entry :
             std::initializer_list<const std::vector<BYTE>*>{&inboxId, &item}) {
            ULONG type = 0;
            base::ComPtr<IUnknown> object;
            const HRESULT hr = store ? store->OpenEntry(id(*entry).first, id(*entry).second, nullptr, c.flags,
                                                        &type, object.put())
                                     : session()->OpenEntry(id(*entry).first, id(*entry).second, nullptr,
                                                            c.flags, &type, object.put());
            EXPECT_EQ(c.open, hr) << "case " << i << ": got 0x" << std::hex << hr;
            if (FAILED(hr)) continue;
            base::ComPtr<IMAPIFolder> folder;
            base::ComPtr<IMessage> message;
            HRESULT change = E_UNEXPECTED;
            if (SUCCEEDED(object->QueryInterface(IID_IMAPIFolder, folder.put_void()))) {
                change = folder->CreateMessage(nullptr, 0, message.put());
            } else if (SUCCEEDED(object->QueryInterface(IID_IMessage, message.put_void()))) {
                change = message->SetProps(1, &subject, nullptr);
                if (SUCCEEDED(change)) change = message->SaveChanges(0);
            }
            EXPECT_EQ(c.change, change)
                << "case " << i << " type " << type << ": got 0x" << std::hex << change;
        }
    }
}

// The store keeps the display lists of a message as its recipients say, at every save
// ("PidTagDisplayTo"), whatever was put there.
TEST_F(MapiMessages, ASaveSetsTheDisplayListsFromTheRecipients) {
    base::ComPtr<IMessage> message;
    ASSERT_EQ(S_OK, inbox()->CreateMessage(nullptr, 0, message.put()));
    SPropValue stale{PR_DISPLAY_TO_W, 0, {}};
    stale.Value.lpszW = const_cast<wchar_t*>(L"Somebody Else");
    ASSERT_EQ(S_OK, message->SetProps(1, &stale, nullptr));
    ASSERT_EQ(S_OK, msgtest::AddRecipients(message.get(), true, 3));  // one To, two Cc
    ASSERT_EQ(S_OK, message->SaveChanges(0));
    const std::vector<std::vector<BYTE>> ids = Contents(inbox());
    base::ComPtr<IMessage> saved;
    ASSERT_EQ(S_OK, OpenEntryAs(session(), ids.back(), IID_IMessage, saved));
    const struct {
        ULONG tag;
        const wchar_t* list;
    } lists[] = {{PR_DISPLAY_TO_W, L"Recipient \u00e9 0"},
                 {PR_DISPLAY_CC_W, L"Recipient \u00e9 1; Recipient \u00e9 2"},
                 {PR_DISPLAY_BCC_W, L""}};
    for (const auto& list : lists) {
        std::wstring text = L"sentinel";
        EXPECT_EQ(S_OK, GetText(saved.get(), list.tag, text)) << std::hex << list.tag;
        EXPECT_EQ(list.list, text) << std::hex << list.tag;
    }
}

// The class of every item below a folder, through the hierarchy and contents
// tables; `largeBodies` counts the bodies HrGetOneProp
// refuses as too large, which OpenProperty reads whole.
void WalkFolder(IMAPISession* session, IMAPIFolder* folder, const std::wstring& path,
                std::vector<std::wstring>& classes, int& largeBodies) {
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
        ASSERT_EQ(S_OK, message->OpenProperty(PR_BODY_A, &IID_IStream, 0, 0,
                                              reinterpret_cast<IUnknown**>(stream.put())));
        STATSTG stat{};
        ASSERT_EQ(S_OK, stream->Stat(&stat, STATFLAG_NONAME));
        EXPECT_GT(stat.cbSize.QuadPart, 16u * 1024);
    }
    std::vector<FolderRow> rows;
    ASSERT_EQ(S_OK, ReadHierarchy(folder, rows));
    for (const FolderRow& row : rows) {
        base::ComPtr<IMAPIFolder> sub;
        ASSERT_EQ(S_OK, OpenEntryAs(session, row.entryId, IID_IMAPIFolder, sub));
        WalkFolder(session, sub.get(), path + L"\\" + row.name, classes, largeBodies);
    }
}

TEST(DefaultProfile, IsTheHostsByDefaultAndReadsBackWhole) {
    const ScopedEnvironment noHost(L"STANDIN_MAPI_PROFILE", nullptr);
    const ScopedEnvironment noProfiles(L"STANDIN_MAPI_PROFILES", nullptr);
    base::ComPtr<IMAPISession> shared;
    ASSERT_EQ(S_OK, MAPILogonEx(0, nullptr, nullptr, kAllowOthers, shared.put()));

    std::vector<StoreRow> rows;
    ASSERT_EQ(S_OK, ReadStoresTable(shared.get(), rows));
    ASSERT_EQ(2u, rows.size());
    std::vector<std::wstring> classes;
    int largeBodies = 0;
    for (const StoreRow& row : rows) {
        base::ComPtr<IMsgStore> store;
        ASSERT_EQ(S_OK,
                  shared->OpenMsgStore(0, static_cast<ULONG>(row.entryId.size()),
                                       reinterpret_cast<LPENTRYID>(const_cast<BYTE*>(row.entryId.data())),
                                       nullptr, kOpenStoreFlags, store.put()));
        std::vector<BYTE> subtree;
        ASSERT_EQ(S_OK, GetBinary(store.get(), PR_IPM_SUBTREE_ENTRYID_TAG, subtree));
        base::ComPtr<IMAPIFolder> root;
        ASSERT_EQ(S_OK, OpenEntryAs(shared.get(), subtree, IID_IMAPIFolder, root));
        WalkFolder(shared.get(), root.get(), L"\\\\" + row.name, classes, largeBodies);
    }
    EXPECT_EQ(29u, classes.size());
    EXPECT_EQ(1, largeBodies);
    EXPECT_NE(classes.end(), std::find(classes.begin(), classes.end(), L"REPORT.IPM.Note.NDR"));
}

}  // namespace
