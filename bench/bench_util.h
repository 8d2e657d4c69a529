// What the benchmarks of the add-in's requests share: a warm client of the Outlook
// stand-in host of the tests (tests/support/standin_host.h), and the stand-in's own
// object model in this process, for the baselines.
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
#include "outlook/object_model.h"
#include "standin/outlook/host_api.h"
#include "tests/support/standin_host.h"

namespace bench {

// How long a client of the stand-in host waits for a reply: the object model lives in
// the host's main thread, and under Wine each call across apartments costs a fraction
// of a millisecond, so a folder list of a thousand folders takes about a minute.
inline constexpr DWORD kReplyTimeoutMs = 600000;

// A client of `host` once its folder list has come: a host's first request pays the
// start of its MAPI session and its first crossings to the main thread, which the
// direct baseline has paid before it is timed. Null when the host does not answer.
inline std::unique_ptr<MailClient> WarmClient(const testsupport::StandinHost& host) {
    std::unique_ptr<MailClient> client = host.Connect(2, bench::kReplyTimeoutMs);
    std::vector<std::wstring> folders;
    if (client && !client->GetAllFoldersList(&folders)) client.reset();
    return client;
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

}  // namespace bench
