// The client library's call for every request code, on both protocol versions, against
// the add-in as Outlook runs it (registered, loaded and connected by the Outlook
// stand-in, told by its log); the host's exit whatever the clients do; and folder names
// as directory names.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <set>

#include "client/backup_folder.h"
#include "client/backup_index.h"
#include "diag/log.h"
#include "tests/addin/plugin.h"
#include "tests/client/client_profile.h"
#include "tests/standin/store/mapi_test_util.h"
#include "tests/support/log_reader.h"
#include "tests/support/standin_host.h"

namespace {

using Texts = std::vector<std::wstring>;

bool Contains(const Texts& texts, const std::wstring& text) {
    return std::find(texts.begin(), texts.end(), text) != texts.end();
}

TEST(MailClient, EveryRequestCodeOnBothProtocolVersions) {
    ASSERT_EQ(S_OK, addintest::RegisterPlugin());
    const storetest::TempFolder temp;
    for (const uint32_t version : {1u, 2u}) {
        SCOPED_TRACE(testing::Message() << "version " << version);
        const std::wstring profile = temp.Sub(L"profile" + std::to_wstring(version));
        ASSERT_EQ(0u, storetest::GenerateProfile(clienttest::kProfile, profile));
        DeleteFileW(DefaultLogPath().c_str());
        testsupport::StandinHost host(profile);
        const auto client = host.Connect(version);
        ASSERT_NE(nullptr, client) << "the add-in's channel never appeared";
        EXPECT_EQ(version, client->tunnel().version());

        EXPECT_TRUE(client->NoOperation());
        EXPECT_TRUE(client->StartOutlook());
        std::wstring name = L"sentinel";
        EXPECT_TRUE(client->SendCurrentProfileName(&name));
        EXPECT_EQ(L"Backup", name);

        Texts all{L"sentinel"}, tree{L"sentinel"};
        ASSERT_TRUE(client->GetAllFoldersList(&all));
        ASSERT_TRUE(client->FillFolderTree(&tree));
        EXPECT_TRUE(Contains(all, L"\\\\Mailbox\\Deleted Items"));
        EXPECT_FALSE(Contains(tree, L"\\\\Mailbox\\Deleted Items"));
        EXPECT_TRUE(Contains(tree, L"\\\\Archive\\2022"));
        EXPECT_EQ(all.size() - 1, tree.size());

        std::vector<MailListEntry> entries(1);
        ASSERT_TRUE(client->GetAllMailsFromFolder(clienttest::kInbox, 0, &entries));
        ASSERT_EQ(clienttest::kInboxItems, entries.size());
        EXPECT_FALSE(entries[1].mail());
        ASSERT_TRUE(entries[0].mail());
        EXPECT_EQ(32u, entries[0].signature.size());

        const std::wstring file = temp.Sub(L"saved" + std::to_wstring(version) + L".msg");
        bool saved = false, restored = false;
        ASSERT_TRUE(client->SaveMailToMSGFile(entries[0].entryId, file, &saved));
        EXPECT_TRUE(saved);
        ASSERT_TRUE(client->RestoreMailFromMSGFile(file, L"Mailbox\\Inbox\\Back", &restored));
        EXPECT_TRUE(restored);
        std::vector<MailListEntry> back;
        ASSERT_TRUE(client->GetAllMailsFromFolder(L"\\\\Mailbox\\Inbox\\Back", 0, &back));
        ASSERT_EQ(1u, back.size());
        EXPECT_EQ(entries[0].signature, back[0].signature);

        // Code 5 asks Outlook to quit: the host disconnects the add-in and ends.
        EXPECT_TRUE(client->QuitOutlook());
        EXPECT_EQ(0u, host.Wait(testsupport::StandinHost::kTimeoutMs)) << "the host did not quit";
        EXPECT_FALSE(MailClient::Connect(wire::kChannel, version, 300)) << "the server outlived the host";
        const Texts log = testsupport::ReadLogTexts(DefaultLogPath());
        const struct {
            const wchar_t* prefix;
            size_t count;
        } kLines[] = {{L"Initializing mail server...", 1}, {L"[Processing message 6] - ", 1},
                      {L"[Processing message 8]", 0},      {L"Unable to instantiate Outlook", 0},
                      {L"CConnect::OnBeginShutdown", 1},   {L"CConnect::OnDisconnection", 1}};
        for (const auto& line : kLines)
            EXPECT_EQ(line.count, testsupport::CountPrefix(log, line.prefix)) << line.prefix;
    }
}

// How Outlook's exit meets the add-in's clients. Outlook calls OnDisconnection on its
// main thread, which owns the object model: a worker in the middle of a request waits
// for that thread, so the stop must serve its calls while it waits.
struct ExitCase {
    const char* what;
    uint32_t mainThreadBusyMs;  // the profile's main-thread-busy
    size_t idleClients;         // connected, asking nothing
    bool listInFlight;          // a client has read the count of a big folder's list
    bool quitRequest;           // the exit comes by code 5 from another client, else as a user closes Outlook
};
const ExitCase kExits[] = {
    {"code 5 while another client lists a big folder", 0, 0, true, true},
    {"code 5 while 100 clients are connected", 0, 100, false, true},
    {"the host's own exit with a request in flight", 0, 0, true, false},
    {"main-thread-busy delays a request and does not fail it", 3000, 0, false, false},
};
constexpr uint32_t kExitMails = 100;

std::string ExitProfile(uint32_t mainThreadBusyMs) {
    return "profile \"Exit\"" +
           (mainThreadBusyMs ? " main-thread-busy=" + std::to_string(mainThreadBusyMs) : std::string()) +
           "\nstore \"Mailbox\" default\n  folder \"Inbox\" role=inbox\n    mail subject=\"Mail {n}\" "
           "count=" +
           std::to_string(kExitMails) + "\n";
}

// Each case ends with the host gone, OnDisconnection logged and no thread of the
// add-in's left, and prints how long OnDisconnection took.
TEST(AddInLife, OutlooksExitEndsWhateverTheClientsDo) {
    ASSERT_EQ(S_OK, addintest::RegisterPlugin());
    const storetest::TempFolder temp;
    for (size_t i = 0; i < std::size(kExits); ++i) {
        const ExitCase& c = kExits[i];
        SCOPED_TRACE(c.what);
        const std::wstring profile = temp.Sub(L"exit" + std::to_wstring(i));
        ASSERT_EQ(0u, storetest::GenerateProfile(ExitProfile(c.mainThreadBusyMs), profile));
        DeleteFileW(DefaultLogPath().c_str());
        testsupport::StandinHost host(profile);
        const auto lister = host.Connect();
        ASSERT_NE(nullptr, lister) << "the add-in's channel never appeared";
        const uint32_t timeoutMs = lister->timeoutMs();
        if (c.mainThreadBusyMs) {
            // The reply needs the main thread, which tells when it is free again.
            std::wstring name;
            EXPECT_TRUE(lister->SendCurrentProfileName(&name));
            EXPECT_EQ(L"Exit", name);
            EXPECT_NE(std::string::npos, host.Output().find("main thread free")) << host.Output();
        }
        std::vector<std::unique_ptr<MailClient>> idle;
        for (size_t n = 0; n < c.idleClients; ++n) {
            idle.push_back(host.Connect());
            ASSERT_NE(nullptr, idle.back()) << "client " << n;
        }
        uint32_t count = 0;
        if (c.listInFlight) {
            ASSERT_TRUE(lister->BeginRequest(wire::RequestCode::GetAllMailsFromFolder) &&
                        lister->tunnel().SendString(clienttest::kInbox, timeoutMs) &&
                        lister->tunnel().SendDword(0, timeoutMs) &&
                        lister->tunnel().ReceiveDword(&count, timeoutMs));
            ASSERT_EQ(kExitMails, count);
        }
        if (c.quitRequest) {
            const auto quitter = host.Connect();
            ASSERT_TRUE(quitter && quitter->QuitOutlook());
        } else {
            ASSERT_TRUE(host.SignalStop());
        }
        // The request in flight finishes while the host stops.
        for (uint32_t n = 0; n < count; ++n) {
            std::wstring entry;
            ASSERT_TRUE(lister->tunnel().ReceiveString(&entry, timeoutMs)) << "entry " << n;
            EXPECT_TRUE(MailListEntry::Parse(entry).mail()) << "entry " << n;
        }
        ASSERT_EQ(0u, host.Wait(testsupport::StandinHost::kTimeoutMs)) << "the host hangs at its exit";
        const std::string output = host.Output();
        const size_t took = output.find("OnDisconnection took");
        ASSERT_NE(std::string::npos, took) << output;
        std::printf("[ %s ] %s\n", c.what, output.substr(took, output.find('\n', took) - took).c_str());
        EXPECT_NE(std::string::npos, output.find("add-in threads left: 0")) << output;
        const Texts log = testsupport::ReadLogTexts(DefaultLogPath());
        for (const wchar_t* line : {L"CConnect::OnBeginShutdown", L"CConnect::OnDisconnection"})
            EXPECT_EQ(1u, testsupport::CountPrefix(log, line)) << line;
    }
}

// Every folder name becomes a directory Windows makes, and reads back as that name.
TEST(BackupFolder, FolderNamesAsDirectoryNames) {
    const wchar_t* const kNames[] = {
        L"Inbox", L"",    L".",         L"..",          L"a.",       L"a ",
        L" a",    L"CON", L"con.txt",   L"COM1",        L"Computer", L"Q: \"x\" <y>/z\\w|?*",
        L"&#58;", L"&#",  L"tab\there", L"Café 日本語",
    };
    const storetest::TempFolder temp;
    std::set<std::wstring> made;
    for (size_t i = 0; i < std::size(kNames); ++i) {
        const std::wstring directory = client::DirectoryName(kNames[i]);
        EXPECT_EQ(kNames[i], client::FolderName(directory)) << "name " << i;
        EXPECT_TRUE(CreateDirectoryW(temp.Sub(directory).c_str(), nullptr))
            << "name " << i << ": got " << GetLastError();
        EXPECT_TRUE(made.insert(directory).second) << "name " << i << " shares its directory";
    }
    // Paths: a store may not take a name the tool keeps for its own files.
    for (const wchar_t* path :
         {L"\\\\Mailbox\\Inbox\\Q: what?", L"\\\\index.txt\\Inbox", L"\\\\Partial\\backup.lock"}) {
        const std::wstring directory = client::FolderDirectory(path);
        EXPECT_EQ(path, client::FolderPathOf(directory));
        EXPECT_FALSE(client::IsReservedName(directory.substr(0, directory.find(L'\\')))) << directory;
    }
}

}  // namespace
