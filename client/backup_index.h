// The backup folder: one message file per mail, in a directory per folder path, and
// an index of what is saved. Every change reaches the disk as a whole file renamed
// over the old one, so a backup killed at any moment leaves the old index or the new
// one, finished message files under their final names and, at worst, partial files
// that the next run deletes. A finished file the index does not list yet is adopted
// when the folder is opened again: its name is its mail's key, its directory names
// its folder path.
#pragma once

#include <cstddef>
#include <string>
#include <unordered_map>
#include <vector>

namespace client {

struct SavedMail {
    std::wstring signature;   // empty when the add-in could not compute it
    std::wstring entryId;     // empty for a file adopted before it was indexed
    std::wstring folderPath;  // as it is sent to the add-in: a backslash inside a name escaped
    std::wstring file;        // relative to the backup folder
};

// What a mail is recognised by: its signature, or for a mail without one its entry ID
// (hashed, to keep file names short).
[[nodiscard]] std::wstring MailKey(const std::wstring& signature, const std::wstring& entryId);

// A folder name as a directory name and back: '&', the characters Windows refuses in
// names, control characters, a trailing dot or blank and the first letter of a device
// name become "&#N;"; an empty name is "&#;".
[[nodiscard]] std::wstring DirectoryName(const std::wstring& folderName);
[[nodiscard]] std::wstring FolderName(const std::wstring& directoryName);
// A folder path as a directory relative to the backup folder, one level per name, and back.
[[nodiscard]] std::wstring FolderDirectory(const std::wstring& folderPath);
[[nodiscard]] std::wstring FolderPathOf(const std::wstring& directory);

class BackupIndex {
public:
    static constexpr wchar_t kIndexName[] = L"index.txt";
    static constexpr wchar_t kMailExtension[] = L".msg";
    static constexpr wchar_t kPartialExtension[] = L".partial";

    // Opens the backup folder `folder` (an absolute path), creating it if need be: reads
    // the index, deletes partial files and adopts finished message files it does not
    // list. False with a reason in `error`.
    [[nodiscard]] bool Open(const std::wstring& folder, std::wstring* error);
    [[nodiscard]] const SavedMail* Find(const std::wstring& key) const;
    // Whether the index holds the mail of `key`; gives an adopted file its entry ID.
    [[nodiscard]] bool Recognise(const std::wstring& key, const std::wstring& entryId);
    void Add(SavedMail mail);
    // Writes the index anew if something was added since the last write.
    [[nodiscard]] bool Save(std::wstring* error);
    // Whether enough was added since the last write that a crash would cost a re-scan
    // worth avoiding; grows with the index, so rewriting stays linear overall.
    [[nodiscard]] bool SaveDue() const noexcept;

    [[nodiscard]] const std::vector<SavedMail>& mails() const noexcept { return mails_; }
    [[nodiscard]] size_t adopted() const noexcept { return adopted_; }
    [[nodiscard]] std::wstring FullPath(const std::wstring& relative) const {
        return folder_ + L"\\" + relative;
    }

private:
    [[nodiscard]] bool Read(std::wstring* error);
    void Scan(const std::wstring& directory);

    std::wstring folder_;
    std::vector<SavedMail> mails_;
    std::unordered_map<std::wstring, size_t> byKey_;
    size_t unsaved_ = 0;
    size_t adopted_ = 0;
};

// Creates `path` and every missing folder above it; true when it exists afterwards.
[[nodiscard]] bool CreateFolders(const std::wstring& path);

}  // namespace client
