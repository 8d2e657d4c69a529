#include "standin/store/metadata.h"

#include <mapidefs.h>
#include <mapicode.h>

#include <algorithm>
#include <cwctype>

#include "standin/store/files.h"

namespace standin::store {

namespace {

constexpr std::string_view kBlanks = " \t";

std::string_view Trim(std::string_view text) {
    const size_t first = text.find_first_not_of(kBlanks);
    if (first == std::string_view::npos) return {};
    const size_t last = text.find_last_not_of(kBlanks);
    return text.substr(first, last - first + 1);
}

bool IsKeyChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '-' || c == '_';
}

bool NeedsQuotes(std::string_view value) {
    if (value.empty()) return false;
    if (value.front() == ' ' || value.back() == ' ' || value.front() == '\t' || value.back() == '\t' ||
        value.front() == '"') {
        return true;
    }
    return std::any_of(value.begin(), value.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; });
}

std::string Quote(std::string_view value) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out = "\"";
    for (const char c : value) {
        const auto byte = static_cast<unsigned char>(c);
        switch (c) {
        case '\\':
            out += "\\\\";
            break;
        case '"':
            out += "\\\"";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (byte < 0x20 || byte == 0x7F) {
                out += "\\x";
                out += kHex[byte >> 4];
                out += kHex[byte & 0xF];
            } else {
                out += c;
            }
        }
    }
    return out + "\"";
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Decodes a whole quoted value; false when anything follows the close quote.
bool Unquote(std::string_view text, std::string& out) {
    size_t at = 0;
    out.clear();
    return ReadQuoted(text, at, out) && at == text.size();
}

}  // namespace

bool ReadQuoted(std::string_view text, size_t& at, std::string& out) {
    for (++at; at < text.size(); ++at) {
        const char c = text[at];
        if (c == '"') {
            ++at;
            return true;
        }
        if (c != '\\') {
            out += c;
            continue;
        }
        if (++at == text.size()) return false;
        switch (text[at]) {
        case '\\':
            out += '\\';
            break;
        case '"':
            out += '"';
            break;
        case 'n':
            out += '\n';
            break;
        case 'r':
            out += '\r';
            break;
        case 't':
            out += '\t';
            break;
        case 'x': {
            if (at + 2 >= text.size()) return false;
            const int high = HexDigit(text[at + 1]), low = HexDigit(text[at + 2]);
            if (high < 0 || low < 0) return false;
            out += static_cast<char>(high * 16 + low);
            at += 2;
            break;
        }
        default:
            return false;
        }
    }
    return false;
}

std::vector<std::string_view> SplitLines(std::string_view text) {
    // A byte order mark that an editor may have added.
    if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
    std::vector<std::string_view> lines;
    while (!text.empty()) {
        const size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        lines.push_back(line);
    }
    return lines;
}

HRESULT Metadata::Parse(std::string_view text) {
    lines_.clear();
    error_.clear();
    unsigned number = 0;
    for (const std::string_view raw : SplitLines(text)) {
        ++number;
        const std::string_view line = Trim(raw);
        if (line.empty() || line.front() == '#') {
            lines_.push_back({{}, {}, std::string(raw)});
            continue;
        }
        const size_t equals = line.find('=');
        const std::string_view key = Trim(line.substr(0, equals == std::string_view::npos ? 0 : equals));
        const bool keyValid = !key.empty() && std::all_of(key.begin(), key.end(), IsKeyChar);
        std::string value(
            Trim(equals == std::string_view::npos ? std::string_view() : line.substr(equals + 1)));
        const bool valueValid = value.empty() || value.front() != '"' || Unquote(std::string(value), value);
        if (equals == std::string_view::npos || !keyValid || !valueValid) {
            error_ = path_ + L": line " + std::to_wstring(number) + L" is not `key = value`";
            lines_.clear();
            return MAPI_E_CORRUPT_DATA;
        }
        lines_.push_back({std::string(key), FromUtf8(value), {}});
    }
    return S_OK;
}

