#include "client/backup_folder.h"

#include <windows.h>
#include <objbase.h>
#include <wincrypt.h>

#include <atomic>
#include <cwchar>
#include <cwctype>
#include <iterator>

#include "base/com.h"
#include "client/output.h"

namespace client {
namespace {

constexpr std::wstring_view kMarkerHeader = L"mail backup folder ";
constexpr char kMarkerNote[] =
    "This folder is a mail backup written by backup-client: one folder per mail folder, one\n"
    "message file per mail, listed in index.txt. `backup-client check` checks it.\n";
constexpr wchar_t kLandedIndexHeader[] = L"mail backup index 1";
constexpr std::string_view kJournalHeader = "mail restore journal 1";
constexpr wchar_t kCrashVariable[] = L"BACKUP_CLIENT_CRASH_AT";
// CreateDirectoryW's plain paths stop 12 short of MAX_PATH, room for an 8.3 name.
constexpr size_t kPlainPathLimit = MAX_PATH - 12;
constexpr DWORD kReadBlock = 1 << 16;
constexpr wchar_t kFieldEscaped[] = L"%\t\r\n";
// {00020D0B-0000-0000-C000-000000000046}: the root class of a message file.
constexpr CLSID kClsidMailMessage = {0x00020D0B, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
constexpr wchar_t kPropertiesStream[] = L"__properties_version1.0";

std::wstring Wide(std::string_view bytes) {
    const int size =
        MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
    std::wstring text(size, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), text.data(), size);
    return text;
}

std::wstring FailedOn(const wchar_t* what, const std::wstring& path) {
    return std::wstring(what) + L" " + path + L" (" + LastError() + L")";
}

bool WriteAll(HANDLE file, const std::string& bytes) {
    DWORD written = 0;
    return WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
           written == bytes.size();
}

std::wstring LocalTimeText() {
    SYSTEMTIME now{};
    GetLocalTime(&now);
    wchar_t text[32];
    _snwprintf(text, std::size(text), L"%04u-%02u-%02u %02u:%02u:%02u", now.wYear, now.wMonth, now.wDay,
               now.wHour, now.wMinute, now.wSecond);
    return text;
}

}  // namespace

bool IsReservedName(const std::wstring& name) {
    for (const wchar_t* reserved :
         {kMarkerName, kIndexName, kNewIndexName, kLockName, kJournalName, kPartialFolderName}) {
        if (_wcsicmp(name.c_str(), reserved) == 0) return true;
    }
    return false;
}

std::wstring EscapeField(const std::wstring& text) {
    std::wstring out;
    for (wchar_t c : text) {
        if (c && std::wcschr(kFieldEscaped, c)) {
            wchar_t hex[4];
            _snwprintf(hex, std::size(hex), L"%%%02X", static_cast<unsigned>(c));
            out += hex;
        } else {
            out += c;
        }
    }
    return out;
}

std::wstring UnescapeField(std::wstring_view text) {
    std::wstring out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == L'%' && i + 2 < text.size()) {
            out +=
                static_cast<wchar_t>(std::wcstoul(std::wstring(text.substr(i + 1, 2)).c_str(), nullptr, 16));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

std::vector<std::wstring> Split(std::wstring_view text, wchar_t separator) {
    std::vector<std::wstring> parts;
    for (size_t start = 0;;) {
        const size_t end = text.find(separator, start);
        parts.emplace_back(text.substr(start, end - start));
        if (end == std::wstring_view::npos) return parts;
        start = end + 1;
    }
}

std::wstring SystemPath(const std::wstring& path) {
    if (path.size() < kPlainPathLimit || path.starts_with(L"\\\\?\\")) return path;
    if (path.starts_with(L"\\\\")) return L"\\\\?\\UNC\\" + path.substr(2);
    return L"\\\\?\\" + path;
}

std::wstring LastError() { return L"error " + std::to_wstring(GetLastError()); }

bool CreateFolders(const std::wstring& path) {
    const auto create = [&] {
        return CreateDirectoryW(SystemPath(path).c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS;
    };
    if (create()) return true;
    const size_t parent = path.find_last_of(L'\\');
    if (GetLastError() != ERROR_PATH_NOT_FOUND || parent == std::wstring::npos ||
        !CreateFolders(path.substr(0, parent)))
        return false;
    return create();
}

bool ReadLines(const std::wstring& path, std::vector<std::wstring>* lines, std::wstring* error) {
    lines->clear();
    const base::UniqueFile file(CreateFileW(SystemPath(path).c_str(), GENERIC_READ,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                            OPEN_EXISTING, 0, nullptr));
    if (!file) {
        if (GetLastError() == ERROR_FILE_NOT_FOUND || GetLastError() == ERROR_PATH_NOT_FOUND) return true;
        *error = FailedOn(L"cannot read", path);
        return false;
    }
    LARGE_INTEGER size{};
    std::string bytes;
    DWORD read = 0;
    if (!GetFileSizeEx(file.get(), &size) || size.QuadPart > MAXDWORD) {
        *error = FailedOn(L"cannot read", path);
        return false;
    }
    bytes.resize(static_cast<size_t>(size.QuadPart));
    if (!ReadFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr) ||
        read != bytes.size()) {
        *error = FailedOn(L"cannot read", path);
        return false;
    }
    *lines = Split(Wide(bytes), L'\n');
    return true;
}

bool ReplaceFile(const std::wstring& path, const std::string& bytes, std::wstring* error,
                 const wchar_t* beforeRename) {
    const std::wstring fresh = path + L".new";
    {
        const base::UniqueFile file(CreateFileW(SystemPath(fresh).c_str(), GENERIC_WRITE, 0, nullptr,
                                                CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file || !WriteAll(file.get(), bytes) || !FlushFileBuffers(file.get())) {
            *error = FailedOn(L"cannot write", fresh);
            return false;
        }
    }
    if (beforeRename) CrashPoint(beforeRename);
    if (!MoveFileExW(SystemPath(fresh).c_str(), SystemPath(path).c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        *error = FailedOn(L"cannot replace", path);
        return false;
    }
    return true;
}

FolderState Recognise(const std::wstring& folder) {
    const DWORD attributes = GetFileAttributesW(SystemPath(folder).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? FolderState::Missing
                                                                              : FolderState::Foreign;
    }
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) return FolderState::Foreign;
    std::vector<std::wstring> lines;
    std::wstring error;
    if (!ReadLines(folder + L"\\" + kMarkerName, &lines, &error)) return FolderState::Foreign;
    if (!lines.empty()) {
        if (!lines[0].starts_with(kMarkerHeader)) return FolderState::Foreign;
        const unsigned long format = std::wcstoul(lines[0].c_str() + kMarkerHeader.size(), nullptr, 10);
        return format > kFolderFormat ? FolderState::Newer : FolderState::Backup;
    }
    if (!ReadLines(folder + L"\\" + kIndexName, &lines, &error)) return FolderState::Foreign;
    if (!lines.empty()) return lines[0] == kLandedIndexHeader ? FolderState::Landed : FolderState::Foreign;
    WIN32_FIND_DATAW found{};
    const base::UniqueFind find(FindFirstFileW(SystemPath(folder + L"\\*").c_str(), &found));
    if (!find) return FolderState::Foreign;
    do {
        const std::wstring name = found.cFileName;
        if (name != L"." && name != L".." && _wcsicmp(name.c_str(), kLockName) != 0)
            return FolderState::Foreign;
    } while (FindNextFileW(find.get(), &found));
    return FolderState::Empty;
}

bool WriteMarker(const std::wstring& folder, std::wstring* error) {
    return ReplaceFile(
        folder + L"\\" + kMarkerName,
        Utf8(std::wstring(kMarkerHeader) + std::to_wstring(kFolderFormat) + L"\n") + kMarkerNote, error);
}

bool RunLock::Take(const std::wstring& folder, const std::wstring& command, std::wstring* error, bool* held) {
    const std::wstring path = folder + L"\\" + kLockName;
    file_.reset(CreateFileW(SystemPath(path).c_str(), GENERIC_READ | GENERIC_WRITE,
                            FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE, nullptr));
    if (!file_) {
        *held = GetLastError() == ERROR_SHARING_VIOLATION && Held(folder, error);
        if (!*held) *error = FailedOn(L"cannot take the lock", path);
        return false;
    }
    const std::string text = Utf8(L"process " + std::to_wstring(GetCurrentProcessId()) + L" (" + command +
                                  L"), since " + LocalTimeText() + L"\n");
    if (!WriteAll(file_.get(), text) || !SetEndOfFile(file_.get())) {
        *error = FailedOn(L"cannot write the lock", path);
        file_.reset();
        return false;
    }
    return true;
}

bool RunLock::Held(const std::wstring& folder, std::wstring* holder) {
    const std::wstring path = SystemPath(folder + L"\\" + kLockName);
    constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    // The holder shares no writing: asking for it (without writing) tells whether one holds it.
    const base::UniqueFile probe(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, kShareAll, nullptr,
                                             OPEN_EXISTING, 0, nullptr));
    if (probe || GetLastError() != ERROR_SHARING_VIOLATION) return false;
    const base::UniqueFile file(
        CreateFileW(path.c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING, 0, nullptr));
    char text[256] = {};
    DWORD read = 0;
    if (!file || !ReadFile(file.get(), text, sizeof(text) - 1, &read, nullptr)) read = 0;
    std::wstring said = Wide(std::string_view(text, read));
    while (!said.empty() && said.back() == L'\n') said.pop_back();
    *holder = L"another run works in " + folder + L": " + (said.empty() ? L"a process holds " + path : said) +
              L"; try again when it has finished";
    return true;
}

bool ReadFacts(const std::wstring& path, bool flush, FileFacts* facts) {
    const base::UniqueFile file(CreateFileW(SystemPath(path).c_str(),
                                            GENERIC_READ | (flush ? GENERIC_WRITE : 0), FILE_SHARE_READ,
                                            nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    // One provider for the process: acquiring one costs more than reading and hashing a mail.
    static const base::UniqueCryptProv provider = [] {
        base::UniqueCryptProv acquired;
        if (!CryptAcquireContextW(acquired.put(), nullptr, nullptr, PROV_RSA_AES,
                                  CRYPT_VERIFYCONTEXT | CRYPT_SILENT))
            acquired.reset();
        return acquired;
    }();
    base::UniqueCryptHash hash;
    if (!file || !provider || !CryptCreateHash(provider.get(), CALG_SHA_256, 0, 0, hash.put())) return false;
    std::string block(kReadBlock, '\0');
    facts->size = 0;
    for (DWORD read = 0;; facts->size += read) {
        if (!ReadFile(file.get(), block.data(), kReadBlock, &read, nullptr)) return false;
        if (read == 0) break;
        if (!CryptHashData(hash.get(), reinterpret_cast<const BYTE*>(block.data()), read, 0)) return false;
    }
    BYTE digest[32];
    DWORD length = sizeof(digest);
    if (!CryptGetHashParam(hash.get(), HP_HASHVAL, digest, &length, 0) || length != sizeof(digest))
        return false;
    facts->sha256.clear();
    for (BYTE byte : digest) {
        wchar_t hex[3];
        _snwprintf(hex, std::size(hex), L"%02x", byte);
        facts->sha256 += hex;
    }
    return !flush || FlushFileBuffers(file.get());
}

bool IsMessageFile(const std::wstring& path) {
    base::ComPtr<IStorage> storage;
    base::ComPtr<IStream> properties;
    CLSID clsid{};
    return SUCCEEDED(StgOpenStorage(SystemPath(path).c_str(), nullptr, STGM_READ | STGM_SHARE_DENY_WRITE,
                                    nullptr, 0, storage.put())) &&
           SUCCEEDED(ReadClassStg(storage.get(), &clsid)) && IsEqualCLSID(clsid, kClsidMailMessage) &&
           SUCCEEDED(storage->OpenStream(kPropertiesStream, nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, 0,
                                         properties.put()));
}

bool RestoreJournal::Read(const std::wstring& folder, std::wstring* error) {
    path_ = folder + L"\\" + kJournalName;
    done_.clear();
    std::vector<std::wstring> lines;
    if (!ReadLines(path_, &lines, error)) return false;
    if (lines.size() <= 1) return true;  // none yet, or cut off before its first line
    if (Utf8(lines[0]) != kJournalHeader) {
        *error = path_ + L" is not a restore journal of this program";
        return false;
    }
    // The last line is empty, or one cut off by a kill: that restore is not recorded.
    for (size_t i = 1; i + 1 < lines.size(); ++i) {
        const std::vector<std::wstring> fields = Split(lines[i], L'\t');
        if (fields.size() == 2) done_.insert(UnescapeField(fields[0]) + L'\t' + UnescapeField(fields[1]));
    }
    return true;
}

bool RestoreJournal::Holds(const std::wstring& key, const std::wstring& target) const {
    return done_.count(key + L'\t' + target) != 0;
}

bool RestoreJournal::Record(const std::wstring& key, const std::wstring& target, std::wstring* error) {
    const base::UniqueFile file(CreateFileW(SystemPath(path_).c_str(), FILE_APPEND_DATA, FILE_SHARE_READ,
                                            nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER size{};
    if (!file || !GetFileSizeEx(file.get(), &size)) {
        *error = FailedOn(L"cannot write", path_);
        return false;
    }
    std::string bytes = size.QuadPart == 0 ? std::string(kJournalHeader) + "\n" : "";
    bytes += Utf8(EscapeField(key) + L'\t' + EscapeField(target) + L'\n');
    if (!WriteAll(file.get(), bytes) || !FlushFileBuffers(file.get())) {
        *error = FailedOn(L"cannot write", path_);
        return false;
    }
    done_.insert(key + L'\t' + target);
    return true;
}

void CrashPoint(const wchar_t* point) noexcept {
    static const std::wstring plan = [] {
        wchar_t value[64] = {};
        const DWORD length = GetEnvironmentVariableW(kCrashVariable, value, std::size(value));
        return length < std::size(value) ? std::wstring(value, length) : std::wstring();
    }();
    static std::atomic<unsigned> passes = 0;  // jobs pass from their threads
    const size_t colon = plan.find(L':');
    if (colon == std::wstring::npos || plan.compare(0, colon, point) != 0) return;
    if (++passes == std::wcstoul(plan.c_str() + colon + 1, nullptr, 10))
        TerminateProcess(GetCurrentProcess(), kCrashExitCode);
}

}  // namespace client
