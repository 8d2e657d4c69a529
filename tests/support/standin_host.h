// The Outlook stand-in host (outlook-standin.exe beside the test program) in a
// process of its own, on a profile: it loads and connects the registered add-in as
// Outlook does, and is stopped through its stop event, as a user closes Outlook.
#pragma once

#include <windows.h>

#include <string>

#include "tests/support/child_process.h"

namespace testsupport {

class StandinHost {
public:
    // Replies from the add-in in the host may take this long on a loaded machine.
    static constexpr DWORD kTimeoutMs = 60000;

    explicit StandinHost(const std::wstring& profile);
    ~StandinHost();
    StandinHost(const StandinHost&) = delete;
    StandinHost& operator=(const StandinHost&) = delete;

    [[nodiscard]] bool running() const noexcept { return process_.running(); }

private:
    std::wstring stopEvent_;
    Program process_;
};

}  // namespace testsupport
