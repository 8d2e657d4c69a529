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
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "client/mail_client.h"
#include "tests/addin/plugin.h"
#include "tests/support/child_process.h"
#include "tests/support/handle_count.h"
#include "tests/support/log_reader.h"
#include "tests/support/probes.h"
#include "tests/support/standin_host.h"

namespace {

using testsupport::Session;
using testsupport::Texts;

// The server gives up on a client that stalls mid-request after its request timeout
// (10 s); workers of such sessions linger that long.
constexpr DWORD kSettleMs = 12000;
// Growth allowed after the warm-up, once the lingering workers have ended.
constexpr DWORD kHandleBound = 32;
constexpr SIZE_T kPrivateBytesBound = SIZE_T{16} << 20;
constexpr DWORD kDrainMs = 60000;
constexpr uint64_t kWarmUpSessions = 100;

struct Options {
    std::wstring profile;
    uint64_t sessions = 1000000;
    uint32_t durationS = 300;
    uint64_t seed = GetTickCount64();
    uint32_t threads = 4;
};

// Every figure of the run beside the probes' target.
struct Run : testsupport::ProbeTarget {
    Options options;
    std::wstring profile;  // the copy the host serves
    std::wstring savesFolder;
    std::atomic<uint64_t> nextSession{0};
    std::atomic<uint64_t> sessions{0};
    std::map<std::wstring, uint64_t> faults;  // under lock
    // The first answers beside the target's, taken before any hostile client.
    Texts folderTree;
    std::vector<Texts> mailLists[2];  // per includeBody 0/1, per folder of folderList
    std::vector<std::wstring> entryIds;

    void CountFault(const wchar_t* kind) {
        const std::lock_guard<std::mutex> guard(lock);
        ++faults[kind];
    }
};

// ---- well-behaved requests, each checked against the first answers ----

void VerifiedRequest(Session& s, Run& run, MailClient& client) {
    switch (s.Below(5)) {
    case 0: {
        std::wstring name;
        if (s.Expect(client.SendCurrentProfileName(&name), client, "profile name"))
            s.Verify(name == run.profileName, "profile name");
        return;
    }
    case 1: {
        Texts paths;
        if (s.Expect(client.GetAllFoldersList(&paths), client, "folder list"))
            s.Verify(paths, run.folderList, "folder list");
        return;
    }
    case 2: {
        Texts paths;
        if (s.Expect(client.FillFolderTree(&paths), client, "folder tree"))
            s.Verify(paths, run.folderTree, "folder tree");
        return;
    }
    case 3: {
        const uint32_t includeBody = s.Below(2),
                       folder = s.Below(static_cast<uint32_t>(run.folderList.size()));
        Texts entries;
        if (s.Expect(client.GetAllMailsFromFolder(run.folderList[folder], includeBody, &entries), client,
                     "mail list"))
            s.Verify(entries, run.mailLists[includeBody][folder], "mail list");
        return;
    }
    default: {
        const std::wstring file = run.savesFolder + L"\\" + std::to_wstring(s.index) + L".msg";
        bool saved = false;
        if (!s.Expect(client.SaveMailToMSGFile(s.Pick(run.entryIds), file, &saved), client, "save")) return;
        s.Verify(saved && testsupport::ReadFileBytes(file).starts_with("\xD0\xCF\x11\xE0"), "save of a mail");
        DeleteFileW(file.c_str());
    }
    }
}

void WellBehaved(Session& s, Run& run) {
    const auto client = s.Connect();
    if (!client) return;
    for (uint32_t n = 1 + s.Below(3); n > 0 && !run.failed; --n) VerifiedRequest(s, run, *client);
    s.Goodbye(*client);
}

struct HostileKind {
    const wchar_t* (*run)(Session&);
    uint32_t weight;  // per 1000 sessions
};
const HostileKind kHostile[] = {
    {testsupport::RandomChunks, 150},     {testsupport::OversizeLength, 80}, {testsupport::CutOff, 80},
    {testsupport::NoAcknowledgement, 80}, {testsupport::WrongFraming, 100},  {testsupport::HugeText, 2},
    {testsupport::DieMidRequest, 10},     {testsupport::Crowd, 3},
};

void RunSession(Run& run, uint64_t index) {
    Session s(run, run.options.seed, index);
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
        WellBehaved(s, run);
    }
    ++run.sessions;
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
    Session s(run, run.options.seed, run.nextSession);
    std::vector<std::unique_ptr<MailClient>> crowd;
    while (crowd.size() < testsupport::kCrowdMin + 5 && !run.failed)
        crowd.push_back(s.Connect(1 + s.Below(2)));
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

bool ParseOptions(int argc, wchar_t** argv, Run* run) {
    Options* options = &run->options;
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
            run->hugeMiB = std::max(1ul, std::stoul(value));
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
        if (!argv || !ParseOptions(argc, argv.get(), &run)) throw std::invalid_argument("usage");
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
