#include "tests/support/standin_host.h"

namespace testsupport {

StandinHost::StandinHost(const std::wstring& profile)
    : stopEvent_(UniqueName(L"Local\\StandinHost.Stop")),
      process_(BesideThisProgram(L"outlook-standin.exe"), {L"--profile", profile, L"--stop-event", stopEvent_}) {}

StandinHost::~StandinHost() {
    const base::UniqueHandle stop(OpenEventW(EVENT_MODIFY_STATE, FALSE, stopEvent_.c_str()));
    if (stop && SetEvent(stop.get())) static_cast<void>(process_.Wait(kTimeoutMs));
}

}  // namespace testsupport
