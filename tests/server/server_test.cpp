// The mail server in this process, its clients in second processes.
#include <gtest/gtest.h>
#include <aclapi.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "client/mail_client.h"
#include "diag/log.h"
#include "server/mail_server.h"
#include "tests/support/child_process.h"
#include "tests/support/log_reader.h"

namespace {

using testsupport::ChildProcess;
using Texts = std::vector<std::wstring>;

constexpr uint32_t kShortRequestTimeoutMs = 400;
constexpr DWORD kChildTimeoutMs = 30000;

// Exit codes of the client roles: 0, or 100 + the index of the step that failed.
constexpr int kStepFailed = 100;

// Plays a scripted client: connects with the version given, then runs the steps:
// a number is sent as a number message, "text:T" the text T; "reply" expects a number;
// "silence" expects nothing to arrive within
// a short time; "sleep:N" sleeps N ms; "signal:NAME" sets a named event; "hang" waits to be killed; "fail" expects
// the next number to be refused (the server dropped the connection).
TEST_CHILD_ROLE(scripted_client) {
    auto client = MailClient::Connect(args.at(0), _wtoi(args.at(1).c_str()), 10000);
    if (!client) return 1;
    bool expectFailure = false;
    for (size_t i = 2; i < args.size(); ++i) {
        const std::wstring& step = args[i];
        const int failed = kStepFailed + static_cast<int>(i);
        if (step == L"silence") {
            uint32_t value = 0;
            if (client->tunnel().ReceiveDword(&value, 300)) return failed;
        } else if (step.starts_with(L"sleep:")) {
            Sleep(_wtoi(step.c_str() + 6));
        } else if (step.starts_with(L"signal:")) {
            base::UniqueHandle event(OpenEventW(EVENT_MODIFY_STATE, FALSE, step.c_str() + 7));
            if (!event || !SetEvent(event.get())) return failed;
        } else if (step == L"hang") {
            Sleep(INFINITE);
        } else if (step == L"fail") {
            expectFailure = true;
        } else if (step.starts_with(L"text:")) {
            if (!client->tunnel().SendString(step.substr(5), 1000)) return failed;
        } else if (step == L"reply") {
            uint32_t value = 0;
            if (!client->tunnel().ReceiveDword(&value, 10000)) return failed;
        } else {
            const bool sent = client->tunnel().SendDword(wcstoul(step.c_str(), nullptr, 0), 1000);
            if (sent == expectFailure) return failed;
        }
    }
    return 0;
}

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
            if (client && client->BeginRequest(RequestCode::NoOperation)) ++served;
            WaitForSingleObject(release.get(), 60000);
        });
    }
    for (auto& t : threads) t.join();
    return served == count ? 0 : 2;
}

// Sets a named event another process created.
TEST_CHILD_ROLE(set_event) {
    base::UniqueHandle event(OpenEventW(EVENT_MODIFY_STATE, FALSE, args.at(0).c_str()));
    return event && SetEvent(event.get()) ? 0 : 1;
}

const std::wstring kMarker = std::to_wstring(kRequestMarker);

size_t Count(const Texts& texts, const std::wstring& text) {
    return static_cast<size_t>(std::count(texts.begin(), texts.end(), text));
}
size_t CountPrefix(const Texts& texts, const std::wstring& prefix) {
    return static_cast<size_t>(std::count_if(
        texts.begin(), texts.end(), [&](const std::wstring& t) { return t.starts_with(prefix); }));
}

class MailServerTest : public testing::Test {
protected:
    void SetUp() override {
        logPath_ = testsupport::TempPath(L"server.log");
        OpenLogFile(logPath_.c_str());
        channel_ = testsupport::UniqueName(L"ServerTest");
    }
    void TearDown() override {
        server_.Stop(INFINITE);
        DeleteFileW(logPath_.c_str());
    }

    void StartServer(uint32_t requestTimeoutMs = 10000) {
        HRESULT hr = server_.Start(channel_.c_str(), kServerModeLocal, requestTimeoutMs);
        ASSERT_EQ(hr, S_OK) << "got 0x" << std::hex << hr;
    }

