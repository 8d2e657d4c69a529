#include "client/backup_runs.h"

#include <windows.h>

#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "client/backup_index.h"

namespace client {
namespace {

enum BackupTally { kNew, kKnown, kNotMails, kSaveFailed, kBackupTallies };
enum RestoreTally { kRestored, kRestoreFailed, kRestoreTallies };

// The folder list's paths as the add-in reads them back: a backslash after which no
// listed folder ends is part of a name, and is sent as its escape.
std::vector<std::wstring> PathsToSend(const std::vector<std::wstring>& paths,
                                      const std::vector<std::wstring>& all) {
    const std::unordered_set<std::wstring> listed(all.begin(), all.end());
    std::vector<std::wstring> sent;
    sent.reserve(paths.size());
    for (const std::wstring& path : paths) {
        std::wstring& out = sent.emplace_back(path.substr(0, 2));
        for (size_t i = out.size(); i < path.size(); ++i) {
            out += path[i] == L'\\' && !listed.count(path.substr(0, i)) ? std::wstring(L"&#92")
                                                                        : std::wstring(1, path[i]);
        }
    }
    return sent;
}

// The connection or the backup folder failed: nothing more can be done in this run.
int Abort(Output& output, const std::wstring& what) {
    output.Error(what);
    output.Error(L"the run stopped; run it again to go on where it stopped");
    return 1;
}

class Backup {
public:
    Backup(MailClient& client, const BackupOptions& options, Output& output)
        : client_(client),
          options_(options),
          output_(output),
          progress_(output, L"items"),
          partialSuffix_(L"." + std::to_wstring(GetCurrentProcessId()) + BackupIndex::kPartialExtension) {}

    int Run() {
        std::wstring error, listError;
        if (!index_.Open(options_.folder, &error)) return Abort(output_, error);
        if (index_.adopted() > 0)
            output_.Line(L"adopted " + std::to_wstring(index_.adopted()) +
                         L" message files that an interrupted run saved but did not list");
        const bool finished = BackUpFolders(&error);
        // Also after a failure, so that the next run need not adopt what this one saved.
        const bool listed = index_.Save(&listError);
        if (!finished || !listed) return Abort(output_, finished ? listError : error);
        progress_.Summary(tallies_, kBackupTallies);
        return tallies_[kSaveFailed].count == 0 ? 0 : 1;
    }

private:
    // False with the reason when the run cannot go on.
    bool BackUpFolders(std::wstring* error) {
        std::vector<std::wstring> all, folders;
        if (!client_.GetAllFoldersList(&all) || (!options_.allFolders && !client_.FillFolderTree(&folders))) {
            *error = L"the folder list did not come: " + client_.error();
            return false;
        }
        if (options_.allFolders) folders = all;
        const std::vector<std::wstring> sent = PathsToSend(folders, all);
        progress_.Begin(folders.size());
        for (size_t i = 0; i < sent.size(); ++i) {
            const std::wstring& folder = sent[i];
            std::vector<MailListEntry> entries;
            if (!client_.GetAllMailsFromFolder(folder, 0, &entries)) {
                *error = L"the mail list of " + folder + L" did not come: " + client_.error();
                return false;
            }
            if (!BackUpFolder(folder, entries, error)) return false;
            progress_.FolderDone(folders[i], entries.size(), tallies_, kBackupTallies);
        }
        return true;
    }

    // False when the run cannot go on; a mail that was not saved is counted and reported.
    bool BackUpFolder(const std::wstring& folder, const std::vector<MailListEntry>& entries,
                      std::wstring* error) {
        const std::wstring directory = FolderDirectory(folder);
        bool created = false;
        for (const MailListEntry& entry : entries) {
            progress_.Step();
            const std::wstring key = MailKey(entry.signature, entry.entryId);
            if (!entry.mail()) {
                ++tallies_[kNotMails].count;
            } else if (index_.Recognise(key, entry.entryId)) {
                ++tallies_[kKnown].count;
            } else if (!created && !(created = CreateFolders(index_.FullPath(directory)))) {
                *error = L"cannot create the folder " + index_.FullPath(directory) + L" (error " +
                         std::to_wstring(GetLastError()) + L")";
                return false;
            } else if (!Save(folder, entry, directory + L"\\" + key, error)) {
                return false;
            }
        }
        return true;
    }

