// The index of a backup folder: one message file per mail, and every folder in which
// the backup met that mail. Every change reaches the disk as a whole file flushed and
// renamed over the old one, so a backup killed at any moment leaves the old index or
// the new one, finished message files under their final names and, at worst, partial
// files that the next run deletes. A finished file the index does not list yet is
// adopted when the folder is opened again: its name is its mail's key, its directory
// names its folder path.
//
// index.txt, UTF-8, fields as client/backup_folder.h escapes them:
//   mail backup index 2
//   <signature> TAB <entry ID> TAB <file> TAB <size> TAB <sha-256> TAB <folder path> [TAB <folder path>]...
// The signature is empty for a mail the add-in could not give one. The first version
// wrote "mail backup index 1" and a line of signature, entry ID, one folder path and
// file: such an index is read as it is, and written anew in this form by the next
// backup, which reads each of its files once for its size and digest.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

namespace client {

struct SavedMail {
    std::wstring signature;  // empty when the add-in could not compute it
    std::wstring entryId;    // empty for a file adopted before it was indexed
    std::wstring file;       // relative to the backup folder
    uint64_t size = 0;       // as saved; with an empty digest: not known
    std::wstring sha256;     // of the file as saved; empty: not known
    std::vector<std::wstring>
        places;            // folder paths as sent to the add-in: a backslash inside a name escaped
    bool damaged = false;  // found missing or of another size: to be saved again
    bool adopted = false;  // found on disk, not yet in the index
};

// What a mail is recognised by: its signature, or for a mail without one its entry ID
// (hashed, to keep file names short).
[[nodiscard]] std::wstring MailKey(const std::wstring& signature, const std::wstring& entryId);
// The key a saved mail was filed under: its file is named after it.
[[nodiscard]] std::wstring KeyOf(const SavedMail& mail);
// Whether `text` has the form of a key: 32 hexadecimal digits, or "id-" and 16.
[[nodiscard]] bool IsMailKey(const std::wstring& text);
// Whether the add-in's signature is usable: none, or 32 hexadecimal digits.
[[nodiscard]] bool IsSignature(const std::wstring& text);

// A folder name as a directory name and back: '&', the characters Windows refuses in
// names, control characters, a trailing dot or blank, the first letter of a device
// name and, for a store (`top`), of a name the tool keeps for itself become "&#N;";
// an empty name is "&#;".
[[nodiscard]] std::wstring DirectoryName(const std::wstring& folderName, bool top = false);
[[nodiscard]] std::wstring FolderName(const std::wstring& directoryName);
// A folder path as a directory relative to the backup folder, one level per name, and back.
[[nodiscard]] std::wstring FolderDirectory(const std::wstring& folderPath);
[[nodiscard]] std::wstring FolderPathOf(const std::wstring& directory);

class BackupIndex {
public:
    // Opens the index of the backup folder `folder` (an absolute path) and walks its
    // layout, following no reparse point: finds indexed files that went missing or
    // changed size and adopts message files it does not list. A writing run also
    // deletes the partial files of the tool's naming and reads each adopted file
    // (valid, its size and digest) before it takes it. False with a reason in `error`.
    [[nodiscard]] bool Open(const std::wstring& folder, bool writing, std::wstring* error);
    [[nodiscard]] const SavedMail* Find(const std::wstring& key) const;
    // Records a place and the entry ID of a mail the index holds undamaged; false when it
    // holds none (or a damaged one): the mail is to be saved.
    [[nodiscard]] bool Met(const std::wstring& key, const std::wstring& entryId, const std::wstring& place);
    // A mail saved: added, or in place of its damaged entry, keeping its places.
    void Add(SavedMail mail);
    // Writes the index anew if something changed since the last write.
    [[nodiscard]] bool Save(std::wstring* error);
    // Whether enough changed since the last write that a crash would cost a re-scan
    // worth avoiding; grows with the index, so rewriting stays linear overall.
    [[nodiscard]] bool SaveDue() const noexcept;

    [[nodiscard]] const std::vector<SavedMail>& mails() const noexcept { return mails_; }
    [[nodiscard]] size_t adopted() const noexcept { return adopted_; }
    [[nodiscard]] size_t damaged() const noexcept { return damaged_; }
    [[nodiscard]] size_t unreadableLines() const noexcept { return unreadableLines_; }
    [[nodiscard]] std::wstring FullPath(const std::wstring& relative) const {
        return folder_ + L"\\" + relative;
    }

private:
    [[nodiscard]] bool Read(std::wstring* error);
    // Below `directory` (relative, empty for the backup folder): the files of the layout.
    void Scan(const std::wstring& directory, bool writing, std::unordered_map<std::wstring, uint64_t>* sizes);
    void Adopt(const std::wstring& directory, const std::wstring& name, uint64_t size, bool writing);
    void Insert(SavedMail mail);

    std::wstring folder_;
    std::vector<SavedMail> mails_;
    std::unordered_map<std::wstring, size_t> byKey_;
    size_t unsaved_ = 0;
    size_t adopted_ = 0;
    size_t damaged_ = 0;
    size_t unreadableLines_ = 0;
};

}  // namespace client
