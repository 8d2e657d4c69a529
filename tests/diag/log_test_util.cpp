#include "tests/diag/log_test_util.h"

#include <cstring>
#include <filesystem>
#include <system_error>

#include "base/unique_resource.h"
#include "tests/support/child_process.h"

namespace diagtest {
namespace {

constexpr wchar_t kSeparator[] = L" | ";
constexpr wchar_t kLineEnd[] = L"\r\n";
// '0' stands for one decimal digit; everything else must be there as it is.
constexpr std::wstring_view kStampPattern = L"0000/00/00 00:00:00.000 | ";

WORD Digits(std::wstring_view line, size_t offset, size_t count) {
    WORD value = 0;
    for (size_t i = offset; i < offset + count; ++i) value = static_cast<WORD>(value * 10 + (line[i] - L'0'));
    return value;
}

bool ParseStamp(std::wstring_view line, SYSTEMTIME* stamp) {
    if (line.size() < kStampPattern.size()) return false;
    for (size_t i = 0; i < kStampPattern.size(); ++i) {
        const bool matches = kStampPattern[i] == L'0' ? (line[i] >= L'0' && line[i] <= L'9')
                                                      : line[i] == kStampPattern[i];
        if (!matches) return false;
    }
    *stamp = SYSTEMTIME{};
    stamp->wYear = Digits(line, 0, 4);
    stamp->wMonth = Digits(line, 5, 2);
    stamp->wDay = Digits(line, 8, 2);
    stamp->wHour = Digits(line, 11, 2);
    stamp->wMinute = Digits(line, 14, 2);
    stamp->wSecond = Digits(line, 17, 2);
    stamp->wMilliseconds = Digits(line, 20, 3);
    return true;
}

}  // namespace

void WINAPI FixedClock(SYSTEMTIME* now) {
    *now = SYSTEMTIME{};
    now->wYear = 2015;
    now->wMonth = 1;
    now->wDayOfWeek = 6;
    now->wDay = 3;
    now->wMinute = 5;
    now->wMilliseconds = 7;
}

std::wstring Stamped(std::wstring_view text) {
    return std::wstring(kFixedStamp) + kSeparator + std::wstring(text) + kLineEnd;
}

std::wstring ConnectionHeader(std::wstring_view commandLine) {
    return L"\r\n\r\n" + Stamped(std::wstring(42, L'-')) + Stamped(commandLine);
}

std::wstring LastLineText(std::wstring_view text) {
    const std::wstring prefix = std::wstring(kFixedStamp) + kSeparator;
    const size_t start = text.rfind(prefix);
    if (start == std::wstring_view::npos || !text.ends_with(kLineEnd)) return {};
    const size_t textStart = start + prefix.size();
    return std::wstring(text.substr(textStart, text.size() - 2 - textStart));
}

std::string Utf16Bytes(std::wstring_view text) {
    std::string bytes(text.size() * 2, '\0');
    for (size_t i = 0; i < text.size(); ++i) {
        bytes[2 * i] = static_cast<char>(text[i] & 0xFF);
        bytes[2 * i + 1] = static_cast<char>(text[i] >> 8);
    }
    return bytes;
}

std::wstring FromUtf16Bytes(std::string_view bytes) {
    std::wstring text(bytes.size() / 2, L'\0');
    for (size_t i = 0; i < text.size(); ++i)
        text[i] = static_cast<wchar_t>(static_cast<unsigned char>(bytes[2 * i]) |
                                       static_cast<unsigned char>(bytes[2 * i + 1]) << 8);
    return text;
}

bool WriteFileBytes(const std::wstring& path, std::string_view bytes) {
    base::UniqueFile file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    return file &&
           WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
           written == bytes.size();
}

bool FileExists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

DWORD RunChild(const wchar_t* role, const std::vector<std::wstring>& args) {
    testsupport::ChildProcess child(role, args);
    return child.Wait(kChildTimeoutMs);
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

bool ParseLogLines(std::wstring_view text, std::vector<LogLine>* lines, std::wstring* error) {
    size_t index = 0;
    while (!text.empty()) {
        const size_t end = text.find(kLineEnd);
        const std::wstring_view line = text.substr(0, end);
        LogLine parsed;
        if (end == std::wstring_view::npos || !ParseStamp(line, &parsed.stamp)) {
            *error = L"line " + std::to_wstring(index) + L" is no stamped line: " +
                     std::wstring(line.substr(0, 200));
            return false;
        }
        parsed.text = line.substr(kStampPattern.size());
        lines->push_back(std::move(parsed));
        text.remove_prefix(end + 2);
        ++index;
    }
    return true;
}

ULONGLONG TimeValue(const SYSTEMTIME& time) {
    FILETIME file{};
    if (!SystemTimeToFileTime(&time, &file)) return 0;
    return ULARGE_INTEGER{{file.dwLowDateTime, file.dwHighDateTime}}.QuadPart;
}

}  // namespace diagtest
