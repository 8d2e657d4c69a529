#include "client/backup_index.h"

#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cwchar>
#include <cwctype>
#include <string_view>

#include "base/unique_resource.h"
#include "client/output.h"

namespace client {
namespace {

constexpr wchar_t kRootPrefix[] = L"\\\\";
constexpr std::string_view kIndexHeader = "mail backup index 1\n";
constexpr wchar_t kFieldSeparator = L'\t';
constexpr wchar_t kNewIndexSuffix[] = L".new";
constexpr wchar_t kKeyOfEntryId[] = L"id-";
constexpr size_t kSaveEvery = 256;

constexpr std::wstring_view kDeviceNames[] = {L"CON", L"PRN", L"AUX", L"NUL"};
constexpr std::wstring_view kNumberedDeviceNames[] = {L"COM", L"LPT"};

bool IsDeviceName(std::wstring_view name) {
    const std::wstring stem(name.substr(0, name.find(L'.')));
    for (std::wstring_view device : kDeviceNames) {
        if (_wcsicmp(stem.c_str(), std::wstring(device).c_str()) == 0) return true;
    }
    for (std::wstring_view device : kNumberedDeviceNames) {
        if (stem.size() == 4 && _wcsnicmp(stem.c_str(), device.data(), 3) == 0 && iswdigit(stem[3]))
            return true;
    }
    return false;
}

bool RefusedInNames(wchar_t c) {
    return c < L' ' || std::wstring_view(L"&<>:\"/\\|?*").find(c) != std::wstring_view::npos;
}

std::wstring Entity(wchar_t c) { return L"&#" + std::to_wstring(static_cast<unsigned>(c)) + L";"; }

std::vector<std::wstring> Split(std::wstring_view text, wchar_t separator) {
    std::vector<std::wstring> parts;
    for (size_t start = 0;;) {
        const size_t end = text.find(separator, start);
        parts.emplace_back(text.substr(start, end - start));
        if (end == std::wstring_view::npos) return parts;
        start = end + 1;
    }
}

// The index keeps one mail a line and its fields apart by tabs: those characters and
// the escape's own '%' are written as "%XX".
constexpr wchar_t kFieldEscaped[] = L"%\t\r\n";

std::wstring EscapeField(const std::wstring& text) {
    std::wstring out;
    for (wchar_t c : text) {
        if (std::wcschr(kFieldEscaped, c) && c) {
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

std::wstring Wide(std::string_view bytes) {
    const int size =
        MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
    std::wstring text(size, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), text.data(), size);
    return text;
}

std::wstring Stem(const std::wstring& file) {
    const size_t slash = file.find_last_of(L'\\');
    const std::wstring name = slash == std::wstring::npos ? file : file.substr(slash + 1);
    return name.substr(0, name.rfind(L'.'));
}

// The key a saved mail was filed under: its file is named after it.
std::wstring KeyOf(const SavedMail& mail) {
    return mail.signature.empty() ? Stem(mail.file) : mail.signature;
}

std::wstring SystemError(const wchar_t* what, const std::wstring& path) {
    return std::wstring(what) + L" " + path + L" (error " + std::to_wstring(GetLastError()) + L")";
}

}  // namespace

std::wstring MailKey(const std::wstring& signature, const std::wstring& entryId) {
    if (!signature.empty()) return signature;
    uint64_t hash = 14695981039346656037ull;  // FNV-1a, 64 bits
    for (wchar_t c : entryId) hash = (hash ^ c) * 1099511628211ull;
    wchar_t text[17];
    _snwprintf(text, std::size(text), L"%016llX", static_cast<unsigned long long>(hash));
    return kKeyOfEntryId + std::wstring(text);
}

std::wstring DirectoryName(const std::wstring& folderName) {
    if (folderName.empty()) return L"&#;";
    std::wstring out;
    for (size_t i = 0; i < folderName.size(); ++i) {
        const wchar_t c = folderName[i];
        const bool last = i + 1 == folderName.size();
        const bool escaped =
            RefusedInNames(c) || (last && (c == L'.' || c == L' ')) || (i == 0 && IsDeviceName(folderName));
        out += escaped ? Entity(c) : std::wstring(1, c);
    }
    return out;
}

std::wstring FolderName(const std::wstring& directoryName) {
    std::wstring out;
    for (size_t i = 0; i < directoryName.size(); ++i) {
        const size_t end = directoryName.find(L';', i);
        if (directoryName.compare(i, 2, L"&#") == 0 && end != std::wstring::npos) {
            const std::wstring digits = directoryName.substr(i + 2, end - i - 2);
            if (!digits.empty()) out += static_cast<wchar_t>(std::wcstoul(digits.c_str(), nullptr, 10));
            i = end;
        } else {
            out += directoryName[i];
        }
    }
    return out;
}

std::wstring FolderDirectory(const std::wstring& folderPath) {
    const std::wstring_view names =
        std::wstring_view(folderPath).substr(folderPath.starts_with(kRootPrefix) ? 2 : 0);
    std::wstring out;
    for (const std::wstring& name : Split(names, L'\\'))
        out += (out.empty() ? L"" : L"\\") + DirectoryName(name);
    return out;
}

std::wstring FolderPathOf(const std::wstring& directory) {
    std::wstring out = kRootPrefix;
    const std::vector<std::wstring> names = Split(directory, L'\\');
    for (size_t i = 0; i < names.size(); ++i) out += (i ? L"\\" : L"") + FolderName(names[i]);
    return out;
}

bool CreateFolders(const std::wstring& path) {
    if (CreateDirectoryW(path.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS) return true;
    const size_t parent = path.find_last_of(L'\\');
    if (GetLastError() != ERROR_PATH_NOT_FOUND || parent == std::wstring::npos ||
        !CreateFolders(path.substr(0, parent)))
        return false;
    return CreateDirectoryW(path.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS;
}

bool BackupIndex::Open(const std::wstring& folder, std::wstring* error) {
    folder_ = folder;
    mails_.clear();
    byKey_.clear();
    unsaved_ = adopted_ = 0;
    if (!CreateFolders(folder_)) {
        *error = SystemError(L"cannot create the backup folder", folder_);
        return false;
    }
    if (!Read(error)) return false;
    Scan(L"");
    return true;
}

bool BackupIndex::Read(std::wstring* error) {
    const std::wstring path = FullPath(kIndexName);
    const base::UniqueFile file(
        CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!file) {
        if (GetLastError() == ERROR_FILE_NOT_FOUND) return true;
        *error = SystemError(L"cannot read the backup index", path);
        return false;
    }
    LARGE_INTEGER size{};
    std::string bytes;
    DWORD read = 0;
    if (GetFileSizeEx(file.get(), &size)) bytes.resize(static_cast<size_t>(size.QuadPart));
    if (!ReadFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr) ||
        read != bytes.size() || !std::string_view(bytes).starts_with(kIndexHeader)) {
        *error = path + L" is not a backup index of this program";
        return false;
    }
    const std::vector<std::wstring> lines =
        Split(Wide(std::string_view(bytes).substr(kIndexHeader.size())), L'\n');
    for (const std::wstring& line : lines) {
        const std::vector<std::wstring> fields = Split(line, kFieldSeparator);
        if (fields.size() != 4) continue;  // the end of the file
        Add({UnescapeField(fields[0]), UnescapeField(fields[1]), UnescapeField(fields[2]),
             UnescapeField(fields[3])});
    }
    unsaved_ = 0;
    return true;
}

// Below `directory` (relative, empty for the backup folder): deletes partial files and
// adopts finished message files the index does not list.
void BackupIndex::Scan(const std::wstring& directory) {
    const std::wstring prefix = directory.empty() ? L"" : directory + L"\\";
    WIN32_FIND_DATAW found{};
    const base::UniqueFind find(FindFirstFileW(FullPath(prefix + L"*").c_str(), &found));
    if (!find) return;
    do {
        const std::wstring name = found.cFileName;
        const std::wstring relative = prefix + name;
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            if (name != L"." && name != L"..") Scan(relative);
        } else if (name.ends_with(kPartialExtension)) {
            DeleteFileW(FullPath(relative).c_str());
        } else if (!directory.empty() && name.ends_with(kMailExtension) && !Find(Stem(name))) {
            const std::wstring key = Stem(name);
            Add({key.starts_with(kKeyOfEntryId) ? L"" : key, L"", FolderPathOf(directory), relative});
            ++adopted_;
        }
    } while (FindNextFileW(find.get(), &found));
}

const SavedMail* BackupIndex::Find(const std::wstring& key) const {
    const auto found = byKey_.find(key);
    return found == byKey_.end() ? nullptr : &mails_[found->second];
}

bool BackupIndex::Recognise(const std::wstring& key, const std::wstring& entryId) {
    const auto found = byKey_.find(key);
    if (found == byKey_.end()) return false;
    SavedMail& mail = mails_[found->second];
    if (mail.entryId.empty() && !entryId.empty()) {
        mail.entryId = entryId;
        ++unsaved_;
    }
    return true;
}

void BackupIndex::Add(SavedMail mail) {
    if (!byKey_.emplace(KeyOf(mail), mails_.size()).second) return;
    mails_.push_back(std::move(mail));
    ++unsaved_;
}

bool BackupIndex::SaveDue() const noexcept { return unsaved_ >= std::max(kSaveEvery, mails_.size() / 4); }

bool BackupIndex::Save(std::wstring* error) {
    if (unsaved_ == 0) return true;
    std::string bytes(kIndexHeader);
    for (const SavedMail& mail : mails_) {
        const std::wstring line = EscapeField(mail.signature) + kFieldSeparator + EscapeField(mail.entryId) +
                                  kFieldSeparator + EscapeField(mail.folderPath) + kFieldSeparator +
                                  EscapeField(mail.file) + L"\n";
        bytes += Utf8(line);
    }
    const std::wstring path = FullPath(kIndexName), fresh = path + kNewIndexSuffix;
    {
        const base::UniqueFile file(CreateFileW(fresh.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                                FILE_ATTRIBUTE_NORMAL, nullptr));
        DWORD written = 0;
        if (!file ||
            !WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
            written != bytes.size() || !FlushFileBuffers(file.get())) {
            *error = SystemError(L"cannot write the backup index", fresh);
            return false;
        }
    }
    if (!MoveFileExW(fresh.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        *error = SystemError(L"cannot replace the backup index", path);
        return false;
    }
    unsaved_ = 0;
    return true;
}

}  // namespace client
