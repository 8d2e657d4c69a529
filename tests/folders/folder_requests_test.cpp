// The folder list (code 0), the folder tree (code 7) and the profile name (code 4)
// through the add-in, as Outlook runs it: the Outlook stand-in host in a process of
// its own, on small profiles with fault switches; the backup client in this process.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "client/mail_client.h"
#include "diag/log.h"
#include "server/mail_server.h"
#include "tests/addin/plugin.h"
#include "tests/standin/store/mapi_test_util.h"
#include "tests/support/child_process.h"
#include "tests/support/log_reader.h"
#include "tests/support/standin_host.h"

namespace {

using testsupport::CountPrefix;

using Texts = std::vector<std::wstring>;

// A profile and what the add-in answers on it. A list that is not there means the
// request is answered by nothing at all.
struct RequestCase {
    const char* description;          // null: the bundled default profile
    std::wstring profileName;         // code 4
    std::optional<Texts> folderList;  // code 0
    Texts folderTree;                 // code 7
    Texts logLines;                   // each begins a line of the add-in's log
};

// The stand-in gives folders in the order of their names.
const std::wstring D = L"\\\\Mailbox - Demo User";
const RequestCase kCases[] = {
    // Non-mail folders leave out their subtrees; names holding a backslash or any
    // escaped character come as Outlook gives them; the tree leaves out the default
    // store's Junk E-mail and Deleted Items, not their subfolders nor the Archive's.
    {nullptr,
     L"Outlook",
     Texts{D, D + L"\\Deleted Items", D + L"\\Deleted Items\\Old Mail", D + L"\\Drafts", D + L"\\Inbox",
           D + L"\\Inbox\\A\\B", D + L"\\Inbox\\Projects", D + L"\\Inbox\\Projects\\2023",
           D + L"\\Inbox\\Projects\\2023\\Q1", D + L"\\Inbox\\Projects\\Sales/Marketing",
           D + L"\\Inbox\\Q: \"What?\" <maybe> | *", D + L"\\Junk E-mail", D + L"\\Sent Items",
           L"\\\\Archive", L"\\\\Archive\\Archive 2022", L"\\\\Archive\\Archive 2022\\Travel",
           L"\\\\Archive\\Deleted Items"},
     Texts{D, D + L"\\Deleted Items\\Old Mail", D + L"\\Drafts", D + L"\\Inbox", D + L"\\Inbox\\A\\B",
           D + L"\\Inbox\\Projects", D + L"\\Inbox\\Projects\\2023", D + L"\\Inbox\\Projects\\2023\\Q1",
           D + L"\\Inbox\\Projects\\Sales/Marketing", D + L"\\Inbox\\Q: \"What?\" <maybe> | *",
           D + L"\\Sent Items", L"\\\\Archive", L"\\\\Archive\\Archive 2022",
           L"\\\\Archive\\Archive 2022\\Travel", L"\\\\Archive\\Deleted Items"},
     {L"CKsCommMailServer::GetAllFoldersList", L"Logging off session."}},
    // A failing first store, a store without a folder tree, two stores of one root
    // name, folders without an entry or store ID; the name only in a wide status
    // table, and through MAPI's logon as UTF-8: the lists come from a logon by name.
    {R"(profile "Prüfung ✓ Ünïcode" fault=status-table-unicode-only
store "Broken" fault=open-store
  folder "Never listed"
store "Mailbox" default
  folder "Inbox" role=inbox
    folder "No entry ID" fault=entry-id
      folder "Below it"
    folder "No store ID" fault=store-id
    folder "Tasks" type=tasks
      folder "Mail below tasks"
  folder "Deleted Items" role=deleted-items
    folder "Kept"
store "Mailbox"
  folder "Deleted Items"
  folder "Other"
store "No tree" fault=no-ipm-subtree
  folder "Hidden"
)",
     L"Prüfung ✓ Ünïcode",
     Texts{L"\\\\Mailbox", L"\\\\Mailbox\\Deleted Items", L"\\\\Mailbox\\Deleted Items\\Kept",
           L"\\\\Mailbox\\Inbox", L"\\\\Mailbox\\Inbox\\No entry ID\\Below it", L"\\\\Mailbox",
           L"\\\\Mailbox\\Deleted Items", L"\\\\Mailbox\\Other"},
     Texts{L"\\\\Mailbox", L"\\\\Mailbox\\Deleted Items\\Kept", L"\\\\Mailbox\\Inbox",
           L"\\\\Mailbox\\Inbox\\No entry ID\\Below it", L"\\\\Mailbox", L"\\\\Mailbox\\Other"},
     {L"enumSession.GetCurrent() failed with "}},
    // A failing last store fails the list but not the tree; without the profile's
    // status row the name is empty, and the walk logs on by the registry's default.
    {R"(profile "Outlook" fault=status-table-no-subsystem
store "Mailbox" default
  folder "Inbox" role=inbox
  folder "Junk E-mail" role=junk
store "Broken" fault=open-store
)",
     L"",
     std::nullopt,
     Texts{L"\\\\Mailbox", L"\\\\Mailbox\\Inbox"},
     {L"enumSession.GetCurrent() failed with ",
      L"[CKsCommMailServer::GetAllFoldersList] GetFoldersOnAllStores failed."}},
};

