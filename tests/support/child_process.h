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
#define TEST_CHILD_ROLE(name)                                                                        \
    static int ChildRole_##name(const std::vector<std::wstring>& args);                              \
    static const ::testsupport::ChildRole childRoleRegistration_##name(L## #name, ChildRole_##name); \
    static int ChildRole_##name([[maybe_unused]] const std::vector<std::wstring>& args)

// A program in a process of its own, killed if it outlives its owner (its object or,
// through a job, its process): the one way
// tests, the soak and the benchmarks start one.
class Program {
public:
    // Starts `program` (a path, or a name the system searches for) with `args`, each
    // passed as one argument, its standard output and error into `output` when given
    // (an inheritable handle); check running() afterwards.
    Program(const std::wstring& program, const std::vector<std::wstring>& args, HANDLE output = nullptr);
    Program(const Program&) = delete;
    Program& operator=(const Program&) = delete;
    Program(Program&&) noexcept = default;
    ~Program();  // kills the process if it still runs

    [[nodiscard]] bool running() const noexcept { return process_.valid(); }
    // The exit code, or STILL_ACTIVE if the process did not end in time.
    [[nodiscard]] DWORD Wait(DWORD timeoutMs) const noexcept;
    void Kill() noexcept;
    [[nodiscard]] HANDLE handle() const noexcept { return process_.get(); }

private:
    base::UniqueHandle process_;
};

// This test program, started as the role `role` with `args`.
class ChildProcess : public Program {
public:
    ChildProcess(const std::wstring& role, const std::vector<std::wstring>& args);
};

// The full path of this program, and of `file` in its folder.
std::wstring ThisProgram();
std::wstring BesideThisProgram(const wchar_t* file);

// Runs the role named on the command line if there is one; returns false otherwise.
bool RunChildRoleIfAsked(int* exitCode);

// A name no other test running in the same Wine prefix uses.
std::wstring UniqueName(const wchar_t* stem);

}  // namespace testsupport
