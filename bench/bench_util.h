// What the benchmarks of the add-in's requests share besides the Outlook stand-in host
// of the tests (tests/support/standin_host.h): the stand-in's own object model in this
// process, for the baselines.
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

namespace bench {

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

}  // namespace bench
