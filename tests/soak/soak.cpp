// soak.exe: thousands of client sessions against the add-in in the Outlook stand-in
// host, most of them hostile (chunks that lie, messages cut off, replies never taken,
// a text of hundreds of MiB, clients killed mid-request, more than 64 connected at
// once), interleaved with well-behaved clients whose replies must equal the first
// answers; then the host is stopped and must end in time.
//
//   soak.exe [--profile DIR] [--sessions N] [--duration SECONDS] [--seed N] [--threads N]
//            [--huge-mib N]
//
// The profile (by default the build's bundled one) is served from a copy, so that
// nothing a hostile client makes the add-in do reaches the original.
// Session i draws everything from (seed, i), so a failure replays with the printed
// seed (exactly so with --threads 1). Exit codes: 0 passed; 1 the host crashed, hung,
// answered wrongly or grew beyond the bounds printed; 2 a bad command line.
#include <windows.h>
#include <psapi.h>
#include <shellapi.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "client/mail_client.h"
#include "server/mail_server.h"
#include "tests/addin/plugin.h"
#include "tests/support/child_process.h"
#include "tests/support/handle_count.h"
#include "tests/support/log_reader.h"
#include "tests/support/raw_channel.h"
#include "tests/support/standin_host.h"

namespace {

using testsupport::RawChannel;
using Texts = std::vector<std::wstring>;

// Waits meant to succeed: reached only when the host hangs (generous, for a loaded machine).
constexpr uint32_t kReplyMs = 60000;
// Waits a hostile client expects may go unanswered (the server rejected its chunk).
constexpr uint32_t kHostileMs = 500;
// The server gives up on a client that stalls mid-request after its request timeout
// (10 s); workers of such sessions linger that long.
constexpr DWORD kSettleMs = 12000;
// Growth allowed after the warm-up, once the lingering workers have ended.
constexpr DWORD kHandleBound = 32;
constexpr SIZE_T kPrivateBytesBound = SIZE_T{16} << 20;
constexpr DWORD kDrainMs = 60000;
// More clients at once than one wait can cover.
constexpr size_t kCrowdMin = 65;
constexpr uint64_t kWarmUpSessions = 100;
constexpr uint32_t kGoodbye = 0;  // anything but the marker ends the server's worker at once

struct Options {
    std::wstring profile;
    uint64_t sessions = 1000000;
    uint32_t durationS = 300;
    uint64_t seed = GetTickCount64();
    uint32_t threads = 4;
    uint32_t hugeMiB = 256;
};

// Every figure of the run, and the first failure, which ends it.
struct Run {
    Options options;
    std::wstring profile;  // the copy the host serves
    std::wstring savesFolder;
    HANDLE host = nullptr;  // until it is told to stop: its end is a crash
    std::atomic<uint64_t> nextSession{0};
    std::atomic<uint64_t> sessions{0};
    std::atomic<uint64_t> verified{0};
    std::atomic<bool> failed{false};
    std::mutex lock;  // faults, failure
    std::map<std::wstring, uint64_t> faults;
    std::string failure;
    std::mutex crowdTurn, hugeTurn;  // one crowd and one huge text at a time
    // The first answers, taken before any hostile client.
    std::wstring profileName;
    Texts folderList, folderTree;
    std::vector<Texts> mailLists[2];  // per includeBody 0/1, per folder of folderList
    std::vector<std::wstring> entryIds;

    __attribute__((format(gnu_printf, 2, 3))) void Fail(const char* format, ...) {
        char text[1024];
        va_list args;
        va_start(args, format);
        std::vsnprintf(text, sizeof(text), format, args);
        va_end(args);
        DWORD code = STILL_ACTIVE;
        if (host && WaitForSingleObject(host, 0) == WAIT_OBJECT_0) GetExitCodeProcess(host, &code);
        const std::lock_guard<std::mutex> guard(lock);
        if (failure.empty()) failure = text;
        if (code != STILL_ACTIVE) failure += " (the host crashed: exit code " + std::to_string(code) + ")";
        failed = true;
    }
    void CountFault(const wchar_t* kind) {
        const std::lock_guard<std::mutex> guard(lock);
        ++faults[kind];
    }
};

// One session's random draws and its client.
struct Session {
    Run& run;
    uint64_t index;
    std::mt19937_64 rng;
    uint32_t version;

