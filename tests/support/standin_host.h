// outlook-standin.exe (beside this test program) on a profile, in a process of its
// own, connecting the registered add-in as Outlook does; stopped through its stop
// event, as a user closes Outlook. Its output goes to a file, for what it reports.
// The tests, the soak and the benchmarks start the host through it; they link the
// backup client.
#pragma once

#include <windows.h>

#include <cstdio>
#include <memory>
#include <string>

#include "base/unique_resource.h"
#include "client/mail_client.h"
#include "tunnel/wire.h"
#include "tests/support/child_process.h"
#include "tests/support/log_reader.h"

namespace testsupport {

// Whether no process serves the add-in's channel within timeoutMs (a host still ending).
[[nodiscard]] inline bool ChannelFree(DWORD timeoutMs) {
    const std::wstring stopEvent = wire::StopEventName(wire::kChannel);
    for (const ULONGLONG start = GetTickCount64();; Sleep(50)) {
        const base::UniqueHandle served(OpenEventW(SYNCHRONIZE, FALSE, stopEvent.c_str()));
        if (!served) return true;
        if (GetTickCount64() - start >= timeoutMs) return false;
    }
}

class StandinHost {
public:
    // The host's start and the add-in's replies may take this long on a loaded machine.
    static constexpr DWORD kTimeoutMs = 60000;

    // Connects the add-in registered under the ProgID `addIn`; starts nothing (and says
    // so) while another process serves the add-in's channel.
    explicit StandinHost(const std::wstring& profile, const std::wstring& addIn = L"TallowmerePlugin.Connect")
        : stopEvent_(UniqueName(L"Local\\StandinHost.Stop")),
          outputPath_(TempPath(L"standin-host")),
          output_(OutputFile(outputPath_)),
          process_(HostProgram(), {L"--profile", profile, L"--addin", addIn, L"--stop-event", stopEvent_},
                   output_ ? output_.get() : nullptr) {}
    // Ends the host, killed if it does not stop in time: it holds the add-in's names.
    ~StandinHost() {
        if (Stop(kTimeoutMs) == STILL_ACTIVE) process_.Kill();
        output_.reset();
        DeleteFileW(outputPath_.c_str());
    }
    StandinHost(const StandinHost&) = delete;
    StandinHost& operator=(const StandinHost&) = delete;

    [[nodiscard]] bool running() const noexcept { return process_.running(); }
    [[nodiscard]] HANDLE process() const noexcept { return process_.handle(); }
    // Sets the host's stop event, as a user closes Outlook; false when there is none.
    [[nodiscard]] bool SignalStop() const noexcept {
        const base::UniqueHandle stop(OpenEventW(EVENT_MODIFY_STATE, FALSE, stopEvent_.c_str()));
        return stop && SetEvent(stop.get());
    }
    // Signals the stop; the host's exit code, or STILL_ACTIVE when it did not end within
    // timeoutMs.
    [[nodiscard]] DWORD Stop(DWORD timeoutMs) const noexcept {
        return process_.Wait(SignalStop() ? timeoutMs : 0);
    }
    // The host's exit code, or STILL_ACTIVE when it did not end in time.
    [[nodiscard]] DWORD Wait(DWORD timeoutMs) const noexcept { return process_.Wait(timeoutMs); }
    // Once the host has connected the add-in and its server publishes the channel; the
    // client waits up to replyTimeoutMs for each reply.
    [[nodiscard]] std::unique_ptr<MailClient> Connect(uint32_t version = 2,
                                                      uint32_t replyTimeoutMs = kTimeoutMs) const {
        return process_.running() ? MailClient::Connect(wire::kChannel, version, replyTimeoutMs) : nullptr;
    }
    // What the host has written so far, one "outlook-standin: ..." line per event.
    [[nodiscard]] std::string Output() const { return ReadFileBytes(outputPath_); }

private:
    static std::wstring HostProgram() {
        if (ChannelFree(kTimeoutMs)) return BesideThisProgram(L"outlook-standin.exe");
        std::fputs("StandinHost: another process still serves the add-in's channel; no host started\n",
                   stderr);
        return {};
    }
    static base::UniqueFile OutputFile(const std::wstring& path) {
        SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
        return base::UniqueFile(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                            &inherit, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    }

    std::wstring stopEvent_;
    std::wstring outputPath_;
    base::UniqueFile output_;
    Program process_;
};

}  // namespace testsupport
