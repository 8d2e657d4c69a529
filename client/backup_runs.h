// The long runs of the tool over a backup folder: a backup of every mail folder,
// saving only mails the folder does not hold yet; the restore of everything it holds,
// skipping what is already in place; and the check of what it holds. A mail is known
// by its signature wherever it was met: one file, and every folder it was met in.
// Nothing stops on one bad mail or folder: each is reported and counted, and the run
// goes on; it stops only when the add-in is gone or the backup folder cannot be written.
#pragma once

#include <cstdint>
#include <string>

#include "client/output.h"

namespace client {

// Exit statuses: everything went through; something failed (reported); refused,
// nothing done (a usage error, a folder that is no backup, another run at work).
inline constexpr int kSucceeded = 0;
inline constexpr int kFailed = 1;
inline constexpr int kRefused = 2;

// The add-in's channel; the runs connect when they need to and again after a failure.
struct Channel {
    std::wstring name;
    uint32_t version = 2;
    uint32_t timeoutMs = 0;
};

// Connections a backup or restore-all works through at once. The object model
// answers them all on Outlook's one main thread, so more jobs win only the work beside
// it (the message store, the files, the digests, the client): two keep that thread busy
// while a request's other work runs; more only queue on it.
inline constexpr unsigned kDefaultJobs = 2;
inline constexpr unsigned kMostJobs = 16;

struct BackupOptions {
    std::wstring folder;      // the backup folder, an absolute path
    bool allFolders = false;  // code 0's list instead of code 7's
    bool dryRun = false;      // says what it would save; writes nothing anywhere
    unsigned jobs = kDefaultJobs;
};

struct RestoreOptions {
    std::wstring folder;  // the backup folder, an absolute path
    std::wstring root;    // when not empty, replaces each folder path's root name
    bool dryRun = false;  // says what it would restore; writes nothing anywhere
    unsigned jobs = kDefaultJobs;
};

struct CheckOptions {
    std::wstring folder;    // the backup folder, an absolute path
    bool readData = false;  // also compares every file's SHA-256 with the one recorded
};

[[nodiscard]] int RunBackup(const Channel& channel, const BackupOptions& options, Output& output);
[[nodiscard]] int RunRestoreAll(const Channel& channel, const RestoreOptions& options, Output& output);
[[nodiscard]] int RunCheck(const CheckOptions& options, Output& output);

// `folderPath` with its root name (the first name after the two backslashes) replaced.
[[nodiscard]] std::wstring ReplaceRoot(const std::wstring& folderPath, const std::wstring& root);

}  // namespace client
