// The mail server in this process, its clients in second processes.
#include <gtest/gtest.h>
#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
#include <atomic>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "client/mail_client.h"
#include "diag/log.h"
#include "server/mail_server.h"
#include "tests/support/child_process.h"
#include "tests/support/handle_count.h"
#include "tests/support/log_reader.h"
#include "tests/support/log_sequence.h"
#include "tests/support/probes.h"

namespace {

using testsupport::ChildProcess;
using testsupport::CountPrefix;
using testsupport::DyingClient;
using testsupport::kMarker;
using Texts = std::vector<std::wstring>;

constexpr uint32_t kShortRequestTimeoutMs = 400;
constexpr DWORD kChildTimeoutMs = 30000;
// Waits meant to succeed: reached only when the server hangs. The server may take
// long to read on a loaded machine (a request's first COM start-up, say).
constexpr uint32_t kHangMs = 60000;

// N clients at once from one process: each connects, sends code 6 and keeps its
// connection until the named event is set.
TEST_CHILD_ROLE(many_clients) {
    const std::wstring channel = args.at(0);
    const int count = _wtoi(args.at(1).c_str());
    base::UniqueHandle release(OpenEventW(SYNCHRONIZE, FALSE, args.at(2).c_str()));
    if (!release) return 1;
    std::vector<std::thread> threads;
    std::atomic<int> served{0};
    for (int i = 0; i < count; ++i) {
        threads.emplace_back([&] {
            auto client = MailClient::Connect(channel, 2, 60000);
            if (client && client->BeginRequest(wire::RequestCode::NoOperation)) ++served;
            WaitForSingleObject(release.get(), 60000);
        });
    }
    for (auto& t : threads) t.join();
    return served == count ? 0 : 2;
}

class MailServerTest : public testing::Test {
protected:
    void SetUp() override {
        logPath_ = testsupport::TempPath(L"server.log");
        // The open log cannot be deleted at the end, and Wine reuses process ids: a
        // file of an earlier process may stand under this name.
        DeleteFileW(logPath_.c_str());
        OpenLogFile(logPath_.c_str());
        channel_ = testsupport::UniqueName(L"ServerTest");
    }
    void TearDown() override {
        server_.Stop(kHangMs);
        DeleteFileW(logPath_.c_str());
    }

    void StartServer(uint32_t requestTimeoutMs = 10000) {
        HRESULT hr = server_.Start(channel_.c_str(), wire::kServerModeLocal, requestTimeoutMs);
        ASSERT_EQ(hr, S_OK) << "got 0x" << std::hex << hr;
    }

    ChildProcess Client(uint32_t version, std::vector<std::wstring> steps) {
        return testsupport::ScriptedClient(channel_, version, std::move(steps));
    }

    // The log once `count` lines start with `text`; a failure if that never happens.
    Texts WaitForLines(const std::wstring& text, size_t count) {
        Texts texts = testsupport::WaitForLog(
            logPath_, [&](const Texts& texts) { return CountPrefix(texts, text) >= count; });
        EXPECT_GE(CountPrefix(texts, text), count) << "lines starting with " << testing::PrintToString(text);
        return texts;
    }

    // Libraries keep what they open on first use (the named-object directory, ...):
    // handles are counted after one start, request and stop.
    ULONG HandlesAfterWarmUp() {
        StartServer();
        EXPECT_EQ(Client(2, {kMarker, L"6"}).Wait(kChildTimeoutMs), 0u);
        server_.Stop(kHangMs);
        const ULONG handles = testsupport::HandleCount();
        EXPECT_NE(0u, handles);
        return handles;
    }

