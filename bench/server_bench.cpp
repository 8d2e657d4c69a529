// Benchmark of the mail server, run on demand (not a test):
//   - requests per second of code 6 with 1 and 8 concurrent clients, each on its own
//     connection, the clients in a second process as in production; beside them the
//     same two numbers per request (marker and code) read by a bare tunnel server in
//     the same process, one thread per connection, with no dispatch and no log;
//   - how long Stop takes with 200 idle clients connected, beside Stop with none.
#include <windows.h>
#include <shellapi.h>

#include <atomic>
#include <optional>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "base/unique_resource.h"
#include "bench/measure.h"
#include "client/mail_client.h"
#include "diag/log.h"
#include "server/mail_server.h"
#include "tests/support/child_process.h"

namespace {

constexpr int kRequests = 2000;  // per measurement, shared by its clients
constexpr int kRounds = 3;
constexpr int kIdleClients = 200;
constexpr uint32_t kTimeoutMs = 60000;

// This program again in the role and with the arguments; its exit code once it ended.
DWORD RunSelf(const std::vector<std::wstring>& arguments) {
    return testsupport::Program(testsupport::ThisProgram(), arguments).Wait(INFINITE);
}

// The bare server: every connection's marker and code read on a thread of its own.
class BareServer {
public:
    explicit BareServer(std::wstring tunnelName)
        : tunnelName_(std::move(tunnelName)), stop_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
        accept_ = std::thread([this] { Accept(); });
    }
    ~BareServer() {
        SetEvent(stop_.get());
        accept_.join();
        for (std::thread& worker : workers_) worker.join();
    }
    BareServer(const BareServer&) = delete;
    BareServer& operator=(const BareServer&) = delete;

private:
    void Accept() {
        for (;;) {
            std::unique_ptr<TunnelConnection> connection;
            if (!TunnelAccept(tunnelName_.c_str(), &connection, wire::kServerModeLocal, stop_.get(), INFINITE,
                              wire::kChannelMappingSize, wire::kHandshakeTimeoutMs))
                return;
            workers_.emplace_back([this, c = std::move(connection)] { Serve(c.get()); });
        }
    }
    void Serve(TunnelConnection* connection) const {
        uint32_t marker = 0, code = 0;
        while (TunnelReceiveDword(connection, &marker, kRequestMarkerTimeoutMs, stop_.get()) &&
               marker == wire::kRequestMarker &&
               TunnelReceiveDword(connection, &code, wire::kRequestTimeoutMs, stop_.get())) {
        }
    }

    const std::wstring tunnelName_;
    const base::UniqueHandle stop_;
    std::thread accept_;
    std::vector<std::thread> workers_;
};

// Requests per second of `clients` connections to `tunnelName`, each sending its
// share of kRequests code-6 requests at once; 0 when one failed.
double RequestRate(const std::wstring& tunnelName, int clients) {
    std::vector<std::unique_ptr<TunnelClient>> connections;
    for (int i = 0; i < clients; ++i) {
        connections.push_back(TunnelClient::Connect(tunnelName.c_str(), 2, kTimeoutMs));
        if (!connections.back()) return 0;
    }
    std::atomic<int> failures{0};
    const LARGE_INTEGER start = bench::Now();
    std::vector<std::thread> threads;
    for (auto& connection : connections) {
        threads.emplace_back([&failures, clients, client = connection.get()] {
            for (int i = 0; i < kRequests / clients; ++i) {
                if (!client->SendDword(wire::kRequestMarker, kTimeoutMs) ||
                    !client->SendDword(static_cast<uint32_t>(wire::RequestCode::NoOperation), kTimeoutMs)) {
                    ++failures;
                    return;
                }
            }
        });
    }
    for (auto& thread : threads) thread.join();
    const double seconds = bench::Seconds(start, bench::Now());
    return failures == 0 ? (kRequests / clients) * clients / seconds : 0;
}

// Child: the rates of the mail server and of the bare server, rounds taken in turn.
int ClientsChild(const std::wstring& channel, const std::wstring& bareChannel, int clients) {
    std::vector<double> server, bare;
    for (int round = 0; round < kRounds; ++round) {
        server.push_back(RequestRate(wire::TunnelName(channel), clients));
        bare.push_back(RequestRate(wire::TunnelName(bareChannel), clients));
    }
    const std::string figure = "code 6 requests, " + std::to_string(clients) + " client" +
                               (clients == 1 ? "" : "s"),
                      baseline = "bare tunnel server, same messages";
    bench::Row(figure.c_str(), bench::Median(server), "requests/s", baseline.c_str(), bench::Median(bare));
    return 0;
}

