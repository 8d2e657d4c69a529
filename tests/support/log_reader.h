// Reads the add-in's log file back: its bytes, or its UTF-16LE lines ("stamp | text").
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

namespace testsupport {

// The whole file, read while others may still hold it open; "" if it cannot be read.
std::string ReadFileBytes(const std::wstring& path);

// The texts of the stamped lines (what follows " | "), in file order.
std::vector<std::wstring> ReadLogTexts(const std::wstring& path);

// How many of the texts begin with `prefix`.
size_t CountPrefix(const std::vector<std::wstring>& texts, const std::wstring& prefix);

// Polls the log until `done` holds for its texts, or timeoutMs passes; the last texts.
std::vector<std::wstring> WaitForLog(const std::wstring& path,
                                     const std::function<bool(const std::vector<std::wstring>&)>& done,
                                     DWORD timeoutMs = 60000);

// A fresh path in the temporary folder, unique among parallel and earlier tests.
std::wstring TempPath(const wchar_t* stem);

}  // namespace testsupport
