// Benchmarks of backup-client's long runs, run on demand (not a test):
//   backup_bench.exe PROFILE_FOLDER OUTPUT_FOLDER [JOBS_PROFILE_FOLDER]
//   backup_bench.exe --scale JOBS OUTPUT_FOLDER PROFILE_FOLDER...
//
// The first: `backup --to DIR --all-folders --jobs 1` against an Outlook stand-in host
// in a second process, beside the same requests issued directly by a client of that
// host: the folder list (code 0), a folder's mail list (code 1) and each of its mails
// saved (code 2), for the first kBaselineMails mails, folder by folder: the whole
// profile twice over would take most of the benchmarks' time under Wine. Both are
// given per mail. The tool also keeps its index and makes its folders; the difference
// is what that costs. With JOBS_PROFILE_FOLDER (a copy the runs may change), then
// its backup and its restore-all into a new store with 1, 2 and 4 jobs: each rate
// against one job's.
//
// The second (--scale): for each profile in turn, the first the reference, against a
// host of its own: the full backup with JOBS jobs, its rerun that finds nothing new,
// the listing alone (the folder list and every folder's mail list, by JOBS clients), and
// the peak memory of the tool and of the host. The cost per mail against the first
// profile's, the rerun against the listing, the memory against the first profile's.
//
// Each run's own output goes to OUTPUT_FOLDER\<what>.log.
#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "base/unique_resource.h"
#include "bench/bench_util.h"
#include "tests/support/standin_host.h"

namespace {

constexpr DWORD kToolTimeoutMs = 3 * 60 * 60 * 1000;
constexpr DWORD kSampleMs = 100;
constexpr size_t kBaselineMails = 500;
constexpr unsigned kJobRows[] = {1, 2, 4};
// Two jobs are to run at least this many times one job's rate.
constexpr double kTwoJobsGain = 1.5;
constexpr double kPerMailGrowth = 1.1;  // the cost per mail at scale over the reference's
constexpr double kRerunOverListing = 1.2;

// The client's own backup of whole folders until kBaselineMails mails are saved: the
// number saved, 0 when a request failed.
size_t DirectBackup(MailClient& client, const std::wstring& output) {
    std::vector<std::wstring> folders;
    if (!client.GetAllFoldersList(&folders)) return 0;
    size_t saved = 0;
    for (const std::wstring& folder : folders) {
        if (saved >= kBaselineMails) break;
        std::vector<MailListEntry> entries;
        if (!client.GetAllMailsFromFolder(folder, 0, &entries)) return 0;
        for (const MailListEntry& entry : entries) {
            bool ok = false;
            if (!entry.mail()) continue;
            if (!client.SaveMailToMSGFile(entry.entryId, output + L"\\" + std::to_wstring(saved) + L".msg",
                                          &ok))
                return 0;
            saved += ok ? 1 : 0;
        }
    }
    return saved;
}

// The folder list and every folder's mail list, the folders shared between `clients`
// new connections as the tool's jobs share them (the add-in drops a connection left idle
// for two minutes): what a backup that finds nothing new cannot do without. The mails
// listed, 0 when a request failed.
size_t ListEverything(const testsupport::StandinHost& host, unsigned clients) {
    std::vector<std::wstring> folders;
    const std::unique_ptr<MailClient> first = host.Connect(2, bench::kReplyTimeoutMs);
    if (!first || !first->GetAllFoldersList(&folders)) return 0;
    std::atomic<size_t> next{0}, mails{0};
    std::atomic<bool> failed{false};
    const auto listFolders = [&](MailClient& client) {
        for (size_t i; !failed && (i = next++) < folders.size();) {
            std::vector<MailListEntry> entries;
            if (!client.GetAllMailsFromFolder(folders[i], 0, &entries)) failed = true;
            mails += entries.size();
        }
    };
    std::vector<std::thread> others;
    for (unsigned i = 1; i < clients; ++i) {
        others.emplace_back([&] {
            const std::unique_ptr<MailClient> client = host.Connect(2, bench::kReplyTimeoutMs);
            if (client)
                listFolders(*client);
            else
                failed = true;
        });
    }
    listFolders(*first);
    for (std::thread& other : others) other.join();
    return failed ? 0 : mails.load();
}

// Message files below `folder`, at any depth.
size_t CountMessageFiles(const std::wstring& folder) {
    WIN32_FIND_DATAW data{};
    const HANDLE raw = FindFirstFileW((folder + L"\\*").c_str(), &data);
    if (raw == INVALID_HANDLE_VALUE) return 0;
    struct FindCloser {
        void operator()(HANDLE h) const noexcept { FindClose(h); }
    };
    const std::unique_ptr<void, FindCloser> find(raw);
    size_t count = 0;
    do {
        const std::wstring name = data.cFileName;
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            if (name != L"." && name != L"..") count += CountMessageFiles(folder + L"\\" + name);
        } else if (name.size() > 4 && _wcsicmp(name.c_str() + name.size() - 4, L".msg") == 0) {
            ++count;
        }
    } while (FindNextFileW(find.get(), &data));
    return count;
}

