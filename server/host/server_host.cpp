// A console host for the mail server, for tests, the demo and benchmarks:
//
//   server-host.exe --channel NAME [--mode N] [--timeout MS] --log PATH
//
// Serves until told to stop: Enter, Ctrl-C, or another process setting the
// server's named stop event, whose name it prints. Then stops and exits 0.
#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <cwchar>
#include <string>

#include "base/unique_resource.h"
#include "diag/log.h"
#include "server/mail_server.h"

namespace {

struct Options {
    std::wstring channel = wire::kChannel;
    uint32_t mode = wire::kChannelMode;
    uint32_t timeoutMs = wire::kRequestTimeoutMs;
    std::wstring logPath;
};

constexpr wchar_t kUsage[] = L"usage: server-host --channel NAME [--mode N] [--timeout MS] --log PATH\n";

bool ParseOptions(Options* options) {
    int argc = 0;
    base::UniqueLocal<wchar_t**> argv(CommandLineToArgvW(GetCommandLineW(), &argc));
    if (!argv) return false;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::wstring option = argv.get()[i];
        const wchar_t* value = argv.get()[i + 1];
        if (option == L"--channel") {
            options->channel = value;
        } else if (option == L"--mode") {
            options->mode = wcstoul(value, nullptr, 10);
        } else if (option == L"--timeout") {
            options->timeoutMs = wcstoul(value, nullptr, 10);
        } else if (option == L"--log") {
            options->logPath = value;
        } else {
            return false;
        }
    }
    return argc % 2 == 1 && !options->channel.empty() && !options->logPath.empty();
}

HANDLE g_quit = nullptr;  // set by Ctrl-C or Enter

BOOL WINAPI OnConsoleControl(DWORD) noexcept {
    SetEvent(g_quit);
    return TRUE;
}

// Sets the quit event when a line is entered; end of input (no console) is not a request.
DWORD WINAPI WatchInput(void*) noexcept {
    char line[256];
    if (fgets(line, sizeof line, stdin)) SetEvent(g_quit);
    return 0;
}

}  // namespace

int main() {
    Options options;
    if (!ParseOptions(&options)) {
        fputws(kUsage, stderr);
        return 2;
    }
    base::UniqueHandle quit(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    g_quit = quit.get();
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
    base::UniqueHandle input(CreateThread(nullptr, 0, WatchInput, nullptr, 0, nullptr));

    OpenLogFile(options.logPath.c_str());
    WriteLogHeader();
    if (FAILED(g_mailServer.Start(options.channel.c_str(), options.mode, options.timeoutMs))) {
        fwprintf(stderr, L"server-host: the server did not start\n");
        return 1;
    }
    wprintf(L"Serving %ls; stop event: %ls\n", options.channel.c_str(),
            g_mailServer.GetStopEventName().c_str());
    fflush(stdout);

    const HANDLE waits[] = {quit.get(), g_mailServer.stopEvent()};
    WaitForMultipleObjects(2, waits, FALSE, INFINITE);
    g_mailServer.Stop(INFINITE);
    wprintf(L"Stopped.\n");
    return 0;
}