std::string Metadata::Serialize() const {
    std::string text;
    for (const Line& line : lines_) {
        if (line.key.empty()) {
            text += line.raw;
        } else {
            const std::string value = ToUtf8(line.value);
            text += line.key + " = " + (NeedsQuotes(value) ? Quote(value) : value);
        }
        text += '\n';
    }
    return text;
}

HRESULT Metadata::Load(const std::wstring& path) {
    path_ = path;
    std::vector<BYTE> bytes;
    HRESULT hr = ReadFileBytes(path, bytes);
    if (FAILED(hr)) {
        lines_.clear();
        error_ = path + (hr == MAPI_E_NOT_FOUND ? L" is missing" : L" cannot be read");
        return hr;
    }
    return Parse(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

HRESULT Metadata::Save(const std::wstring& path) const {
    const std::string text = Serialize();
    return WriteFileAtomically(path, text.data(), text.size(), true);
}

void Metadata::AddComment(std::wstring_view text) { lines_.push_back({{}, {}, "# " + ToUtf8(text)}); }

const std::wstring* Metadata::Find(std::string_view key) const noexcept {
    for (const Line& line : lines_) {
        if (line.key == key) return &line.value;
    }
    return nullptr;
}

std::vector<std::wstring> Metadata::FindAll(std::string_view key) const {
    std::vector<std::wstring> values;
    for (const Line& line : lines_) {
        if (line.key == key) values.push_back(line.value);
    }
    return values;
}

void Metadata::Set(std::string_view key, std::wstring_view value) {
    const auto first =
        std::find_if(lines_.begin(), lines_.end(), [&](const Line& line) { return line.key == key; });
    if (first == lines_.end()) {
        Add(key, value);
        return;
    }
    first->value = value;
    lines_.erase(std::remove_if(first + 1, lines_.end(), [&](const Line& line) { return line.key == key; }),
                 lines_.end());
}

void Metadata::Add(std::string_view key, std::wstring_view value) {
    lines_.push_back({std::string(key), std::wstring(value), {}});
}

void Metadata::Remove(std::string_view key) {
    lines_.erase(
        std::remove_if(lines_.begin(), lines_.end(), [&](const Line& line) { return line.key == key; }),
        lines_.end());
}

std::vector<std::string> Metadata::KeysWithPrefix(std::string_view prefix) const {
    std::vector<std::string> keys;
    for (const Line& line : lines_) {
        if (!line.key.empty() && line.key.compare(0, prefix.size(), prefix) == 0) {
            keys.push_back(line.key);
        }
    }
    return keys;
}

HRESULT Metadata::GetNumber(std::string_view key, uint32_t fallback, uint32_t& value) {
    const std::wstring* text = Find(key);
    if (!text) {
        value = fallback;
        return S_OK;
    }
    uint64_t number = 0;
    const bool digitsOnly =
        !text->empty() && text->size() <= 10 &&
        std::all_of(text->begin(), text->end(), [](wchar_t c) { return c >= L'0' && c <= L'9'; });
    if (digitsOnly) {
        for (const wchar_t c : *text) number = number * 10 + static_cast<uint64_t>(c - L'0');
    }
    if (!digitsOnly || number > UINT32_MAX) {
        error_ = path_ + L": " + FromUtf8(key) + L" is not a number";
        return MAPI_E_CORRUPT_DATA;
    }
    value = static_cast<uint32_t>(number);
    return S_OK;
}

void Metadata::SetNumber(std::string_view key, uint32_t value) { Set(key, std::to_wstring(value)); }

std::vector<std::wstring> SplitWords(std::wstring_view text) {
    std::vector<std::wstring> words;
    size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && std::iswspace(text[i])) ++i;
        const size_t start = i;
        while (i < text.size() && !std::iswspace(text[i])) ++i;
        if (i > start) words.emplace_back(text.substr(start, i - start));
    }
    return words;
}

}  // namespace standin::store
