#include "tests/support/child_process.h"

#include <shellapi.h>

#include <map>

namespace testsupport {
namespace {

std::map<std::wstring, ChildMain>& Roles() {
    static std::map<std::wstring, ChildMain> roles;
    return roles;
}

std::wstring QuoteArgument(const std::wstring& arg) {
    if (!arg.empty() && arg.find_first_of(L" \t\"") == std::wstring::npos) return arg;
    std::wstring quoted = L"\"";
    for (size_t i = 0; i < arg.size(); ++i) {
        size_t backslashes = 0;
        while (i < arg.size() && arg[i] == L'\\') ++i, ++backslashes;
        if (i == arg.size()) {
            quoted.append(backslashes * 2, L'\\');
            break;
        }
        if (arg[i] == L'"') {
            quoted.append(backslashes * 2 + 1, L'\\');
        } else {
            quoted.append(backslashes, L'\\');
        }
        quoted += arg[i];
    }
    return quoted + L"\"";
}

// The job every program started here joins, closed when this process ends however it
// ends (ctest kills a test at its timeout), ending them too; null: they run unbound.
HANDLE ProgramsJob() {
    static const HANDLE job = [] {
        HANDLE created = CreateJobObjectW(nullptr, nullptr);
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
        limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
        return created && SetInformationJobObject(created, JobObjectExtendedLimitInformation, &limits,
                                                  sizeof(limits))
                   ? created
                   : nullptr;
    }();
    return job;
}

}  // namespace

std::wstring ThisProgram() {
    wchar_t self[MAX_PATH];
    return std::wstring(self, GetModuleFileNameW(nullptr, self, MAX_PATH));
}

ChildRole::ChildRole(const wchar_t* name, ChildMain main) noexcept { Roles()[name] = main; }

Program::Program(const std::wstring& program, const std::vector<std::wstring>& args, HANDLE output) {
    std::wstring commandLine = QuoteArgument(program);
    for (const auto& arg : args) commandLine += L" " + QuoteArgument(arg);
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    if (output) {
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdOutput = startup.hStdError = output;
    }
    PROCESS_INFORMATION info{};
    if (CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, output != nullptr, CREATE_SUSPENDED,
                       nullptr, nullptr, &startup, &info)) {
        base::UniqueHandle thread(info.hThread);
        process_.reset(info.hProcess);
        if (ProgramsJob()) static_cast<void>(AssignProcessToJobObject(ProgramsJob(), info.hProcess));
        ResumeThread(info.hThread);
    }
}

Program::~Program() { Kill(); }

DWORD Program::Wait(DWORD timeoutMs) const noexcept {
    if (!process_ || WaitForSingleObject(process_.get(), timeoutMs) != WAIT_OBJECT_0) return STILL_ACTIVE;
    DWORD code = STILL_ACTIVE;
    GetExitCodeProcess(process_.get(), &code);
    return code;
}

void Program::Kill() noexcept {
    if (process_ && WaitForSingleObject(process_.get(), 0) != WAIT_OBJECT_0) {
        TerminateProcess(process_.get(), 0xDEAD);
        WaitForSingleObject(process_.get(), 30000);  // returns once it has ended
    }
}

ChildProcess::ChildProcess(const std::wstring& role, const std::vector<std::wstring>& args)
    : Program(ThisProgram(), [&] {
          std::vector<std::wstring> all{L"--child", role};
          all.insert(all.end(), args.begin(), args.end());
          return all;
      }()) {}

std::wstring BesideThisProgram(const wchar_t* file) {
    const std::wstring self = ThisProgram();
    return self.substr(0, self.find_last_of(L'\\') + 1) + file;
}

bool RunChildRoleIfAsked(int* exitCode) {
    int argc = 0;
    base::UniqueLocal<wchar_t**> argv(CommandLineToArgvW(GetCommandLineW(), &argc));
    if (!argv || argc < 3 || std::wstring(argv.get()[1]) != L"--child") return false;
    auto role = Roles().find(argv.get()[2]);
    if (role == Roles().end()) {
        *exitCode = 255;
        return true;
    }
    std::vector<std::wstring> args(argv.get() + 3, argv.get() + argc);
    *exitCode = role->second(args);
    return true;
}

std::wstring UniqueName(const wchar_t* stem) {
    static LONG counter = 0;
    return std::wstring(stem) + L"." + std::to_wstring(GetCurrentProcessId()) + L"." +
           std::to_wstring(InterlockedIncrement(&counter));
}

}  // namespace testsupport