    ChildProcess Client(uint32_t version, std::vector<std::wstring> steps) {
        steps.insert(steps.begin(), {channel_, std::to_wstring(version)});
        return ChildProcess(L"scripted_client", steps);
    }

    // The log once `count` lines start with `text`; a failure if that never happens.
    Texts WaitForLines(const std::wstring& text, size_t count) {
        Texts texts = testsupport::WaitForLog(logPath_, [&](const Texts& texts) {
            return CountPrefix(texts, text) >= count;
        });
        EXPECT_GE(CountPrefix(texts, text), count) << "lines starting with " << testing::PrintToString(text);
        return texts;
    }

    // A named event a client sets when it reached a step.
    std::pair<base::UniqueHandle, std::wstring> Milestone() {
        std::wstring name = testsupport::UniqueName(L"Local\\ServerTest.Milestone");
        return {base::UniqueHandle(CreateEventW(nullptr, TRUE, FALSE, name.c_str())), name};
    }

    std::wstring logPath_;
    std::wstring channel_;
    CKsCommMailServer server_;
};

TEST_F(MailServerTest, NoOperationLogsBothLinesAndSendsNothing) {
    StartServer();
    for (uint32_t version : {1u, 2u}) {
        SCOPED_TRACE(testing::Message() << "version " << version);
        ChildProcess client = Client(version, {kMarker, L"6", kMarker, L"6", L"silence"});
        ASSERT_TRUE(client.running());
        EXPECT_EQ(client.Wait(kChildTimeoutMs), 0u);
    }
    const Texts texts = WaitForLines(L"[Processing message finish]", 4);
    ASSERT_EQ(texts.size(), 8u);
    for (size_t i = 0; i < texts.size(); i += 2) {
        SCOPED_TRACE(testing::Message() << "request " << i / 2);
        unsigned code = 99, started = 0, finished = 1;
        ASSERT_EQ(swscanf(texts[i].c_str(), L"[Processing message %u] - %u.", &code, &started), 2);
        ASSERT_EQ(swscanf(texts[i + 1].c_str(), L"[Processing message finish] - %u.", &finished), 1);
        EXPECT_EQ(code, 6u);
        EXPECT_EQ(started, finished) << "both lines name the worker's thread";
    }
}

TEST_F(MailServerTest, CodesTwoThreeAndEightWriteNoDispatchLine) {
    StartServer();
    // Code 2 reads an entry ID and a path, and answers.
    ChildProcess client =
        Client(2, {kMarker, L"2", L"text:", L"text:", L"reply", kMarker, L"3", kMarker, L"8", kMarker, L"6"});
    EXPECT_EQ(client.Wait(kChildTimeoutMs), 0u);
    // The operations may log their own lines (code 8 may even start Outlook, which can
    // take long in a fresh process); only the dispatch lines count here.
    const Texts texts = WaitForLines(L"[Processing message finish]", 1);
    EXPECT_EQ(CountPrefix(texts, L"[Processing message"), 2u);
    EXPECT_EQ(CountPrefix(texts, L"[Processing message 6] - "), 1u);
}

TEST_F(MailServerTest, UnknownCodeIsLoggedAndTheConnectionServesTheNextRequest) {
    StartServer();
    ChildProcess client = Client(2, {kMarker, L"12", kMarker, L"6", L"silence"});
    EXPECT_EQ(client.Wait(kChildTimeoutMs), 0u);
    const Texts texts = WaitForLines(L"[Processing message finish]", 2);
    ASSERT_EQ(texts.size(), 4u);
    EXPECT_TRUE(texts[0].starts_with(L"[Processing message 12] - "));
    EXPECT_TRUE(texts[2].starts_with(L"[Processing message 6] - "));
}

