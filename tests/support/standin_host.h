// outlook-standin.exe (beside this test program) on a profile, in a process of its
// own, connecting the registered add-in as Outlook does; stopped through its stop
// event, as a user closes Outlook. Tests that use it link the backup client.
#pragma once

#include <windows.h>

#include <memory>
#include <string>

#include "base/unique_resource.h"
#include "client/mail_client.h"
#include "tunnel/wire.h"
#include "tests/support/child_process.h"

namespace testsupport {

class StandinHost {
public:
    // The host's start and the add-in's replies may take this long on a loaded machine.
    static constexpr DWORD kTimeoutMs = 60000;

    // Connects the add-in registered under the ProgID `addIn`.
    explicit StandinHost(const std::wstring& profile, const std::wstring& addIn = L"TallowmerePlugin.Connect")
        : stopEvent_(UniqueName(L"Local\\StandinHost.Stop")),
          process_(BesideThisProgram(L"outlook-standin.exe"),
                   {L"--profile", profile, L"--addin", addIn, L"--stop-event", stopEvent_}) {}
    ~StandinHost() { static_cast<void>(Stop(kTimeoutMs)); }
    StandinHost(const StandinHost&) = delete;
    StandinHost& operator=(const StandinHost&) = delete;

    [[nodiscard]] bool running() const noexcept { return process_.running(); }
    [[nodiscard]] HANDLE process() const noexcept { return process_.handle(); }
    // Sets the host's stop event, as a user closes Outlook; the host's exit code, or
    // STILL_ACTIVE when it did not end within timeoutMs.
    [[nodiscard]] DWORD Stop(DWORD timeoutMs) const noexcept {
        const base::UniqueHandle stop(OpenEventW(EVENT_MODIFY_STATE, FALSE, stopEvent_.c_str()));
        return stop && SetEvent(stop.get()) ? process_.Wait(timeoutMs) : process_.Wait(0);
    }
    // The host's exit code, or STILL_ACTIVE when it did not end in time.
    [[nodiscard]] DWORD Wait(DWORD timeoutMs) const noexcept { return process_.Wait(timeoutMs); }
    // Once the host has connected the add-in and its server publishes the channel.
    [[nodiscard]] std::unique_ptr<MailClient> Connect(uint32_t version = 2) const {
        return process_.running() ? MailClient::Connect(wire::kChannel, version, kTimeoutMs) : nullptr;
    }

private:
    std::wstring stopEvent_;
    Program process_;
};

}  // namespace testsupport
