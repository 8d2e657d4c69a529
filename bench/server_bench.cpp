// Benchmark of the mail server, run on demand (not a test):
//   - requests per second of code 6 with 1, 2 and 8 concurrent clients, each on its
//     own connection, the clients in a second process as in production;
//   - beside them, a named-pipe ping-pong between the same two processes;
//   - how long Stop takes with 200 idle clients connected.
#include <windows.h>
#include <shellapi.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "base/unique_resource.h"
#include "client/mail_client.h"
#include "diag/log.h"
#include "server/mail_server.h"

namespace {

constexpr int kRequestsPerClient = 2000;
constexpr int kPipeRoundTrips = 4000;
constexpr int kIdleClients = 200;

double Seconds(LARGE_INTEGER from, LARGE_INTEGER to) {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return double(to.QuadPart - from.QuadPart) / double(frequency.QuadPart);
}

LARGE_INTEGER Now() {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now;
}

// Starts this program again with the arguments; returns its exit code.
DWORD RunSelf(const std::wstring& arguments, HANDLE* running = nullptr) {
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring commandLine = L"\"" + std::wstring(self) + L"\" " + arguments;
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    if (!CreateProcessW(self, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &info))
        return 1;
    base::UniqueHandle process(info.hProcess), thread(info.hThread);
    if (running) {
        *running = process.release();
        return 0;
    }
    WaitForSingleObject(process.get(), INFINITE);
    DWORD code = 1;
    GetExitCodeProcess(process.get(), &code);
    return code;
}

// Child: `clients` connections, each sending kRequestsPerClient no-operation requests.
int ClientsChild(const std::wstring& channel, int clients) {
    std::vector<std::unique_ptr<MailClient>> connections;
    for (int i = 0; i < clients; ++i) {
        connections.push_back(MailClient::Connect(channel));
        if (!connections.back()) return 2;
    }
    std::atomic<int> failures{0};
    const LARGE_INTEGER start = Now();
    std::vector<std::thread> threads;
    for (auto& connection : connections) {
        threads.emplace_back([&failures, client = connection.get()] {
            for (int i = 0; i < kRequestsPerClient; ++i) {
                if (!client->BeginRequest(RequestCode::NoOperation)) {
                    ++failures;
                    return;
                }
            }
        });
    }
    for (auto& thread : threads) thread.join();
    const double seconds = Seconds(start, Now());
    printf("  code 6, %d client%s: %8.0f requests/s\n", clients, clients == 1 ? " " : "s",
           clients * kRequestsPerClient / seconds);
    fflush(stdout);
    return failures == 0 ? 0 : 3;
}

// Child: holds kIdleClients connections until the named event is set.
int IdleChild(const std::wstring& channel, const std::wstring& releaseName) {
    base::UniqueHandle release(OpenEventW(SYNCHRONIZE, FALSE, releaseName.c_str()));
    std::vector<std::unique_ptr<MailClient>> connections;
    for (int i = 0; i < kIdleClients; ++i) {
        connections.push_back(MailClient::Connect(channel, 2, 60000));
        if (!connections.back()) return 2;
    }
    WaitForSingleObject(release.get(), 120000);
    return 0;
}

// Child: the named-pipe side of the ping-pong.
int PipeChild(const std::wstring& pipeName) {
    base::UniqueFile pipe(
        CreateFileW(pipeName.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!pipe) return 2;
    uint32_t value = 0;
    DWORD done = 0;
    for (int i = 0; i < kPipeRoundTrips; ++i) {
        if (!ReadFile(pipe.get(), &value, 4, &done, nullptr) ||
            !WriteFile(pipe.get(), &value, 4, &done, nullptr))
            return 3;
    }
    return 0;
}

void MeasureNamedPipe() {
    const std::wstring name = L"\\\\.\\pipe\\server-bench." + std::to_wstring(GetCurrentProcessId());
    base::UniqueFile pipe(CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE | PIPE_WAIT, 1,
                                           4096, 4096, 0, nullptr));
    HANDLE child = nullptr;
    RunSelf(L"pipe-child " + name, &child);
    base::UniqueHandle owned(child);
    ConnectNamedPipe(pipe.get(), nullptr);
    uint32_t value = 0;
    DWORD done = 0;
    const LARGE_INTEGER start = Now();
    for (int i = 0; i < kPipeRoundTrips; ++i) {
        if (!WriteFile(pipe.get(), &value, 4, &done, nullptr) ||
            !ReadFile(pipe.get(), &value, 4, &done, nullptr))
            break;
    }
    const double seconds = Seconds(start, Now());
    WaitForSingleObject(child, INFINITE);
    printf("  named pipe ping-pong:  %8.0f round trips/s (baseline)\n", kPipeRoundTrips / seconds);
}

void MeasureStopLatency(const std::wstring& channel) {
    const std::wstring releaseName = L"Local\\server-bench.release";
    base::UniqueHandle release(CreateEventW(nullptr, TRUE, FALSE, releaseName.c_str()));
    HANDLE child = nullptr;
    RunSelf(L"idle-child " + channel + L" " + releaseName, &child);
    base::UniqueHandle owned(child);
    while (g_mailServer.ThreadCount() < kIdleClients + 1) {
        if (WaitForSingleObject(child, 10) == WAIT_OBJECT_0) {
            printf("  the idle clients did not all connect\n");
            return;
        }
    }
    const LARGE_INTEGER start = Now();
    g_mailServer.Stop(INFINITE);
    printf("  Stop with %d idle clients: %.1f ms\n", kIdleClients, Seconds(start, Now()) * 1000);
    SetEvent(release.get());
    WaitForSingleObject(child, INFINITE);
}

}  // namespace

int main() {
    int argc = 0;
    base::UniqueLocal<wchar_t**> argv(CommandLineToArgvW(GetCommandLineW(), &argc));
    const std::wstring role = argc > 1 ? argv.get()[1] : L"";
    if (role == L"clients-child" && argc == 4) return ClientsChild(argv.get()[2], _wtoi(argv.get()[3]));
    if (role == L"idle-child" && argc == 4) return IdleChild(argv.get()[2], argv.get()[3]);
    if (role == L"pipe-child" && argc == 3) return PipeChild(argv.get()[2]);

    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    const std::wstring logPath = std::wstring(temp) + L"server-bench.log";
    DeleteFileW(logPath.c_str());
    OpenLogFile(logPath.c_str());  // requests are logged, as in production

    const std::wstring channel = L"ServerBench." + std::to_wstring(GetCurrentProcessId());
    if (FAILED(g_mailServer.Start(channel.c_str(), kServerModeLocal, kMailServerRequestTimeoutMs))) {
        printf("the server did not start\n");
        return 1;
    }
    printf("mail server benchmark (two processes)\n");
    for (int clients : {1, 2, 8}) {
        if (RunSelf(L"clients-child " + channel + L" " + std::to_wstring(clients)) != 0)
            printf("  %d clients: failed\n", clients);
    }
    MeasureNamedPipe();
    MeasureStopLatency(channel);
    return 0;
}
