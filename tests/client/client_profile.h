// The profile of the client tests: two stores, a folder whose name Windows refuses as
// a directory name, one whose name holds a backslash, a meeting request among the mails, a mail whose copy
// fails, and a Deleted Items folder that the folder tree leaves out.
#pragma once

namespace clienttest {

inline constexpr char kProfile[] = R"(profile "Backup"
store "Mailbox" default
  folder "Inbox" role=inbox
    mail subject="First" message-id=<first@example.org> from="Anna <anna@example.org>" to="Bob <bob@example.org>" attach="a.txt:alpha"
    item class=IPM.Schedule.Meeting.Request subject="Meeting"
    mail subject="Second {n}" body="second {n}" count=3
    mail subject="Refused" fault=copy-to
    folder "Q: what? <*>"
      mail subject="Escaped {n}" count=2
    folder "A\\B"
      mail subject="Below a backslash"
  folder "Deleted Items" role=deleted-items
    mail subject="Gone"
store "Archive"
  folder "2022"
    mail subject="Old {n}" body="old mail {n}" count=4
)";

inline constexpr wchar_t kInbox[] = L"\\\\Mailbox\\Inbox";
inline constexpr size_t kInboxItems = 6;  // the meeting request second
inline constexpr size_t kSaveable = 11;   // mails outside Deleted Items, but the refused one

}  // namespace clienttest
