// The log file's bytes, its creation and the paths it is opened at.
#include <gtest/gtest.h>
#include <shlobj.h>

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
    if (FileExists(args[0])) return 3;
    OpenLogFile(args[0].c_str());
    LogMessage(L"kept");
    return 0;
}

// Where the log opens and what it adds: a mark only to a new file, a header per
// connection, earlier content (not even UTF-16: the log never looks) untouched.
TEST(LogFile, OpensWhereverItsFolderCanBeMadeAndAppends) {
    const struct {
        const wchar_t* name;
        std::wstring (*make)(const ScratchFolder& scratch);
        std::string earlier;  // the file before the runs; empty: no file
        int runs;
        int connections;  // per run
    } cases[] = {
        {L"new file", [](const ScratchFolder& scratch) { return scratch.Path(L"TallowmereAddin.log"); }, "", 1, 2},
        {L"existing file", [](const ScratchFolder& scratch) { return scratch.Path(L"TallowmereAddin.log"); },
         "earlier run\n", 2, 1},
        {L"three missing folder levels",
         [](const ScratchFolder& scratch) { return scratch.Path(L"one\\two\\three\\x.log"); }, "", 1, 1},
        // The folder part "C:" is a drive root; inside this build's own prefix.
        {L"drive root", [](const ScratchFolder&) { return L"C:\\" + testsupport::UniqueName(L"diag_root") + L".log"; },
         "", 1, 1},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(testing::Message() << "case " << i << ": " << cases[i].name);
        ScratchFolder scratch;
        const std::wstring path = cases[i].make(scratch);
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
        const std::wstring commandLine = LastLineText(text);
        EXPECT_NE(commandLine.find(L"--child connect"), std::wstring::npos) << commandLine;
        std::wstring run;
        for (int c = 0; c < cases[i].connections; ++c) run += ConnectionHeader(commandLine);
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

TEST(LogFile, DefaultPathIsInRoamingApplicationData) {
    const std::wstring appData = GetSpecialFolder(CSIDL_APPDATA);
    ASSERT_FALSE(appData.empty());
    const std::wstring parent = appData + L"\\Kestrava\\Backup";
    const std::wstring folder = parent + L"\\MailBackup";
    SHCreateDirectoryExW(nullptr, parent.c_str(), nullptr);
    RemoveDirectoryW(folder.c_str());  // fails harmlessly if an earlier log is in it

    EXPECT_EQ(DefaultLogPath(), folder + L"\\TallowmereAddin.log");
    const DWORD attributes = GetFileAttributesW(folder.c_str());
    EXPECT_TRUE(attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY))
        << "got 0x" << std::hex << attributes;
}

}  // namespace
