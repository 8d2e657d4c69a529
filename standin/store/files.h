// File primitives of the store on disk: UTF-8 text, whole-file reads, writes that
// readers never see half done, directory listings. Every function is safe to call
// from any thread; none keeps a handle open after it returns.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace standin::store {

[[nodiscard]] std::string ToUtf8(std::wstring_view text);
// Invalid sequences become U+FFFD, as MultiByteToWideChar does without strict flags.
[[nodiscard]] std::wstring FromUtf8(std::string_view text);

[[nodiscard]] std::wstring JoinPath(std::wstring_view dir, std::wstring_view name);
[[nodiscard]] bool IsDirectory(const std::wstring& path) noexcept;
[[nodiscard]] bool IsFile(const std::wstring& path) noexcept;

// MAPI_E_NOT_FOUND when the file does not exist, MAPI_E_NO_ACCESS when it cannot
// be opened, MAPI_E_CORRUPT_DATA when it is larger than 2 GiB.
[[nodiscard]] HRESULT ReadFileBytes(const std::wstring& path, std::vector<BYTE>& bytes);

// Writes into a temporary file beside `path`, then renames it over `path`, so a
// reader sees the old file or the new one, never a mix, and of two writers that
// meet one complete file wins. Without `replace` an existing `path` is left alone
// and the result is MAPI_E_COLLISION. With `scratchFolder` (on the same volume) the
// temporary file is made there instead: under Wine, creating a file of a new name
// reads its whole folder to rule out the name in another case, which a writer into
// a folder of thousands of items then pays once per file instead of twice.
[[nodiscard]] HRESULT WriteFileAtomically(const std::wstring& path, const void* data, size_t size,
                                          bool replace, const std::wstring& scratchFolder = {});

// A name for a temporary file or folder beside others: it starts with '~' and ends
// in ".tmp", which no folder or item name of the store does.
[[nodiscard]] std::wstring TemporaryName();
[[nodiscard]] bool IsTemporaryName(std::wstring_view name) noexcept;

struct DirectoryEntry {
    std::wstring name;
    bool isDirectory = false;
    uint64_t size = 0;
    FILETIME lastWrite{};
};
// Every entry but "." and "..", in the order of names compared ordinally.
[[nodiscard]] HRESULT ListDirectory(const std::wstring& dir, std::vector<DirectoryEntry>& entries);

// Deletes a folder and everything below it.
[[nodiscard]] HRESULT DeleteTree(const std::wstring& dir);

// Maps a Win32 error of a file operation to the MAPI code callers see.
[[nodiscard]] HRESULT HresultFromFileError(DWORD error) noexcept;

}  // namespace standin::store
