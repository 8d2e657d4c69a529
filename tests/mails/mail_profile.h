// The profile of the mail tests: in the default store's Inbox, mails that each
// reach one way of building the record, with a meeting request and a report
// between them, a mail whose CopyTo fails and two whose entry ID or MAPI object the
// object model cannot give; an empty folder beside it. Times are
// UTC; the tests run in a zone 5:30 ahead.
#pragma once

#include <string>

namespace mailtest {

// Item order in the Inbox, as Items gives it.
enum InboxItem {
    kKnown,
    kMeeting,
    kNeverSent,
    kReport,
    kAnsi,
    kWide,
    kUnreadable,
    kDated,
    kLong,
    kUncopyable,
    kNoEntryId,
    kNoMapiObject,
    kFar,
    kItems
};

inline const std::string kLongBody = [] {
    std::string body;
    for (int i = 0; i < 600; ++i) body += "ab ";
    return body + "TAIL";
}();

inline const std::string kMailProfile = R"(profile "Mails"
store "Mailbox" default
  folder "Inbox" role=inbox
    mail subject="It's known" message-id=<known@example.org> from="Anna <anna@example.org>" to="Bob O'Neil <bob@example.org>; Cy <cy@example.org>" cc="D'Arcy <darcy@example.org>" bcc="Eve 'E' <eve@example.org>" submit-time=none body="Hi <mailto:x@y.org> and <mailto:x@y.org>!\n" attach="a.txt:alpha"
    item class=IPM.Schedule.Meeting.Request subject="Meeting"
    mail subject="Never sent" message-id=none submit-time=none body="Line one\r\nline two <mailto:open"
    item class=REPORT.IPM.Note.NDR subject="Undeliverable"
    mail subject="Café – 8-bit" message-id=<ansi@example.org> submit-time=none ansi
    mail subject="日本語" message-id=<wide@example.org> submit-time=none fault=string8
    mail subject="Unreadable" body="x y" fault=error-value
    mail subject="Dated" message-id=none date=2023-03-14T09:05:07
    mail subject="Long" message-id=none submit-time=none body=")" +
                                        kLongBody + R"("
    mail subject="100%s sure" fault=copy-to
    mail subject="No entry ID" fault=item-entry-id
    mail subject="No MAPI object" fault=mapi-object
    mail subject="Far" message-id=none date=9999-12-31T23:59:59 body="f"
  folder "Empty"
)";

}  // namespace mailtest