    std::wstring logPath_;
    std::wstring channel_;
    CKsCommMailServer server_;
};

// The workers the server made, in order: the accept thread lists each before it runs.
HANDLE workerThreads[16];
std::atomic<size_t> workerCount{0};

HANDLE ListedThread(DWORD stackSize, LPTHREAD_START_ROUTINE routine, void* argument) {
    HANDLE thread = CreateThread(nullptr, stackSize, routine, argument, CREATE_SUSPENDED, nullptr);
    const size_t n = workerCount.load();
    if (thread && stackSize != 0x20000 && n < std::size(workerThreads) &&
        DuplicateHandle(GetCurrentProcess(), thread, GetCurrentProcess(), &workerThreads[n], SYNCHRONIZE,
                        FALSE, 0))
        workerCount.store(n + 1);
    return thread;
}

// Worker n, once the accept thread has made it.
HANDLE Worker(size_t n) {
    for (const DWORD start = GetTickCount(); workerCount.load() <= n && GetTickCount() - start < kHangMs;)
        Sleep(10);
    return workerCount.load() > n ? workerThreads[n] : nullptr;
}

// A client that misses the request timeout, sends a wrong marker, stays idle past the
// marker timeout or dies inside a request loses its connection; the server serves the
// next one, and Stop waits for a request in flight to time out. A client goes on only
// once its worker has ended, so that no timing decides who gives up first.
TEST_F(MailServerTest, MisbehavingClientLosesOnlyItsConnection) {
    server_.SetMarkerTimeout(300);
    server_.SetThreadCreator(ListedThread);
    StartServer(kShortRequestTimeoutMs);
    // Set by the test once the worker has ended.
    const std::wstring goName = testsupport::UniqueName(L"Local\\ServerTest.Go");
    base::UniqueHandle go(CreateEventW(nullptr, TRUE, FALSE, goName.c_str()));
    const std::vector<std::wstring> scripts[] = {
        {kMarker, L"await:" + goName, L"fail", kMarker},
        {L"5", L"await:" + goName, L"fail", kMarker},
        {L"await:" + goName, L"fail", kMarker},
        {},  // dies once its marker was taken
    };
    for (size_t i = 0; i < std::size(scripts); ++i) {
        ResetEvent(go.get());
        std::optional<ChildProcess> client;
        if (scripts[i].empty()) {
            DyingClient dying(channel_, 2, {kMarker}, kChildTimeoutMs);
            ASSERT_TRUE(dying.reached);
            dying.process.Kill();
        } else {
            client.emplace(Client(2, scripts[i]));
        }
        EXPECT_EQ(WaitForSingleObject(Worker(2 * i), kChildTimeoutMs), WAIT_OBJECT_0) << i;
        SetEvent(go.get());
        if (client) {
            EXPECT_EQ(client->Wait(kChildTimeoutMs), 0u) << i;
        }
        EXPECT_EQ(Client(2, {kMarker, L"6"}).Wait(kChildTimeoutMs), 0u) << i;
        WaitForLines(L"[Processing message finish]", i + 1);
    }
    // Only the accept thread is left once the dropped workers have ended.
    testsupport::WaitForLog(logPath_, [&](const Texts&) { return server_.ThreadCount() == 1; });
    EXPECT_EQ(server_.ThreadCount(), 1u);
    const DyingClient inFlight(channel_, 2, {kMarker}, kChildTimeoutMs);
    ASSERT_TRUE(inFlight.reached);
    server_.Stop(kHangMs);
    const Texts texts = testsupport::ReadLogTexts(logPath_);
    EXPECT_EQ(std::count(texts.begin(), texts.end(), L"Nothing to process. Timeout: 400"), 3);
}

TEST_F(MailServerTest, HundredClientsAreServedAndStopEndsEveryThread) {
    constexpr int kClients = 100;
    const ULONG handlesBefore = HandlesAfterWarmUp();
    StartServer();
    const std::wstring releaseName = testsupport::UniqueName(L"Local\\ServerTest.Release");
    base::UniqueHandle release(CreateEventW(nullptr, TRUE, FALSE, releaseName.c_str()));
    ChildProcess clients(L"many_clients", {channel_, std::to_wstring(kClients), releaseName});
    WaitForLines(L"[Processing message finish]", kClients + 1);
    EXPECT_EQ(server_.ThreadCount(), kClients + 1u) << "accept thread and workers";
    // Stop while every client still holds its connection.
    EXPECT_EQ(server_.Stop(kHangMs), 0u);
    EXPECT_EQ(server_.ThreadCount(), 0u);
    EXPECT_EQ(server_.stopEvent(), nullptr);
    SetEvent(release.get());
    EXPECT_EQ(clients.Wait(kChildTimeoutMs), 0u);
    // The release event and the child's process handle are still ours.
    EXPECT_LE(testsupport::HandleCount(), handlesBefore + 2) << "before " << handlesBefore;
}

TEST_F(MailServerTest, LifecycleAndDispatchLinesPerCode) {
    EXPECT_EQ(server_.Stop(kHangMs), 0u) << "never started";
    EXPECT_EQ(server_.stopEvent(), nullptr);

    StartServer();
    // Everyone gets all event rights but DELETE.
    base::UniqueLocal<PSECURITY_DESCRIPTOR> descriptor;
    base::UniqueLocal<wchar_t*> dacl;
    ASSERT_EQ(GetSecurityInfo(server_.stopEvent(), SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                              nullptr, nullptr, nullptr, descriptor.put()),
              0u);
    ASSERT_TRUE(ConvertSecurityDescriptorToStringSecurityDescriptorW(
        descriptor.get(), SDDL_REVISION_1, DACL_SECURITY_INFORMATION, dacl.put(), nullptr));
    EXPECT_STREQ(dacl.get(), L"D:(A;;0x1e0003;;;WD)");
    const HANDLE stopEvent = server_.stopEvent();
    StartServer();  // a host connecting twice: the running server goes on as it was
    EXPECT_EQ(server_.stopEvent(), stopEvent);
    EXPECT_EQ(server_.ThreadCount(), 1u);
    EXPECT_EQ(server_.Stop(kHangMs), 0u);
    EXPECT_EQ(server_.Stop(kHangMs), 0u) << "second stop";

    // Restarted, it serves: an unknown code gets the dispatch lines, both naming the
    // worker's thread, and the connection serves on; code 6 sends nothing.
    StartServer();
    EXPECT_EQ(Client(1, {kMarker, L"12", kMarker, L"6", L"silence"}).Wait(kChildTimeoutMs), 0u);
    Texts texts = WaitForLines(L"[Processing message finish]", 2);
    ASSERT_EQ(texts.size(), 4u);
    for (size_t i = 0; i < texts.size(); i += 2) {
        unsigned code = 99, started = 0, finished = 1;
        ASSERT_EQ(swscanf(texts[i].c_str(), L"[Processing message %u] - %u.", &code, &started), 2);
        ASSERT_EQ(swscanf(texts[i + 1].c_str(), L"[Processing message finish] - %u.", &finished), 1);
        EXPECT_EQ(code, i == 0 ? 12u : 6u) << i;
        EXPECT_EQ(started, finished) << i;
    }
    // No Outlook runs in this process: every code that needs it logs so and answers
    // as it fails (2 and 3: 0; 1: the count 0; 4: an empty name; 0 and 7: nothing, so
    // the next reply read is code 4's); codes 2, 3 and 8 get no dispatch lines.
    testsupport::LogTail tail(logPath_);
    EXPECT_EQ(Client(2, {kMarker, L"2",       L"text:", L"text:", L"reply:0",
                         kMarker, L"3",       L"text:", L"text:", L"reply:0",
                         kMarker, L"8",       kMarker,  L"1",     L"text:\\\\Mailbox\\Inbox",
                         L"0",    L"reply:0", kMarker,  L"0",     kMarker,
                         L"7",    kMarker,    L"4",     L"said:", kMarker,
                         L"6",    L"silence"})
                  .Wait(kChildTimeoutMs),
              0u);
    const std::wstring unable = L"Unable to instantiate Outlook. Error *";
    Texts expected = {unable, unable, unable};
    for (const Texts& request :
         {testsupport::Dispatched(1,
                                  {unable, L"CKsCommMailServer::GetAllMailsFromFolder failed with error 0"}),
          testsupport::Dispatched(
              0, {L"CKsCommMailServer::GetAllFoldersList", unable, L"Failed to retrieve _ApplicationPtr ",
                  L"[CKsCommMailServer::GetAllFoldersList] GetFoldersOnAllStores failed."}),
          testsupport::Dispatched(7, {unable}), testsupport::Dispatched(4, {unable}),
          testsupport::Dispatched(6, {})})
        expected.insert(expected.end(), request.begin(), request.end());
    EXPECT_TRUE(testsupport::SameLines(expected, tail.Take(5)));
    // Another process may set the stop event: the accept thread leaves by itself.
    EXPECT_EQ(Client(2, {L"signal:" + server_.GetStopEventName()}).Wait(kChildTimeoutMs), 0u);
    EXPECT_TRUE(server_.IsStopping());
    EXPECT_EQ(server_.Stop(kHangMs), 0u);
    EXPECT_EQ(server_.ThreadCount(), 0u);
}

// How the seam's thread creator fails, for the accept thread and for workers.
enum class ThreadFault { kNone, kNull, kInvalid, kUnresumable };
ThreadFault acceptFault, workerFault;

HANDLE FaultyThread(DWORD stackSize, LPTHREAD_START_ROUTINE routine, void* argument) {
    const ThreadFault fault = stackSize == 0x20000 ? acceptFault : workerFault;
    if (fault == ThreadFault::kNull || fault == ThreadFault::kInvalid)
        return fault == ThreadFault::kNull ? nullptr : INVALID_HANDLE_VALUE;
    HANDLE thread = CreateThread(nullptr, stackSize, routine, argument, CREATE_SUSPENDED, nullptr);
    // Unresumable: a handle that may wait and terminate, but not resume.
    if (thread && fault == ThreadFault::kUnresumable)
        DuplicateHandle(GetCurrentProcess(), thread, GetCurrentProcess(), &thread,
                        SYNCHRONIZE | THREAD_TERMINATE, FALSE, DUPLICATE_CLOSE_SOURCE);
    return thread;
}

TEST_F(MailServerTest, FailedStartLeavesNothingAndAFailedWorkerCostsOnlyItsClient) {
    using enum ThreadFault;
    const struct {
        bool stopEventTaken;
        ThreadFault accept, worker;
    } cases[] = {{true, kNone, kNone},         {false, kNull, kNone}, {false, kInvalid, kNone},
                 {false, kUnresumable, kNone}, {false, kNone, kNull}, {false, kNone, kUnresumable}};
    // Libraries keep what they open on first use: the second pass counts handles.
    for (int pass = 0; pass < 2; ++pass) {
        for (size_t i = 0; i < std::size(cases); ++i) {
            SCOPED_TRACE(testing::Message() << "pass " << pass << " case " << i);
            acceptFault = cases[i].accept;
            workerFault = cases[i].worker;
            const bool startFails = cases[i].stopEventTaken || cases[i].accept != kNone;
            const ULONG handlesBefore = testsupport::HandleCount();
            {
                const std::wstring squatted = cases[i].stopEventTaken ? wire::StopEventName(channel_) : L"";
                base::UniqueHandle squatter(
                    squatted.empty() ? nullptr : CreateMutexW(nullptr, FALSE, squatted.c_str()));
                CKsCommMailServer server;
                server.SetThreadCreator(FaultyThread);
                const HRESULT hr = server.Start(channel_.c_str(), wire::kServerModeLocal, 10000);
                EXPECT_EQ(hr, startFails ? E_FAIL : S_OK) << "got 0x" << std::hex << hr;
                if (!startFails) {
                    // Connected, but nobody takes its request.
                    EXPECT_EQ(Client(2, {L"fail", kMarker}).Wait(kChildTimeoutMs), 0u);
                    EXPECT_EQ(server.ThreadCount(), 1u) << "the failed worker stayed listed";
                    server.Stop(kHangMs);
                }
                EXPECT_EQ(server.stopEvent(), nullptr);
                EXPECT_EQ(server.ThreadCount(), 0u);
                EXPECT_FALSE(server.holdsLock());
            }
            if (pass == 1) {
                EXPECT_EQ(testsupport::HandleCount(), handlesBefore);
            }
        }
    }
}

TEST(MailServerModes, PrefixNamesAndThreadsFollowTheMode) {
    const struct {
        uint32_t mode;
        const wchar_t* prefix;
        size_t threads;
    } cases[] = {{1, L"Local\\", 1},
                 {2, L"Global\\", 1},
                 {3, L"Global\\", 1},
                 {100, L"Local\\", 0},
                 {7, L"Local\\", 1}};
    for (const auto& test : cases) {
        SCOPED_TRACE(testing::Message() << "mode " << test.mode);
        const std::wstring name = testsupport::UniqueName(L"ModeTest");
        CKsCommMailServer server;
        ASSERT_EQ(server.Start(name.c_str(), test.mode, 0), S_OK);
        EXPECT_EQ(server.GetTunnelName(), test.prefix + (L"Kestrava." + name + L".Tunnel"));
        EXPECT_EQ(server.GetStopEventName(), test.prefix + (L"Kestrava." + name + L".Event"));
        EXPECT_EQ(server.ThreadCount(), test.threads);
        EXPECT_FALSE(server.IsStopping());
        server.Stop(kHangMs);
        EXPECT_TRUE(server.IsStopping()) << "no stop event left";
    }
}

}  // namespace
