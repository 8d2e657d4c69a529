// The add-in as Outlook runs it: registered, loaded and connected by the Outlook
// stand-in on the default profile, serving a backup client in another process.
#include <gtest/gtest.h>

#include <string>

#include "base/unique_resource.h"
#include "client/mail_client.h"
#include "diag/log.h"
#include "tests/addin/plugin.h"
#include "tests/support/log_reader.h"
#include "tests/support/standin_host.h"

namespace {

using testsupport::CountPrefix;

using Texts = std::vector<std::wstring>;

TEST(AddinInOutlookStandin, ServesAClientAndQuitThroughTheAddinEndsTheHost) {
    addintest::LoadedPlugin plugin;
    ASSERT_TRUE(plugin.loaded());
    HRESULT hr = plugin.RegisterServer();
    ASSERT_EQ(hr, S_OK) << "got 0x" << std::hex << hr;
    const std::wstring log = DefaultLogPath();
    DeleteFileW(log.c_str());

    const testsupport::StandinHost host(testsupport::BesideThisProgram(L"..\\profiles\\default"));
    ASSERT_TRUE(host.running());
    auto client = host.Connect();
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
    EXPECT_EQ(host.Wait(testsupport::StandinHost::kTimeoutMs), 0u);
    texts = testsupport::ReadLogTexts(log);
    EXPECT_EQ(CountPrefix(texts, L"CConnect::OnBeginShutdown"), 1u);
    EXPECT_EQ(CountPrefix(texts, L"CConnect::OnDisconnection"), 1u);
    EXPECT_FALSE(MailClient::Connect(kMailServerChannel, 2, 300)) << "the server stopped with the host";
}

}  // namespace