    Session(Run& r, uint64_t i) : run(r), index(i), rng(Engine(r.options.seed, i)), version(1 + Below(2)) {}
    static std::mt19937_64 Engine(uint64_t seed, uint64_t i) {
        std::seed_seq seeds{uint32_t(seed), uint32_t(seed >> 32), uint32_t(i), uint32_t(i >> 32)};
        return std::mt19937_64(seeds);
    }
    uint32_t Below(uint32_t n) { return static_cast<uint32_t>(rng() % n); }
    template <typename T>
    const T& Pick(const std::vector<T>& items) {
        return items[Below(static_cast<uint32_t>(items.size()))];
    }
    std::unique_ptr<MailClient> Connect(uint32_t clientVersion) {
        std::wstring error;
        auto client = MailClient::Connect(wire::kChannel, clientVersion, kReplyMs, &error);
        if (!client) run.Fail("session %llu: no connection: %ls", index, error.c_str());
        return client;
    }
    std::unique_ptr<MailClient> Connect() { return Connect(version); }
    // Where the server waits for the next marker: it ends the worker at once.
    void Goodbye(MailClient& client) { static_cast<void>(client.tunnel().SendDword(kGoodbye, kHostileMs)); }
    bool Raw(MailClient& client, RawChannel* raw) {
        if (raw->Open(client.tunnel().privateName(), client.tunnel().version())) return true;
        run.Fail("session %llu: the channel's objects cannot be opened a second time", index);
        return false;
    }
    // A step the server must take before the hostile part: false, recorded, when it did not.
    bool Must(bool ok, const char* what) {
        if (!ok) run.Fail("session %llu: the server did not take %s", index, what);
        return ok;
    }
    // A request whose reply must come: false, recorded, when it did not.
    bool Expect(bool ok, MailClient& client, const char* what) {
        if (!ok) run.Fail("session %llu: %s: no reply: %ls", index, what, client.error().c_str());
        return ok;
    }
    void Verify(bool equal, const char* what) { Verify(equal, what, std::wstring()); }
    void Verify(bool equal, const char* what, const std::wstring& difference) {
        if (equal)
            ++run.verified;
        else
            run.Fail("session %llu: %s differs from the first answer%ls", index, what, difference.c_str());
    }
    void Verify(const Texts& got, const Texts& first, const char* what) {
        std::wstring difference =
            L": " + std::to_wstring(got.size()) + L" texts for " + std::to_wstring(first.size());
        const auto [g, f] = std::mismatch(got.begin(), got.end(), first.begin(), first.end());
        if (g != got.end()) difference += L"; text " + std::to_wstring(g - got.begin()) + L" \"" + *g + L"\"";
        if (f != first.end()) difference += L" for \"" + *f + L"\"";
        Verify(got == first, what, difference);
    }
};

// ---- well-behaved requests, each checked against the first answers ----

void VerifiedRequest(Session& s, MailClient& client) {
    switch (s.Below(5)) {
    case 0: {
        std::wstring name;
        if (s.Expect(client.SendCurrentProfileName(&name), client, "profile name"))
            s.Verify(name == s.run.profileName, "profile name");
        return;
    }
    case 1: {
        Texts paths;
        if (s.Expect(client.GetAllFoldersList(&paths), client, "folder list"))
            s.Verify(paths, s.run.folderList, "folder list");
        return;
    }
    case 2: {
        Texts paths;
        if (s.Expect(client.FillFolderTree(&paths), client, "folder tree"))
            s.Verify(paths, s.run.folderTree, "folder tree");
        return;
    }
    case 3: {
        const uint32_t includeBody = s.Below(2),
                       folder = s.Below(static_cast<uint32_t>(s.run.folderList.size()));
        Texts entries;
        if (s.Expect(client.GetAllMailsFromFolder(s.run.folderList[folder], includeBody, &entries), client,
                     "mail list"))
            s.Verify(entries, s.run.mailLists[includeBody][folder], "mail list");
        return;
    }
    default: {
        const std::wstring file = s.run.savesFolder + L"\\" + std::to_wstring(s.index) + L".msg";
        bool saved = false;
        if (!s.Expect(client.SaveMailToMSGFile(s.Pick(s.run.entryIds), file, &saved), client, "save")) return;
        s.Verify(saved && testsupport::ReadFileBytes(file).starts_with("\xD0\xCF\x11\xE0"), "save of a mail");
        DeleteFileW(file.c_str());
    }
    }
}

void WellBehaved(Session& s) {
    const auto client = s.Connect();
    if (!client) return;
    for (uint32_t n = 1 + s.Below(3); n > 0 && !s.run.failed; --n) VerifiedRequest(s, *client);
    s.Goodbye(*client);
}

// ---- hostile sessions; each returns the fault it injected ----

// The codes whose payload hostile chunks replace. Never 5, which quits the host, nor 3:
// a restore makes the folders of any path before it reads the file, and new folders
// would change the lists the well-behaved clients check.
const std::vector<uint32_t> kPayloadCodes = {1, 2};

// A hostile client with its channel opened a second time, its request begun up to where
// the fault goes: the code (after the marker) or a payload (after the code).
struct RawRequest {
    std::unique_ptr<MailClient> client;
    RawChannel raw;
    uint32_t kind = 0;  // the kind the server expects there
};

bool BeginRawRequest(Session& s, RawRequest* request) {
    request->client = s.Connect();
    if (!request->client || !s.Raw(*request->client, &request->raw)) return false;
    const bool inPayload = s.Below(2);
    request->kind = inPayload ? kTunnelKindString : kTunnelKindDword;
    return s.Must(inPayload ? request->client->BeginRequest(s.Pick(kPayloadCodes))
                            : request->client->tunnel().SendDword(wire::kRequestMarker, kReplyMs),
                  "a request");
}

// Random chunk lengths and kinds, until one is refused.
const wchar_t* RandomChunks(Session& s) {
    RawRequest request;
    if (!BeginRawRequest(s, &request)) return nullptr;
    const std::vector<uint32_t> kinds = {0, 1, 2, 3, 0xFFFFFFFF};
    for (uint32_t n = 1 + s.Below(6); n > 0; --n) {
        const uint32_t length =
            s.Below(3) == 0 ? RawChannel::kPayload : s.Below(RawChannel::kPayload + 1) & ~s.Below(2);
        if (!request.raw.PutChunk(length, s.Pick(kinds), kHostileMs)) break;
    }
    return L"random chunks";
}

// A chunk that claims more than the buffer holds.
const wchar_t* OversizeLength(Session& s) {
    RawRequest request;
    if (!BeginRawRequest(s, &request)) return nullptr;
    const std::vector<uint32_t> lengths = {RawChannel::kPayload + 1, RawChannel::kSize, 0x7FFFFFFF,
                                           0xFFFFFFFF};
    static_cast<void>(request.raw.PutChunk(s.Pick(lengths), request.kind, kHostileMs));
    return L"length above the buffer";
}

// The first chunk of a longer message, then nothing: the server waits out its timeout.
const wchar_t* CutOff(Session& s) {
    RawRequest request;
    if (!BeginRawRequest(s, &request) ||
        !s.Must(request.raw.PutChunk(RawChannel::kPayload, request.kind, kReplyMs),
                "the first chunk of a message"))
        return nullptr;
    return L"message cut off";
}

// A request whose reply is never taken.
const wchar_t* NoAcknowledgement(Session& s) {
    const auto client = s.Connect();
    if (!client) return nullptr;
    const std::vector<wire::RequestCode> codes = {wire::RequestCode::GetAllFoldersList,
                                                  wire::RequestCode::FillFolderTree,
                                                  wire::RequestCode::SendCurrentProfileName};
    const bool sent = s.Below(4) == 0 ? client->BeginRequest(wire::RequestCode::GetAllMailsFromFolder) &&
                                            client->tunnel().SendString(s.Pick(s.run.folderList), kReplyMs) &&
                                            client->tunnel().SendDword(s.Below(2), kReplyMs)
                                      : client->BeginRequest(s.Pick(codes));
    return s.Must(sent, "a request") ? L"no acknowledgement" : nullptr;
}

// Where the marker is due: a wrong number, a text, or an unknown code followed by a
// request that must still be answered on the same connection.
const wchar_t* WrongFraming(Session& s) {
    const auto client = s.Connect();
    if (!client) return nullptr;
    switch (s.Below(3)) {
    case 0:
        static_cast<void>(client->tunnel().SendDword(5, kReplyMs));
        return L"wrong marker";
    case 1:
        static_cast<void>(client->tunnel().SendString(L"\xABCD", kHostileMs));
        return L"text for the marker";
    default: {
        if (!s.Must(client->BeginRequest(9 + s.Below(0xFFFFFFF0)), "an unknown code")) return nullptr;
        std::wstring name;
        if (s.Expect(client->SendCurrentProfileName(&name), *client, "profile name after an unknown code"))
            s.Verify(name == s.run.profileName, "profile name after an unknown code");
        s.Goodbye(*client);
        return L"unknown code";
    }
    }
}

// A folder path of hundreds of MiB: answered as a folder that is not there.
const wchar_t* HugeText(Session& s) {
    const std::lock_guard<std::mutex> turn(s.run.hugeTurn);
    const auto client = s.Connect(2);  // version 1 carries only messages of one chunk
    if (!client) return nullptr;
    const std::wstring path(size_t{s.run.options.hugeMiB} << 19, L'A');
    if (!s.Must(client->BeginRequest(wire::RequestCode::GetAllMailsFromFolder) &&
                    client->tunnel().SendString(path, kReplyMs) && client->tunnel().SendDword(0, kReplyMs),
                "a huge path"))
        return nullptr;
    Texts entries{L"sentinel"};
    if (!s.Expect(client->ReceiveTexts(&entries), *client, "mail list of a huge path")) return nullptr;
    s.Verify(entries, Texts{}, "mail list of a huge path");
    s.Goodbye(*client);
    return L"huge text";
}

// Where a child stops before it is killed.
enum DyingStage : uint32_t { kInPayload, kBeforeReply, kBetweenTexts, kDyingStages };

// A client process killed in the middle of a request.
const wchar_t* DieMidRequest(Session& s) {
    const std::wstring readyName = testsupport::UniqueName(L"Local\\Soak.Ready");
    const base::UniqueHandle ready(CreateEventW(nullptr, TRUE, FALSE, readyName.c_str()));
    testsupport::ChildProcess child(
        L"die", {std::to_wstring(s.version), std::to_wstring(s.Below(kDyingStages)), readyName});
    const HANDLE waits[] = {ready.get(), child.handle()};
    if (!ready || !child.running() || WaitForMultipleObjects(2, waits, FALSE, kReplyMs) != WAIT_OBJECT_0) {
        s.run.Fail("session %llu: the dying client never reached its stage (exit %lu)", s.index,
                   child.Wait(0));
        return nullptr;
    }
    child.Kill();
    return L"client killed mid-request";
}

// More than 64 clients connected at once, every one answered.
const wchar_t* Crowd(Session& s) {
    const std::lock_guard<std::mutex> turn(s.run.crowdTurn);
    std::vector<std::unique_ptr<MailClient>> crowd;
    for (size_t n = kCrowdMin + s.Below(16); n > 0; --n) {
        crowd.push_back(s.Connect(1 + s.Below(2)));
        if (!crowd.back()) return nullptr;
    }
    for (auto& client : crowd) {
        std::wstring name;
        if (!s.Expect(client->SendCurrentProfileName(&name), *client, "profile name in a crowd"))
            return nullptr;
        s.Verify(name == s.run.profileName, "profile name in a crowd");
    }
    for (auto& client : crowd) s.Goodbye(*client);
    return L"more than 64 connected";
}

struct HostileKind {
    const wchar_t* (*run)(Session&);
    uint32_t weight;  // per 1000 sessions
};
const HostileKind kHostile[] = {
    {RandomChunks, 150}, {OversizeLength, 80}, {CutOff, 80},        {NoAcknowledgement, 80},
    {WrongFraming, 100}, {HugeText, 2},        {DieMidRequest, 10}, {Crowd, 3},
};

void RunSession(Run& run, uint64_t index) {
    Session s(run, index);
    // The warm-up meets every kind once, so first-use allocations are behind "before".
    const HostileKind* kind = index < std::size(kHostile) ? &kHostile[index] : nullptr;
    uint32_t draw = s.Below(1000);
    for (const HostileKind& k : kHostile) {
        if (kind) break;
        if (draw < k.weight) kind = &k;
        draw -= std::min(draw, k.weight);
    }
    if (kind) {
        if (const wchar_t* fault = kind->run(s)) run.CountFault(fault);
    } else {
        WellBehaved(s);
    }
    ++run.sessions;
}

// The child of DieMidRequest: args version, stage, ready event.
TEST_CHILD_ROLE(die) {
    const auto client = MailClient::Connect(wire::kChannel, std::stoul(args.at(0)), kReplyMs);
    RawChannel raw;
    if (!client || !raw.Open(client->tunnel().privateName(), client->tunnel().version())) return 1;
    bool reached = false;
    switch (std::stoul(args.at(1))) {
    case kInPayload:
        reached = client->BeginRequest(wire::RequestCode::GetAllMailsFromFolder) &&
                  raw.PutChunk(RawChannel::kPayload, kTunnelKindString, kReplyMs);
        break;
    case kBeforeReply:
        reached = client->BeginRequest(wire::RequestCode::GetAllFoldersList);
        break;
    default:
        reached = client->BeginRequest(wire::RequestCode::SaveMailToMSGFile) &&
                  client->tunnel().SendString(L"00", kReplyMs);
    }
    const base::UniqueHandle ready(OpenEventW(EVENT_MODIFY_STATE, FALSE, args.at(2).c_str()));
    if (!reached || !ready || !SetEvent(ready.get())) return 2;
    Sleep(INFINITE);
    return 0;
}

// ---- the host ----

// What the system says of the host. Wine 8 answers PrivateUsage with 0; its
// PagefileUsage is the process's resident anonymous memory and swap. So the bounds
// hold on the handles (testsupport::HandleCount) and on PrivateUsage or, where that
// is 0, PagefileUsage (on Windows the same figure: the commit charge).
struct Usage {
    ULONG handles = 0;
    SIZE_T privateUsage = 0, pagefileUsage = 0;
    [[nodiscard]] SIZE_T privateBytes() const { return privateUsage ? privateUsage : pagefileUsage; }
};

bool Measure(HANDLE host, Usage* usage) {
    const DWORD id = GetProcessId(host);
    const base::UniqueHandle process(OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, id));
    PROCESS_MEMORY_COUNTERS_EX counters{};
    counters.cb = sizeof(counters);
    if (!process ||
        !GetProcessMemoryInfo(process.get(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                              sizeof(counters)) ||
        (usage->handles = testsupport::HandleCount(id)) == 0)
        return false;
    usage->privateUsage = counters.PrivateUsage;
    usage->pagefileUsage = counters.PagefileUsage;
    return true;
}

bool WithinBounds(const Usage& before, const Usage& after) {
    return after.handles <= before.handles + kHandleBound &&
           after.privateBytes() <= before.privateBytes() + kPrivateBytesBound;
}

void TakeFirstAnswers(Run& run) {
    const auto client = MailClient::Connect(wire::kChannel, 2, testsupport::StandinHost::kTimeoutMs);
    if (!client) return run.Fail("the add-in's channel never appeared");
    if (!client->SendCurrentProfileName(&run.profileName) || !client->GetAllFoldersList(&run.folderList) ||
        !client->FillFolderTree(&run.folderTree) || run.folderList.empty())
        return run.Fail("no first answers: %ls", client->error().c_str());
    for (uint32_t includeBody = 0; includeBody < 2; ++includeBody) {
        for (const std::wstring& folder : run.folderList) {
            Texts& entries = run.mailLists[includeBody].emplace_back();
            if (!client->GetAllMailsFromFolder(folder, includeBody, &entries))
                return run.Fail("no first mail list: %ls", client->error().c_str());
            for (const std::wstring& text : entries) {
                const MailListEntry entry = MailListEntry::Parse(text);
                if (includeBody == 0 && entry.mail()) run.entryIds.push_back(entry.entryId);
            }
        }
    }
    if (run.entryIds.empty()) run.Fail("the profile has no mail to save");
}

// Sessions on every thread until `count` sessions began, the time is up or one failed.
void RunSessions(Run& run, uint64_t count, ULONGLONG deadline) {
    std::vector<std::thread> threads;
    for (uint32_t t = 0; t < run.options.threads; ++t) {
        threads.emplace_back([&] {
            for (uint64_t i; !run.failed && GetTickCount64() < deadline && (i = run.nextSession++) < count;) {
                if (WaitForSingleObject(run.host, 0) == WAIT_OBJECT_0) return run.Fail("session %llu", i);
                RunSession(run, i);
            }
        });
    }
    for (auto& thread : threads) thread.join();
    run.nextSession = std::min<uint64_t>(run.nextSession, count);
}

void PrintUsage(const char* when, const Usage& usage) {
    std::printf(
        "soak: host %s: %lu handles, private bytes %.1f MiB (PrivateUsage %.1f MiB, PagefileUsage %.1f "
        "MiB)\n",
        when, usage.handles, static_cast<double>(usage.privateBytes()) / (1 << 20),
        static_cast<double>(usage.privateUsage) / (1 << 20),
        static_cast<double>(usage.pagefileUsage) / (1 << 20));
}

// Stop with more than 64 clients still connected, waiting for their next request.
void StopWithACrowd(Run& run, const testsupport::StandinHost& host) {
    Session s(run, run.nextSession);
    std::vector<std::unique_ptr<MailClient>> crowd;
    while (crowd.size() < kCrowdMin + 5 && !run.failed) crowd.push_back(s.Connect(1 + s.Below(2)));
    if (run.failed) return;
    run.host = nullptr;
    const DWORD code = host.Stop(testsupport::StandinHost::kTimeoutMs);
    if (code == STILL_ACTIVE)
        return run.Fail("the host did not end within %lu ms of its stop", host.kTimeoutMs);
    if (code != 0) run.Fail("the host ended with exit code 0x%08lx after its stop", code);
}

int Soak(Run& run) {
    const ULONGLONG start = GetTickCount64(), deadline = start + run.options.durationS * 1000ull;
    if (addintest::RegisterPlugin() != S_OK) return run.Fail("cannot register the add-in"), 1;
    const testsupport::StandinHost host(run.profile);
    if (!host.running()) return run.Fail("outlook-standin.exe did not start"), 1;
    run.host = host.process();
    TakeFirstAnswers(run);
    std::printf("soak: seed %llu, profile \"%ls\": %zu folders, %zu mails to save\n", run.options.seed,
                run.profileName.c_str(), run.folderList.size(), run.entryIds.size());

    const uint64_t warmUp = std::min<uint64_t>(
        kWarmUpSessions, std::max<uint64_t>(std::size(kHostile), run.options.sessions / 3));
    Usage before, after;
    if (!run.failed) RunSessions(run, std::min(warmUp, run.options.sessions), ULLONG_MAX);
    Sleep(kSettleMs);
    if (!run.failed && !Measure(run.host, &before)) run.Fail("cannot measure the host: %lu", GetLastError());
    if (!run.failed) PrintUsage("after the warm-up", before);
    if (!run.failed) RunSessions(run, run.options.sessions, deadline);
    // Lingering workers give up after the request timeout; then the figures must be back.
    Sleep(kSettleMs);
    for (const ULONGLONG drained = GetTickCount64() + kDrainMs; !run.failed; Sleep(500)) {
        if (!Measure(run.host, &after)) run.Fail("cannot measure the host: %lu", GetLastError());
        if (WithinBounds(before, after) || GetTickCount64() > drained) break;
    }
    if (!run.failed) PrintUsage("at the end", after);
    std::printf("soak: bounds on growth: +%lu handles, +%u MiB private bytes\n", kHandleBound,
                static_cast<unsigned>(kPrivateBytesBound >> 20));
    if (!run.failed && !WithinBounds(before, after)) run.Fail("the host grew beyond the bounds");
    if (!run.failed) StopWithACrowd(run, host);

    std::printf("soak: %llu sessions, %llu replies verified, %.0f s\n", run.sessions.load(),
                run.verified.load(), static_cast<double>(GetTickCount64() - start) / 1000);
    for (const auto& [kind, count] : run.faults)
        std::printf("soak:   fault %ls: %llu\n", kind.c_str(), count);
    if (run.failed) {
        std::printf("soak: FAILED (seed %llu): %s\n", run.options.seed, run.failure.c_str());
        return 1;
    }
    std::printf("soak: passed\n");
    return 0;
}

bool ParseOptions(int argc, wchar_t** argv, Options* options) {
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::wstring name = argv[i], value = argv[i + 1];
        if (name == L"--profile") {
            options->profile = value;
        } else if (name == L"--sessions") {
            options->sessions = std::stoull(value);
        } else if (name == L"--duration") {
            options->durationS = std::stoul(value);
        } else if (name == L"--seed") {
            options->seed = std::stoull(value);
        } else if (name == L"--threads") {
            options->threads = std::max(1ul, std::stoul(value));
        } else if (name == L"--huge-mib") {
            options->hugeMiB = std::max(1ul, std::stoul(value));
        } else {
            return false;
        }
    }
    if (options->profile.empty()) options->profile = testsupport::BesideThisProgram(L"..\\profiles\\default");
    return argc % 2 == 1;
}

}  // namespace

int main() {
    int exitCode = 0;
    if (testsupport::RunChildRoleIfAsked(&exitCode)) return exitCode;
    int argc = 0;
    const base::UniqueLocal<wchar_t**> argv(CommandLineToArgvW(GetCommandLineW(), &argc));
    static Run run;
    try {
        if (!argv || !ParseOptions(argc, argv.get(), &run.options)) throw std::invalid_argument("usage");
    } catch (const std::exception&) {
        std::printf(
            "usage: soak.exe [--profile DIR] [--sessions N] [--duration SECONDS] [--seed N] [--threads N] "
            "[--huge-mib N]\n");
        return 2;
    }
    const std::filesystem::path work = testsupport::TempPath(L"soak");
    run.savesFolder = work / L"saves";
    run.profile = work / L"profile";
    std::error_code error;
    std::filesystem::create_directories(run.savesFolder, error);
    std::filesystem::copy(run.options.profile, run.profile, std::filesystem::copy_options::recursive, error);
    if (error) {
        std::printf("soak: cannot copy the profile %ls: %s\n", run.options.profile.c_str(),
                    error.message().c_str());
        return 1;
    }
    const int result = Soak(run);
    std::filesystem::remove_all(work, error);
    std::fflush(stdout);
    return result;
}
