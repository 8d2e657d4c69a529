// Restoring message files (code 3) through the add-in, as Outlook runs it: the Outlook
// stand-in host in a process of its own on generated profiles, the backup client in
// this process. What was restored is read back through the stand-in's MAPI here and
// compared with the message file property by property.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "diag/log.h"
#include "tests/addin/plugin.h"
#include "tests/restore/same_message.h"
#include "tests/standin/msg/msg_test_util.h"
#include "tests/standin/store/mapi_test_util.h"
#include "tests/support/log_reader.h"
#include "tests/support/log_sequence.h"
#include "tests/support/standin_host.h"

namespace {

using base::ComPtr;
using Texts = std::vector<std::wstring>;

constexpr char kProfile[] = R"(profile "Restore"
store "Mailbox" default
  folder "Inbox" role=inbox
    folder "Old"
  folder "Deleted Items" role=deleted-items
  folder "Locked" fault=create-folder
  folder "No ID" fault=entry-id
  folder "Unsaveable" message-fault=save-changes
  folder "No new mail" fault=create-message
store "Archive"
  folder "2022"
)";
constexpr char kNoAddStoreProfile[] = R"(profile "Restore" fault=add-store
store "Mailbox" default
  folder "Inbox" role=inbox
)";
// The session knows no entry ID: folders are opened through their store.
constexpr char kUnknownEntryIdProfile[] = R"(profile "Restore" fault=session-unknown-entry-id
store "Mailbox" default
  folder "Inbox" role=inbox
)";
constexpr char kNoInboxProfile[] = R"(profile "Restore"
store "Mailbox" default
  folder "Inbox"
)";

enum class File {
    Rich,
    RichAnsi,
    Missing,
    NotCompound,
    NoMessage,
    HeldOpen,
    ReadOnly,
    Foreign1,
    Foreign2,
    NoPath
};

struct RestoreCase {
    const char* profile;
    File file;
    const wchar_t* folderPath;           // as the client sends it
    Texts target;                        // root name, then folder names; empty when the reply is 0
    size_t messages;                     // in the target afterwards; 0: not read back
    Texts log;                           // every line the request writes
    const wchar_t* signature = nullptr;  // of the restored mail, listed without bodies; null: not listed
};

const wchar_t* const kOpenFailed = L"KsCommMailServer::LoadMailFromMSGFile::StgOpenStorage failed. HR = 0x*";

// The rich file has three recipients but no display lists; the store sets them from the
// recipients when the restore saves, so the restored mail's record is "Quarterly report
// été" "sender@example.org" "Recipient é 0" "Recipient é 1; Recipient é 2" "Tuesday,
// March 14, 2023 08:37:08", where the file's own properties would give the record
// without the two lists (C89448FC0D73C863262B91858330CC3B): a mail backed up from
// another store, whose lists disagree with its recipients, comes back under a new
// signature, and the next backup saves it again.
constexpr wchar_t kRestoredRich[] = L"B41AFA32AC4500A3D5F340D8E8E7C88E";

