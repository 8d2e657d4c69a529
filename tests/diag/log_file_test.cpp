// The log file's bytes, its creation, the paths it is opened at, and what LogMessage
// makes of its format and arguments.
#include <gtest/gtest.h>

#include <functional>

#include "diag/log.h"
#include "tests/diag/log_test_util.h"
#include "tests/support/child_process.h"

namespace {

using namespace diagtest;

// PATH COUNT: COUNT connections (open + header), then the command line as a line of
// its own so that the test can tell what the header should hold.
TEST_CHILD_ROLE(connect) {
    if (args.size() != 2) return 2;
    SetLogClockForTesting(&FixedClock);
    for (int i = 0; i < _wtoi(args[1].c_str()); ++i) {
        OpenLogFile(args[0].c_str());
        WriteLogHeader();
    }
    LogMessage(L"%s", GetCommandLineW());
    return 0;
}

// GOOD BAD...: every call before the log is open, or after a bad path was given,
// writes nothing and creates nothing; then the good path turns logging on.
TEST_CHILD_ROLE(open_late) {
    if (args.empty()) return 2;
    SetLogClockForTesting(&FixedClock);
    // Formatting this would fault: a closed log must not format at all.
    LogMessage(L"lost %s", reinterpret_cast<const wchar_t*>(uintptr_t{1}));
    WriteLogLine(L"lost");
    WriteLogBytes(L"lost", 8);
    WriteLogHeader();
    OpenLogFile(nullptr);
    LogMessage(L"lost after a null path");
    for (size_t i = 1; i < args.size(); ++i) {
        OpenLogFile(args[i].c_str());
        LogMessage(L"lost after bad path %u", static_cast<unsigned>(i));
        WriteLogHeader();
    }
    if (GetFileAttributesW(args[0].c_str()) != INVALID_FILE_ATTRIBUTES) return 3;
    OpenLogFile(args[0].c_str());
    LogMessage(L"kept");
    return 0;
}

// Where the log opens and what it adds: a mark only to a new file, a header per
// connection, earlier content (not even UTF-16: the log never looks) untouched.
TEST(LogFile, OpensWhereverItsFolderCanBeMadeAndAppends) {
    const struct {
        const wchar_t* file;  // in a scratch folder; null: at the drive root, inside this build's prefix
        std::string earlier;  // the file before the runs; empty: no file
        int runs;
        int connections;  // per run
    } cases[] = {
        {L"TallowmereAddin.log", "", 1, 2},
        {L"TallowmereAddin.log", "earlier run\n", 2, 1},
        {L"one\\two\\three\\x.log", "", 1, 1},
        {nullptr, "", 1, 1},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(testing::Message() << "case " << i);
        ScratchFolder scratch;
        const std::wstring path = cases[i].file ? scratch.Path(cases[i].file)
                                                : L"C:\\" + testsupport::UniqueName(L"diag_root") + L".log";
        if (!cases[i].earlier.empty()) {
            ASSERT_TRUE(WriteFileBytes(path, cases[i].earlier));
        }
        for (int run = 0; run < cases[i].runs; ++run) {
            ASSERT_EQ(RunChild(L"connect", {path, std::to_wstring(cases[i].connections)}), 0u) << run;
        }

        const std::string bytes = ReadFileBytes(path);
        const std::string start = cases[i].earlier.empty() ? std::string(kMark) : cases[i].earlier;
        ASSERT_TRUE(bytes.starts_with(start)) << "no mark, or the earlier content was touched";
        const std::wstring text = FromUtf16Bytes(std::string_view(bytes).substr(start.size()));
        const size_t last = text.rfind(L" | ");
        ASSERT_TRUE(last != std::wstring::npos && text.ends_with(L"\r\n"));
        const std::wstring commandLine = text.substr(last + 3, text.size() - last - 5);
        EXPECT_NE(commandLine.find(L"--child connect"), std::wstring::npos) << commandLine;
        std::wstring run;
        for (int c = 0; c < cases[i].connections; ++c) {
            run += L"\r\n\r\n" + Stamped(std::wstring(42, L'-')) + Stamped(commandLine);
        }
        run += Stamped(commandLine);
        std::wstring expected;
        for (int r = 0; r < cases[i].runs; ++r) expected += run;
        EXPECT_EQ(text, expected);
        SetLastError(0xdeadbeef);
        EXPECT_TRUE(DeleteFileW(path.c_str())) << "got " << GetLastError();
    }
}

TEST(LogFile, NothingIsWrittenBeforeAGoodPathIsOpened) {
    ScratchFolder scratch;
    const std::wstring folder = scratch.Path(L"a folder");
    const std::wstring plainFile = scratch.Path(L"plain");
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    ASSERT_TRUE(WriteFileBytes(plainFile, "x"));
    const std::wstring good = scratch.Path(L"good.log");

    const DWORD code = RunChild(L"open_late", {good, folder, plainFile + L"\\below\\a.log"});
    ASSERT_EQ(code, 0u) << "got " << code << " (3: the file appeared before it was opened)";

    EXPECT_EQ(ReadFileBytes(good), kMark + Utf16Bytes(Stamped(L"kept")));
    EXPECT_EQ(ReadFileBytes(plainFile), "x");
    EXPECT_TRUE(RemoveDirectoryW(folder.c_str())) << "the folder is no longer empty";
}

std::wstring LongWideText() {
    std::wstring text(100000, L'\0');
    for (size_t i = 0; i < text.size(); ++i) text[i] = static_cast<wchar_t>(L'a' + i % 26);
    text[0] = L'\x20AC';  // beyond Latin-1 too
    return text;
}

struct FormatCase {
    std::wstring expected;
    std::function<void()> log;
};
std::vector<FormatCase> FormatCases() {
    return {
        // "%s" is wide and "%hs" narrow: C99's wide printf would read "%s" as narrow.
        {L"wide, narrow, wide", [] { LogMessage(L"%s, %hs, %ls", L"wide", "narrow", L"wide"); }},
        {L"first\r\nsecond\tthird\n", [] { LogMessage(L"first\r\n%s\n", L"second\tthird"); }},
        {L"", [] { LogMessage(L""); }},
        // No length limit.
        {LongWideText() + L"|" + std::wstring(70000, L'n') + L"|7",
         [] { LogMessage(L"%s|%hs|%d", LongWideText().c_str(), std::string(70000, 'n').c_str(), 7); }},
    };
}

// PATH: logs every format case; a case that changes GetLastError() fails the role.
TEST_CHILD_ROLE(log_format_cases) {
    if (args.size() != 1) return 2;
    SetLogClockForTesting(&FixedClock);
    OpenLogFile(args[0].c_str());
    const std::vector<FormatCase> cases = FormatCases();
    for (size_t i = 0; i < cases.size(); ++i) {
        SetLastError(0xdeadbeef);
        cases[i].log();
        if (GetLastError() != 0xdeadbeef) return static_cast<int>(100 + i);
        // Calls that have nothing to write add nothing.
        WriteLogBytes(nullptr, 2);
        WriteLogBytes(L"x", 0);
        WriteLogLine(nullptr);
        LogMessage(nullptr);
    }
    return 0;
}

TEST(LogMessage, FormatsWithMicrosoftWideRulesWithoutLengthLimit) {
    ScratchFolder scratch;
    const std::wstring path = scratch.Path(L"formats.log");
    const DWORD code = RunChild(L"log_format_cases", {path});
    ASSERT_EQ(code, 0u) << "got " << code << " (100 + i: case i changed the last error)";

    const std::string bytes = ReadFileBytes(path);
    ASSERT_TRUE(bytes.starts_with(kMark));
    const std::wstring text = FromUtf16Bytes(std::string_view(bytes).substr(2));
    const std::vector<FormatCase> cases = FormatCases();
    size_t offset = 0;
    for (size_t i = 0; i < cases.size(); ++i) {
        const std::wstring expected = Stamped(cases[i].expected);
        EXPECT_TRUE(text.compare(offset, expected.size(), expected) == 0) << "case " << i;
        offset += expected.size();
    }
    EXPECT_EQ(offset, text.size()) << "more was written than the cases' lines";
}

}  // namespace