// Child: holds kIdleClients connections, says so, and waits to be released.
int IdleChild(const std::wstring& channel, const std::wstring& connectedName,
              const std::wstring& releaseName) {
    const base::UniqueHandle connected(OpenEventW(EVENT_MODIFY_STATE, FALSE, connectedName.c_str()));
    const base::UniqueHandle release(OpenEventW(SYNCHRONIZE, FALSE, releaseName.c_str()));
    std::vector<std::unique_ptr<MailClient>> connections;
    for (int i = 0; i < kIdleClients; ++i) {
        connections.push_back(MailClient::Connect(channel, 2, kTimeoutMs));
        if (!connections.back()) return 2;
    }
    SetEvent(connected.get());
    WaitForSingleObject(release.get(), 2 * kTimeoutMs);
    return 0;
}

// Milliseconds Stop takes once the server has run idle for a moment with `idleClients`
// connected; 0 when it could not be measured.
double StopMs(const std::wstring& channel, int idleClients) {
    if (FAILED(g_mailServer.Start(channel.c_str(), wire::kChannelMode, wire::kRequestTimeoutMs))) return 0;
    std::optional<testsupport::Program> child;
    const std::wstring suffix = L"." + std::to_wstring(GetCurrentProcessId());
    const std::wstring connectedName = L"Local\\ServerBench.Connected" + suffix,
                       releaseName = L"Local\\ServerBench.Release" + suffix;
    const base::UniqueHandle connected(CreateEventW(nullptr, TRUE, FALSE, connectedName.c_str()));
    const base::UniqueHandle release(CreateEventW(nullptr, TRUE, FALSE, releaseName.c_str()));
    if (idleClients > 0) {
        child.emplace(testsupport::ThisProgram(),
                      std::vector<std::wstring>{L"idle-child", channel, connectedName, releaseName});
        const HANDLE waits[] = {connected.get(), child->handle()};
        if (!child->running() || WaitForMultipleObjects(2, waits, FALSE, 4 * kTimeoutMs) != WAIT_OBJECT_0) {
            g_mailServer.Stop(INFINITE);
            return 0;
        }
    }
    Sleep(100);  // every worker waiting for its client's first marker
    const LARGE_INTEGER start = bench::Now();
    g_mailServer.Stop(INFINITE);
    const double ms = bench::Seconds(start, bench::Now()) * 1000;
    SetEvent(release.get());
    return idleClients == 0 || child->Wait(INFINITE) == 0 ? ms : 0;
}

}  // namespace

int main() {
    int argc = 0;
    base::UniqueLocal<wchar_t**> argv(CommandLineToArgvW(GetCommandLineW(), &argc));
    const std::wstring role = argc > 1 ? argv.get()[1] : L"";
    if (role == L"clients-child" && argc == 5)
        return ClientsChild(argv.get()[2], argv.get()[3], _wtoi(argv.get()[4]));
    if (role == L"idle-child" && argc == 5) return IdleChild(argv.get()[2], argv.get()[3], argv.get()[4]);

    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    const std::wstring logPath = std::wstring(temp) + L"server-bench.log";
    DeleteFileW(logPath.c_str());
    OpenLogFile(logPath.c_str());  // requests are logged, as in production

    const std::wstring suffix = std::to_wstring(GetCurrentProcessId());
    const std::wstring channel = L"ServerBench." + suffix, bareChannel = L"ServerBench.Bare." + suffix;
    if (FAILED(g_mailServer.Start(channel.c_str(), wire::kChannelMode, wire::kRequestTimeoutMs))) {
        std::printf("the server did not start\n");
        return 1;
    }
    {
        const BareServer bare(wire::TunnelName(bareChannel));
        for (const int clients : {1, 8}) {
            if (RunSelf({L"clients-child", channel, bareChannel, std::to_wstring(clients)}) != 0)
                std::printf("%d clients: failed\n", clients);
        }
    }
    g_mailServer.Stop(INFINITE);

    std::vector<double> idle;
    for (int round = 0; round < kRounds; ++round) idle.push_back(StopMs(channel, 0));
    const std::string figure = "Stop, " + std::to_string(kIdleClients) + " idle clients";
    bench::Row(figure.c_str(), StopMs(channel, kIdleClients), "ms", "Stop, no client", bench::Median(idle));
    return 0;
}
