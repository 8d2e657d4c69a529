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
#include "tests/support/log_sequence.h"
#include "tests/support/standin_host.h"

namespace {

using Texts = std::vector<std::wstring>;
using testsupport::Dispatched;

// A profile and what the add-in answers on it. A list that is not there means the
// request is answered by nothing at all.
struct RequestCase {
    const char* description;          // null: the bundled default profile
    std::wstring profileName;         // code 4
    std::optional<Texts> folderList;  // code 0
    std::optional<Texts> folderTree;  // code 7
    Texts log;                        // every line codes 4, 0 and 7 write, in order
};

Texts operator+(Texts a, const Texts& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
const Texts kNamed = Dispatched(4, {L"Logging off session."});
const Texts kListLogs = {L"CKsCommMailServer::GetAllFoldersList", L"Logging off session."};
const Texts kTreeLogs = {L"Logging off session."};

// The stand-in gives folders in the order of their names.
const std::wstring D = L"\\\\Mailbox - Demo User";
const RequestCase kCases[] = {
    // Non-mail folders leave out their subtrees; names holding a backslash or any
    // escaped character come as Outlook gives them; the tree leaves out the default
    // store's Junk E-mail and Deleted Items, not their subfolders nor the Archive's.
    {nullptr, L"Outlook",
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
     kNamed + Dispatched(0, kListLogs) + Dispatched(7, kTreeLogs)},
    // A failing first store, stores without a folder tree or with one whose entry ID
    // is longer than its text may be (4095 bytes), two stores of one root
    // name, folders without an entry or store ID; the name only in a wide status
    // table, and through MAPI's logon as UTF-8: the lists come from a logon by name.
    // The tree's exclusion compares whole paths, case and all: a store whose root path
    // is the Deleted Items path goes whole, a folder whose path differs in case stays.
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
store "Tree past the text's bound" fault=long-ipm-subtree
  folder "Hidden"
store "Mailbox\\Deleted Items"
  folder "Gone too"
store "Mailbox"
  folder "deleted items"
)",
     L"Prüfung ✓ Ünïcode",
     Texts{L"\\\\Mailbox", L"\\\\Mailbox\\Deleted Items", L"\\\\Mailbox\\Deleted Items\\Kept",
           L"\\\\Mailbox\\Inbox", L"\\\\Mailbox\\Inbox\\No entry ID\\Below it", L"\\\\Mailbox",
           L"\\\\Mailbox\\Deleted Items", L"\\\\Mailbox\\Other", L"\\\\Mailbox\\Deleted Items",
           L"\\\\Mailbox\\Deleted Items\\Gone too", L"\\\\Mailbox", L"\\\\Mailbox\\deleted items"},
     Texts{L"\\\\Mailbox", L"\\\\Mailbox\\Deleted Items\\Kept", L"\\\\Mailbox\\Inbox",
           L"\\\\Mailbox\\Inbox\\No entry ID\\Below it", L"\\\\Mailbox", L"\\\\Mailbox\\Other",
           L"\\\\Mailbox", L"\\\\Mailbox\\deleted items"},
     kNamed + Dispatched(0, kListLogs + Texts{L"enumSession.GetCurrent() failed with *"}) +
         Dispatched(7, kTreeLogs + Texts{L"enumSession.GetCurrent() failed with *"})},
    // A failing last store fails the list but not the tree; without the profile's
    // status row the name is empty, and the walk logs on by the registry's default.
    {R"(profile "Outlook" fault=status-table-no-subsystem
store "Mailbox" default
  folder "Inbox" role=inbox
  folder "Junk E-mail" role=junk
store "Broken" fault=open-store
)",
     L"", std::nullopt, Texts{L"\\\\Mailbox", L"\\\\Mailbox\\Inbox"},
     kNamed +
         Dispatched(
             0, kListLogs + Texts{L"enumSession.GetCurrent() failed with *",
                                  L"[CKsCommMailServer::GetAllFoldersList] GetFoldersOnAllStores failed."}) +
         kNamed + Dispatched(7, kTreeLogs + Texts{L"enumSession.GetCurrent() failed with *"})},
    // Without MAPI's logon: no name, an empty list; the tree's logon through Outlook
    // fails, so nothing answers it and nothing is logged for it.
    {R"(profile "Outlook" fault=logon
store "Mailbox" default
  folder "Inbox" role=inbox
)",
     L"", Texts{}, std::nullopt,
     Dispatched(4, {L"TallowmereUtils::getMAPISession failed!"}) +
         Dispatched(0,
                    {L"CKsCommMailServer::GetAllFoldersList", L"TallowmereUtils::getMAPISession failed!"}) +
         Dispatched(7, {}) + Dispatched(4, {L"TallowmereUtils::getMAPISession failed!"})},
    // Without Outlook's session the tree is not answered, and says why.
    {R"(profile "Outlook" fault=session
store "Mailbox" default
  folder "Inbox" role=inbox
)",
     L"Outlook", Texts{L"\\\\Mailbox", L"\\\\Mailbox\\Inbox"}, std::nullopt,
     kNamed + Dispatched(0, kListLogs) +
         Dispatched(7, {L"NULL Namespace in COutlookProfileConfig::fillFolderTree"}) + kNamed},
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

        testsupport::LogTail tail(log);
        std::wstring name = L"sentinel";
        ASSERT_TRUE(client->SendCurrentProfileName(&name));
        EXPECT_EQ(c.profileName, name);
        size_t requests = 1;
        for (const auto& [code, expected] : {std::pair{wire::RequestCode::GetAllFoldersList, &c.folderList},
                                             std::pair{wire::RequestCode::FillFolderTree, &c.folderTree}}) {
            Texts texts;
            if (!*expected) {
                // Nothing answers the code: the next reply read is code 4's one text.
                ASSERT_TRUE(client->BeginRequest(code));
                ASSERT_TRUE(client->SendCurrentProfileName(&name)) << "code " << int(code) << " sent a reply";
                requests += 2;
                continue;
            }
            ASSERT_TRUE(code == wire::RequestCode::FillFolderTree ? client->FillFolderTree(&texts)
                                                                  : client->GetAllFoldersList(&texts));
            EXPECT_EQ(**expected, texts) << "code " << int(code);
            ++requests;
        }
        EXPECT_TRUE(testsupport::SameLines(c.log, tail.Take(requests)));

        // The walk logs on by the running profile's name (else the registry's default,
        // the profile's own here) in UTF-8, with MAPI_EXTENDED | MAPI_ALLOW_OTHERS.
        const std::string utf8 = storetest::Utf8(c.profileName.empty() ? L"Outlook" : c.profileName);
        const std::wstring hex = storetest::Hex(utf8.data(), utf8.size());
        const std::string logon = "flags=40 name=" + std::string(hex.begin(), hex.end()) + "\r\n";
        const std::string record = testsupport::ReadFileBytes(logons);
        EXPECT_NE(std::string::npos, record.find(logon)) << logon;
        // The tree logs on through Outlook as "Outlook", no password, no dialog, no new
        // session, and off again also when that failed; nothing without a session.
        const bool treeLogsOn =
            std::find(c.log.begin(), c.log.end(),
                      L"NULL Namespace in COutlookProfileConfig::fillFolderTree") == c.log.end();
        const size_t on = record.find("namespace-logon profile=Outlook password= dialog=0 new=0\r\n");
        EXPECT_EQ(treeLogsOn, on != std::string::npos) << record;
        EXPECT_EQ(treeLogsOn,
                  record.find("namespace-logoff\r\n", on == std::string::npos ? 0 : on) != std::string::npos)
            << record;
    }
}

}  // namespace
