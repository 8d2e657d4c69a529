// The profile of the client tests: two stores, a folder whose name Windows refuses as
// a directory name, one whose name holds a backslash, a meeting request among the mails, a mail whose copy
// fails, a mail that lies unchanged in two folders, and a Deleted Items folder that the folder tree leaves
// out.
#pragma once

namespace clienttest {

inline constexpr char kProfile[] = R"(profile "Backup"
store "Mailbox" default
  folder "Inbox" role=inbox
    mail subject="First" message-id=<first@example.org> from="Anna <anna@example.org>" to="Bob <bob@example.org>" attach="a.txt:alpha"
    item class=IPM.Schedule.Meeting.Request subject="Meeting"
    mail subject="Second {n}" body="second {n}" count=3
    mail subject="Refused" fault=copy-to
    mail subject="Twice" message-id=<twice@example.org> date=2023-04-01T08:00:00
    folder "Q: what? <*>"
      mail subject="Escaped {n}" count=2
    folder "A\\B"
      mail subject="Below a backslash"
  folder "Deleted Items" role=deleted-items
    mail subject="Gone"
store "Archive"
  folder "2022"
    mail subject="Old {n}" body="old mail {n}" count=4
    mail subject="Twice" message-id=<twice@example.org> date=2023-04-01T08:00:00
)";

inline constexpr wchar_t kInbox[] = L"\\\\Mailbox\\Inbox";
inline constexpr size_t kInboxItems = 7;  // the meeting request second
inline constexpr size_t kSaveable = 12;   // mails outside Deleted Items, but the refused one, once each
inline constexpr size_t kPlaces = 13;     // and each in every folder it lies in

}  // namespace clienttest
