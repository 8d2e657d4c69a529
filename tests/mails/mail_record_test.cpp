// The mail record, field by field, on the stand-in's object model in this process,
// reached from a worker thread as a request handler reaches Outlook; the digest of
// known records.
#include <gtest/gtest.h>

#include "mails/mail_record.h"
#include "mails/mail_signature.h"
#include "tests/mails/mail_profile.h"
#include "tests/standin/outlook/om_test_util.h"

namespace {

std::wstring Repeat(const std::wstring& text, int times) {
    std::wstring out;
    for (int i = 0; i < times; ++i) out += text;
    return out;
}

struct RecordCase {
    mailtest::InboxItem item;
    bool includeBody;
    std::wstring record;
};

const std::wstring kKnown = L"<known@example.org>It's knownanna@example.orgBob ONeil; CyDArcyEve E";
const std::wstring kNeverSent = L"Never sentsender@example.orgDemo User";
const std::wstring kNeverSentBody = L"Lineonelinetwo<mailto:open";
const std::wstring kDated = L"Datedsender@example.orgDemo User";
const RecordCase kRecords[] = {
    // Apostrophes go from the display lists only; a link's every occurrence goes.
    {mailtest::kKnown, false, kKnown},
    {mailtest::kKnown, true, kKnown + L"Hiand!"},
    // Never sent: the stripped body follows even without includeBody; with it, the
    // short form comes first. A link without ">" stays.
    {mailtest::kNeverSent, false, kNeverSent + kNeverSentBody},
    {mailtest::kNeverSent, true, kNeverSent + kNeverSentBody + kNeverSentBody},
    // 8-bit text is widened byte for byte: cp1252's dash 0x96 stays U+0096.
    {mailtest::kAnsi, false, L"<ansi@example.org>Caf\u00e9 \u0096 8-bitsender@example.orgDemo User"},
    // When the 8-bit read fails, the Unicode text as it stands.
    {mailtest::kWide, false, L"<wide@example.org>日本語sender@example.orgDemo User"},
    // Unreadable message ID and submit time contribute nothing, and bring the body.
    {mailtest::kUnreadable, true, L"Unreadablesender@example.orgDemo Userxyxy"},
    // Local time; the submit time alone keeps the body out; the body's short form
    // comes before the time.
    {mailtest::kDated, false, kDated + L"Tuesday, March 14, 2023 14:35:07"},
    {mailtest::kDated, true, kDated + L"BodyofDated.Tuesday, March 14, 2023 14:35:07"},
    // A time past what a date holds in local time gives no text.
    {mailtest::kFar, false, L"Farsender@example.orgDemo Userf"},
    // The short form is cut at 1024 characters counted before the blanks go.
    {mailtest::kLong, true,
     L"Longsender@example.orgDemo User" + Repeat(L"ab", 341) + L"a" + Repeat(L"ab", 600) + L"TAIL"},
};

class MailRecord : public omtest::HostedApplication {};

TEST_F(MailRecord, FieldsOfChosenMails) {
    Reopen(mailtest::kMailProfile);
    omtest::AsAddInWorker([](_Application* application) {
        const base::ComPtr<_NameSpace> nameSpace = omtest::MapiNamespace(application);
        const auto items = omtest::AllItems(omtest::FolderAt(nameSpace.get(), {L"Mailbox", L"Inbox"}).get());
        ASSERT_EQ(size_t{mailtest::kItems}, items.size());
        for (size_t i = 0; i < std::size(kRecords); ++i) {
            const RecordCase& c = kRecords[i];
            base::ComPtr<_MailItem> mail;
            base::ComPtr<IMessage> message;
            ASSERT_EQ(S_OK, items[c.item].As(mail)) << "case " << i;
            ASSERT_EQ(S_OK, mails::GetMailMessage(mail.get(), message)) << "case " << i;
            EXPECT_EQ(c.record, mails::BuildMailRecord(message.get(), c.includeBody)) << "case " << i;
        }
        // Items that are not mails are not found as mails.
        omtest::RawGet entryId;
        omtest::GetProperty(items[mailtest::kMeeting].get(), L"EntryID", entryId);
        ASSERT_EQ(VT_BSTR, entryId.value.vt);
        base::ComPtr<_MailItem> mail;
        EXPECT_EQ(E_NOINTERFACE, mails::GetMailItemByEntryID(entryId.value.bstrVal, mail));
    });
}

TEST(MailSignature, DigestOfTheFirstHalfOfTheRecordsBytes) {
    struct {
        std::wstring record;
        const char* digest;  // MD5 of the record's first N bytes of UTF-16LE, N its length
    } const kDigests[] = {
        {L"", "D41D8CD98F00B204E9800998ECF8427E"},                      // MD5 of no bytes
        {L"AB", "8214D1003F68A7D9B0356C0CBD7EEE1A"},                    // MD5 of 41 00
        {L"Hi\u00e9\u00e9\u00e9", "863DD777FB53630A1BC2B4E531811BD9"},  // of 48 00 69 00 E9
    };
    for (const auto& c : kDigests) {
        EXPECT_EQ(c.digest, mails::ComputeMD5Hex(c.record.data(), static_cast<long long>(c.record.size())));
    }
    EXPECT_EQ("", mails::ComputeMD5Hex(nullptr, 0));
}

}  // namespace
