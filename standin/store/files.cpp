#include "standin/store/files.h"

#include <mapidefs.h>
#include <mapicode.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <memory>

#include "base/unique_resource.h"

namespace standin::store {

namespace {

constexpr wchar_t kTemporaryPrefix[] = L"~";
constexpr wchar_t kTemporarySuffix[] = L".tmp";
// A rename over a file that a reader holds for a moment can fail on Windows with a
// sharing violation; the reader lets go within a few milliseconds.
constexpr int kRenameAttempts = 50;
constexpr DWORD kRenameRetryMs = 10;

}  // namespace

std::string ToUtf8(std::wstring_view text) {
    if (text.empty()) return {};
    const int length = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                           nullptr, nullptr);
    std::string out(static_cast<size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), length, nullptr,
                        nullptr);
    return out;
}

std::wstring FromUtf8(std::string_view text) {
    if (text.empty()) return {};
    const int length =
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), length);
    return out;
}

std::wstring JoinPath(std::wstring_view dir, std::wstring_view name) {
    std::wstring path(dir);
    if (name.empty()) return path;
    if (!path.empty() && path.back() != L'\\' && path.back() != L'/') path += L'\\';
    path += name;
    return path;
}

bool IsDirectory(const std::wstring& path) noexcept {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool IsFile(const std::wstring& path) noexcept {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

HRESULT HresultFromFileError(DWORD error) noexcept {
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
        return MAPI_E_NOT_FOUND;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
        return MAPI_E_COLLISION;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
        return MAPI_E_NO_ACCESS;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
        return MAPI_E_NOT_ENOUGH_MEMORY;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        return MAPI_E_NOT_ENOUGH_DISK;
    default:
        return HRESULT_FROM_WIN32(error);
    }
}

HRESULT ReadFileBytes(const std::wstring& path, std::vector<BYTE>& bytes) {
    base::UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return HresultFromFileError(GetLastError());
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file.get(), &size)) return HresultFromFileError(GetLastError());
    if (size.QuadPart > INT_MAX) return MAPI_E_CORRUPT_DATA;
    bytes.resize(static_cast<size_t>(size.QuadPart));
    DWORD done = 0;
    if (!bytes.empty() &&
        !ReadFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &done, nullptr)) {
        return HresultFromFileError(GetLastError());
    }
    bytes.resize(done);
    return S_OK;
}

std::wstring TemporaryName() {
    static std::atomic<unsigned> counter{0};
    return std::wstring(kTemporaryPrefix) + std::to_wstring(GetCurrentProcessId()) + L"-" +
           std::to_wstring(GetCurrentThreadId()) + L"-" + std::to_wstring(++counter) + kTemporarySuffix;
}

bool IsTemporaryName(std::wstring_view name) noexcept {
    constexpr std::wstring_view prefix(kTemporaryPrefix), suffix(kTemporarySuffix);
    return name.size() >= prefix.size() + suffix.size() && name.substr(0, prefix.size()) == prefix &&
           name.substr(name.size() - suffix.size()) == suffix;
}

namespace {

[[nodiscard]] HRESULT WriteNewFile(const std::wstring& path, const void* data, size_t size) {
    if (size > UINT_MAX) return MAPI_E_INVALID_PARAMETER;
    base::UniqueFile file(
        CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return HresultFromFileError(GetLastError());
    DWORD written = 0;
    if (size != 0 &&
        (!WriteFile(file.get(), data, static_cast<DWORD>(size), &written, nullptr) || written != size)) {
        return HresultFromFileError(GetLastError());
    }
    return S_OK;
}

[[nodiscard]] HRESULT RenameFile(const std::wstring& from, const std::wstring& to, bool replace) {
    const DWORD flags = replace ? MOVEFILE_REPLACE_EXISTING : 0;
    for (int attempt = 1;; ++attempt) {
        if (MoveFileExW(from.c_str(), to.c_str(), flags)) return S_OK;
        const DWORD error = GetLastError();
        const bool transient = error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED;
        if (!transient || attempt == kRenameAttempts) return HresultFromFileError(error);
        Sleep(kRenameRetryMs);
    }
}

std::wstring ParentOf(const std::wstring& path) {
    const size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

}  // namespace

HRESULT WriteFileAtomically(const std::wstring& path, const void* data, size_t size, bool replace,
                            const std::wstring& scratchFolder) {
    const std::wstring temporary =
        JoinPath(scratchFolder.empty() ? ParentOf(path) : scratchFolder, TemporaryName());
    HRESULT hr = WriteNewFile(temporary, data, size);
    if (SUCCEEDED(hr)) hr = RenameFile(temporary, path, replace);
    if (FAILED(hr)) DeleteFileW(temporary.c_str());
    return hr;
}

HRESULT ListDirectory(const std::wstring& dir, std::vector<DirectoryEntry>& entries) {
    entries.clear();
    WIN32_FIND_DATAW data{};
    HANDLE raw = FindFirstFileExW(JoinPath(dir, L"*").c_str(), FindExInfoBasic, &data, FindExSearchNameMatch,
                                  nullptr, FIND_FIRST_EX_LARGE_FETCH);
    if (raw == INVALID_HANDLE_VALUE) return HresultFromFileError(GetLastError());
    struct FindCloser {
        void operator()(HANDLE h) const noexcept { FindClose(h); }
    };
    const std::unique_ptr<void, FindCloser> find(raw);
    do {
        const std::wstring_view name(data.cFileName);
        if (name == L"." || name == L"..") continue;
        DirectoryEntry entry;
        entry.name = data.cFileName;
        entry.isDirectory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        entry.size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
        entry.lastWrite = data.ftLastWriteTime;
        entries.push_back(std::move(entry));
    } while (FindNextFileW(find.get(), &data));
    const DWORD error = GetLastError();
    if (error != ERROR_NO_MORE_FILES) return HresultFromFileError(error);
    std::sort(entries.begin(), entries.end(),
              [](const DirectoryEntry& a, const DirectoryEntry& b) { return a.name < b.name; });
    return S_OK;
}

HRESULT DeleteTree(const std::wstring& dir) {
    std::vector<DirectoryEntry> entries;
    HRESULT hr = ListDirectory(dir, entries);
    if (FAILED(hr)) return hr;
    for (const DirectoryEntry& entry : entries) {
        const std::wstring path = JoinPath(dir, entry.name);
        if (entry.isDirectory) {
            hr = DeleteTree(path);
            if (FAILED(hr)) return hr;
        } else if (!DeleteFileW(path.c_str())) {
            return HresultFromFileError(GetLastError());
        }
    }
    if (!RemoveDirectoryW(dir.c_str())) return HresultFromFileError(GetLastError());
    return S_OK;
}

}  // namespace standin::store
