// Messages saved into files and read back: every property type in either string
// width, missing values as errors, strings read in the other width.
#include <gtest/gtest.h>

#include "tests/standin/msg/msg_test_util.h"

namespace {

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
    SPropValue missing{PROP_TAG(PT_ERROR, 0x6FFF), 0, {}};
    missing.Value.err = MAPI_E_NOT_FOUND;
    written.push_back(msgtest::Describe(missing));
    tags.push_back(PROP_TAG(PT_LONG, 0x6FFF));
    const std::vector<std::string> read = Described(file.message.get(), tags);
    ASSERT_EQ(read.size(), tags.size());
    for (std::size_t i = 0; i < tags.size(); ++i) EXPECT_EQ(read[i], written[i]) << "tag " << i;
    LPSPropValue one = reinterpret_cast<LPSPropValue>(0xdeadbeef);
    EXPECT_EQ(HrGetOneProp(file.message.get(), tags.back(), &one), MAPI_E_NOT_FOUND);
    EXPECT_EQ(one, nullptr);

    // Every stored property is listed, named ones among them, and PR_STORE_SUPPORT_MASK.
    LPSPropTagArray list = nullptr;
    ASSERT_EQ(file.message->GetPropList(unicode ? MAPI_UNICODE : 0, &list), S_OK);
    EXPECT_EQ(list->cValues, tags.size());  // less the missing one, plus the mask
    MAPIFreeBuffer(list);
}

INSTANTIATE_TEST_SUITE_P(StringWidths, RoundTrip, testing::Values(true, false),
                         [](const testing::TestParamInfo<bool>& info) {
                             return info.param ? "Unicode" : "Ansi";
                         });

// String properties asked for in the other width convert through the message's
// code page, with Windows' replacement of what the code page cannot hold.
struct Case {
    const char* name;
    LONG messageCodePage;  // 0: not set
    LONG internetCodePage;
    std::wstring stored;  // stored as Unicode, read as 8-bit ...
    std::string expected8;
    ULONG tag = PR_SUBJECT_W;
};

TEST(StringConversion, UnicodeReadAsEightBitGoesThroughTheCodePage) {
    const Case cases[] = {
        {"no code page: the ANSI code page", 0, 0, L"caf\u00e9", "caf\xe9"},
        {"best fit, else '?'", 1252, 0, L"\u0101 \u2603", "a ?"},
        {"message code page", 1251, 0, L"\u0439", "\xe9"},
        {"internet code page for the body", 0, 65001, L"\u00e9\u2603", "\xc3\xa9\xe2\x98\x83", PR_BODY_W},
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
        ASSERT_EQ(HrGetOneProp(file.message.get(), CHANGE_PROP_TYPE(c.tag, PT_STRING8), &got), S_OK)
            << c.name;
        EXPECT_EQ(std::string(got->Value.lpszA), c.expected8) << "case " << i << " " << c.name;
        MAPIFreeBuffer(got);
    }
}

}  // namespace
