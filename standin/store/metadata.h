// The small readable metadata files of a profile (profile.ini, store.ini,
// folder.ini): UTF-8 lines of `key = value`, `#` comments, blank lines. A value
// with surrounding blanks, a leading quote or a control character is written in
// double quotes with backslash escapes (\\ \" \n \r \t \xHH). Keys may repeat
// (`store = ...` once per store); order and comments survive a load and save.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace standin::store {

class Metadata {
public:
    // MAPI_E_NOT_FOUND when the file is missing; MAPI_E_CORRUPT_DATA for a line that
    // is not `key = value` (error() then names the file and line).
    [[nodiscard]] HRESULT Load(const std::wstring& path);
    // Replaces the file atomically (see WriteFileAtomically).
    [[nodiscard]] HRESULT Save(const std::wstring& path) const;

    void AddComment(std::wstring_view text);
    [[nodiscard]] const std::wstring* Find(std::string_view key) const noexcept;
    [[nodiscard]] std::vector<std::wstring> FindAll(std::string_view key) const;
    // Replaces the first value of `key` and removes the others, or appends it.
    void Set(std::string_view key, std::wstring_view value);
    void Add(std::string_view key, std::wstring_view value);
    void Remove(std::string_view key);
    // Keys that start with `prefix`, in file order.
    [[nodiscard]] std::vector<std::string> KeysWithPrefix(std::string_view prefix) const;

    // A missing key gives `fallback`; a value that is not a decimal number gives
    // MAPI_E_CORRUPT_DATA with error() naming the key.
    [[nodiscard]] HRESULT GetNumber(std::string_view key, uint32_t fallback, uint32_t& value);
    void SetNumber(std::string_view key, uint32_t value);

    // What went wrong in the last failed call, for error texts.
    [[nodiscard]] const std::wstring& error() const noexcept { return error_; }

    [[nodiscard]] std::string Serialize() const;
    [[nodiscard]] HRESULT Parse(std::string_view text);

private:
    struct Line {
        std::string key;  // empty for a comment or blank line
        std::wstring value;
        std::string raw;  // the comment line as written
    };
    std::vector<Line> lines_;
    std::wstring path_;
    std::wstring error_;
};

// Reads a double-quoted text with the escapes above, from text[at] == '"' to its
// close quote, leaving `at` after it; false for a bad escape or no close quote.
[[nodiscard]] bool ReadQuoted(std::string_view text, size_t& at, std::string& out);

// The lines of a UTF-8 text, without a leading byte order mark or line ends
// (LF or CR LF).
[[nodiscard]] std::vector<std::string_view> SplitLines(std::string_view text);

// Words of a space-separated list value ("copy-to save-changes").
[[nodiscard]] std::vector<std::wstring> SplitWords(std::wstring_view text);

}  // namespace standin::store
