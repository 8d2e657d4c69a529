#include "client/backup_index.h"

#include <windows.h>

#include <algorithm>
#include <cwchar>
#include <cwctype>
#include <string_view>

#include "base/unique_resource.h"
#include "client/backup_folder.h"
#include "client/output.h"

namespace client {
namespace {

constexpr wchar_t kRootPrefix[] = L"\\\\";
constexpr wchar_t kIndexHeader[] = L"mail backup index 2";
constexpr wchar_t kLandedIndexHeader[] = L"mail backup index 1";
constexpr wchar_t kFieldSeparator = L'\t';
constexpr wchar_t kKeyOfEntryId[] = L"id-";
constexpr size_t kSignatureDigits = 32;
constexpr size_t kEntryIdHashDigits = 16;
constexpr size_t kSaveEvery = 256;
// Fields of an index line before its folder paths.
enum Field { kSignature, kEntryId, kFile, kSize, kDigest, kFirstPlace };
enum LandedField { kLandedSignature, kLandedEntryId, kLandedPlace, kLandedFile, kLandedFields };

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

bool IsUpperHex(std::wstring_view text, size_t digits) {
    return text.size() == digits && std::all_of(text.begin(), text.end(), [](wchar_t c) {
               return (c >= L'0' && c <= L'9') || (c >= L'A' && c <= L'F');
           });
}

std::wstring Stem(const std::wstring& file) {
    const size_t slash = file.find_last_of(L'\\');
    const std::wstring name = slash == std::wstring::npos ? file : file.substr(slash + 1);
    return name.substr(0, name.rfind(L'.'));
}

// A file the add-in was writing for the tool: "<key>.<process id>.partial".
bool IsPartialName(const std::wstring& name) {
    if (!name.ends_with(kPartialExtension)) return false;
    const std::wstring stem = name.substr(0, name.size() - std::size(kPartialExtension) + 1);
    const size_t dot = stem.rfind(L'.');
    return dot != std::wstring::npos && dot + 1 < stem.size() &&
           std::all_of(stem.begin() + dot + 1, stem.end(), iswdigit) && IsMailKey(stem.substr(0, dot));
}

bool AddPlace(SavedMail& mail, const std::wstring& place) {
    if (std::find(mail.places.begin(), mail.places.end(), place) != mail.places.end()) return false;
    mail.places.push_back(place);
    return true;
}

}  // namespace

std::wstring MailKey(const std::wstring& signature, const std::wstring& entryId) {
    if (!signature.empty()) return signature;
    uint64_t hash = 14695981039346656037ull;  // FNV-1a, 64 bits
    for (wchar_t c : entryId) hash = (hash ^ c) * 1099511628211ull;
    wchar_t text[kEntryIdHashDigits + 1];
    _snwprintf(text, std::size(text), L"%016llX", static_cast<unsigned long long>(hash));
    return kKeyOfEntryId + std::wstring(text);
}

std::wstring KeyOf(const SavedMail& mail) {
    return mail.signature.empty() ? Stem(mail.file) : mail.signature;
}

bool IsSignature(const std::wstring& text) { return text.empty() || IsUpperHex(text, kSignatureDigits); }

bool IsMailKey(const std::wstring& text) {
    return IsUpperHex(text, kSignatureDigits) ||
           (text.starts_with(kKeyOfEntryId) &&
            IsUpperHex(std::wstring_view(text).substr(std::size(kKeyOfEntryId) - 1), kEntryIdHashDigits));
}

std::wstring DirectoryName(const std::wstring& folderName, bool top) {
    if (folderName.empty()) return L"&#;";
    std::wstring out;
    for (size_t i = 0; i < folderName.size(); ++i) {
        const wchar_t c = folderName[i];
        const bool last = i + 1 == folderName.size();
        const bool escaped = RefusedInNames(c) || (last && (c == L'.' || c == L' ')) ||
                             (i == 0 && (IsDeviceName(folderName) || (top && IsReservedName(folderName))));
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
        out += out.empty() ? DirectoryName(name, true) : L"\\" + DirectoryName(name);
    return out;
}

std::wstring FolderPathOf(const std::wstring& directory) {
    std::wstring out = kRootPrefix;
    const std::vector<std::wstring> names = Split(directory, L'\\');
    for (size_t i = 0; i < names.size(); ++i) out += (i ? L"\\" : L"") + FolderName(names[i]);
    return out;
}

bool BackupIndex::Open(const std::wstring& folder, bool writing, std::wstring* error) {
    folder_ = folder;
    mails_.clear();
    byKey_.clear();
    unsaved_ = adopted_ = damaged_ = unreadableLines_ = 0;
    if (!Read(error)) return false;
    std::unordered_map<std::wstring, uint64_t> sizes;
    Scan(L"", writing, &sizes);
    for (SavedMail& mail : mails_) {
        const auto found = sizes.find(mail.file);
        WIN32_FILE_ATTRIBUTE_DATA data{};
        // A file outside the walk (under a link, or named in another case) is asked for once.
        const bool present =
            found != sizes.end() ||
            GetFileAttributesExW(SystemPath(FullPath(mail.file)).c_str(), GetFileExInfoStandard, &data);
        const uint64_t size =
            found != sizes.end() ? found->second : (uint64_t(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
        mail.damaged = !present || (!mail.sha256.empty() && size != mail.size);
        if (writing && present && mail.sha256.empty()) {  // saved by the first version: read once
            FileFacts facts;
            mail.damaged =
                !IsMessageFile(FullPath(mail.file)) || !ReadFacts(FullPath(mail.file), false, &facts);
            mail.size = facts.size;
            mail.sha256 = facts.sha256;
            ++unsaved_;
        }
        damaged_ += mail.damaged ? 1 : 0;
    }
    return true;
}

bool BackupIndex::Read(std::wstring* error) {
    const std::wstring path = FullPath(kIndexName);
    std::vector<std::wstring> lines;
    if (!ReadLines(path, &lines, error)) return false;
    if (lines.empty()) return true;
    const bool landed = lines[0] == kLandedIndexHeader;
    if (!landed && lines[0] != kIndexHeader) {
        *error = path + L" is not a backup index of this program";
        return false;
    }
    for (size_t i = 1; i < lines.size(); ++i) {
        if (lines[i].empty()) continue;
        std::vector<std::wstring> fields = Split(lines[i], kFieldSeparator);
        for (std::wstring& field : fields) field = UnescapeField(field);
        if (landed && fields.size() == kLandedFields) {
            Insert({fields[kLandedSignature],
                    fields[kLandedEntryId],
                    fields[kLandedFile],
                    0,
                    L"",
                    {fields[kLandedPlace]}});
        } else if (!landed && fields.size() > kFirstPlace) {
            Insert({fields[kSignature], fields[kEntryId], fields[kFile],
                    std::wcstoull(fields[kSize].c_str(), nullptr, 10), fields[kDigest],
                    std::vector<std::wstring>(fields.begin() + kFirstPlace, fields.end())});
        } else {
            ++unreadableLines_;  // its file, if any, is adopted again
        }
    }
    // A landed index is written anew in this version's form by the first writing run.
    unsaved_ = landed ? 1 : 0;
    return true;
}

void BackupIndex::Scan(const std::wstring& directory, bool writing,
                       std::unordered_map<std::wstring, uint64_t>* sizes) {
    const std::wstring prefix = directory.empty() ? L"" : directory + L"\\";
    WIN32_FIND_DATAW found{};
    const base::UniqueFind find(FindFirstFileW(SystemPath(FullPath(prefix + L"*")).c_str(), &found));
    if (!find) return;
    do {
        const std::wstring name = found.cFileName;
        const std::wstring relative = prefix + name;
        const bool top = directory.empty();
        if (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) continue;  // never followed
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            if (name == L"." || name == L".." || (top && IsReservedName(name) && name != kPartialFolderName))
                continue;
            Scan(relative, writing, sizes);
        } else if (IsPartialName(name)) {
            if (writing) DeleteFileW(SystemPath(FullPath(relative)).c_str());
        } else if (!top && directory != kPartialFolderName && name.ends_with(kMailExtension) &&
                   IsMailKey(Stem(name))) {
            const uint64_t size = (uint64_t(found.nFileSizeHigh) << 32) | found.nFileSizeLow;
            (*sizes)[relative] = size;
            if (!Find(Stem(name))) Adopt(directory, name, size, writing);
        }
    } while (FindNextFileW(find.get(), &found));
}

void BackupIndex::Adopt(const std::wstring& directory, const std::wstring& name, uint64_t size,
                        bool writing) {
    const std::wstring key = Stem(name), relative = directory + L"\\" + name;
    SavedMail mail{
        key.starts_with(kKeyOfEntryId) ? L"" : key, L"", relative, size, L"", {FolderPathOf(directory)}};
    mail.adopted = true;
    if (writing) {
        // Only the tool renames a file to a final name, and only a whole one; anything
        // else under such a name is left as it is.
        FileFacts facts;
        if (!IsMessageFile(FullPath(relative)) || !ReadFacts(FullPath(relative), false, &facts)) return;
        mail.size = facts.size;
        mail.sha256 = facts.sha256;
    }
    Insert(std::move(mail));
    ++adopted_;
}

void BackupIndex::Insert(SavedMail mail) {
    if (!byKey_.emplace(KeyOf(mail), mails_.size()).second) return;
    mails_.push_back(std::move(mail));
    ++unsaved_;
}

const SavedMail* BackupIndex::Find(const std::wstring& key) const {
    const auto found = byKey_.find(key);
    return found == byKey_.end() ? nullptr : &mails_[found->second];
}

bool BackupIndex::Met(const std::wstring& key, const std::wstring& entryId, const std::wstring& place) {
    const auto found = byKey_.find(key);
    if (found == byKey_.end() || mails_[found->second].damaged) return false;
    SavedMail& mail = mails_[found->second];
    if (mail.entryId.empty() && !entryId.empty()) {
        mail.entryId = entryId;
        ++unsaved_;
    }
    if (AddPlace(mail, place)) ++unsaved_;
    return true;
}

void BackupIndex::Add(SavedMail mail) {
    const auto found = byKey_.find(KeyOf(mail));
    if (found == byKey_.end()) return Insert(std::move(mail));
    SavedMail& old = mails_[found->second];
    for (const std::wstring& place : mail.places) AddPlace(old, place);
    mail.places = std::move(old.places);
    damaged_ -= old.damaged ? 1 : 0;
    old = std::move(mail);
    ++unsaved_;
}

bool BackupIndex::SaveDue() const noexcept { return unsaved_ >= std::max(kSaveEvery, mails_.size() / 4); }

bool BackupIndex::Save(std::wstring* error) {
    if (unsaved_ == 0) return true;
    std::string bytes = Utf8(std::wstring(kIndexHeader) + L"\n");
    for (const SavedMail& mail : mails_) {
        std::wstring line = EscapeField(mail.signature) + kFieldSeparator + EscapeField(mail.entryId) +
                            kFieldSeparator + EscapeField(mail.file) + kFieldSeparator +
                            std::to_wstring(mail.size) + kFieldSeparator + mail.sha256;
        for (const std::wstring& place : mail.places) line += kFieldSeparator + EscapeField(place);
        bytes += Utf8(line + L"\n");
    }
    if (!ReplaceFile(FullPath(kIndexName), bytes, error, L"index-written")) return false;
    unsaved_ = 0;
    return true;
}

}  // namespace client
