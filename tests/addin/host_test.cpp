// The add-in as Outlook runs it: registered, loaded and connected by the Outlook
// stand-in on the default profile, serving a backup client in another process.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "base/unique_resource.h"
#include "client/mail_client.h"
#include "diag/log.h"
#include "tests/addin/plugin.h"
#include "tests/support/child_process.h"
#include "tests/support/log_reader.h"

namespace {

using Texts = std::vector<std::wstring>;

constexpr DWORD kHostTimeoutMs = 60000;
const std::wstring kChannel = L"DiRirire.MSOutlook";

// The host process, started with the build's default profile and its own stop event.
class OutlookStandin : public testsupport::Program {
public:
    OutlookStandin()
        : Program(testsupport::BesideThisProgram(L"outlook-standin.exe"),
                  {L"--profile", testsupport::BesideThisProgram(L"..\\profiles\\default"), L"--stop-event",
                   testsupport::UniqueName(L"Local\\AddinHostTest.Stop")}) {}
};

// Connects once the host has connected the add-in and its server publishes the channel.
std::unique_ptr<MailClient> ConnectWhenServing() {
    const DWORD start = GetTickCount();
    while (GetTickCount() - start < kHostTimeoutMs) {
        if (auto client = MailClient::Connect(kChannel, 2, 1000)) return client;
    }
    return nullptr;
}

size_t CountPrefix(const Texts& texts, const std::wstring& prefix) {
    return static_cast<size_t>(std::count_if(texts.begin(), texts.end(),
                                             [&](const std::wstring& t) { return t.starts_with(prefix); }));
}

TEST(AddinInOutlookStandin, ServesAClientAndQuitThroughTheAddinEndsTheHost) {
    addintest::LoadedPlugin plugin;
    ASSERT_TRUE(plugin.loaded());
    HRESULT hr = plugin.RegisterServer();
    ASSERT_EQ(hr, S_OK) << "got 0x" << std::hex << hr;
    const std::wstring log = DefaultLogPath();
    DeleteFileW(log.c_str());

    OutlookStandin host;
    ASSERT_TRUE(host.running());
    auto client = ConnectWhenServing();
    ASSERT_NE(client, nullptr) << "the add-in's channel never appeared";

    // Code 8 finds Outlook running; code 6 is answered by the dispatcher alone.
    ASSERT_TRUE(client->BeginRequest(RequestCode::StartOutlook));
    ASSERT_TRUE(client->BeginRequest(RequestCode::NoOperation));
    Texts texts = testsupport::WaitForLog(
        log, [](const Texts& t) { return CountPrefix(t, L"[Processing message finish]") >= 1; });
    EXPECT_EQ(CountPrefix(texts, L"Initializing mail server..."), 1u);
    EXPECT_EQ(CountPrefix(texts, L"[Processing message 6] - "), 1u);
    EXPECT_EQ(CountPrefix(texts, L"[Processing message 8]"), 0u) << "code 8 logs no dispatch line";
    EXPECT_EQ(CountPrefix(texts, L"Unable to instantiate Outlook"), 0u);

    // Code 5 asks Outlook to quit: the host disconnects the add-in and ends.
    ASSERT_TRUE(client->BeginRequest(RequestCode::QuitOutlook));
    EXPECT_EQ(host.Wait(kHostTimeoutMs), 0u);
    texts = testsupport::ReadLogTexts(log);
    EXPECT_EQ(CountPrefix(texts, L"CConnect::OnBeginShutdown"), 1u);
    EXPECT_EQ(CountPrefix(texts, L"CConnect::OnDisconnection"), 1u);
    EXPECT_FALSE(MailClient::Connect(kChannel, 2, 300)) << "the server stopped with the host";
}

}  // namespace
