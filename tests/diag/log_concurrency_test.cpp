// Lines written at the same time, from threads of one process and from two processes
// sharing the file, each land whole, in their writer's order, stamped by the local clock.
#include <gtest/gtest.h>

#include <algorithm>
#include <cwchar>
#include <map>
#include <sstream>
#include <thread>

#include "base/unique_resource.h"
#include "diag/log.h"
#include "tests/diag/log_test_util.h"
#include "tests/support/child_process.h"

namespace {

using namespace diagtest;

// Distinct texts of different lengths, so that a torn or mixed line cannot pass.
std::wstring LineText(const std::wstring& tag, int thread, int line) {
    const size_t padding = static_cast<size_t>((thread * 31 + line * 7) % 97 + 1);
    return tag + L" thread " + std::to_wstring(thread) + L" line " + std::to_wstring(line) + L" " +
           std::wstring(padding, static_cast<wchar_t>(L'a' + thread % 26));
}

// PATH TAG THREADS LINES OPENED GO: sets OPENED once the log is open and waits for
// GO, then every thread logs LINES lines with the real clock.
TEST_CHILD_ROLE(log_from_threads) {
    if (args.size() != 6) return 2;
    const std::wstring tag = args[1];
    const int threadCount = _wtoi(args[2].c_str());
    const int lineCount = _wtoi(args[3].c_str());
    OpenLogFile(args[0].c_str());
    const base::UniqueHandle opened(OpenEventW(EVENT_MODIFY_STATE, FALSE, args[4].c_str()));
    const base::UniqueHandle go(OpenEventW(SYNCHRONIZE, FALSE, args[5].c_str()));
    if (!opened || !go || !SetEvent(opened.get()) ||
        WaitForSingleObject(go.get(), kChildTimeoutMs) != WAIT_OBJECT_0)
        return 3;
    std::vector<std::thread> threads;
    for (int t = 0; t < threadCount; ++t)
        threads.emplace_back([&tag, t, lineCount] {
            for (int n = 0; n < lineCount; ++n) LogMessage(L"%s", LineText(tag, t, n).c_str());
        });
    for (auto& thread : threads) thread.join();
    return 0;
}

struct Writer {
    std::wstring tag;
    int threads;
    int lines;
};

ULONGLONG TimeValue(const SYSTEMTIME& time) {
    FILETIME file{};
    return SystemTimeToFileTime(&time, &file)
               ? ULARGE_INTEGER{{file.dwLowDateTime, file.dwHighDateTime}}.QuadPart
               : 0;
}

// A line's stamp "yyyy/mm/dd hh:mm:ss.mmm | " as a time value; 0 if it has none.
ULONGLONG StampOf(const std::wstring& line) {
    SYSTEMTIME time{};
    int length = 0;
    const int fields =
        swscanf(line.c_str(), L"%4hu/%2hu/%2hu %2hu:%2hu:%2hu.%3hu | %n", &time.wYear, &time.wMonth,
                &time.wDay, &time.wHour, &time.wMinute, &time.wSecond, &time.wMilliseconds, &length);
    return fields == 7 && length == 26 ? TimeValue(time) : 0;
}

ULONGLONG LocalNow() {
    SYSTEMTIME now{};
    GetLocalTime(&now);
    return TimeValue(now);
}

// Checks that `text` holds exactly the writers' lines, each whole, each writer
// thread's lines in order, stamped between `before` and `after`.
void ExpectWritersLines(const std::wstring& text, const std::vector<Writer>& writers, ULONGLONG before,
                        ULONGLONG after) {
    std::map<std::wstring, std::map<int, int>> nextLine;  // tag -> thread -> next line
    size_t count = 0;
    for (size_t begin = 0, end; begin < text.size(); begin = end + 2, ++count) {
        end = text.find(L"\r\n", begin);
        ASSERT_NE(end, std::wstring::npos) << "line " << count << " has no CR LF";
        const std::wstring line = text.substr(begin, end - begin);
        const ULONGLONG stamp = StampOf(line);
        EXPECT_TRUE(stamp >= before && stamp <= after) << "line " << count << " stamped outside the run";
        std::wistringstream fields(line.substr(std::min<size_t>(26, line.size())));
        std::wstring tag, threadWord, lineWord;
        int thread = -1, number = -1;
        fields >> tag >> threadWord >> thread >> lineWord >> number;
        ASSERT_EQ(line.substr(std::min<size_t>(26, line.size())), LineText(tag, thread, number))
            << "line " << count;
        EXPECT_EQ(number, nextLine[tag][thread]++) << "line " << count << " is out of its thread's order";
    }
    size_t expected = 0;
    for (const Writer& writer : writers) {
        expected += static_cast<size_t>(writer.threads * writer.lines);
        for (int t = 0; t < writer.threads; ++t)
            EXPECT_EQ(nextLine[writer.tag][t], writer.lines) << writer.tag << " thread " << t;
    }
    EXPECT_EQ(count, expected);
}

// Sixteen threads of one process write at once; both processes hold the file open at
// once, then write one after the other: the second one's lines go after the first
// one's although its handle was opened when the file was shorter. (Not at the same
// time: Wine's appends from two processes can tear a line, where Windows appends each
// write whole.)
TEST(LogConcurrency, ThreadsAndTwoProcessesHoldingTheFileNeverInterleave) {
    ScratchFolder scratch;
    const std::wstring path = scratch.Path(L"processes.log");
    ASSERT_TRUE(WriteFileBytes(path, kMark));  // neither writer adds a mark of its own
    const std::vector<Writer> writers = {{L"A", 16, 150}, {L"B", 4, 150}};

    const ULONGLONG before = LocalNow();
    std::vector<base::UniqueHandle> opened, go;
    std::vector<std::unique_ptr<testsupport::ChildProcess>> children;
    for (const Writer& writer : writers) {
        const std::wstring openedName = testsupport::UniqueName(L"diag_opened");
        const std::wstring goName = testsupport::UniqueName(L"diag_go");
        opened.emplace_back(CreateEventW(nullptr, TRUE, FALSE, openedName.c_str()));
        go.emplace_back(CreateEventW(nullptr, TRUE, FALSE, goName.c_str()));
        ASSERT_TRUE(opened.back().valid() && go.back().valid());
        children.push_back(std::make_unique<testsupport::ChildProcess>(
            L"log_from_threads",
            std::vector<std::wstring>{path, writer.tag, std::to_wstring(writer.threads),
                                      std::to_wstring(writer.lines), openedName, goName}));
    }
    for (size_t i = 0; i < writers.size(); ++i)
        ASSERT_EQ(WaitForSingleObject(opened[i].get(), kChildTimeoutMs), WAIT_OBJECT_0) << "writer " << i;
    for (size_t i = 0; i < writers.size(); ++i) {
        ASSERT_TRUE(SetEvent(go[i].get()));
        ASSERT_EQ(children[i]->Wait(kChildTimeoutMs), 0u) << "writer " << i;
    }
    const ULONGLONG after = LocalNow();

    const std::string bytes = ReadFileBytes(path);
    ASSERT_TRUE(bytes.starts_with(kMark));
    ExpectWritersLines(FromUtf16Bytes(std::string_view(bytes).substr(2)), writers, before, after);
}

}  // namespace
