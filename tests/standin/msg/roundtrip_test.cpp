// Messages saved into files and read back: every property type in either string
// width, large values through streams, errors where a value is missing, and
// messages whose session was closed.
#include <gtest/gtest.h>

#include "tests/standin/msg/msg_test_util.h"

namespace {

using base::ComPtr;
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
    for (ULONG i = 0; i < count; ++i) out.push_back(msgtest::Describe(values[i]));
    MAPIFreeBuffer(values);
    return out;
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

INSTANTIATE_TEST_SUITE_P(StringWidths, RoundTrip, testing::Values(true, false),
                         [](const testing::TestParamInfo<bool>& info) { return info.param ? "Unicode" : "Ansi"; });

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

    ComPtr<IUnknown> missing;
    EXPECT_EQ(file.message->OpenProperty(PR_RTF_COMPRESSED, &IID_IStream, STGM_READ, 0, missing.put()), MAPI_E_NOT_FOUND);
}

TEST(MessageFile, MissingValuesAreErrorValues) {
    TempMessagePath path(L"errors");
    MessageFile file;
    ASSERT_EQ(msgtest::CreateMessageFile(path.path, file), S_OK);
    msgtest::Values v;
    SPropValue subject = v.Wide(PR_SUBJECT_W, L"Only this");
    ASSERT_EQ(file.message->SetProps(1, &subject, nullptr), S_OK);
    SizedSPropTagArray(3, tags) = {3, {PR_SUBJECT_W, PR_BODY_W, PR_SUBJECT_A}};
    ULONG count = 0xdeadbeef;
    LPSPropValue got = nullptr;
    ASSERT_EQ(file.message->GetProps(reinterpret_cast<SPropTagArray*>(&tags), 0, &count, &got), MAPI_W_ERRORS_RETURNED);
    ASSERT_EQ(count, 3u);
    EXPECT_EQ(got[1].ulPropTag, PROP_TAG(PT_ERROR, PROP_ID(PR_BODY)));
    EXPECT_EQ(got[1].Value.err, MAPI_E_NOT_FOUND);
    EXPECT_STREQ(got[2].Value.lpszA, "Only this");
    MAPIFreeBuffer(got);
    LPSPropValue one = reinterpret_cast<LPSPropValue>(0xdeadbeef);
    EXPECT_EQ(HrGetOneProp(file.message.get(), PR_BODY_W, &one), MAPI_E_NOT_FOUND);
    EXPECT_EQ(one, nullptr);
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