// A process's peak private bytes in MB; 0 when the system does not say.
double PeakMegabytes(HANDLE process) {
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof(counters);
    return GetProcessMemoryInfo(process, &counters, sizeof(counters)) ? counters.PeakPagefileUsage / 1048576.0
                                                                      : 0;
}

struct ToolRun {
    double seconds = -1;  // -1: it failed
    double peakMb = 0;
};

// One run of the tool, its output into `logFile`; a backup that finds a failure
// (exit status 1) still counts, as the profile's meeting requests are no mails.
ToolRun RunTool(const std::vector<std::wstring>& args, const std::wstring& logFile) {
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    const base::UniqueFile log(
        CreateFileW(logFile.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0, nullptr));
    if (!log) return {};
    const LARGE_INTEGER start = bench::Now();
    const testsupport::Program tool(testsupport::BesideThisProgram(L"backup-client.exe"), args, log.get());
    // Sampled while it runs: an ended process's counters are gone under Wine.
    double peakMb = 0;
    DWORD code = STILL_ACTIVE;
    while ((code = tool.Wait(kSampleMs)) == STILL_ACTIVE &&
           bench::Seconds(start, bench::Now()) * 1000 < kToolTimeoutMs)
        peakMb = std::max(peakMb, PeakMegabytes(tool.handle()));
    const double seconds = bench::Seconds(start, bench::Now());
    if (code != 0 && code != 1) return {};
    return {seconds, peakMb};
}

std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

// A host of `profile` with a warm client.
struct Session {
    explicit Session(const std::wstring& profile) : host(profile), client(bench::WarmClient(host)) {}
    testsupport::StandinHost host;
    std::unique_ptr<MailClient> client;
};

// The 1-job rates of the backup and of restore-all, then 2 and 4 jobs against them.
// Every backup runs before the first restore-all, whose new store the next backup
// would otherwise also list; each restore-all restores the 1-job backup.
bool JobRows(const std::wstring& profile, const std::wstring& output) {
    const Session session(profile);
    if (!session.client) return false;
    const auto folder = [&](unsigned jobs) { return output + L"\\jobs" + std::to_wstring(jobs); };
    double rates[2][std::size(kJobRows)] = {};
    for (size_t i = 0; i < std::size(kJobRows); ++i) {
        const ToolRun backup = RunTool({L"backup", L"--to", folder(kJobRows[i]), L"--all-folders", L"--jobs",
                                        std::to_wstring(kJobRows[i])},
                                       folder(kJobRows[i]) + L"-backup.log");
        const size_t saved = CountMessageFiles(folder(kJobRows[i]));
        rates[0][i] = backup.seconds > 0 ? saved / backup.seconds : 0;
    }
    const size_t mails = CountMessageFiles(folder(1));
    for (size_t i = 0; i < std::size(kJobRows); ++i) {
        const std::wstring jobs = std::to_wstring(kJobRows[i]);
        const ToolRun restore =
            RunTool({L"restore-all", folder(1), L"--into", L"Jobs " + jobs, L"--jobs", jobs},
                    folder(kJobRows[i]) + L"-restore-all.log");
        rates[1][i] = restore.seconds > 0 ? mails / restore.seconds : 0;
    }
    const char* runs[] = {"backup", "restore-all"};
    for (size_t run = 0; run < 2; ++run) {
        for (size_t i = 1; i < std::size(kJobRows); ++i) {
            char figure[96];
            snprintf(figure, sizeof(figure), "%s of %zu mails, %u jobs", runs[run], mails, kJobRows[i]);
            bench::Row(figure, rates[run][i], "mails/s", "the same with 1 job", rates[run][0],
                       kJobRows[i] == 2 ? 1 / kTwoJobsGain : 0);
        }
    }
    return rates[0][0] > 0 && rates[1][0] > 0;
}

int Basic(const std::wstring& profile, const std::wstring& output, const std::wstring& jobsProfile) {
    const std::wstring direct = output + L"\\direct", tool = output + L"\\tool";
    if (!CreateDirectoryW(direct.c_str(), nullptr) || !CreateDirectoryW(tool.c_str(), nullptr)) {
        fputs("backup_bench: OUTPUT_FOLDER must exist and be empty\n", stderr);
        return 2;
    }
    {
        const Session session(profile);
        if (!session.client) {
            fputs("backup_bench: the add-in does not answer\n", stderr);
            return 1;
        }
        const LARGE_INTEGER start = bench::Now();
        const size_t saved = DirectBackup(*session.client, direct);
        const double baseline = saved > 0 ? bench::Seconds(start, bench::Now()) * 1000 / double(saved) : 0;
        const ToolRun run = RunTool({L"backup", L"--to", tool, L"--all-folders", L"--jobs", L"1"},
                                    output + L"\\backup-client.log");
        const size_t files = CountMessageFiles(tool);
        if (run.seconds < 0) printf("backup-client failed: see %ls\\backup-client.log\n", output.c_str());
        char figure[96], baselineName[96];
        snprintf(figure, sizeof(figure), "full backup by backup-client, %zu mails in %.0f s", files,
                 run.seconds);
        snprintf(baselineName, sizeof(baselineName), "the same requests by a client, first %zu mails", saved);
        bench::Row(figure, run.seconds > 0 && files > 0 ? run.seconds * 1000 / double(files) : 0, "ms a mail",
                   baselineName, baseline);
        if (run.seconds < 0 || files == 0) return 1;
    }
    return jobsProfile.empty() || JobRows(jobsProfile, output) ? 0 : 1;
}

