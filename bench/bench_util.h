// What the benchmarks of the add-in's requests share: the Outlook stand-in host in a
// second process on a profile, with the add-in it connects reached through a client,
// and the stand-in's own object model in this process, for the baselines.
#pragma once

#include <windows.h>

#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/com.h"
#include "base/unique_resource.h"
#include "bench/measure.h"
#include "client/mail_client.h"
#include "outlook/object_model.h"
#include "standin/outlook/host_api.h"

namespace bench {

inline std::wstring ProgramFolder() {
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    const std::wstring self = path;
    return self.substr(0, self.find_last_of(L'\\') + 1);
}

// Opens the stand-in's application in this process on a profile and runs `work`
// with its "MAPI" namespace on a thread of its own apartment, as a request runs.
// False when it could not run.
inline bool WithStandinNamespace(const std::wstring& profile, const std::function<void(_NameSpace*)>& work) {
    base::UniqueBstr profileName;
    HANDLE quit = nullptr;
    if (FAILED(DllRegisterServer()) ||
        FAILED(OutlookStandinOpen(profile.c_str(), profileName.put(), &quit))) {
        return false;
    }
    bool ran = false;
    std::thread([&] {
        const base::ScopedComInitializer com;
        base::ComPtr<_Application> application;
        base::ComPtr<_NameSpace> nameSpace;
        if (FAILED(CoCreateInstance(CLSID_OutlookApplication, nullptr, CLSCTX_ALL, __uuidof(_Application),
                                    application.put_void())) ||
            FAILED(outlook::GetNamespace(application.get(), L"MAPI", nameSpace))) {
            return;
        }
        work(nameSpace.get());
        ran = true;
    }).join();
    OutlookStandinClose();
    return ran;
}

// outlook-standin.exe on a profile, connecting the registered add-in, until the
// owner goes: then stopped through its stop event, or killed.
class StandinHost {
public:
    static constexpr DWORD kTimeoutMs = 60000;

    explicit StandinHost(const std::wstring& profile) {
        std::wstring commandLine = L"\"" + ProgramFolder() + L"outlook-standin.exe\" --profile \"" + profile +
                                   L"\" --stop-event " + kStopEvent;
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION info{};
        if (CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                           &startup, &info)) {
            process_.reset(info.hProcess);
            CloseHandle(info.hThread);
        }
    }
    ~StandinHost() {
        if (!process_) return;
        const base::UniqueHandle stop(OpenEventW(EVENT_MODIFY_STATE, FALSE, kStopEvent));
        if (!stop || !SetEvent(stop.get()) ||
            WaitForSingleObject(process_.get(), kTimeoutMs) != WAIT_OBJECT_0) {
            TerminateProcess(process_.get(), 1);
        }
    }
    StandinHost(const StandinHost&) = delete;
    StandinHost& operator=(const StandinHost&) = delete;

    // Waits for the host to publish the add-in's channel.
    [[nodiscard]] std::unique_ptr<MailClient> Connect() const {
        return process_ ? MailClient::Connect(wire::kChannel, 2, kTimeoutMs) : nullptr;
    }

private:
    static constexpr wchar_t kStopEvent[] = L"Local\\TallowmereBench.Stop";
    base::UniqueHandle process_;
};

}  // namespace bench
