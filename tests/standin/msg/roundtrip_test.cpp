// Messages saved into files and read back: every property type, recipients,
// attachments by value and embedded two levels deep, named properties, streams.
#include <gtest/gtest.h>

#include "tests/standin/msg/msg_test_util.h"

namespace {

using base::ComPtr;
using msgtest::Describe;
using msgtest::MessageFile;
using msgtest::TempMessagePath;

// Values of `tags` as described text, in order.
std::vector<std::string> Described(IMAPIProp* object, const std::vector<ULONG>& tags) {
    std::vector<BYTE> buffer(CbNewSPropTagArray(tags.size()));
    auto* array = reinterpret_cast<SPropTagArray*>(buffer.data());
    array->cValues = static_cast<ULONG>(tags.size());
    std::copy(tags.begin(), tags.end(), array->aulPropTag);
    ULONG count = 0;
    LPSPropValue values = nullptr;
    std::vector<std::string> out;
    if (FAILED(object->GetProps(array, 0, &count, &values))) return out;
    for (ULONG i = 0; i < count; ++i) out.push_back(Describe(values[i]));
    MAPIFreeBuffer(values);
    return out;
}

LPSRowSet AllRows(IMAPITable* table) {
    LPSRowSet rows = nullptr;
    EXPECT_EQ(HrQueryAllRows(table, nullptr, nullptr, nullptr, 0, &rows), S_OK);
    return rows;
}

const SPropValue* Find(const SRow& row, ULONG tag) {
    for (ULONG i = 0; i < row.cValues; ++i) {
        if (row.lpProps[i].ulPropTag == tag) return &row.lpProps[i];
    }
    return nullptr;
}

ComPtr<IMessage> EmbeddedOf(IMessage* message, ULONG number) {
    ComPtr<IAttach> attach;
    EXPECT_EQ(message->OpenAttach(number, nullptr, MAPI_BEST_ACCESS, attach.put()), S_OK);
    ComPtr<IMessage> embedded;
    if (attach) {
        EXPECT_EQ(attach->OpenProperty(PR_ATTACH_DATA_OBJ, &IID_IMessage, 0, 0,
                                       reinterpret_cast<IUnknown**>(embedded.put())),
                  S_OK);
    }
    return embedded;
}

class RoundTrip : public testing::TestWithParam<bool> {};

TEST_P(RoundTrip, EveryPropertyTypeSurvivesTheFile) {
    const bool unicode = GetParam();
    TempMessagePath path(L"roundtrip");
    std::vector<ULONG> tags;
    std::vector<std::string> written;
    {
        MessageFile file;
        ASSERT_EQ(msgtest::CreateMessageFile(path.path, file), S_OK);
        ASSERT_EQ(msgtest::FillRichMessage(file.message.get(), unicode, &tags), S_OK);
        written = Described(file.message.get(), tags);
        ASSERT_EQ(file.Save(), S_OK);
    }
    MessageFile file;
    ASSERT_EQ(msgtest::OpenMessageFile(path.path, file), S_OK);
    const std::vector<std::string> read = Described(file.message.get(), tags);
    ASSERT_EQ(read.size(), tags.size());
    for (std::size_t i = 0; i < tags.size(); ++i) EXPECT_EQ(read[i], written[i]) << "tag " << i;

    // Every stored property is listed, named ones among them.
    LPSPropTagArray list = nullptr;
    ASSERT_EQ(file.message->GetPropList(unicode ? MAPI_UNICODE : 0, &list), S_OK);
    EXPECT_EQ(list->cValues, tags.size());
    MAPIFreeBuffer(list);
}

TEST_P(RoundTrip, RecipientsAndAttachmentsTwoLevelsDeep) {
    const bool unicode = GetParam();
    TempMessagePath path(L"children");
    ASSERT_EQ(msgtest::WriteRichFile(path.path, unicode), S_OK);
    MessageFile file;
    ASSERT_EQ(msgtest::OpenMessageFile(path.path, file), S_OK);

    ComPtr<IMAPITable> recipients;
    ASSERT_EQ(file.message->GetRecipientTable(MAPI_UNICODE, recipients.put()), S_OK);
    LPSRowSet rows = AllRows(recipients.get());
    ASSERT_NE(rows, nullptr);
    ASSERT_EQ(rows->cRows, 3u);
    for (ULONG i = 0; i < rows->cRows; ++i) {
        const SPropValue* name = Find(rows->aRow[i], PR_DISPLAY_NAME_W);
        ASSERT_NE(name, nullptr) << "row " << i;
        EXPECT_EQ(std::wstring(name->Value.lpszW), L"Recipient \u00e9 " + std::to_wstring(i));
        const SPropValue* rowId = Find(rows->aRow[i], PR_ROWID);
        ASSERT_NE(rowId, nullptr);
        EXPECT_EQ(rowId->Value.l, static_cast<LONG>(i));
        EXPECT_EQ(Find(rows->aRow[i], PR_RECIPIENT_TYPE)->Value.l, i == 0 ? MAPI_TO : MAPI_CC);
        EXPECT_EQ(Find(rows->aRow[i], PR_ENTRYID)->Value.bin.cb, 24 + i);
    }
    FreeProws(rows);

    ComPtr<IMAPITable> attachments;
    ASSERT_EQ(file.message->GetAttachmentTable(0, attachments.put()), S_OK);
    rows = AllRows(attachments.get());
    ASSERT_EQ(rows->cRows, 2u);
    EXPECT_EQ(Find(rows->aRow[0], PR_ATTACH_NUM)->Value.l, 0);
    EXPECT_EQ(Find(rows->aRow[0], PR_ATTACH_METHOD)->Value.l, ATTACH_BY_VALUE);
    EXPECT_STREQ(Find(rows->aRow[0], PR_ATTACH_LONG_FILENAME_A)->Value.lpszA, "r\xe9sum\xe9.bin");
    EXPECT_EQ(Find(rows->aRow[1], PR_ATTACH_METHOD)->Value.l, ATTACH_EMBEDDED_MSG);
    FreeProws(rows);

    ComPtr<IAttach> byValue;
    ASSERT_EQ(file.message->OpenAttach(0, nullptr, 0, byValue.put()), S_OK);
    LPSPropValue data = nullptr;
    ASSERT_EQ(HrGetOneProp(byValue.get(), PR_ATTACH_DATA_BIN, &data), S_OK);
    EXPECT_EQ(data->Value.bin.cb, 100000u);
    EXPECT_EQ(data->Value.bin.lpb[99999], static_cast<BYTE>((99999 * 31 + 7) & 0xFF));
    MAPIFreeBuffer(data);

    ComPtr<IMessage> level1 = EmbeddedOf(file.message.get(), 1);
    ASSERT_TRUE(level1);
    EXPECT_EQ(msgtest::SubjectOf(level1.get()), L"Level 1");
    ComPtr<IMAPITable> level1Recipients;
    ASSERT_EQ(level1->GetRecipientTable(0, level1Recipients.put()), S_OK);
    ULONG count = 0;
    EXPECT_EQ(level1Recipients->GetRowCount(0, &count), S_OK);
    EXPECT_EQ(count, 1u);
    ComPtr<IMessage> level2 = EmbeddedOf(level1.get(), 1);
    ASSERT_TRUE(level2);
    EXPECT_EQ(msgtest::SubjectOf(level2.get()), L"Level 2");
    ComPtr<IAttach> deepest;
    ASSERT_EQ(level2->OpenAttach(0, nullptr, 0, deepest.put()), S_OK);
    ASSERT_EQ(HrGetOneProp(deepest.get(), PR_ATTACH_DATA_BIN, &data), S_OK);
    EXPECT_EQ(data->Value.bin.cb, 3u);
    MAPIFreeBuffer(data);
}

INSTANTIATE_TEST_SUITE_P(StringWidths, RoundTrip, testing::Values(true, false),
                         [](const testing::TestParamInfo<bool>& info) { return info.param ? "Unicode" : "Ansi"; });

TEST(MessageFile, NamedPropertiesKeepTheirNames) {
    TempMessagePath path(L"named");
    GUID set = {0x12345678, 0x9ABC, 0xDEF0, {0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 0x70, 0x80}};
    MAPINAMEID byNumber{&set, MNID_ID, {}};
    byNumber.Kind.lID = 0x8501;
    MAPINAMEID byName{const_cast<GUID*>(&PS_PUBLIC_STRINGS), MNID_STRING, {}};
    byName.Kind.lpwstrName = const_cast<wchar_t*>(L"Keywords \u00e9");
    MAPINAMEID unknown{&set, MNID_STRING, {}};
    unknown.Kind.lpwstrName = const_cast<wchar_t*>(L"never created");
    LPMAPINAMEID names[] = {&byNumber, &byName, &unknown};
    ASSERT_EQ(msgtest::WriteRichFile(path.path, true), S_OK);
    MessageFile file;
    ASSERT_EQ(msgtest::OpenMessageFile(path.path, file), S_OK);
    LPSPropTagArray ids = nullptr;
    ASSERT_EQ(file.message->GetIDsFromNames(3, names, 0, &ids), MAPI_W_ERRORS_RETURNED);
    ASSERT_EQ(ids->cValues, 3u);
    EXPECT_EQ(ids->aulPropTag[0], PROP_TAG(PT_UNSPECIFIED, 0x8000));
    EXPECT_EQ(ids->aulPropTag[1], PROP_TAG(PT_UNSPECIFIED, 0x8001));
    EXPECT_EQ(ids->aulPropTag[2], PROP_TAG(PT_ERROR, 0));
    LPSPropValue value = nullptr;
    ASSERT_EQ(HrGetOneProp(file.message.get(), PROP_TAG(PT_LONG, 0x8000), &value), S_OK);
    EXPECT_EQ(value->Value.l, 42);
    MAPIFreeBuffer(value);

    ULONG count = 0;
    LPMAPINAMEID* back = nullptr;
    ids->cValues = 2;
    ASSERT_EQ(file.message->GetNamesFromIDs(&ids, nullptr, 0, &count, &back), S_OK);
    ASSERT_EQ(count, 2u);
    EXPECT_EQ(*back[0]->lpguid, set);
    EXPECT_EQ(back[0]->ulKind, static_cast<ULONG>(MNID_ID));
    EXPECT_EQ(back[0]->Kind.lID, 0x8501);
    EXPECT_EQ(*back[1]->lpguid, PS_PUBLIC_STRINGS);
    EXPECT_STREQ(back[1]->Kind.lpwstrName, L"Keywords \u00e9");
    MAPIFreeBuffer(back);
    MAPIFreeBuffer(ids);

    // The embedded messages share the file's names.
    ComPtr<IMessage> embedded = EmbeddedOf(file.message.get(), 1);
    ASSERT_TRUE(embedded);
    ASSERT_EQ(embedded->GetIDsFromNames(1, names, 0, &ids), S_OK);
    EXPECT_EQ(ids->aulPropTag[0], PROP_TAG(PT_UNSPECIFIED, 0x8000));
    MAPIFreeBuffer(ids);
}

TEST(MessageFile, LargeValuesThroughStreams) {
    TempMessagePath path(L"streams");
    std::wstring body(600000, L'x');
    for (std::size_t i = 0; i < body.size(); i += 97) body[i] = L'\u00e9';
    {
        MessageFile file;
        ASSERT_EQ(msgtest::CreateMessageFile(path.path, file), S_OK);
        ComPtr<IStream> stream;
        ASSERT_EQ(file.message->OpenProperty(PR_BODY_W, &IID_IStream, STGM_WRITE, MAPI_CREATE | MAPI_MODIFY,
                                             reinterpret_cast<IUnknown**>(stream.put())),
                  S_OK);
        ULONG written = 0;
        ASSERT_EQ(stream->Write(body.data(), static_cast<ULONG>(body.size() * 2), &written), S_OK);
        ASSERT_EQ(stream->Commit(STGC_DEFAULT), S_OK);
        stream.reset();
        ASSERT_EQ(file.Save(), S_OK);
    }
    MessageFile file;
    ASSERT_EQ(msgtest::OpenMessageFile(path.path, file), S_OK);
    LPSPropValue value = nullptr;
    ASSERT_EQ(HrGetOneProp(file.message.get(), PR_BODY_W, &value), S_OK);
    EXPECT_TRUE(value->Value.lpszW == body);
    MAPIFreeBuffer(value);

    // Read as a stream in the other width: the text through the code page.
    ComPtr<IStream> stream;
    ASSERT_EQ(file.message->OpenProperty(PR_BODY_A, &IID_IStream, STGM_READ, 0,
                                         reinterpret_cast<IUnknown**>(stream.put())),
              S_OK);
    std::string narrow(body.size() + 10, '\0');
    ULONG read = 0;
    ASSERT_EQ(stream->Read(narrow.data(), static_cast<ULONG>(narrow.size()), &read), S_OK);
    EXPECT_EQ(read, body.size());
    EXPECT_EQ(narrow[97], '\xe9');
    ULONG written = 0xdeadbeef;
    EXPECT_EQ(stream->Write("x", 1, &written), STG_E_ACCESSDENIED) << "opened without MAPI_MODIFY";

    ComPtr<IUnknown> missing;
    EXPECT_EQ(file.message->OpenProperty(PR_RTF_COMPRESSED, &IID_IStream, STGM_READ, 0, missing.put()), MAPI_E_NOT_FOUND);
}

TEST(MessageFile, ChangesAfterSaveAndDeletionsPersist) {
    TempMessagePath path(L"changes");
    msgtest::Values v;
    {
        MessageFile file;
        ASSERT_EQ(msgtest::CreateMessageFile(path.path, file), S_OK);
        ASSERT_EQ(msgtest::FillRichMessage(file.message.get(), true), S_OK);
        ASSERT_EQ(file.Save(), S_OK);
        // Still open for writing after KEEP_OPEN_READWRITE.
        SPropValue subject = v.Wide(PR_SUBJECT_W, L"Second subject");
        ASSERT_EQ(file.message->SetProps(1, &subject, nullptr), S_OK);
        SizedSPropTagArray(1, gone) = {1, {PR_SENDER_EMAIL_ADDRESS_W}};
        ASSERT_EQ(file.message->DeleteProps(reinterpret_cast<SPropTagArray*>(&gone), nullptr), S_OK);
        ASSERT_EQ(file.message->DeleteAttach(0, 0, nullptr, 0), S_OK);
        EXPECT_EQ(file.message->DeleteAttach(0, 0, nullptr, 0), MAPI_E_NOT_FOUND);
        ASSERT_EQ(file.Save(), S_OK);
        // Not saved: gone with the message.
        SPropValue unsaved = v.Wide(PR_SUBJECT_W, L"Unsaved");
        ASSERT_EQ(file.message->SetProps(1, &unsaved, nullptr), S_OK);
    }
    MessageFile file;
    ASSERT_EQ(msgtest::OpenMessageFile(path.path, file), S_OK);
    EXPECT_EQ(msgtest::SubjectOf(file.message.get()), L"Second subject");
    LPSPropValue value = reinterpret_cast<LPSPropValue>(0xdeadbeef);
    EXPECT_EQ(HrGetOneProp(file.message.get(), PR_SENDER_EMAIL_ADDRESS_W, &value), MAPI_E_NOT_FOUND);
    EXPECT_EQ(value, nullptr);
    ComPtr<IAttach> attach;
    EXPECT_EQ(file.message->OpenAttach(0, nullptr, 0, attach.put()), MAPI_E_NOT_FOUND);
    ASSERT_EQ(file.message->OpenAttach(1, nullptr, 0, attach.put()), S_OK);
    // A new attachment takes a number never used before.
    ULONG number = 0xdeadbeef;
    ComPtr<IAttach> created;
    ASSERT_EQ(file.message->CreateAttach(nullptr, 0, &number, created.put()), S_OK);
    EXPECT_EQ(number, 2u);
}

TEST(MessageFile, PropertyErrorsAsMapiGivesThem) {
    TempMessagePath path(L"errors");
    MessageFile file;
    ASSERT_EQ(msgtest::CreateMessageFile(path.path, file), S_OK);
    msgtest::Values v;
    SPropValue values[] = {v.Wide(PR_SUBJECT_W, L"Only this"), v.Long(PROP_TAG(PT_OBJECT, 0x6900), 0),
                           v.Long(PROP_TAG(PT_ERROR, 0x6901), 0)};
    LPSPropProblemArray problems = nullptr;
    ASSERT_EQ(file.message->SetProps(3, values, &problems), S_OK);
    ASSERT_NE(problems, nullptr);
    ASSERT_EQ(problems->cProblem, 2u);
    EXPECT_EQ(problems->aProblem[0].ulIndex, 1u);
    EXPECT_EQ(problems->aProblem[0].scode, MAPI_E_INVALID_TYPE);
    MAPIFreeBuffer(problems);

    SizedSPropTagArray(3, tags) = {3, {PR_SUBJECT_W, PR_BODY_W, PR_SUBJECT_A}};
    ULONG count = 0xdeadbeef;
    LPSPropValue got = nullptr;
    ASSERT_EQ(file.message->GetProps(reinterpret_cast<SPropTagArray*>(&tags), 0, &count, &got),
              MAPI_W_ERRORS_RETURNED);
    ASSERT_EQ(count, 3u);
    EXPECT_EQ(got[1].ulPropTag, PROP_TAG(PT_ERROR, PROP_ID(PR_BODY)));
    EXPECT_EQ(got[1].Value.err, MAPI_E_NOT_FOUND);
    EXPECT_STREQ(got[2].Value.lpszA, "Only this");
    MAPIFreeBuffer(got);

    // An attachment's number is computed, not stored.
    ULONG number = 0;
    ComPtr<IAttach> attach;
    ASSERT_EQ(file.message->CreateAttach(nullptr, 0, &number, attach.put()), S_OK);
    SPropValue renumber = v.Long(PR_ATTACH_NUM, 7);
    ASSERT_EQ(attach->SetProps(1, &renumber, &problems), S_OK);
    ASSERT_NE(problems, nullptr);
    EXPECT_EQ(problems->aProblem[0].scode, MAPI_E_COMPUTED);
    MAPIFreeBuffer(problems);
    LPSPropValue attachNum = nullptr;
    ASSERT_EQ(HrGetOneProp(attach.get(), PR_ATTACH_NUM, &attachNum), S_OK);
    EXPECT_EQ(attachNum->Value.l, static_cast<LONG>(number));
    MAPIFreeBuffer(attachNum);
    // Unsaved attachments are not the message's.
    ComPtr<IAttach> reopened;
    EXPECT_EQ(file.message->OpenAttach(number, nullptr, 0, reopened.put()), MAPI_E_NOT_FOUND);
}

TEST(MessageSession, ClosingDetachesMessagesFromTheirFiles) {
    TempMessagePath path(L"session");
    MessageFile file;
    ASSERT_EQ(msgtest::CreateMessageFile(path.path, file), S_OK);
    msgtest::Values v;
    SPropValue subject = v.Wide(PR_SUBJECT_W, L"kept in memory");
    ASSERT_EQ(file.message->SetProps(1, &subject, nullptr), S_OK);
    CloseIMsgSession(file.session.release());
    EXPECT_EQ(msgtest::SubjectOf(file.message.get()), L"kept in memory");
    EXPECT_EQ(file.message->SaveChanges(KEEP_OPEN_READWRITE), MAPI_E_INVALID_OBJECT);

    LPMESSAGE message = reinterpret_cast<LPMESSAGE>(0xdeadbeef);
    EXPECT_EQ(OpenIMsgOnIStg(nullptr, MAPIAllocateBuffer, MAPIAllocateMore, MAPIFreeBuffer, nullptr, nullptr,
                             file.storage.get(), nullptr, 0, 0, &message),
              MAPI_E_INVALID_PARAMETER);
    EXPECT_EQ(message, nullptr);
}

}  // namespace
