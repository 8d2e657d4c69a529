// The two long runs of the tool: a backup of every mail folder into a backup folder,
// saving only mails it does not hold yet, and the restore of everything it holds.
// A mail is known by its signature wherever it was met: a copy of a saved mail in
// another folder counts as already saved.
#pragma once

#include <string>

#include "client/mail_client.h"
#include "client/output.h"

namespace client {

struct BackupOptions {
    std::wstring folder;      // the backup folder, an absolute path
    bool allFolders = false;  // code 0's list instead of code 7's
};

struct RestoreOptions {
    std::wstring folder;  // the backup folder, an absolute path
    std::wstring root;    // when not empty, replaces each folder path's root name
};

// Exit statuses: 0 when everything went through, 1 otherwise.
[[nodiscard]] int RunBackup(MailClient& client, const BackupOptions& options, Output& output);
[[nodiscard]] int RunRestoreAll(MailClient& client, const RestoreOptions& options, Output& output);

// `folderPath` with its root name (the first name after the two backslashes) replaced.
[[nodiscard]] std::wstring ReplaceRoot(const std::wstring& folderPath, const std::wstring& root);

}  // namespace client
