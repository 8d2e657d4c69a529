// The backup folder as a whole: how a folder is recognised as one (never guessed),
// the lock that lets one run at a time work in it, paths past MAX_PATH, what makes a
// saved message file trustworthy, and the journal of what restore-all put where.
//
// Layout, all of it written by this tool:
//   backup-folder.txt        the marker: "mail backup folder 2", then a note for people
//   index.txt                the index (client/backup_index.h)
//   backup.lock              present while a run works here; names its process
//   restore-journal.txt      what restore-all restored where
//   partial\                 files the add-in is writing: <key>.<process id>.partial
//   <store>\<folder>\...     one directory per folder path; <key>.msg per saved mail
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "base/unique_resource.h"

namespace client {

inline constexpr wchar_t kMarkerName[] = L"backup-folder.txt";
inline constexpr wchar_t kIndexName[] = L"index.txt";
inline constexpr wchar_t kNewIndexName[] = L"index.txt.new";
inline constexpr wchar_t kLockName[] = L"backup.lock";
inline constexpr wchar_t kJournalName[] = L"restore-journal.txt";
inline constexpr wchar_t kPartialFolderName[] = L"partial";
inline constexpr wchar_t kMailExtension[] = L".msg";
inline constexpr wchar_t kPartialExtension[] = L".partial";
// The names above, which no store directory may take.
[[nodiscard]] bool IsReservedName(const std::wstring& name);

// The layout this version writes; the landed one (version 1) had no marker.
inline constexpr uint32_t kFolderFormat = 2;

enum class FolderState {
    Missing,  // nothing there yet
    Empty,    // an empty folder (a lock file aside)
    Backup,   // has the marker of a format this version reads
    Landed,   // a backup of the first version: an index, no marker
    Newer,    // has the marker of a later format
    Foreign,  // anything else: never written into, never scanned
};
// What `folder` is, found without changing anything in it.
[[nodiscard]] FolderState Recognise(const std::wstring& folder);
[[nodiscard]] bool WriteMarker(const std::wstring& folder, std::wstring* error);

// A run's hold on a backup folder: the lock file open for writing by this process
// alone, deleted when it is closed, by the run or by the system when the process
// dies, so a killed run's lock blocks nothing.
class RunLock {
public:
    // False with who holds it (`held`), or why it cannot be taken, in `error`.
    [[nodiscard]] bool Take(const std::wstring& folder, const std::wstring& command, std::wstring* error,
                            bool* held);
    // Whether a run holds `folder`'s lock; `holder` then says which, for a person. Writes nothing.
    [[nodiscard]] static bool Held(const std::wstring& folder, std::wstring* holder);

private:
    base::UniqueFile file_;
};

// An absolute path as the file calls take it: as it is while it fits the plain limit,
// else with the \\?\ prefix that lifts MAX_PATH.
[[nodiscard]] std::wstring SystemPath(const std::wstring& path);
// Creates `path` and every missing folder above it; true when it exists afterwards.
[[nodiscard]] bool CreateFolders(const std::wstring& path);
// "error N" of GetLastError, for messages.
[[nodiscard]] std::wstring LastError();

// The tool's text files keep one record a line, UTF-8, fields apart by tabs; a tab,
// line break or '%' inside a field is written as "%XX".
[[nodiscard]] std::wstring EscapeField(const std::wstring& text);
[[nodiscard]] std::wstring UnescapeField(std::wstring_view text);
[[nodiscard]] std::vector<std::wstring> Split(std::wstring_view text, wchar_t separator);
// A text file's lines; the last holds what follows the last line feed: nothing, or
// a line cut off while it was written. No file gives no lines. False when the file
// cannot be read, the reason in `error`.
[[nodiscard]] bool ReadLines(const std::wstring& path, std::vector<std::wstring>* lines, std::wstring* error);
// Writes `bytes` to `path` through a new file flushed and renamed over it, so the
// disk holds the old file or the new one whatever happens. `beforeRename` names the
// crash point between the two.
[[nodiscard]] bool ReplaceFile(const std::wstring& path, const std::string& bytes, std::wstring* error,
                               const wchar_t* beforeRename = nullptr);

// Size and SHA-256 (64 lower-case hex digits) of a file's bytes.
struct FileFacts {
    uint64_t size = 0;
    std::wstring sha256;
};
// Reads the whole file; with `flush`, also makes it durable before returning.
[[nodiscard]] bool ReadFacts(const std::wstring& path, bool flush, FileFacts* facts);
// A compound file of the message class holding its property stream.
[[nodiscard]] bool IsMessageFile(const std::wstring& path);

// What restore-all restored where: one line per restore, written and flushed as it
// succeeds, so a second run does not restore it again even where the target folder's
// list cannot show it.
class RestoreJournal {
public:
    [[nodiscard]] bool Read(const std::wstring& folder, std::wstring* error);
    [[nodiscard]] bool Holds(const std::wstring& key, const std::wstring& target) const;
    [[nodiscard]] bool Record(const std::wstring& key, const std::wstring& target, std::wstring* error);

private:
    std::wstring path_;
    std::unordered_set<std::wstring> done_;
};

// Test seam: with BACKUP_CLIENT_CRASH_AT=POINT:N in the environment, the process ends
// abruptly, as a kill would end it, the Nth time it passes POINT.
inline constexpr uint32_t kCrashExitCode = 99;
void CrashPoint(const wchar_t* point) noexcept;

}  // namespace client
