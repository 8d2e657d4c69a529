// Benchmark of Outlook's exit with the add-in loaded, run on demand (not a test):
//   exit_bench.exe PROFILE_FOLDER INBOX_PATH
// How long the add-in's OnDisconnection takes on Outlook's main thread, as the Outlook
// stand-in host in a second process reports it: with kIdleClients clients connected
// beside none, and with a mail list of the Inbox in flight beside the same list
// without an exit, which the stop has to let finish. Medians of kRounds hosts.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/bench_util.h"
#include "tests/support/standin_host.h"

namespace {

constexpr int kRounds = 3;
constexpr size_t kIdleClients = 100;
constexpr char kReport[] = "OnDisconnection took ";

// What one host's exit cost: OnDisconnection in ms, and the list's time when one ran.
struct Exit {
    double disconnection = -1;
    double list = -1;
};

// One host on `profile`: `idle` clients connected, the Inbox listed with the exit
// coming after the count when `inFlight`, else the list timed alone first; then the
// host stopped. Negative figures when something failed.
Exit RunHost(const std::wstring& profile, const std::wstring& inbox, size_t idle, bool inFlight) {
    Exit exit;
    testsupport::StandinHost host(profile);
    const std::unique_ptr<MailClient> lister = host.Connect(2, bench::kReplyTimeoutMs);
    if (!lister) return exit;
    std::vector<std::unique_ptr<MailClient>> clients;
    for (size_t i = 0; i < idle; ++i) {
        clients.push_back(host.Connect(2, bench::kReplyTimeoutMs));
        if (!clients.back()) return exit;
    }
    const uint32_t timeoutMs = lister->timeoutMs();
    const LARGE_INTEGER start = bench::Now();
    uint32_t count = 0;
    bool listed = lister->BeginRequest(wire::RequestCode::GetAllMailsFromFolder) &&
                  lister->tunnel().SendString(inbox, timeoutMs) && lister->tunnel().SendDword(0, timeoutMs) &&
                  lister->tunnel().ReceiveDword(&count, timeoutMs);
    if (inFlight && !host.SignalStop()) return exit;
    for (uint32_t i = 0; listed && i < count; ++i) {
        std::wstring entry;
        listed = lister->tunnel().ReceiveString(&entry, timeoutMs);
    }
    if (!listed) return exit;
    exit.list = bench::Seconds(start, bench::Now()) * 1000;
    if (host.Stop(testsupport::StandinHost::kTimeoutMs) == STILL_ACTIVE) return exit;
    const std::string output = host.Output();
    const size_t at = output.find(kReport);
    if (at != std::string::npos) exit.disconnection = std::atof(output.c_str() + at + sizeof(kReport) - 1);
    return exit;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) {
        std::fputs("usage: exit_bench.exe PROFILE_FOLDER INBOX_PATH\n", stderr);
        return 2;
    }
    std::vector<double> none, idle, inFlight, list;
    for (int round = 0; round < kRounds; ++round) {
        const Exit plain = RunHost(argv[1], argv[2], 0, false);
        none.push_back(plain.disconnection);
        list.push_back(plain.list);
        idle.push_back(RunHost(argv[1], argv[2], kIdleClients, false).disconnection);
        inFlight.push_back(RunHost(argv[1], argv[2], 0, true).disconnection);
    }
    const std::string idleFigure = "OnDisconnection, " + std::to_string(kIdleClients) + " idle clients";
    bench::Row(idleFigure.c_str(), bench::Median(idle), "ms", "OnDisconnection, no client",
               bench::Median(none));
    bench::Row("OnDisconnection, an Inbox list in flight", bench::Median(inFlight), "ms",
               "the same list without an exit", bench::Median(list));
    for (const std::vector<double>* figures : {&none, &idle, &inFlight, &list})
        for (const double figure : *figures)
            if (figure < 0) return 1;
    return 0;
}
