// Messages of the store through mapi32.dll: their fault switches, a corrupt item and
// what an opening without write access refuses.
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

}  // namespace
