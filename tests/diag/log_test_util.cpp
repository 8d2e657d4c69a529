#include "tests/diag/log_test_util.h"

#include <filesystem>
#include <fstream>
#include <system_error>

#include "tests/support/child_process.h"

namespace diagtest {

void WINAPI FixedClock(SYSTEMTIME* now) { *now = SYSTEMTIME{2015, 1, 6, 3, 0, 5, 0, 7}; }

std::wstring Stamped(std::wstring_view text) {
    return L"2015/01/03 00:05:00.007 | " + std::wstring(text) + L"\r\n";
}

// wchar_t is UTF-16LE here.
std::string Utf16Bytes(std::wstring_view text) {
    return std::string(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(wchar_t));
}

std::wstring FromUtf16Bytes(std::string_view bytes) {
    return std::wstring(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / sizeof(wchar_t));
}

bool WriteFileBytes(const std::wstring& path, std::string_view bytes) {
    std::ofstream file(std::filesystem::path(path), std::ios::binary | std::ios::trunc);
    return static_cast<bool>(file.write(bytes.data(), static_cast<std::streamsize>(bytes.size())));
}

DWORD RunChild(const wchar_t* role, const std::vector<std::wstring>& args) {
    return testsupport::ChildProcess(role, args).Wait(kChildTimeoutMs);
}

ScratchFolder::ScratchFolder() : root_(testsupport::TempPath(L"diag_tests")) {
    CreateDirectoryW(root_.c_str(), nullptr);
}

ScratchFolder::~ScratchFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
}

std::wstring ScratchFolder::Path(std::wstring_view relative) const {
    return root_ + L"\\" + std::wstring(relative);
}

}  // namespace diagtest