TEST_F(MailServerTest, MissingCodeLogsTheTimeoutAndDropsTheClient) {
    StartServer(kShortRequestTimeoutMs);
    ChildProcess client = Client(2, {kMarker, L"sleep:1500", L"fail", kMarker});
    EXPECT_EQ(client.Wait(kChildTimeoutMs), 0u);
    const Texts texts = WaitForLines(L"Nothing to process.", 1);
    EXPECT_EQ(Count(texts, L"Nothing to process. Timeout: 400"), 1u);
}

TEST_F(MailServerTest, WrongMarkerDropsOnlyThatClient) {
    StartServer();
    ChildProcess wrong = Client(2, {L"5", L"sleep:500", L"fail", kMarker});
    ChildProcess right = Client(2, {kMarker, L"6", kMarker, L"6"});
    EXPECT_EQ(wrong.Wait(kChildTimeoutMs), 0u);
    EXPECT_EQ(right.Wait(kChildTimeoutMs), 0u);
    WaitForLines(L"[Processing message finish]", 2);
}

TEST_F(MailServerTest, ClientDyingMidRequestCostsOnlyItsConnection) {
    StartServer(kShortRequestTimeoutMs);
    {
        auto [sent, sentName] = Milestone();
        ChildProcess dying = Client(2, {kMarker, L"signal:" + sentName, L"hang"});
        ASSERT_EQ(WaitForSingleObject(sent.get(), kChildTimeoutMs), WAIT_OBJECT_0);
        dying.Kill();
    }
    WaitForLines(L"Nothing to process.", 1);
    ChildProcess next = Client(2, {kMarker, L"6"});
    EXPECT_EQ(next.Wait(kChildTimeoutMs), 0u);
    WaitForLines(L"[Processing message finish]", 1);
}

TEST_F(MailServerTest, IdleClientIsDroppedAfterTheMarkerTimeout) {
    server_.SetMarkerTimeout(300);
    StartServer();
    ChildProcess idle = Client(2, {L"sleep:2000", L"fail", kMarker});
    EXPECT_EQ(idle.Wait(kChildTimeoutMs), 0u);
    EXPECT_EQ(server_.ThreadCount(), 1u) << "only the accept thread is left";
}

class ManyClientsTest : public MailServerTest, public testing::WithParamInterface<int> {};

TEST_P(ManyClientsTest, AllAreServedAndStopEndsEveryThread) {
    const int count = GetParam();
    const DWORD handlesBefore = [] {
        DWORD n = 0;
        GetProcessHandleCount(GetCurrentProcess(), &n);
        return n;
    }();
    StartServer();
    const std::wstring releaseName = testsupport::UniqueName(L"Local\\ServerTest.Release");
    base::UniqueHandle release(CreateEventW(nullptr, TRUE, FALSE, releaseName.c_str()));
    ChildProcess clients(L"many_clients", {channel_, std::to_wstring(count), releaseName});
    ASSERT_TRUE(clients.running());

    WaitForLines(L"[Processing message finish]", count);
    EXPECT_EQ(server_.ThreadCount(), static_cast<size_t>(count) + 1) << "accept thread and workers";

    // Stop while every client still holds its connection.
    EXPECT_EQ(server_.Stop(INFINITE), 0u);
    EXPECT_EQ(server_.ThreadCount(), 0u);
    EXPECT_EQ(server_.stopEvent(), nullptr);
    SetEvent(release.get());
    EXPECT_EQ(clients.Wait(kChildTimeoutMs), 0u);

    DWORD handlesAfter = 0;
    GetProcessHandleCount(GetCurrentProcess(), &handlesAfter);
    // The release event and the child's process handle are still ours.
    EXPECT_LE(handlesAfter, handlesBefore + 2) << "before " << handlesBefore;
}

INSTANTIATE_TEST_SUITE_P(Clients, ManyClientsTest, testing::Values(2, 100));

TEST_F(MailServerTest, StopWaitsForARequestInFlight) {
    StartServer(kShortRequestTimeoutMs);
    auto [sent, sentName] = Milestone();
    ChildProcess client = Client(2, {kMarker, L"signal:" + sentName, L"hang"});
    // The marker was taken: the worker is inside the request, waiting for its code.
    ASSERT_EQ(WaitForSingleObject(sent.get(), kChildTimeoutMs), WAIT_OBJECT_0);
    server_.Stop(INFINITE);
    // The request's own wait ran out rather than the thread being cut short.
    EXPECT_EQ(Count(testsupport::ReadLogTexts(logPath_), L"Nothing to process. Timeout: 400"), 1u);
}

