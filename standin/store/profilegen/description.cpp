#include "standin/store/profilegen/description.h"

#include <mapidefs.h>
#include <mapicode.h>

#include <algorithm>
#include <optional>

#include "standin/store/files.h"
#include "standin/store/metadata.h"
#include "standin/store/names.h"

#include "base/boundary.h"

namespace standin::profilegen {

namespace {

using store::FaultScope;

constexpr uint32_t kMaxCount = 10'000'000;

struct Token {
    std::string key;     // empty for a positional word
    std::wstring value;  // decoded
};

struct ParsedLine {
    size_t indent = 0;
    std::vector<Token> tokens;
};

bool Tokenize(std::string_view text, ParsedLine& line, std::wstring& problem) {
    size_t at = 0;
    while (at < text.size() && text[at] == ' ') ++at;
    line.indent = at;
    while (at < text.size()) {
        if (text[at] == ' ' || text[at] == '\t') {
            ++at;
            continue;
        }
        if (text[at] == '#') break;
        Token token;
        std::string raw;
        if (text[at] != '"') {
            while (at < text.size() && text[at] != ' ' && text[at] != '\t' && text[at] != '=')
                raw += text[at++];
            if (at < text.size() && text[at] == '=') {
                token.key = raw;
                raw.clear();
                ++at;
                if (at < text.size() && text[at] == '"') {
                    if (!store::ReadQuoted(text, at, raw)) {
                        problem = L"an unclosed quote";
                        return false;
                    }
                } else {
                    while (at < text.size() && text[at] != ' ' && text[at] != '\t') raw += text[at++];
                }
            }
        } else if (!store::ReadQuoted(text, at, raw)) {
            problem = L"an unclosed quote";
            return false;
        }
        token.value = store::FromUtf8(raw);
        line.tokens.push_back(std::move(token));
    }
    return true;
}

bool ParseCount(const std::wstring& text, uint32_t& count, std::wstring& problem) {
    uint32_t value = 0;
    bool valid = !text.empty() && text.size() <= 8;
    for (const wchar_t c : text) {
        valid = valid && c >= L'0' && c <= L'9';
        if (valid) value = value * 10 + static_cast<uint32_t>(c - L'0');
    }
    if (!valid || value == 0 || value > kMaxCount) {
        problem = L"count is a number from 1 to 10000000";
        return false;
    }
    count = value;
    return true;
}

const store::NumberSetting* FindNumberSetting(std::string_view key) noexcept {
    for (const store::NumberSetting& setting : store::kNumberSettings)
        if (key == setting.key) return &setting;
    return nullptr;
}

class Parser {
public:
    explicit Parser(ProfilePlan& profile) : profile_(profile) {}

    bool Line(uint32_t number, const ParsedLine& line, std::wstring& problem);

private:
    struct Level {
        size_t indent;
        FolderPlan* folder;  // null: the profile's level, where stores go
    };
    bool Profile(const std::vector<Token>& tokens, std::wstring& problem);
    bool Store(const std::vector<Token>& tokens, std::wstring& problem);
    bool Folder(FolderPlan& parent, const std::vector<Token>& tokens, std::wstring& problem);
    bool Item(FolderPlan& parent, const std::string& keyword, uint32_t number,
              const std::vector<Token>& tokens, std::wstring& problem);