// In order, on one host per profile: later rows see what earlier rows restored.
const RestoreCase kCases[] = {
    {kProfile, File::Rich, L"\\\\Mailbox\\Inbox", {L"Mailbox", L"Inbox"}, 1, {}, kRestoredRich},
    // Names ignore case; the same file again is a second message.
    {kProfile, File::Rich, L"\\\\mAILBOX\\INBOX", {L"Mailbox", L"Inbox"}, 2, {}},
    // Without the leading backslashes; missing levels below an existing one.
    {kProfile,
     File::RichAnsi,
     L"Mailbox\\Inbox\\Old\\New\\Deeper",
     {L"Mailbox", L"Inbox", L"Old", L"New", L"Deeper"},
     1,
     {}},
    // No store of that root name: one is added, takes the name, and gets the folders.
    {kProfile, File::Rich, L"\\\\Restored\\Year 2024\\May", {L"Restored", L"Year 2024", L"May"}, 1, {}},
    {kProfile, File::Rich, L"\\\\restored\\Year 2024", {L"Restored", L"Year 2024"}, 1, {}},
    // Escapes are decoded before matching and creating.
    {kProfile, File::Rich, L"\\\\Archive\\Q&#58 &#34x&#34 &#60y&#62", {L"Archive", L"Q: \"x\" <y>"}, 1, {}},
    {kProfile, File::Rich, L"\\\\Archive\\2022", {L"Archive", L"2022"}, 1, {}},
    // An empty path is the root of the empty name: a store "2" is added for it.
    {kProfile, File::Rich, L"", {L""}, 1, {}},
    {kProfile, File::Foreign1, L"\\\\Mailbox\\Foreign", {L"Mailbox", L"Foreign"}, 1, {}},
    {kProfile, File::Foreign2, L"\\\\Mailbox\\Foreign", {L"Mailbox", L"Foreign"}, 2, {}},
    // A level that cannot be made leaves the mail in its parent.
    {kProfile, File::Rich, L"\\\\Mailbox\\Locked\\Below\\Deeper", {L"Mailbox", L"Locked"}, 1, {}},
    {kProfile,
     File::Rich,
     L"\\\\Mailbox\\No ID",
     {},
     0,
     {L"KsCommMailServer::LoadMailFromMSGFile::getIMAPIFolder failed"}},
    {kProfile,
     File::Rich,
     L"\\\\Mailbox\\Unsaveable",
     {},
     0,
     {L"KsCommMailServer::LoadMailFromMSGFile::SaveChanges failed. HR = 0x*"}},
    {kProfile,
     File::Rich,
     L"\\\\Mailbox\\No new mail",
     {},
     0,
     {L"KsCommMailServer::LoadMailFromMSGFile::CreateMessage failed. HR = 0x80004005"}},
    {kProfile, File::Missing, L"\\\\Mailbox\\Inbox", {}, 0, {kOpenFailed}},
    {kProfile, File::NotCompound, L"\\\\Mailbox\\Inbox", {}, 0, {kOpenFailed}},
    {kProfile, File::HeldOpen, L"\\\\Mailbox\\Inbox", {}, 0, {kOpenFailed}},
    {kProfile,
     File::NoMessage,
     L"\\\\Mailbox\\Inbox",
     {},
     0,
     {L"KsCommMailServer::LoadMailFromMSGFile::OpenIMsgOnIStg failed. HR = 0x*"}},
    // Opened for writing too: refused where the system keeps writers out of a read-only
    // file (Windows; Wine lets an administrator in), and unchanged either way.
    {kProfile, File::ReadOnly, L"\\\\Mailbox\\Inbox", {L"Mailbox", L"Inbox"}, 3, {}},
    {kProfile, File::NoPath, L"\\\\Mailbox\\Inbox", {}, 0, {}},
    // The store cannot be added: the folders go below the default store's root.
    {kNoAddStoreProfile,
     File::Rich,
     L"\\\\Elsewhere\\Kept",
     {L"Mailbox", L"Kept"},
     1,
     {L"KsCommMailServer::getFolder::AddStoreEx failed. Fallback to searching mails in the default store."}},
    // A folder the session cannot open is opened through its store.
    {kUnknownEntryIdProfile, File::Rich, L"\\\\Mailbox\\Inbox\\New", {L"Mailbox", L"Inbox", L"New"}, 0, {}},
    // Without a default Inbox the default store's root is unknown: no path resolves.
    {kNoInboxProfile,
     File::Rich,
     L"\\\\Mailbox\\Inbox",
     {},
     0,
     {L"KsCommMailServer::getFolder::getDefaultPST failed",
      L"KsCommMailServer::LoadMailFromMSGFile::getFolder failed"}},
};

// The folder a target names: the last store whose root has that name, then subfolders.
ComPtr<IMAPIFolder> OpenTarget(IMAPISession* session, const Texts& target) {
    std::vector<storetest::StoreRow> rows;
    if (FAILED(storetest::ReadStoresTable(session, rows))) return {};
    ComPtr<IMAPIFolder> folder;
    // The name Outlook shows for a store's root is the store's, in its row.
    for (storetest::StoreRow& row : rows) {
        ComPtr<IMsgStore> store;
        std::vector<BYTE> subtree;
        ComPtr<IMAPIFolder> root;
        if (row.name == target[0] &&
            SUCCEEDED(session->OpenMsgStore(0, static_cast<ULONG>(row.entryId.size()),
                                            reinterpret_cast<LPENTRYID>(row.entryId.data()), nullptr,
                                            storetest::kOpenStoreFlags, store.put())) &&
            SUCCEEDED(storetest::GetBinary(store.get(), storetest::PR_IPM_SUBTREE_ENTRYID_TAG, subtree)) &&
            SUCCEEDED(storetest::OpenEntryAs(session, subtree, IID_IMAPIFolder, root))) {
            folder = std::move(root);
        }
    }
    for (size_t level = 1; folder && level < target.size(); ++level) {
        ComPtr<IMAPIFolder> child;
        static_cast<void>(storetest::FindSubfolder(session, folder.get(), target[level], child));
        folder = std::move(child);
    }
    return folder;
}

