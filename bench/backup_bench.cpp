// Benchmark of a full backup by the backup tool, run on demand (not a test):
//   backup_bench.exe PROFILE_FOLDER OUTPUT_FOLDER
// `backup-client.exe backup --to DIR --all-folders` against an Outlook stand-in host
// in a second process, beside the same requests issued directly by a client of that
// host: the folder list (code 0), a folder's mail list (code 1) and each of its mails
// saved (code 2), for the first kBaselineMails mails, folder by folder: the whole
// profile twice over would take most of the benchmarks' time under Wine. Both are
// given per mail. The tool also keeps its index and makes its folders; the
// difference is what that costs. Its own output goes to OUTPUT_FOLDER\backup-client.log.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "base/unique_resource.h"
#include "bench/bench_util.h"
#include "tests/support/standin_host.h"

namespace {

constexpr DWORD kToolTimeoutMs = 30 * 60 * 1000;
constexpr size_t kBaselineMails = 1000;

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

// Seconds the tool took, with the files it left in `target`; -1 when it failed.
double RunTool(const std::wstring& target, const std::wstring& logFile) {
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    const base::UniqueFile log(
        CreateFileW(logFile.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0, nullptr));
    if (!log) return -1;
    const LARGE_INTEGER start = bench::Now();
    const testsupport::Program tool(testsupport::BesideThisProgram(L"backup-client.exe"),
                                    {L"backup", L"--to", target, L"--all-folders"}, log.get());
    const DWORD code = tool.Wait(kToolTimeoutMs);
    return code == 0 ? bench::Seconds(start, bench::Now()) : -1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) {
        fputs("usage: backup_bench.exe PROFILE_FOLDER OUTPUT_FOLDER\n", stderr);
        return 2;
    }
    const std::wstring output = argv[2], direct = output + L"\\direct", tool = output + L"\\tool";
    if (!CreateDirectoryW(direct.c_str(), nullptr) || !CreateDirectoryW(tool.c_str(), nullptr)) {
        fputs("backup_bench: OUTPUT_FOLDER must exist and be empty\n", stderr);
        return 2;
    }
    const testsupport::StandinHost host(argv[1]);
    const std::unique_ptr<MailClient> client = host.Connect(2, bench::kReplyTimeoutMs);
    std::vector<std::wstring> folders;
    if (!client || !client->GetAllFoldersList(&folders)) {  // the first request warms up
        fputs("backup_bench: the add-in does not answer\n", stderr);
        return 1;
    }
    const LARGE_INTEGER start = bench::Now();
    const size_t saved = DirectBackup(*client, direct);
    const double baseline = saved > 0 ? bench::Seconds(start, bench::Now()) * 1000 / double(saved) : 0;
    const double seconds = RunTool(tool, output + L"\\backup-client.log");
    const size_t files = CountMessageFiles(tool);
    if (seconds < 0) printf("backup-client failed: see %ls\\backup-client.log\n", output.c_str());
    char figure[96], baselineName[96];
    snprintf(figure, sizeof(figure), "full backup by backup-client, %zu mails in %.0f s", files, seconds);
    snprintf(baselineName, sizeof(baselineName), "the same requests by a client, first %zu mails", saved);
    bench::Row(figure, seconds > 0 && files > 0 ? seconds * 1000 / double(files) : 0, "ms a mail",
               baselineName, baseline);
    return seconds > 0 && files > 0 ? 0 : 1;
}
