// The mail list (code 1) and saving a mail (code 2) through the add-in, as Outlook
// runs it: the Outlook stand-in host in a process of its own on the mail tests'
// profile, the backup client in this process. The saved message file is read back
// here through the stand-in's MAPI, and by python3-olefile in a test of its own.
#include <gtest/gtest.h>

#include <algorithm>
#include <cwctype>
#include <filesystem>
#include <string>
#include <vector>

#include "client/mail_client.h"
#include "diag/log.h"
#include "server/mail_server.h"
#include "tests/addin/plugin.h"
#include "tests/mails/mail_profile.h"
#include "tests/standin/msg/msg_test_util.h"
#include "tests/standin/store/mapi_test_util.h"
#include "tests/support/log_reader.h"
#include "tests/support/log_sequence.h"
#include "tests/support/standin_host.h"

namespace {

using Texts = std::vector<std::wstring>;
constexpr wchar_t kIgnored[] = L"IGNOREMAILENTRY";
constexpr wchar_t kAny[] = L"";  // any signature

// Signatures of records worked out by hand (see the record test for the records):
// MD5 of the first N bytes of the record's UTF-16LE, N its length in characters.
// "<known@example.org>It's knownanna@example.orgBob ONeil; CyDArcyEve E", + "Hiand!"
constexpr wchar_t kKnown0[] = L"56C91506CC9A1FC085B725B78A653C84";
constexpr wchar_t kKnown1[] = L"C3661EB6C422BAFC16E97CB0A3FB3A44";
// "Never sentsender@example.orgDemo User" + "Lineonelinetwo<mailto:open" once, twice
constexpr wchar_t kNeverSent0[] = L"2929C0E3CCC39F307CD45DE51637D0D1";
constexpr wchar_t kNeverSent1[] = L"681049C30AB3D9BA058C3EC30277F039";

struct ListCase {
    const wchar_t* path;
    uint32_t includeBody;
    std::vector<const wchar_t*> signatures;  // per item; null for IGNOREMAILENTRY
    Texts log;                               // what the request writes between the dispatch lines
};

// Each item that fails is passed by with its own line, and the list goes on.
const std::vector<const wchar_t*> kInbox0 = {kKnown0, nullptr, kNeverSent0, nullptr, kAny,    kAny, kAny,
                                             kAny,    kAny,    kAny,        nullptr, nullptr, kAny};
const std::vector<const wchar_t*> kInbox1 = {kKnown1, nullptr, kNeverSent1, nullptr, kAny,    kAny, kAny,
                                             kAny,    kAny,    kAny,        nullptr, nullptr, kAny};
const Texts kIgnoring = {L"Ignoring non-mail item ...", L"Ignoring non-mail item ...",
                         L"pMailItem->get_EntryID failed: hr = 80004005",
                         L"GetMailSignature failed: hr = 80004005"};
const ListCase kLists[] = {
    {L"\\\\Mailbox\\Inbox", 0, kInbox0, kIgnoring},
    {L"Mailbox\\Inbox", 1, kInbox1, kIgnoring},  // the leading backslashes are added
    {L"\\\\Mailbox\\Inbox", 2, kInbox1, kIgnoring},
    {L"\\\\Mailbox\\Empty", 1, {}, {}},
    // Logged, and answered as an empty folder.
    {L"\\\\Mailbox\\Nowhere",
     0,
     {},
     {L"CKsCommMailServer::GetAllMailsFromFolder failed with error 80004005"}},
};

bool IsSignature(const std::wstring& text) {
    return text.size() == 32 && std::all_of(text.begin(), text.end(), [](wchar_t c) {
               return std::iswdigit(c) || (c >= L'A' && c <= L'F');
           });
}

// The file olefile reads after this test (tests/mails/check_saved.py).
std::wstring SavedForOlefile() {
    wchar_t folder[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, folder);
    return std::wstring(folder) + L"\\mails_saved.msg";
}

ULONG RowCount(HRESULT (IMessage::*table)(ULONG, LPMAPITABLE*), IMessage* message) {
    base::ComPtr<IMAPITable> rows;
    ULONG count = 0;
    EXPECT_EQ(S_OK, (message->*table)(0, rows.put()));
    if (rows) {
        EXPECT_EQ(S_OK, rows->GetRowCount(0, &count));
    }
    return count;
}

TEST(MailRequests, ListAndSaveThroughTheAddIn) {
    ASSERT_EQ(S_OK, addintest::RegisterPlugin());
    const storetest::TempFolder temp;
    ASSERT_EQ(0u, storetest::GenerateProfile(mailtest::kMailProfile, temp.Sub(L"profile")));
    const std::wstring log = DefaultLogPath();
    DeleteFileW(log.c_str());
    const testsupport::StandinHost host(temp.Sub(L"profile"));
    ASSERT_TRUE(host.running());
    const auto client = host.Connect();
    ASSERT_NE(nullptr, client) << "the add-in's channel never appeared";

    testsupport::LogTail tail(log);
    Texts entryIds;
    for (size_t i = 0; i < std::size(kLists); ++i) {
        const ListCase& c = kLists[i];
        Texts entries;
        ASSERT_TRUE(client->GetAllMailsFromFolder(c.path, c.includeBody, &entries)) << "case " << i;
        EXPECT_TRUE(testsupport::SameLines(testsupport::Dispatched(1, c.log), tail.Take())) << "case " << i;
        ASSERT_EQ(c.signatures.size(), entries.size()) << "case " << i;
        for (size_t e = 0; e < entries.size(); ++e) {
            if (!c.signatures[e]) {
                EXPECT_EQ(kIgnored, entries[e]) << "case " << i << " item " << e;
                continue;
            }
            const size_t separator = entries[e].find(L"#####");
            ASSERT_NE(std::wstring::npos, separator) << "case " << i << " item " << e;
            const std::wstring signature = entries[e].substr(0, separator),
                               entryId = entries[e].substr(separator + 5);
            EXPECT_TRUE(IsSignature(signature)) << "case " << i << " item " << e;
            if (*c.signatures[e]) {
                EXPECT_EQ(c.signatures[e], signature) << "case " << i << " item " << e;
            }
            if (entryIds.size() < entries.size()) entryIds.resize(entries.size());
            if (entryIds[e].empty()) entryIds[e] = entryId;
            EXPECT_EQ(entryIds[e], entryId) << "case " << i << " item " << e;
        }
    }
    ASSERT_EQ(size_t{mailtest::kItems}, entryIds.size());

    struct SaveCase {
        std::wstring entryId;
        std::wstring path;
        bool earlierFile;  // a file is there before: it goes, whether the save succeeds or not
        bool reply;
        Texts log;  // the request's only line is the failed copy's
    } const kSaves[] = {
        {L"00", temp.Sub(L"unknown.msg"), true, false, {}},
        {entryIds[mailtest::kKnown], temp.Sub(L"no folder\\known.msg"), false, false, {}},
        {entryIds[mailtest::kKnown], L"", false, false, {}},
        {entryIds[mailtest::kUncopyable],
         temp.Sub(L"uncopyable.msg"),
         true,
         false,
         {L"CConect::SaveMailToMSGFileEx(MailSubject:<100%s sure> )::CopyTo failed with HR = 0x80004005, "
          L"will "
          L"try SaveAs"}},
        {entryIds[mailtest::kKnown], SavedForOlefile(), true, true, {}},
    };
    for (size_t i = 0; i < std::size(kSaves); ++i) {
        const SaveCase& c = kSaves[i];
        if (c.earlierFile) storetest::WriteText(c.path, "an earlier file");
        bool saved = !c.reply;
        ASSERT_TRUE(client->SaveMailToMSGFile(c.entryId, c.path, &saved)) << "case " << i;
        EXPECT_EQ(c.reply, saved) << "case " << i;
        EXPECT_TRUE(testsupport::SameLines(c.log, tail.Take(0))) << "case " << i;
        if (c.earlierFile && !c.reply) {
            const std::string left = testsupport::ReadFileBytes(c.path);
            EXPECT_TRUE(left.empty() || left.starts_with("\xD0\xCF\x11\xE0"))
                << "case " << i << ": an earlier file was left";
        }
    }

    // The saved mail read back through the stand-in's MAPI.
    msgtest::MessageFile file;
    ASSERT_EQ(S_OK, msgtest::OpenMessageFile(SavedForOlefile(), file));
    std::wstring subject, body;
    EXPECT_EQ(S_OK, storetest::GetText(file.message.get(), PR_SUBJECT_W, subject));
    EXPECT_EQ(L"It's known", subject);
    EXPECT_EQ(S_OK, storetest::GetText(file.message.get(), PR_BODY_W, body));
    EXPECT_EQ(L"Hi <mailto:x@y.org> and <mailto:x@y.org>!\n", body);
    EXPECT_EQ(4u, RowCount(&IMessage::GetRecipientTable, file.message.get()));
    EXPECT_EQ(1u, RowCount(&IMessage::GetAttachmentTable, file.message.get()));

    // Clients that take no reply, or its count alone: each request gives up at its first
    // send that is not taken, with its own line (code 7 with none). Four at once, so
    // that their request timeouts pass together.
    struct Stall {
        wire::RequestCode code;
        bool takeCount;
        Texts log;
    } const kStalls[] = {
        {wire::RequestCode::GetAllFoldersList,
         false,
         {L"[CKsCommMailServer::GetAllFoldersList] Send(size) failed."}},
        {wire::RequestCode::GetAllFoldersList,
         true,
         {L"[CKsCommMailServer::GetAllFoldersList] Send(folder) failed."}},
        {wire::RequestCode::FillFolderTree, false, {}},
        {wire::RequestCode::GetAllMailsFromFolder, true, {L"SendMessage failed "}},
    };
    Texts expected;
    std::vector<std::unique_ptr<MailClient>> stalled;
    for (const Stall& stall : kStalls) {
        stalled.push_back(host.Connect());
        MailClient& c = *stalled.back();
        ASSERT_TRUE(c.BeginRequest(stall.code));
        if (stall.code == wire::RequestCode::GetAllMailsFromFolder) {
            ASSERT_TRUE(c.tunnel().SendString(L"\\\\Mailbox\\Inbox", MailClient::kDefaultTimeoutMs));
            ASSERT_TRUE(c.tunnel().SendDword(0, MailClient::kDefaultTimeoutMs));
        }
        uint32_t count = 0;
        ASSERT_TRUE(!stall.takeCount ||
                    c.tunnel().ReceiveDword(&count, testsupport::StandinHost::kTimeoutMs));
        Texts lines = testsupport::Dispatched(int(stall.code), stall.log);
        if (stall.code != wire::RequestCode::GetAllMailsFromFolder) lines.push_back(L"Logging off session.");
        if (stall.code == wire::RequestCode::GetAllFoldersList)
            lines.push_back(L"CKsCommMailServer::GetAllFoldersList");
        expected.insert(expected.end(), lines.begin(), lines.end());
    }
    Texts written = tail.Take(std::size(kStalls));
    std::sort(expected.begin(), expected.end());
    std::sort(written.begin(), written.end());
    EXPECT_TRUE(testsupport::SameLines(expected, written));
}

// The default profile's archive folder: a dated mail, an 8-bit one (its dash is byte
// 0x96) whose body lies between 4 KiB and the stand-in's default GetProps limit of
// 16 KiB. Its record with the body: "<report-2022@example.org>Quarterly report \x96 2022"
// + "finance@example.orgDemo User" + "Revenue,costsandoutlook,linebyline." x 24 +
// "Revenue,costsa" + "Saturday, October 01, 2022 09:00:00"; at a limit of 4 KiB the
// body is unreadable (MAPI_E_NOT_ENOUGH_MEMORY in GetProps, 8-bit and Unicode alike)
// and leaves the record. Last, a short mail that lies in another folder too.
constexpr wchar_t kArchive[] = L"\\\\Archive\\Archive 2022";
constexpr wchar_t kReportWithBody[] = L"F80E2E30DA3309D475198B721B142620";
constexpr wchar_t kReportWithoutBody[] = L"8136A4472BA8BCE3723E470A50C2CE0D";

// Another module of Outlook's process may set the runtime's locale (where byte 0x96 is
// an en dash and dates are German), and a store may give GetProps smaller values than
// the stand-in does by default: the same folder, listed with bodies in a host that sets
// the locale "German_Germany.1252" on a profile limited to 4 KiB, gives every signature
// as before but the report's, which loses its body.
TEST(MailRequests, AnotherLocaleChangesNoSignatureAndA4KiBLimitOnlyTheMidSizeBody) {
    ASSERT_EQ(S_OK, addintest::RegisterPlugin());
    const storetest::TempFolder temp;
    const std::wstring bundled = testsupport::BesideThisProgram(L"..\\profiles\\default");
    const std::wstring changed = temp.Sub(L"profile");
    std::error_code error;
    std::filesystem::copy(bundled, changed, std::filesystem::copy_options::recursive, error);
    ASSERT_FALSE(error) << error.message();
    const std::string settings = "locale = German_Germany.1252\nproperty-size-limit = 4096\n";
    storetest::WriteText(changed + L"\\profile.ini",
                         testsupport::ReadFileBytes(changed + L"\\profile.ini") + settings);

    std::vector<std::wstring> signatures[2];
    const std::wstring profiles[] = {bundled, changed};
    for (size_t p = 0; p < 2; ++p) {
        const testsupport::StandinHost host(profiles[p]);
        const auto client = host.Connect();
        ASSERT_NE(nullptr, client) << "profile " << p << ": the add-in's channel never appeared";
        std::vector<MailListEntry> entries;
        ASSERT_TRUE(client->GetAllMailsFromFolder(kArchive, 1, &entries)) << "profile " << p;
        for (const MailListEntry& entry : entries) signatures[p].push_back(entry.signature);
        if (p == 1) {
            EXPECT_NE(std::string::npos, host.Output().find("locale German_Germany.1252")) << host.Output();
        }
    }
    ASSERT_EQ(3u, signatures[0].size());
    ASSERT_EQ(signatures[0].size(), signatures[1].size());
    EXPECT_EQ(signatures[0][0], signatures[1][0]) << "the dated mail";
    EXPECT_EQ(signatures[0][2], signatures[1][2]) << "the mail filed twice";
    EXPECT_EQ(kReportWithBody, signatures[0][1]);
    EXPECT_EQ(kReportWithoutBody, signatures[1][1]);
}

}  // namespace