// The message files of the cases, written or copied into a fresh folder.
std::wstring PrepareFile(File kind, const storetest::TempFolder& temp) {
    const std::wstring path = temp.Sub(L"saved.msg");
    DeleteFileW(path.c_str());
    const wchar_t* foreign = kind == File::Foreign1 ? L"top_level_email.msg" : L"freiraum_test.msg";
    switch (kind) {
    case File::Rich:
    case File::RichAnsi:
    case File::HeldOpen:
    case File::ReadOnly:
        EXPECT_EQ(S_OK, msgtest::WriteRichFile(path, kind != File::RichAnsi));
        break;
    case File::Foreign1:
    case File::Foreign2: {
        wchar_t data[MAX_PATH] = {};
        GetEnvironmentVariableW(L"RESTORE_TEST_DATA", data, MAX_PATH);
        EXPECT_TRUE(CopyFileW((std::wstring(data) + L"\\" + foreign).c_str(), path.c_str(), FALSE));
        break;
    }
    case File::NotCompound:
        storetest::WriteText(path, "From: someone\r\n\r\nnot a compound file\r\n");
        break;
    case File::NoMessage: {
        // A compound file whose property stream is too short for its header.
        ComPtr<IStorage> storage;
        ComPtr<IStream> stream;
        constexpr DWORD kMode = STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE;
        EXPECT_EQ(S_OK, StgCreateDocfile(path.c_str(), kMode, 0, storage.put()));
        EXPECT_EQ(S_OK, storage->CreateStream(L"__properties_version1.0", kMode, 0, 0, stream.put()));
        EXPECT_EQ(S_OK, stream->Write("12345678", 8, nullptr));
        break;
    }
    case File::Missing:
        break;
    case File::NoPath:
        return L"";
    }
    if (kind == File::ReadOnly) SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_READONLY);
    return path;
}

TEST(Restore, MessageFilesIntoFoldersAndStores) {
    ASSERT_EQ(S_OK, addintest::RegisterPlugin());
    const storetest::TempFolder temp;
    const std::wstring log = DefaultLogPath();
    std::unique_ptr<testsupport::StandinHost> host;
    std::unique_ptr<MailClient> client;
    std::unique_ptr<testsupport::LogTail> tail;
    std::wstring profile;
    const char* description = nullptr;
    for (size_t i = 0; i < std::size(kCases); ++i) {
        SCOPED_TRACE(testing::Message() << "case " << i);
        const RestoreCase& c = kCases[i];
        if (c.profile != description) {
            client.reset();
            host.reset();
            description = c.profile;
            profile = temp.Sub(L"profile" + std::to_wstring(i));
            ASSERT_EQ(0u, storetest::GenerateProfile(description, profile));
            DeleteFileW(log.c_str());
            host = std::make_unique<testsupport::StandinHost>(profile);
            client = host->Connect();
            ASSERT_NE(nullptr, client) << "the add-in's channel never appeared";
            tail = std::make_unique<testsupport::LogTail>(log);
        }
        const std::wstring file = PrepareFile(c.file, temp);
        const bool refused =
            c.file == File::ReadOnly &&
            base::UniqueFile(CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr))
                    .get() == INVALID_HANDLE_VALUE;
        const Texts target = refused ? Texts{} : c.target;
        const std::string before = testsupport::ReadFileBytes(file);
        uint32_t reply = 0xdeadbeef;
        {
            // Another process holds the file open, without sharing.
            const base::UniqueFile held(
                c.file == File::HeldOpen
                    ? CreateFileW(file.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr)
                    : INVALID_HANDLE_VALUE);
            ASSERT_TRUE(client->BeginRequest(wire::RequestCode::RestoreMailFromMSGFile));
            ASSERT_TRUE(client->tunnel().SendString(file, MailClient::kDefaultTimeoutMs));
            ASSERT_TRUE(client->tunnel().SendString(c.folderPath, MailClient::kDefaultTimeoutMs));
            ASSERT_TRUE(client->tunnel().ReceiveDword(&reply, testsupport::StandinHost::kTimeoutMs));
        }
        EXPECT_EQ(target.empty() ? 0u : 1u, reply);
        EXPECT_TRUE(testsupport::ReadFileBytes(file) == before) << "the message file changed";
        EXPECT_TRUE(testsupport::SameLines(refused ? Texts{kOpenFailed} : c.log, tail->Take(0)));
        SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_NORMAL);
        if (target.empty() || c.messages == 0) continue;

        const storetest::ScopedEnvironment onProfile(L"STANDIN_MAPI_PROFILE", profile.c_str());
        ComPtr<IMAPISession> session;
        ASSERT_EQ(S_OK, MAPILogonEx(0, nullptr, nullptr, storetest::kAllowOthers, session.put()));
        const ComPtr<IMAPIFolder> folder = OpenTarget(session.get(), target);
        ASSERT_TRUE(folder) << "no folder where the mail should be";
        std::vector<std::vector<BYTE>> entryIds;
        ASSERT_EQ(S_OK, storetest::ReadContents(folder.get(), entryIds));
        ASSERT_EQ(c.messages, entryIds.size());
        ComPtr<IMessage> restored;
        ASSERT_EQ(S_OK, storetest::OpenEntryAs(session.get(), entryIds.back(), IID_IMessage, restored));
        msgtest::MessageFile saved;
        ASSERT_EQ(S_OK, msgtest::OpenMessageFile(file, saved));
        restoretest::ExpectSameMessage(saved.message.get(), restored.get(), "message");
        if (!c.signature) continue;
        std::vector<MailListEntry> entries;
        ASSERT_TRUE(client->GetAllMailsFromFolder(c.folderPath, 0, &entries));
        ASSERT_EQ(c.messages, entries.size());
        EXPECT_EQ(c.signature, entries.back().signature);
        static_cast<void>(tail->Take());  // the list's own lines
    }
}

}  // namespace
