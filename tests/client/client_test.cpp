// The client library's call for every request code, on both protocol versions, against
// the add-in as Outlook runs it (registered, loaded and connected by the Outlook
// stand-in, told by its log); and folder names as directory names.
#include <gtest/gtest.h>

#include <algorithm>
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