TEST(FolderRequests, ListTreeAndProfileNameOnProfiles) {
    ASSERT_EQ(S_OK, addintest::RegisterPlugin());
    const storetest::TempFolder temp;
    const std::wstring log = DefaultLogPath();
    for (size_t i = 0; i < std::size(kCases); ++i) {
        SCOPED_TRACE(testing::Message() << "case " << i);
        const RequestCase& c = kCases[i];
        std::wstring profile = testsupport::BesideThisProgram(L"..\\profiles\\default");
        if (c.description) {
            profile = temp.Sub(L"profile" + std::to_wstring(i));
            ASSERT_EQ(0u, storetest::GenerateProfile(c.description, profile));
        }
        DeleteFileW(log.c_str());
        // The stand-in records the bytes of every MAPI logon's profile name here.
        const std::wstring logons = temp.Sub(L"logons" + std::to_wstring(i) + L".txt");
        ASSERT_TRUE(SetEnvironmentVariableW(L"STANDIN_MAPI_LOGON_RECORD", logons.c_str()));
        const testsupport::StandinHost host(profile);
        const auto client = host.Connect();
        ASSERT_NE(nullptr, client) << "the add-in's channel never appeared";

        std::wstring name = L"sentinel";
        ASSERT_TRUE(client->SendCurrentProfileName(&name));
        EXPECT_EQ(c.profileName, name);

        Texts texts;
        if (c.folderList) {
            ASSERT_TRUE(client->GetAllFoldersList(&texts));
            EXPECT_EQ(*c.folderList, texts);
        } else {
            // Nothing answers code 0: the next reply read is code 4's one text.
            ASSERT_TRUE(client->BeginRequest(wire::RequestCode::GetAllFoldersList));
            ASSERT_TRUE(client->SendCurrentProfileName(&name)) << "code 0 sent a reply";
        }

        ASSERT_TRUE(client->FillFolderTree(&texts));
        EXPECT_EQ(c.folderTree, texts);

        // The walk logs on by the running profile's name (else the registry's default,
        // the profile's own here) in UTF-8, with MAPI_EXTENDED | MAPI_ALLOW_OTHERS.
        const std::string utf8 = storetest::Utf8(c.profileName.empty() ? L"Outlook" : c.profileName);
        const std::wstring hex = storetest::Hex(utf8.data(), utf8.size());
        const std::string logon = "flags=40 name=" + std::string(hex.begin(), hex.end()) + "\r\n";
        EXPECT_NE(std::string::npos, testsupport::ReadFileBytes(logons).find(logon)) << logon;

        const Texts logTexts = testsupport::ReadLogTexts(log);
        for (const std::wstring& line : c.logLines) EXPECT_LE(1u, CountPrefix(logTexts, line)) << line;
    }
}

}  // namespace
