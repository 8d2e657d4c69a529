// Second processes for tests. A test program plays named roles when it is started
// as `self.exe --child ROLE ARGS...`, so that a test can put the peer of a
// cross-process exchange into a real process of its own, as in production.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "base/unique_resource.h"

namespace testsupport {

// A role's entry point: the arguments after the role name; the exit code is the result.
using ChildMain = int (*)(const std::vector<std::wstring>& args);

struct ChildRole {
    ChildRole(const wchar_t* name, ChildMain main) noexcept;
};

// Defines a role: TEST_CHILD_ROLE(client_v2) { ... return 0; } with `args` in scope.
#define TEST_CHILD_ROLE(name)                                                      \
    static int ChildRole_##name(const std::vector<std::wstring>& args);            \
    static const ::testsupport::ChildRole childRoleRegistration_##name(L## #name, \
                                                                      ChildRole_##name); \
    static int ChildRole_##name([[maybe_unused]] const std::vector<std::wstring>& args)

class ChildProcess {
public:
    // Starts this program as the given role; check running() afterwards.
    ChildProcess(const std::wstring& role, const std::vector<std::wstring>& args);
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    ~ChildProcess();  // kills the child if it still runs

    [[nodiscard]] bool running() const noexcept { return process_.valid(); }
    // The exit code, or STILL_ACTIVE if the child did not end in time.
    [[nodiscard]] DWORD Wait(DWORD timeoutMs) noexcept;
    void Kill() noexcept;
    [[nodiscard]] HANDLE handle() const noexcept { return process_.get(); }

private:
    base::UniqueHandle process_;
};

// Starts a program by its command line (the program quoted first); the process, or
// an empty handle when it cannot be started.
base::UniqueHandle StartProgram(std::wstring commandLine);

// Runs the role named on the command line if there is one; returns false otherwise.
bool RunChildRoleIfAsked(int* exitCode);

// A name no other test running in the same Wine prefix uses.
std::wstring UniqueName(const wchar_t* stem);

}  // namespace testsupport
