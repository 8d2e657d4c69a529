#include "standin/store/names.h"

#include <algorithm>
#include <array>
#include <cwctype>

namespace standin::store {

namespace {

struct TypeWord {
    ItemType type;
    std::wstring_view word;
    std::wstring_view containerClass;
};
constexpr std::array kTypes = {
    TypeWord{ItemType::Mail, L"mail", L"IPF.Note"},
    TypeWord{ItemType::Calendar, L"calendar", L"IPF.Appointment"},
    TypeWord{ItemType::Contacts, L"contacts", L"IPF.Contact"},
    TypeWord{ItemType::Tasks, L"tasks", L"IPF.Task"},
    TypeWord{ItemType::Journal, L"journal", L"IPF.Journal"},
    TypeWord{ItemType::Notes, L"notes", L"IPF.StickyNote"},
};

struct RoleWord {
    FolderRole role;
    std::wstring_view word;
};
constexpr std::array kRoles = {
    RoleWord{FolderRole::DeletedItems, L"deleted-items"},
    RoleWord{FolderRole::Outbox, L"outbox"},
    RoleWord{FolderRole::SentMail, L"sent-items"},
    RoleWord{FolderRole::Inbox, L"inbox"},
    RoleWord{FolderRole::Calendar, L"calendar"},
    RoleWord{FolderRole::Contacts, L"contacts"},
    RoleWord{FolderRole::Journal, L"journal"},
    RoleWord{FolderRole::Notes, L"notes"},
    RoleWord{FolderRole::Tasks, L"tasks"},
    RoleWord{FolderRole::Drafts, L"drafts"},
    RoleWord{FolderRole::Junk, L"junk"},
};

constexpr std::wstring_view kForbiddenCharacters = L"\\/:*?\"<>|";
constexpr std::array<std::wstring_view, 3> kReservedSuffixes = {L".ini", L".msg", L".tmp"};
constexpr std::array<std::wstring_view, 4> kDeviceNames = {L"CON", L"PRN", L"AUX", L"NUL"};
constexpr std::array<std::wstring_view, 2> kNumberedDeviceNames = {L"COM", L"LPT"};
constexpr size_t kMaxDirectoryName = 120;

bool IsForbidden(wchar_t c) { return c < 0x20 || kForbiddenCharacters.find(c) != std::wstring_view::npos; }

bool EndsWithIgnoringCase(std::wstring_view text, std::wstring_view suffix) {
    return text.size() >= suffix.size() && SameName(text.substr(text.size() - suffix.size()), suffix);
}

bool IsDeviceName(std::wstring_view name) {
    const std::wstring_view stem = name.substr(0, name.find(L'.'));
    if (std::any_of(kDeviceNames.begin(), kDeviceNames.end(),
                    [&](std::wstring_view device) { return SameName(stem, device); })) {
        return true;
    }
    return stem.size() == 4 && stem[3] >= L'1' && stem[3] <= L'9' &&
           std::any_of(kNumberedDeviceNames.begin(), kNumberedDeviceNames.end(),
                       [&](std::wstring_view device) { return SameName(stem.substr(0, 3), device); });
}

}  // namespace

std::wstring_view ItemTypeWord(ItemType type) noexcept {
    for (const TypeWord& entry : kTypes) {
        if (entry.type == type) return entry.word;
    }
    return {};
}

std::optional<ItemType> ItemTypeFromWord(std::wstring_view word) noexcept {
    for (const TypeWord& entry : kTypes) {
        if (entry.word == word) return entry.type;
    }
    return std::nullopt;
}

std::wstring_view ContainerClass(ItemType type) noexcept {
    for (const TypeWord& entry : kTypes) {
        if (entry.type == type) return entry.containerClass;
    }
    return {};
}

std::wstring_view FolderRoleWord(FolderRole role) noexcept {
    for (const RoleWord& entry : kRoles) {
        if (entry.role == role) return entry.word;
    }
    return {};
}

std::optional<FolderRole> FolderRoleFromWord(std::wstring_view word) noexcept {
    for (const RoleWord& entry : kRoles) {
        if (entry.word == word) return entry.role;
    }
    return std::nullopt;
}

bool IsPlainDirectoryName(std::wstring_view name) noexcept {
    if (name.empty() || name.size() > kMaxDirectoryName) return false;
    if (name.front() == L' ' || name.front() == L'~' || name.back() == L' ' || name.back() == L'.') {
        return false;
    }
    if (std::any_of(name.begin(), name.end(), IsForbidden)) return false;
    if (std::any_of(kReservedSuffixes.begin(), kReservedSuffixes.end(),
                    [&](std::wstring_view suffix) { return EndsWithIgnoringCase(name, suffix); })) {
        return false;
    }
    return !IsDeviceName(name);
}

std::wstring DirectoryNameFor(std::wstring_view displayName, uint32_t id, bool numbered) {
    if (!numbered && IsPlainDirectoryName(displayName)) return std::wstring(displayName);
    std::wstring name(displayName.substr(0, kMaxDirectoryName - 16));
    std::replace_if(name.begin(), name.end(), IsForbidden, L'_');
    return name + L" ~" + std::to_wstring(id);
}

bool SameName(std::wstring_view a, std::wstring_view b) noexcept {
    return CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(), static_cast<int>(b.size()),
                                TRUE) == CSTR_EQUAL;
}

}  // namespace standin::store
