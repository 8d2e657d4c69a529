// String properties asked for in the other width convert through the message's
// code page, with Windows' replacement of what the code page cannot hold.
#include <gtest/gtest.h>

#include "tests/standin/msg/msg_test_util.h"

namespace {

using msgtest::MessageFile;
using msgtest::TempMessagePath;

struct Case {
    const char* name;
    LONG messageCodePage;  // 0: not set
    LONG internetCodePage;
    std::wstring stored;   // stored as Unicode, read as 8-bit ...
    std::string expected8;
};

TEST(StringConversion, UnicodeReadAsEightBitGoesThroughTheCodePage) {
    const Case cases[] = {
        // No code page: the system's ANSI code page (1252 in this prefix).
        {"acp", 0, 0, L"caf\u00e9", "caf\xe9"},
        // Best fit where Windows has one, '?' where it has none.
        {"best fit", 1252, 0, L"\u0101 \u2603", "a ?"},
        {"message code page", 1251, 0, L"\u0439", "\xe9"},
        {"internet code page", 0, 65001, L"\u00e9\u2603", "\xc3\xa9\xe2\x98\x83"},
        {"message before internet", 1252, 65001, L"\u00e9", "\xe9"},
        {"invalid code page ignored", 12345, 0, L"\u00e9", "\xe9"},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const Case& c = cases[i];
        TempMessagePath path(L"strings");
        MessageFile file;
        ASSERT_EQ(msgtest::CreateMessageFile(path.path, file), S_OK);
        msgtest::Values v;
        std::vector<SPropValue> values = {v.Wide(PR_SUBJECT_W, c.stored)};
        if (c.messageCodePage) values.push_back(v.Long(PROP_TAG(PT_LONG, 0x3FFD), c.messageCodePage));
        if (c.internetCodePage) values.push_back(v.Long(PROP_TAG(PT_LONG, 0x3FDE), c.internetCodePage));
        ASSERT_EQ(file.message->SetProps(static_cast<ULONG>(values.size()), values.data(), nullptr), S_OK);
        LPSPropValue got = nullptr;
        ASSERT_EQ(HrGetOneProp(file.message.get(), PR_SUBJECT_A, &got), S_OK) << c.name;
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
