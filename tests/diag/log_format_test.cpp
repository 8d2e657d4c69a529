// What LogMessage makes of its format and arguments: the Microsoft runtime's wide
// printf rules, no length limit, texts written unchanged, the last error kept.
#include <gtest/gtest.h>

#include "diag/log.h"
#include "tests/diag/log_test_util.h"
#include "tests/support/child_process.h"

namespace {

using namespace diagtest;

struct FormatCase {
    const wchar_t* expected;
    void (*log)();
};
const FormatCase kFormatCases[] = {
    // "%s" is wide and "%hs" narrow: C99's wide printf would read "%s" as narrow.
    {L"wide, narrow, wide", [] { LogMessage(L"%s, %hs, %ls", L"wide", "narrow", L"wide"); }},
    {L"first\r\nsecond\tthird\n", [] { LogMessage(L"first\r\n%s\n", L"second\tthird"); }},
    {L"", [] { LogMessage(L""); }},
};

constexpr DWORD kCaseFailureBase = 100;  // exit code of case i: 100 + i

// PATH: logs every format case; a case that changes GetLastError() fails the role.
TEST_CHILD_ROLE(log_format_cases) {
    if (args.size() != 1) return 2;
    SetLogClockForTesting(&FixedClock);
    OpenLogFile(args[0].c_str());
    for (size_t i = 0; i < std::size(kFormatCases); ++i) {
        SetLastError(0xdeadbeef);
        kFormatCases[i].log();
        if (GetLastError() != 0xdeadbeef) return static_cast<int>(kCaseFailureBase + i);
        // Calls that have nothing to write add nothing.
        WriteLogBytes(nullptr, 2);
        WriteLogBytes(L"x", 0);
        WriteLogLine(nullptr);
        LogMessage(nullptr);
    }
    return 0;
}

std::wstring LongWideText() {
    std::wstring text(100000, L'\0');
    for (size_t i = 0; i < text.size(); ++i) text[i] = static_cast<wchar_t>(L'a' + i % 26);
    text[0] = L'\x20AC';  // beyond Latin-1 too
    return text;
}
std::string LongNarrowText() {
    std::string text(70000, '\0');
    for (size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char>('A' + i % 26);
    return text;
}

TEST_CHILD_ROLE(log_long_text) {
    if (args.size() != 1) return 2;
    SetLogClockForTesting(&FixedClock);
    OpenLogFile(args[0].c_str());
    LogMessage(L"%s|%hs|%d", LongWideText().c_str(), LongNarrowText().c_str(), 7);
    return 0;
}

TEST(LogMessage, FormatsWithMicrosoftWideRules) {
    ScratchFolder scratch;
    const std::wstring path = scratch.Path(L"formats.log");
    const DWORD code = RunChild(L"log_format_cases", {path});
    ASSERT_EQ(code, 0u) << "got " << code << " (100 + i: case i changed the last error)";

    const std::string bytes = ReadFileBytes(path);
    ASSERT_TRUE(bytes.starts_with(kMark));
    const std::wstring text = FromUtf16Bytes(std::string_view(bytes).substr(2));
    size_t offset = 0;
    for (size_t i = 0; i < std::size(kFormatCases); ++i) {
        const std::wstring expected = Stamped(kFormatCases[i].expected);
        EXPECT_EQ(text.substr(offset, expected.size()), expected) << "case " << i;
        offset += expected.size();
    }
    EXPECT_EQ(offset, text.size()) << "more was written than the cases' lines";
}

TEST(LogMessage, LongTextIsNotCut) {
    ScratchFolder scratch;
    const std::wstring path = scratch.Path(L"long.log");
    ASSERT_EQ(RunChild(L"log_long_text", {path}), 0u);

    const std::string narrow = LongNarrowText();
    const std::wstring expected =
        Stamped(LongWideText() + L"|" + std::wstring(narrow.begin(), narrow.end()) + L"|7");
    const std::string bytes = ReadFileBytes(path);
    ASSERT_EQ(bytes.size(), 2 + expected.size() * 2);
    EXPECT_TRUE(bytes == kMark + Utf16Bytes(expected)) << "same size, other content";
}

}  // namespace
