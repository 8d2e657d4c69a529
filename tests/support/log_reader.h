// Reads the add-in's log file back: UTF-16LE lines, each "stamp | text".
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

namespace testsupport {

// The texts of the stamped lines (what follows " | "), in file order.
std::vector<std::wstring> ReadLogTexts(const std::wstring& path);

// Polls the log until `done` holds for its texts, or timeoutMs passes; the last texts.
std::vector<std::wstring> WaitForLog(const std::wstring& path,
                                     const std::function<bool(const std::vector<std::wstring>&)>& done,
                                     DWORD timeoutMs = 60000);

// A fresh path in the temporary folder, unique among parallel tests.
std::wstring TempPath(const wchar_t* stem);

}  // namespace testsupport
