// Messages saved into files and read back: every property type in either string
// width, strings read in the other width, large values through streams, errors
// where a value is missing, and a message whose session was closed.
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

    // Every stored property is listed, named ones among them, and PR_STORE_SUPPORT_MASK.
    LPSPropTagArray list = nullptr;
    ASSERT_EQ(file.message->GetPropList(unicode ? MAPI_UNICODE : 0, &list), S_OK);
    EXPECT_EQ(list->cValues, tags.size() + 1);
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

// A message of one subject: the values it lacks are error values, and closing its
// session leaves it readable in memory but no longer saveable.
TEST(MessageFile, MissingValuesAndAClosedSession) {
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

    CloseIMsgSession(file.session.release());
    EXPECT_EQ(msgtest::SubjectOf(file.message.get()), L"Only this");
    EXPECT_EQ(file.message->SaveChanges(KEEP_OPEN_READWRITE), MAPI_E_INVALID_OBJECT);
    LPMESSAGE message = reinterpret_cast<LPMESSAGE>(0xdeadbeef);
    EXPECT_EQ(OpenIMsgOnIStg(nullptr, MAPIAllocateBuffer, MAPIAllocateMore, MAPIFreeBuffer, nullptr, nullptr,
                             file.storage.get(), nullptr, 0, 0, &message),
              MAPI_E_INVALID_PARAMETER);
    EXPECT_EQ(message, nullptr);
}

// String properties asked for in the other width convert through the message's
// code page, with Windows' replacement of what the code page cannot hold.
struct Case {
    const char* name;
    LONG messageCodePage;  // 0: not set
    LONG internetCodePage;
    std::wstring stored;   // stored as Unicode, read as 8-bit ...
    std::string expected8;
    ULONG tag = PR_SUBJECT_W;
};

TEST(StringConversion, UnicodeReadAsEightBitGoesThroughTheCodePage) {
    const Case cases[] = {
        // No code page: the system's ANSI code page (1252 in this prefix).
        {"acp", 0, 0, L"caf\u00e9", "caf\xe9"},
        // Best fit where Windows has one, '?' where it has none.
        {"best fit", 1252, 0, L"\u0101 \u2603", "a ?"},
        {"message code page", 1251, 0, L"\u0439", "\xe9"},
        // The internet code page is the body's alone.
        {"internet code page", 0, 65001, L"\u00e9\u2603", "\xc3\xa9\xe2\x98\x83", PR_BODY_W},
        {"internet code page not for the subject", 0, 65001, L"\u00e9\u2603", "\xe9?"},
        {"message before internet", 1252, 65001, L"\u00e9", "\xe9"},
        {"invalid code page ignored", 12345, 0, L"\u00e9", "\xe9"},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const Case& c = cases[i];
        TempMessagePath path(L"strings");
        MessageFile file;
        ASSERT_EQ(msgtest::CreateMessageFile(path.path, file), S_OK);
        msgtest::Values v;
        std::vector<SPropValue> values = {v.Wide(c.tag, c.stored)};
        if (c.messageCodePage) values.push_back(v.Long(PROP_TAG(PT_LONG, 0x3FFD), c.messageCodePage));
        if (c.internetCodePage) values.push_back(v.Long(PROP_TAG(PT_LONG, 0x3FDE), c.internetCodePage));
        ASSERT_EQ(file.message->SetProps(static_cast<ULONG>(values.size()), values.data(), nullptr), S_OK);
        LPSPropValue got = nullptr;
        ASSERT_EQ(HrGetOneProp(file.message.get(), CHANGE_PROP_TYPE(c.tag, PT_STRING8), &got), S_OK) << c.name;
        EXPECT_EQ(std::string(got->Value.lpszA), c.expected8) << "case " << i << " " << c.name;
        MAPIFreeBuffer(got);

        // And back: the 8-bit text read as Unicode through the same code page.
        SPropValue narrow = v.Narrow(PR_BODY_A, c.expected8);
        ASSERT_EQ(file.message->SetProps(1, &narrow, nullptr), S_OK);
        ASSERT_EQ(HrGetOneProp(file.message.get(), PR_BODY_W, &got), S_OK);
        const std::wstring widened = got->Value.lpszW;
        MAPIFreeBuffer(got);
        if (c.expected8.find('?') == std::string::npos && c.stored.find(L'\u0101') == std::wstring::npos) {
            EXPECT_EQ(widened, c.stored) << "case " << i << " " << c.name;
        }
    }
}

}  // namespace
