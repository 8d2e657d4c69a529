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

// Opens the stand-in's application in this process on a profile, this thread playing
// the host's, and runs `work` with its "MAPI" namespace on a thread of its own
// apartment, as a request runs, serving its object-model calls here meanwhile. False
// when it could not run.
inline bool WithStandinNamespace(const std::wstring& profile, const std::function<void(_NameSpace*)>& work) {
    const base::ScopedComInitializer hostApartment;
    base::UniqueBstr profileName;
    HANDLE quit = nullptr;
    if (!hostApartment.succeeded() || FAILED(DllRegisterServer()) ||
        FAILED(OutlookStandinOpen(profile.c_str(), profileName.put(), &quit))) {
        return false;
    }
    bool ran = false;
    const base::UniqueHandle done(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    std::thread worker([&] {
        const struct SetOnExit {
            HANDLE event;
            ~SetOnExit() { SetEvent(event); }
        } setOnExit{done.get()};
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
    });
    static_cast<void>(base::WaitServingCalls(done.get(), INFINITE));
    worker.join();
    OutlookStandinClose();
    return ran;
}

// outlook-standin.exe on a profile, connecting the registered add-in, until the
// owner goes: then stopped through its stop event, or killed. What the host reports
// goes to a file.
class StandinHost {
public:
    static constexpr DWORD kTimeoutMs = 60000;
    // How long a client waits for a reply: the object model lives in the host's main
    // thread, and under Wine each call across apartments costs a fraction of a
    // millisecond, so a folder list of a thousand folders takes about a minute.
    static constexpr DWORD kReplyTimeoutMs = 600000;

    explicit StandinHost(const std::wstring& profile) {
        wchar_t temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        outputPath_ =
            std::wstring(temp) + L"standin-bench-host." + std::to_wstring(GetCurrentProcessId()) + L".txt";
        SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
        output_.reset(CreateFileW(outputPath_.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  &inherit, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        std::wstring commandLine = L"\"" + ProgramFolder() + L"outlook-standin.exe\" --profile \"" + profile +
                                   L"\" --stop-event " + kStopEvent;
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        if (output_) {
            startup.dwFlags = STARTF_USESTDHANDLES;
            startup.hStdOutput = startup.hStdError = output_.get();
        }
        PROCESS_INFORMATION info{};
        if (CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, output_.valid(), 0, nullptr,
                           nullptr, &startup, &info)) {
            process_.reset(info.hProcess);
            CloseHandle(info.hThread);
        }
    }
    ~StandinHost() {
        if (process_ && !Stop()) TerminateProcess(process_.get(), 1);
        output_.reset();
        DeleteFileW(outputPath_.c_str());
    }
    StandinHost(const StandinHost&) = delete;
    StandinHost& operator=(const StandinHost&) = delete;

    // Waits for the host to publish the add-in's channel.
    [[nodiscard]] std::unique_ptr<MailClient> Connect() const {
        return process_ ? MailClient::Connect(L"DiRirire.MSOutlook", 2, kReplyTimeoutMs) : nullptr;
    }
    // Sets the stop event, as a user closes Outlook.
    [[nodiscard]] bool SignalStop() const {
        const base::UniqueHandle stop(OpenEventW(EVENT_MODIFY_STATE, FALSE, kStopEvent));
        return stop && SetEvent(stop.get());
    }
    // Stops the host and waits for its end; false when it did not end in time.
    [[nodiscard]] bool Stop() const {
        return process_ && SignalStop() && WaitForSingleObject(process_.get(), kTimeoutMs) == WAIT_OBJECT_0;
    }
    // What the host reported so far.
    [[nodiscard]] std::string Output() const {
        const base::UniqueFile file(CreateFileW(outputPath_.c_str(), GENERIC_READ,
                                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                                                nullptr));
        std::string text(file ? GetFileSize(file.get(), nullptr) : 0, '\0');
        DWORD read = 0;
        if (!text.empty() &&
            !ReadFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &read, nullptr))
            read = 0;
        text.resize(read);
        return text;
    }

private:
    static constexpr wchar_t kStopEvent[] = L"Local\\TallowmereBench.Stop";
    std::wstring outputPath_;
    base::UniqueFile output_;
    base::UniqueHandle process_;
};

}  // namespace bench