    ProfilePlan& profile_;
    bool haveProfile_ = false;
    std::vector<Level> levels_;
};

bool ParseFaultValue(FaultScope scope, const std::wstring& value, uint32_t& faults, std::wstring& problem) {
    std::wstring bad;
    if (store::ParseFaults(scope, value, faults, bad)) return true;
    problem = L"unknown fault \"" + bad + L"\"";
    return false;
}

bool UnknownAttribute(const Token& token, std::wstring& problem) {
    problem = token.key.empty() ? L"unexpected word \"" + token.value + L"\""
                                : L"unknown attribute " + store::FromUtf8(token.key);
    return false;
}

bool ParseGuid(const std::wstring& value, GUID& guid, std::wstring& problem) {
    if (store::GuidFromHex(value, guid)) return true;
    problem = L"a UID is 32 hexadecimal digits";
    return false;
}

bool Parser::Profile(const std::vector<Token>& tokens, std::wstring& problem) {
    if (haveProfile_) {
        problem = L"a second profile line";
        return false;
    }
    haveProfile_ = true;
    for (size_t i = 1; i < tokens.size(); ++i) {
        const Token& token = tokens[i];
        if (token.key.empty() && i == 1) {
            profile_.name = token.value;
        } else if (token.key == "fault") {
            if (!ParseFaultValue(FaultScope::Profile, token.value, profile_.faults, problem)) return false;
        } else if (token.key == store::kLocaleSetting) {
            profile_.settings.locale = token.value;
        } else if (const store::NumberSetting* number = FindNumberSetting(token.key)) {
            if (!ParseCount(token.value, profile_.settings.*number->field, problem)) return false;
        } else {
            return UnknownAttribute(token, problem);
        }
    }
    if (profile_.name.empty()) {
        problem = L"the profile has no name";
        return false;
    }
    return true;
}

bool Parser::Store(const std::vector<Token>& tokens, std::wstring& problem) {
    StorePlan plan;
    for (size_t i = 1; i < tokens.size(); ++i) {
        const Token& token = tokens[i];
        if (token.key.empty() && i == 1) {
            plan.name = token.value;
        } else if (token.key.empty() && token.value == L"default") {
            plan.isDefault = true;
        } else if (token.key == "uid") {
            if (!ParseGuid(token.value, plan.uid, problem)) return false;
            plan.hasUid = true;
        } else if (token.key == "service-uid") {
            if (!ParseGuid(token.value, plan.serviceUid, problem)) return false;
            plan.hasServiceUid = true;
        } else if (token.key == "fault") {
            if (!ParseFaultValue(FaultScope::Store, token.value, plan.faults, problem)) return false;
        } else if (token.key == "folder-fault") {
            if (!ParseFaultValue(FaultScope::Folder, token.value, plan.root.faults, problem)) return false;
        } else {
            return UnknownAttribute(token, problem);
        }
    }
    plan.root.name = plan.name;
    profile_.stores.push_back(std::move(plan));
    return true;
}

bool Parser::Folder(FolderPlan& parent, const std::vector<Token>& tokens, std::wstring& problem) {
    FolderPlan plan;
    bool named = false;
    for (size_t i = 1; i < tokens.size(); ++i) {
        const Token& token = tokens[i];
        if (token.key.empty() && i == 1) {
            plan.name = token.value;
            named = true;
        } else if (token.key == "type") {
            const auto type = store::ItemTypeFromWord(token.value);
            if (!type) {
                problem = L"unknown folder type \"" + token.value + L"\"";
                return false;
            }
            plan.type = *type;
        } else if (token.key == "role") {
            const auto role = store::FolderRoleFromWord(token.value);
            if (!role) {
                problem = L"unknown folder role \"" + token.value + L"\"";
                return false;
            }
            plan.roles.push_back(*role);
        } else if (token.key == "fault") {
            if (!ParseFaultValue(FaultScope::Folder, token.value, plan.faults, problem)) return false;
        } else if (token.key == "message-fault") {
            if (!ParseFaultValue(FaultScope::Message, token.value, plan.messageFaults, problem)) return false;
        } else if (token.key == "count") {
            if (!ParseCount(token.value, plan.count, problem)) return false;
        } else {
            return UnknownAttribute(token, problem);
        }
    }
    if (!named) {
        problem = L"the folder has no name";
        return false;
    }
    parent.folders.push_back(std::move(plan));
    return true;
}

constexpr std::string_view kItemAttributes[] = {"subject",     "body",  "from",   "to",
                                                "cc",          "bcc",   "date",   "message-id",
                                                "submit-time", "class", "attach", "embed"};

bool Parser::Item(FolderPlan& parent, const std::string& keyword, uint32_t number,
                  const std::vector<Token>& tokens, std::wstring& problem) {
    ItemPlan plan;
    plan.line = number;
    for (size_t i = 1; i < tokens.size(); ++i) {
        const Token& token = tokens[i];
        if (token.key.empty() && token.value == L"ansi") {
            plan.ansi = true;
        } else if (token.key == "count") {
            if (!ParseCount(token.value, plan.count, problem)) return false;
        } else if (token.key == "body-repeat") {
            if (!ParseCount(token.value, plan.bodyRepeat, problem)) return false;
        } else if (token.key == "fault") {
            if (!ParseFaultValue(FaultScope::Message, token.value, plan.faults, problem)) return false;
        } else if (std::find(std::begin(kItemAttributes), std::end(kItemAttributes), token.key) !=
                   std::end(kItemAttributes)) {
            plan.attributes.emplace_back(token.key, token.value);
        } else {
            return UnknownAttribute(token, problem);
        }
    }
    if (keyword == "item" && !plan.Find("class")) {
        problem = L"an item needs class=";
        return false;
    }
    parent.items.push_back(std::move(plan));
    return true;
}

bool Parser::Line(uint32_t number, const ParsedLine& line, std::wstring& problem) {
    if (line.tokens.empty()) return true;
    const std::string keyword = store::ToUtf8(line.tokens[0].value);
    if (!line.tokens[0].key.empty()) {
        problem = L"a line starts with profile, store, folder, mail or item";
        return false;
    }
    if (keyword == "profile") {
        if (line.indent != 0) {
            problem = L"the profile line is not indented";
            return false;
        }
        levels_.assign(1, Level{0, nullptr});
        return Profile(line.tokens, problem);
    }
    if (!haveProfile_) {
        problem = L"the description starts with a profile line";
        return false;
    }
    while (levels_.size() > 1 && levels_.back().indent >= line.indent) levels_.pop_back();
    FolderPlan* parent = levels_.back().folder;
    if (keyword == "store") {
        if (parent) {
            problem = L"a store inside a folder";
            return false;
        }
        if (!Store(line.tokens, problem)) return false;
        levels_.push_back(Level{line.indent, &profile_.stores.back().root});
        return true;
    }
    if (!parent) {
        problem = L"a folder or item outside a store";
        return false;
    }
    if (keyword == "folder") {
        if (!Folder(*parent, line.tokens, problem)) return false;
        levels_.push_back(Level{line.indent, &parent->folders.back()});
        return true;
    }
    if (keyword == "mail" || keyword == "item") return Item(*parent, keyword, number, line.tokens, problem);
    problem = L"unknown line \"" + line.tokens[0].value + L"\"";
    return false;
}

}  // namespace

const std::wstring* ItemPlan::Find(std::string_view key) const noexcept {
    for (const auto& [name, value] : attributes) {
        if (name == key) return &value;
    }
    return nullptr;
}

std::vector<std::wstring> ItemPlan::FindAll(std::string_view key) const {
    std::vector<std::wstring> values;
    for (const auto& [name, value] : attributes) {
        if (name == key) values.push_back(value);
    }
    return values;
}

HRESULT ParseDescription(std::string_view text, ProfilePlan& profile, std::wstring& error) {
    return base::ReturnOr(
        [&] {
            profile = ProfilePlan{};
            Parser parser(profile);
            uint32_t number = 0;
            for (const std::string_view raw : store::SplitLines(text)) {
                ++number;
                ParsedLine line;
                std::wstring problem;
                if (!Tokenize(raw, line, problem) || !parser.Line(number, line, problem)) {
                    error = L"line " + std::to_wstring(number) + L": " + problem;
                    return MAPI_E_CORRUPT_DATA;
                }
            }
            if (profile.name.empty()) {
                error = L"no profile line";
                return MAPI_E_CORRUPT_DATA;
            }
            return S_OK;
        },
        MAPI_E_NOT_ENOUGH_MEMORY);
}

}  // namespace standin::profilegen
