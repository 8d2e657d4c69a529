#include "tests/support/log_reader.h"

#include <algorithm>

#include "base/unique_resource.h"
#include "tests/support/child_process.h"

namespace testsupport {

std::string ReadFileBytes(const std::wstring& path) {
    const base::UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                            OPEN_EXISTING, 0, nullptr));
    std::string bytes;
    char buffer[4096];
    DWORD read = 0;
    while (file && ReadFile(file.get(), buffer, sizeof buffer, &read, nullptr) && read > 0)
        bytes.append(buffer, read);
    return bytes;
}

size_t CountPrefix(const std::vector<std::wstring>& texts, const std::wstring& prefix) {
    return static_cast<size_t>(std::count_if(texts.begin(), texts.end(),
                                             [&](const std::wstring& t) { return t.starts_with(prefix); }));
}

std::vector<std::wstring> ReadLogTexts(const std::wstring& path) {
    const std::string bytes = ReadFileBytes(path);
    const std::wstring content(reinterpret_cast<const wchar_t*>(bytes.data()),
                               bytes.size() / sizeof(wchar_t));
    std::vector<std::wstring> texts;
    for (size_t begin = 0, end; begin < content.size(); begin = end + 2) {
        end = std::min(content.find(L"\r\n", begin), content.size());
        const size_t separator = content.find(L" | ", begin);
        if (separator < end) texts.push_back(content.substr(separator + 3, end - separator - 3));
    }
    return texts;
}

std::vector<std::wstring> WaitForLog(const std::wstring& path,
                                     const std::function<bool(const std::vector<std::wstring>&)>& done,
                                     DWORD timeoutMs) {
    const DWORD start = GetTickCount();
    for (;;) {
        std::vector<std::wstring> texts = ReadLogTexts(path);
        if (done(texts) || GetTickCount() - start > timeoutMs) return texts;
        Sleep(20);
    }
}

std::wstring TempPath(const wchar_t* stem) {
    wchar_t folder[MAX_PATH];
    GetTempPathW(MAX_PATH, folder);
    // Wine reuses process IDs, and files outlive their processes: the clock tells apart
    // two processes that got the same ID.
    LARGE_INTEGER now{};
    QueryPerformanceCounter(&now);
    return std::wstring(folder) + UniqueName(stem) + L"." + std::to_wstring(now.QuadPart);
}

}  // namespace testsupport
