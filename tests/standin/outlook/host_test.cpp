// The host program in a process of its own, with the test add-in: the connection
// sequence in order, its clean end by the stop event, the default profile it
// writes, and its refusals. (Application.Quit from an add-in's worker thread is
// the add-in's own host test.)
#include <gtest/gtest.h>

#include <windows.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "base/unique_module.h"
#include "base/unique_resource.h"
#include "tests/standin/outlook/om_test_util.h"
#include "tests/standin/outlook/test_addin/test_addin_ids.h"
#include "tests/support/child_process.h"

namespace {

using storetest::ScopedEnvironment;

// Generous: a fresh Wine process may take seconds to enter its first apartment.
constexpr DWORD kHostTimeoutMs = 120000;
constexpr DWORD kPollMs = 100;
constexpr wchar_t kHostProgram[] = L"outlook-standin.exe";
constexpr DWORD kExitClean = 0, kExitFailed = 1, kExitUsage = 2;

// outlook-standin.exe with `args`, killed if it outlives its owner.
class Host : public testsupport::Program {
public:
    explicit Host(const std::vector<std::wstring>& args)
        : Program(testsupport::BesideThisProgram(kHostProgram), args) {}
};

[[nodiscard]] DWORD RunHost(const std::vector<std::wstring>& args) {
    const Host host(args);
    EXPECT_TRUE(host.running());
    return host.Wait(kHostTimeoutMs);
}

std::vector<std::string> ReadLines(const std::wstring& path) {
    std::ifstream file{std::filesystem::path(path)};
    std::vector<std::string> lines;
    for (std::string line; std::getline(file, line);) lines.push_back(line);
    return lines;
}

// Waits until the add-in has written `line`; false when the host ended or took too long.
[[nodiscard]] bool WaitForLine(const Host& host, const std::wstring& log, const std::string& line) {
    for (DWORD waited = 0; waited < kHostTimeoutMs; waited += kPollMs) {
        for (const std::string& written : ReadLines(log)) {
            if (written == line) return true;
        }
        if (WaitForSingleObject(host.handle(), kPollMs) == WAIT_OBJECT_0) return false;
    }
    return false;
}

std::wstring DefaultProfileInRegistry() {
    wchar_t value[256] = {};
    DWORD size = sizeof(value);
    const LSTATUS status = RegGetValueW(
        HKEY_CURRENT_USER, L"Software\\Microsoft\\Windows NT\\CurrentVersion\\Windows Messaging Subsystem\\Profiles",
        L"DefaultProfile", RRF_RT_REG_SZ, nullptr, value, &size);
    return status == ERROR_SUCCESS ? value : L"";
}

const std::string kConnected = "OnConnection mode=1 outlook=1 entry=1 published=0x00000000";

class StandinHost : public testing::Test {
protected:
    static void SetUpTestSuite() {
        const base::UniqueModule addIn(LoadLibraryW(testsupport::BesideThisProgram(kTestAddInModule).c_str()));
        ASSERT_TRUE(addIn.valid()) << "error " << GetLastError();
        const auto registerServer = reinterpret_cast<HRESULT(WINAPI*)()>(
            reinterpret_cast<void*>(GetProcAddress(addIn.get(), "DllRegisterServer")));
        ASSERT_NE(nullptr, registerServer);
        ASSERT_EQ(S_OK, registerServer());
    }
    void SetUp() override { ASSERT_EQ(0u, storetest::GenerateProfile(omtest::kDescription, profile_)); }

    [[nodiscard]] std::vector<std::wstring> HostArguments() const {
        return {L"--profile", profile_, L"--addin", kTestAddInProgId, L"--stop-event", stopEvent_};
    }

    storetest::TempFolder temp_;
    const std::wstring profile_ = temp_.Sub(L"profile");
    const std::wstring log_ = temp_.Sub(L"addin.log");
    const std::wstring stopEvent_ = L"Local\\" + testsupport::UniqueName(L"outlook-standin-stop");
    const ScopedEnvironment logVariable_{kTestLogVariable, log_.c_str()};
};

TEST_F(StandinHost, ConnectsTheAddInInOrderAndEndsCleanlyOnItsStopEvent) {
    const Host host(HostArguments());
    ASSERT_TRUE(host.running());
    ASSERT_TRUE(WaitForLine(host, log_, "OnStartupComplete")) << "the add-in was not started";
    EXPECT_EQ(L"Stand-in Test", DefaultProfileInRegistry());

    // A second host cannot take the same stop event.
    std::vector<std::wstring> second = HostArguments();
    EXPECT_EQ(kExitFailed, RunHost(second));

    EXPECT_EQ(kExitClean, RunHost({L"--stop", L"--stop-event", stopEvent_}));
    EXPECT_EQ(kExitClean, host.Wait(kHostTimeoutMs));
    const std::vector<std::string> expected = {kConnected, "OnStartupComplete", "OnBeginShutdown",
                                               "OnDisconnection mode=0", "destroyed"};
    EXPECT_EQ(expected, ReadLines(log_));
}

TEST_F(StandinHost, RefusesBadCommandLinesMissingProfilesAndAddIns) {
    const std::wstring missing = temp_.Sub(L"no profile here");
    struct Case {
        std::vector<std::wstring> args;
        DWORD expected;
    };
    const Case cases[] = {
        {{}, kExitUsage},
        {{L"--profile"}, kExitUsage},
        {{L"--profile", profile_, L"--colour", L"blue"}, kExitUsage},
        {{L"--profile", missing, L"--stop-event", stopEvent_}, kExitFailed},
        {{L"--profile", profile_, L"--addin", L"No.Such.AddIn", L"--stop-event", stopEvent_}, kExitFailed},
        {{L"--stop", L"--stop-event", stopEvent_}, kExitFailed},  // no host listens
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        EXPECT_EQ(cases[i].expected, RunHost(cases[i].args)) << "case " << i;
    }
    EXPECT_TRUE(ReadLines(log_).empty()) << "no add-in was connected";
}

}  // namespace
