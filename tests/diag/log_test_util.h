// Helpers of the log tests. The log is process-wide and can only be opened once per
// process, so every case that opens it does so in a child role and the test itself
// only reads the file back: the cases then run the same one by one or all together.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>
#include <vector>

#include "tests/support/log_reader.h"

namespace diagtest {

inline constexpr DWORD kChildTimeoutMs = 120000;  // a limit for hung children, not a measure
inline constexpr char kMark[] = "\xFF\xFE";

// The clock of the tests that compare bytes: 3 January 2015, 00:05:00.007.
void WINAPI FixedClock(SYSTEMTIME* now);
// One line as the log writes it at FixedClock's time.
[[nodiscard]] std::wstring Stamped(std::wstring_view text);

// UTF-16LE bytes of a text, and back (the byte count must be even).
[[nodiscard]] std::string Utf16Bytes(std::wstring_view text);
[[nodiscard]] std::wstring FromUtf16Bytes(std::string_view bytes);

using testsupport::ReadFileBytes;
[[nodiscard]] bool WriteFileBytes(const std::wstring& path, std::string_view bytes);

// Runs this test program as `role` and waits for it: its exit code, or STILL_ACTIVE.
[[nodiscard]] DWORD RunChild(const wchar_t* role, const std::vector<std::wstring>& args);

// A fresh folder under the temporary folder, removed with all it holds at scope end.
class ScratchFolder {
public:
    ScratchFolder();
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;
    ~ScratchFolder();
    [[nodiscard]] std::wstring Path(std::wstring_view relative) const;

private:
    std::wstring root_;
};

}  // namespace diagtest