TEST_F(MailServerTest, LifecycleStopNeverStartedStopTwiceAndRestart) {
    EXPECT_EQ(server_.Stop(INFINITE), 0u) << "never started";
    EXPECT_EQ(server_.stopEvent(), nullptr);

    StartServer();
    EXPECT_EQ(server_.Stop(INFINITE), 0u);
    EXPECT_EQ(server_.Stop(INFINITE), 0u) << "second stop";

    StartServer();
    ChildProcess client = Client(2, {kMarker, L"6"});
    EXPECT_EQ(client.Wait(kChildTimeoutMs), 0u);
    WaitForLines(L"[Processing message finish]", 1);
}

TEST_F(MailServerTest, AnotherProcessSettingTheStopEventEndsAccepting) {
    StartServer();
    ChildProcess stopper(L"set_event", {server_.GetStopEventName()});
    EXPECT_EQ(stopper.Wait(kChildTimeoutMs), 0u);
    EXPECT_TRUE(server_.IsStopping());
    // The accept thread has left by itself: Stop only collects it.
    EXPECT_EQ(server_.Stop(INFINITE), 0u);
    EXPECT_EQ(server_.ThreadCount(), 0u);
}

TEST_F(MailServerTest, StopEventGrantsEveryoneAllEventRightsButDelete) {
    StartServer();
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    DWORD error = GetSecurityInfo(server_.stopEvent(), SE_KERNEL_OBJECT,
                                  DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr,
                                  &descriptor);
    base::UniqueLocal<PSECURITY_DESCRIPTOR> owned(descriptor);
    ASSERT_EQ(error, 0u);
    ASSERT_NE(dacl, nullptr);
    ASSERT_EQ(dacl->AceCount, 1);
    ACCESS_ALLOWED_ACE* ace = nullptr;
    ASSERT_TRUE(GetAce(dacl, 0, reinterpret_cast<void**>(&ace)));
    EXPECT_EQ(ace->Header.AceType, ACCESS_ALLOWED_ACE_TYPE);
    EXPECT_EQ(ace->Mask, 0x1E0003u) << "got 0x" << std::hex << ace->Mask;
    SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
    base::UniqueSid everyone;
    ASSERT_TRUE(AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0,
                                         everyone.put()));
    EXPECT_TRUE(EqualSid(&ace->SidStart, everyone.get()));
}

TEST(MailServerModes, PrefixNamesAndThreadsFollowTheMode) {
    struct Case {
        uint32_t mode;
        const wchar_t* prefix;
        size_t threads;
    };
    const Case cases[] = {
        {1, L"Local\\", 1}, {2, L"Global\\", 1}, {3, L"Global\\", 1}, {100, L"Local\\", 0},
        {7, L"Local\\", 1},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(testing::Message() << "case " << i << ", mode " << cases[i].mode);
        const std::wstring name = testsupport::UniqueName(L"ModeTest");
        CKsCommMailServer server;
        ASSERT_EQ(server.Start(name.c_str(), cases[i].mode, 0), S_OK);
        EXPECT_EQ(server.GetNamespacePrefix(), cases[i].prefix);
        EXPECT_EQ(server.GetTunnelName(), cases[i].prefix + (L"Kestrava." + name + L".Tunnel"));
        EXPECT_EQ(server.GetStopEventName(), cases[i].prefix + (L"Kestrava." + name + L".Event"));
        EXPECT_EQ(server.ThreadCount(), cases[i].threads);
        EXPECT_NE(server.stopEvent(), nullptr);
        EXPECT_FALSE(server.IsStopping());
        server.Stop(INFINITE);
        EXPECT_TRUE(server.IsStopping()) << "no stop event left";
    }
}

}  // namespace