// Figures of one profile's runs.
struct Scale {
    size_t mails = 0;
    double perMailMs = 0;
    double rerunSeconds = 0, listingSeconds = 0;
    double toolMb = 0, hostMb = 0;
};

// The backup first, the listing alone last: at 100,000 mails each takes most of an
// hour, and each figure is printed as it comes.
Scale MeasureScale(const std::wstring& profile, const std::wstring& jobs, const std::wstring& folder) {
    Scale scale;
    const Session session(profile);
    if (!session.client) return scale;
    const std::vector<std::wstring> backup = {L"backup", L"--to", folder, L"--all-folders", L"--jobs", jobs};
    const ToolRun full = RunTool(backup, folder + L"-backup.log");
    scale.mails = CountMessageFiles(folder);
    scale.perMailMs = full.seconds > 0 && scale.mails > 0 ? full.seconds * 1000 / double(scale.mails) : 0;
    printf("%ls: backup of %zu mails in %.0f s, peak %.0f MB\n", profile.c_str(), scale.mails, full.seconds,
           full.peakMb);
    fflush(stdout);
    const ToolRun rerun = RunTool(backup, folder + L"-rerun.log");
    scale.rerunSeconds = std::max(rerun.seconds, 0.0);
    printf("%ls: rerun in %.0f s, peak %.0f MB\n", profile.c_str(), rerun.seconds, rerun.peakMb);
    fflush(stdout);
    const LARGE_INTEGER start = bench::Now();
    const size_t listed = ListEverything(session.host, std::stoul(jobs));
    scale.listingSeconds = listed > 0 ? bench::Seconds(start, bench::Now()) : 0;
    scale.toolMb = std::max(full.peakMb, rerun.peakMb);
    scale.hostMb = PeakMegabytes(session.host.process());
    return scale;
}

int Scaled(const std::wstring& jobs, const std::wstring& output, const std::vector<std::wstring>& profiles) {
    Scale reference;
    bool measured = true;
    for (size_t i = 0; i < profiles.size(); ++i) {
        const Scale scale = MeasureScale(profiles[i], jobs, output + L"\\scale" + std::to_wstring(i));
        if (i == 0) reference = scale;
        measured = measured && scale.mails > 0;
        char figure[128], baseline[128];
        const std::string atReference = "the same at " + std::to_string(reference.mails) + " mails";
        snprintf(figure, sizeof(figure), "backup of %zu mails, %s jobs, a mail", scale.mails,
                 Narrow(jobs).c_str());
        bench::Row(figure, scale.perMailMs, "ms", atReference.c_str(), reference.perMailMs,
                   i > 0 ? kPerMailGrowth : 0);
        snprintf(figure, sizeof(figure), "its rerun, nothing new, %zu mails", scale.mails);
        snprintf(baseline, sizeof(baseline), "the folder list and every mail list, %s clients",
                 Narrow(jobs).c_str());
        bench::Row(figure, scale.rerunSeconds, "s", baseline, scale.listingSeconds, kRerunOverListing);
        snprintf(figure, sizeof(figure), "backup-client's peak memory, %zu mails", scale.mails);
        bench::Row(figure, scale.toolMb, "MB", atReference.c_str(), reference.toolMb);
        snprintf(figure, sizeof(figure), "the host's peak memory, %zu mails", scale.mails);
        bench::Row(figure, scale.hostMb, "MB", atReference.c_str(), reference.hostMb);
    }
    return measured ? 0 : 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc >= 5 && std::wstring(argv[1]) == L"--scale")
        return Scaled(argv[2], argv[3], std::vector<std::wstring>(argv + 4, argv + argc));
    if (argc != 3 && argc != 4) {
        fputs(
            "usage: backup_bench.exe PROFILE_FOLDER OUTPUT_FOLDER [JOBS_PROFILE_FOLDER]\n"
            "       backup_bench.exe --scale JOBS OUTPUT_FOLDER PROFILE_FOLDER...\n",
            stderr);
        return 2;
    }
    return Basic(argv[1], argv[2], argc == 4 ? argv[3] : L"");
}