    // Into a partial file first, renamed to its final name once the add-in has
    // committed it: a file under a final name is always a whole mail.
    bool Save(const std::wstring& folder, const MailListEntry& entry, const std::wstring& file,
              std::wstring* error) {
        const std::wstring partial = index_.FullPath(file + partialSuffix_);
        const std::wstring final = file + BackupIndex::kMailExtension;
        bool saved = false;
        if (!client_.SaveMailToMSGFile(entry.entryId, partial, &saved)) {
            *error = L"saving a mail of " + folder + L" did not finish: " + client_.error();
            return false;
        }
        if (!saved) {
            DeleteFileW(partial.c_str());
            ++tallies_[kSaveFailed].count;
            output_.Error(L"the add-in could not save the mail " + entry.entryId + L" of " + folder +
                          L" (its log says why); going on");
            return true;
        }
        if (!MoveFileExW(partial.c_str(), index_.FullPath(final).c_str(),
                         MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
            *error = L"cannot rename " + partial + L" (error " + std::to_wstring(GetLastError()) + L")";
            return false;
        }
        index_.Add({entry.signature, entry.entryId, folder, final});
        ++tallies_[kNew].count;
        return !index_.SaveDue() || index_.Save(error);
    }

    MailClient& client_;
    const BackupOptions& options_;
    Output& output_;
    Progress progress_;
    BackupIndex index_;
    const std::wstring partialSuffix_;
    Tally tallies_[kBackupTallies] = {{L"new"}, {L"already saved"}, {L"not mails"}, {L"failed"}};
};

}  // namespace

int RunBackup(MailClient& client, const BackupOptions& options, Output& output) {
    return Backup(client, options, output).Run();
}

std::wstring ReplaceRoot(const std::wstring& folderPath, const std::wstring& root) {
    const size_t start = folderPath.starts_with(L"\\\\") ? 2 : 0;
    const size_t separator = folderPath.find(L'\\', start);
    return L"\\\\" + root + (separator == std::wstring::npos ? L"" : folderPath.substr(separator));
}

int RunRestoreAll(MailClient& client, const RestoreOptions& options, Output& output) {
    const DWORD attributes = GetFileAttributesW(options.folder.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY))
        return Abort(output, L"there is no backup folder " + options.folder);
    BackupIndex index;
    std::wstring error;
    if (!index.Open(options.folder, &error)) return Abort(output, error);
    if (index.mails().empty())
        return Abort(output, L"the backup folder " + options.folder + L" holds no mails");
    // Folder by folder, in the order the backup met them.
    std::vector<std::wstring> order;
    std::unordered_map<std::wstring, std::vector<const SavedMail*>> byFolder;
    for (const SavedMail& mail : index.mails()) {
        auto& mails = byFolder[mail.folderPath];
        if (mails.empty()) order.push_back(mail.folderPath);
        mails.push_back(&mail);
    }
    Tally tallies[kRestoreTallies] = {{L"restored"}, {L"failed"}};
    Progress progress(output, L"mails");
    progress.Begin(order.size());
    for (const std::wstring& folder : order) {
        const std::wstring target = options.root.empty() ? folder : ReplaceRoot(folder, options.root);
        for (const SavedMail* mail : byFolder[folder]) {
            progress.Step();
            bool restored = false;
            const std::wstring file = index.FullPath(mail->file);
            if (!client.RestoreMailFromMSGFile(file, target, &restored))
                return Abort(output, L"restoring " + file + L" did not finish: " + client.error());
            ++tallies[restored ? kRestored : kRestoreFailed].count;
            if (!restored)
                output.Error(L"the add-in could not restore " + file + L" into " + target +
                             L" (its log says why); going on");
        }
        progress.FolderDone(target, byFolder[folder].size(), tallies, kRestoreTallies);
    }
    progress.Summary(tallies, kRestoreTallies);
    return tallies[kRestoreFailed].count == 0 ? 0 : 1;
}

}  // namespace client
