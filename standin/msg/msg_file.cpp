#include "standin/msg/msg_file.h"

#include "base/com.h"
#include "standin/mapi/props.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <cwctype>
#include <string>
#include <vector>

namespace standin::msg {
namespace {

constexpr wchar_t kPropertiesStream[] = L"__properties_version1.0";
constexpr wchar_t kRecipientPrefix[] = L"__recip_version1.0_#";
constexpr wchar_t kAttachmentPrefix[] = L"__attach_version1.0_#";
constexpr wchar_t kNameIdStorage[] = L"__nameid_version1.0";
constexpr wchar_t kGuidStream[] = L"__substg1.0_00020102";
constexpr wchar_t kEntryStream[] = L"__substg1.0_00030102";
constexpr wchar_t kStringStream[] = L"__substg1.0_00040102";
constexpr wchar_t kEmbeddedStorage[] = L"__substg1.0_3701000D";
constexpr wchar_t kLayoutPrefix[] = L"__";  // every element of the layout starts so

// Property stream headers: the top-level message's counts and next ids, the
// same without the trailing reserved bytes for an embedded message, and only
// reserved bytes for recipients and attachments.
enum class ObjectKind { kTopMessage, kEmbeddedMessage, kRecipient, kAttachment };
constexpr std::size_t kTopHeaderSize = 32;
constexpr std::size_t kEmbeddedHeaderSize = 24;
constexpr std::size_t kChildHeaderSize = 8;
constexpr std::size_t kNextRecipientOffset = 8;
constexpr std::size_t kNextAttachmentOffset = 12;
constexpr std::size_t kRecipientCountOffset = 16;
constexpr std::size_t kAttachmentCountOffset = 20;

constexpr std::size_t kEntrySize = 16;
constexpr ULONG kEntryFlags = PROPATTR_READABLE | PROPATTR_WRITEABLE;
constexpr ULONG kObjectEntrySize = 0xFFFFFFFF;  // size field of an embedded message

// Named-property entries: property index in the high 16 bits, GUID index in the
// next 15, kind (1 = string) in the lowest; GUID indexes 1 and 2 are PS_MAPI and
// PS_PUBLIC_STRINGS, 3 and up the GUID stream's entries.
constexpr ULONG kGuidIndexMapi = 1;
constexpr ULONG kGuidIndexPublicStrings = 2;
constexpr ULONG kFirstStreamGuidIndex = 3;
constexpr std::size_t kNameEntrySize = 8;

// Limits on what a file may make us do.
constexpr std::size_t kMaxStreamBytes = std::size_t{256} << 20;
constexpr std::size_t kReadChunk = 64 * 1024;
constexpr std::size_t kMaxElements = 1 << 16;
constexpr std::size_t kMaxChildren = 2048;  // recipients, or attachments, of one message
constexpr std::size_t kMaxMultiValues = 1 << 16;
constexpr int kMaxNesting = 16;  // embedded messages inside embedded messages

constexpr DWORD kReadMode = STGM_READ | STGM_SHARE_EXCLUSIVE;
constexpr DWORD kCreateMode = STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE;

using Bytes = std::vector<BYTE>;

[[nodiscard]] std::size_t HeaderSize(ObjectKind kind) noexcept {
    switch (kind) {
    case ObjectKind::kTopMessage:
        return kTopHeaderSize;
    case ObjectKind::kEmbeddedMessage:
        return kEmbeddedHeaderSize;
    default:
        return kChildHeaderSize;
    }
}

[[nodiscard]] ULONG ReadU32(const BYTE* p) noexcept {
    return ULONG{p[0]} | (ULONG{p[1]} << 8) | (ULONG{p[2]} << 16) | (ULONG{p[3]} << 24);
}

void WriteU32(BYTE* p, ULONG v) noexcept {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<BYTE>(v >> (8 * i));
}

void AppendU32(Bytes& out, ULONG v) {
    BYTE b[4];
    WriteU32(b, v);
    out.insert(out.end(), b, b + 4);
}

// "__substg1.0_TTTTTTTT", with "-NNNNNNNN" for one value of a multi-valued property.
[[nodiscard]] std::wstring ValueStreamName(ULONG tag, const ULONG* index = nullptr) {
    wchar_t name[40];
    if (index) {
        _snwprintf(name, std::size(name), L"__substg1.0_%08X-%08X", tag, *index);
    } else {
        _snwprintf(name, std::size(name), L"__substg1.0_%08X", tag);
    }
    name[std::size(name) - 1] = L'\0';
    return name;
}

[[nodiscard]] std::wstring ChildName(const wchar_t* prefix, ULONG number) {
    wchar_t digits[12];
    _snwprintf(digits, std::size(digits), L"%08X", number);
    digits[std::size(digits) - 1] = L'\0';
    return std::wstring(prefix) + digits;
}

struct ElementNameFree {
    void operator()(wchar_t* p) const noexcept { ::CoTaskMemFree(p); }
};

struct Element {
    std::wstring name;
    DWORD type = 0;
};

[[nodiscard]] HRESULT ListElements(IStorage* storage, std::vector<Element>& elements) {
    elements.clear();
    base::ComPtr<IEnumSTATSTG> enumerator;
    HRESULT hr = storage->EnumElements(0, nullptr, 0, enumerator.put());
    if (FAILED(hr)) return MapStorageError(hr);
    for (;;) {
        STATSTG stat{};
        ULONG fetched = 0;
        hr = enumerator->Next(1, &stat, &fetched);
        if (FAILED(hr)) return MapStorageError(hr);
        if (hr != S_OK || fetched == 0) return S_OK;
        const std::unique_ptr<wchar_t, ElementNameFree> name(stat.pwcsName);
        if (elements.size() >= kMaxElements) return MAPI_E_CORRUPT_DATA;
        elements.push_back({name ? name.get() : L"", stat.type});
    }
}

[[nodiscard]] const Element* FindElement(const std::vector<Element>& elements, const wchar_t* name,
                                         DWORD type) {
    for (const Element& e : elements) {
        if (e.type == type && e.name == name) return &e;
    }
    return nullptr;
}

// Reads a whole stream, however long it claims to be, in chunks: a lying size
// costs only what the file really holds.
[[nodiscard]] HRESULT ReadStream(IStorage* storage, const std::wstring& name, Bytes& out) {
    out.clear();
    base::ComPtr<IStream> stream;
    HRESULT hr = storage->OpenStream(name.c_str(), nullptr, kReadMode, 0, stream.put());
    if (hr == STG_E_FILENOTFOUND) return MAPI_E_CORRUPT_DATA;  // the layout promised it
    if (FAILED(hr)) return MapStorageError(hr);
    for (;;) {
        const std::size_t used = out.size();
        if (used > kMaxStreamBytes) return MAPI_E_TOO_BIG;
        out.resize(used + kReadChunk);
        ULONG got = 0;
        hr = stream->Read(out.data() + used, static_cast<ULONG>(kReadChunk), &got);
        out.resize(used + (SUCCEEDED(hr) ? got : 0));
        if (FAILED(hr)) return MapStorageError(hr);
        if (got == 0) return S_OK;
    }
}

// ---- reading values ---------------------------------------------------------------

// Size in the property stream of the values held inline there.
[[nodiscard]] std::size_t InlineSize(ULONG type) noexcept {
    switch (type) {
    case PT_I2:
        return 2;
    case PT_BOOLEAN:
        return 1;
    case PT_LONG:
    case PT_R4:
    case PT_ERROR:
        return 4;
    case PT_DOUBLE:
    case PT_APPTIME:
    case PT_CURRENCY:
    case PT_I8:
    case PT_SYSTIME:
        return 8;
    default:
        return 0;
    }
}

[[nodiscard]] bool IsStreamType(ULONG type) noexcept {
    return type == PT_STRING8 || type == PT_UNICODE || type == PT_BINARY || type == PT_CLSID ||
           type == PT_MV_STRING8 || type == PT_MV_UNICODE || type == PT_MV_BINARY ||
           FixedArrayElementSize(type);
}

// A string value's text from stream bytes: up to the first terminator, if any.
[[nodiscard]] std::string Text8(const Bytes& data, std::size_t size) {
    const std::size_t n = std::min(size, data.size());
    const auto end = std::find(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(n), BYTE{0});
    return std::string(data.begin(), end);
}

[[nodiscard]] std::wstring Text16(const Bytes& data, std::size_t size) {
    const std::size_t units = std::min(size, data.size()) / 2;
    std::wstring text;
    for (std::size_t i = 0; i < units; ++i) {
        const wchar_t c = static_cast<wchar_t>(data[2 * i] | (data[2 * i + 1] << 8));
        if (c == L'\0') break;
        text.push_back(c);
    }
    return text;
}

// Reads one value held in streams and stores it.
[[nodiscard]] HRESULT ReadStreamValue(IStorage* storage, ULONG tag, ULONG size, PropertySet& props) {
    const ULONG type = PROP_TYPE(tag);
    Bytes data;
    if (HRESULT hr = ReadStream(storage, ValueStreamName(tag), data); FAILED(hr)) return hr;
    SPropValue value{};
    value.ulPropTag = tag;
    switch (type) {
    case PT_STRING8: {
        if (size > data.size() + 1) return MAPI_E_CORRUPT_DATA;
        const std::string text = Text8(data, size);
        value.Value.lpszA = const_cast<char*>(text.c_str());
        return props.Set(value);
    }
    case PT_UNICODE: {
        if (size > data.size() + 2) return MAPI_E_CORRUPT_DATA;
        const std::wstring text = Text16(data, size);
        value.Value.lpszW = const_cast<wchar_t*>(text.c_str());
        return props.Set(value);
    }
    case PT_BINARY:
        if (size > data.size()) return MAPI_E_CORRUPT_DATA;
        value.Value.bin = {size, data.data()};
        return props.Set(value);
    case PT_CLSID:
        if (size != sizeof(GUID) || data.size() < sizeof(GUID)) return MAPI_E_CORRUPT_DATA;
        value.Value.lpguid = reinterpret_cast<GUID*>(data.data());
        return props.Set(value);
    default:
        break;
    }
    if (const std::size_t element = FixedArrayElementSize(type)) {
        if (size > data.size() || size % element != 0 || size / element > kMaxMultiValues)
            return MAPI_E_CORRUPT_DATA;
        value.Value.MVi.cValues = static_cast<ULONG>(size / element);
        value.Value.MVi.lpi = reinterpret_cast<short*>(data.data());
        return props.Set(value);
    }
    // Multi-valued strings and binaries: `data` is the length stream, one entry per
    // value, each value in a stream of its own.
    const std::size_t lengthSize = type == PT_MV_BINARY ? 8 : 4;
    if (size > data.size() || size % lengthSize != 0 || size / lengthSize > kMaxMultiValues) {
        return MAPI_E_CORRUPT_DATA;
    }
    const ULONG count = static_cast<ULONG>(size / lengthSize);
    std::vector<Bytes> values(count);
    std::vector<std::string> texts8;
    std::vector<std::wstring> texts16;
    std::vector<SBinary> binaries;
    for (ULONG i = 0; i < count; ++i) {
        if (HRESULT hr = ReadStream(storage, ValueStreamName(tag, &i), values[i]); FAILED(hr)) return hr;
        const ULONG length = ReadU32(&data[i * lengthSize]);
        const std::size_t slack = type == PT_MV_STRING8 ? 1 : (type == PT_MV_UNICODE ? 2 : 0);
        if (length > values[i].size() + slack) return MAPI_E_CORRUPT_DATA;
        if (type == PT_MV_STRING8) texts8.push_back(Text8(values[i], length));
        if (type == PT_MV_UNICODE) texts16.push_back(Text16(values[i], length));
        if (type == PT_MV_BINARY) binaries.push_back({length, values[i].data()});
    }
    std::vector<char*> pointers8;
    std::vector<wchar_t*> pointers16;
    for (auto& t : texts8) pointers8.push_back(t.data());
    for (auto& t : texts16) pointers16.push_back(t.data());
    value.Value.MVbin.cValues = count;
    if (type == PT_MV_STRING8) value.Value.MVszA.lppszA = pointers8.data();
    if (type == PT_MV_UNICODE) value.Value.MVszW.lppszW = pointers16.data();
    if (type == PT_MV_BINARY) value.Value.MVbin.lpbin = binaries.data();
    return props.Set(value);
}

[[nodiscard]] HRESULT ReadInlineValue(ULONG tag, const BYTE* raw, PropertySet& props) {
    SPropValue value{};
    value.ulPropTag = tag;
    switch (PROP_TYPE(tag)) {
    case PT_BOOLEAN:
        value.Value.b = raw[0] != 0;
        break;
    case PT_I2:
        std::memcpy(&value.Value.i, raw, 2);
        break;
    default:
        std::memcpy(&value.Value, raw, InlineSize(PROP_TYPE(tag)));
        break;
    }
    return props.Set(value);
}

// Reads an object's property stream. `header` receives the header bytes; an
// embedded-message entry sets `hasEmbedded`.
[[nodiscard]] HRESULT ReadProperties(IStorage* storage, ObjectKind kind, PropertySet& props, Bytes& header,
                                     bool& hasEmbedded) {
    hasEmbedded = false;
    Bytes stream;
    if (HRESULT hr = ReadStream(storage, kPropertiesStream, stream); FAILED(hr)) return hr;
    const std::size_t headerSize = HeaderSize(kind);
    if (stream.size() < headerSize || (stream.size() - headerSize) % kEntrySize != 0)
        return MAPI_E_CORRUPT_DATA;
    header.assign(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(headerSize));
    for (std::size_t at = headerSize; at < stream.size(); at += kEntrySize) {
        const BYTE* entry = &stream[at];
        const ULONG tag = ReadU32(entry);
        const ULONG type = PROP_TYPE(tag);
        HRESULT hr = S_OK;
        if (tag == PR_ATTACH_DATA_OBJ && kind == ObjectKind::kAttachment) {
            hasEmbedded = true;
        } else if (type == PT_ERROR) {
            continue;  // an error in place of a value is no value
        } else if (InlineSize(type)) {
            hr = ReadInlineValue(tag, entry + 8, props);
        } else if (IsStreamType(type)) {
            hr = ReadStreamValue(storage, tag, ReadU32(entry + 8), props);
        }  // other types (objects, unknown types) are not kept
        if (FAILED(hr)) return hr;
    }
    return S_OK;
}

// The numbered child storages ("prefix" + 8 hex digits), in number order.
[[nodiscard]] HRESULT FindChildren(const std::vector<Element>& elements, const wchar_t* prefix,
                                   std::vector<std::pair<ULONG, std::wstring>>& children) {
    const std::size_t prefixLength = std::wcslen(prefix);
    for (const Element& e : elements) {
        if (e.type != STGTY_STORAGE || e.name.size() != prefixLength + 8 ||
            e.name.compare(0, prefixLength, prefix)) {
            continue;
        }
        const std::wstring digits = e.name.substr(prefixLength);
        if (!std::all_of(digits.begin(), digits.end(), [](wchar_t c) { return std::iswxdigit(c); })) continue;
        if (children.size() >= kMaxChildren) return MAPI_E_CORRUPT_DATA;
        children.emplace_back(static_cast<ULONG>(std::wcstoul(digits.c_str(), nullptr, 16)), e.name);
    }
    std::sort(children.begin(), children.end());
    return S_OK;
}

[[nodiscard]] HRESULT OpenChild(IStorage* storage, const std::wstring& name, base::ComPtr<IStorage>& child) {
    const HRESULT hr = storage->OpenStorage(name.c_str(), nullptr, kReadMode, nullptr, 0, child.put());
    return FAILED(hr) ? MapStorageError(hr) : S_OK;
}

[[nodiscard]] HRESULT ReadMessage(IStorage* storage, ObjectKind kind, int depth, MessageData& message);

[[nodiscard]] HRESULT ReadAttachment(IStorage* storage, int depth, AttachmentData& attachment) {
    Bytes header;
    bool hasEmbedded = false;
    if (HRESULT hr = ReadProperties(storage, ObjectKind::kAttachment, attachment.props, header, hasEmbedded);
        FAILED(hr)) {
        return hr;
    }
    attachment.props.Erase(PR_ATTACH_NUM);
    if (!hasEmbedded) return S_OK;
    base::ComPtr<IStorage> embedded;
    if (HRESULT hr = OpenChild(storage, kEmbeddedStorage, embedded); FAILED(hr)) {
        return hr == MAPI_E_NOT_FOUND ? MAPI_E_CORRUPT_DATA : hr;
    }
    std::vector<Element> elements;
    if (HRESULT hr = ListElements(embedded.get(), elements); FAILED(hr)) return hr;
    // A storage attachment of another kind (no message inside) is not kept.
    if (!FindElement(elements, kPropertiesStream, STGTY_STREAM)) return S_OK;
    if (depth + 1 > kMaxNesting) return MAPI_E_CORRUPT_DATA;
    attachment.embedded = std::make_unique<MessageData>();
    return ReadMessage(embedded.get(), ObjectKind::kEmbeddedMessage, depth + 1, *attachment.embedded);
}

HRESULT ReadMessage(IStorage* storage, ObjectKind kind, int depth, MessageData& message) {
    std::vector<Element> elements;
    if (HRESULT hr = ListElements(storage, elements); FAILED(hr)) return hr;
    Bytes header;
    bool hasEmbedded = false;
    if (HRESULT hr = ReadProperties(storage, kind, message.props, header, hasEmbedded); FAILED(hr)) return hr;

    std::vector<std::pair<ULONG, std::wstring>> recipients;
    std::vector<std::pair<ULONG, std::wstring>> attachments;
    if (HRESULT hr = FindChildren(elements, kRecipientPrefix, recipients); FAILED(hr)) return hr;
    if (HRESULT hr = FindChildren(elements, kAttachmentPrefix, attachments); FAILED(hr)) return hr;

    message.recipients.resize(recipients.size());
    for (std::size_t i = 0; i < recipients.size(); ++i) {
        base::ComPtr<IStorage> child;
        if (HRESULT hr = OpenChild(storage, recipients[i].second, child); FAILED(hr)) return hr;
        PropertySet& props = message.recipients[i].props;
        Bytes childHeader;
        if (HRESULT hr = ReadProperties(child.get(), ObjectKind::kRecipient, props, childHeader, hasEmbedded);
            FAILED(hr)) {
            return hr;
        }
        if (const SPropValue* rowId = props.Find(PR_ROWID); !rowId || rowId->ulPropTag != PR_ROWID) {
            SPropValue number{PR_ROWID, 0, {}};
            number.Value.l = static_cast<LONG>(recipients[i].first);
            if (HRESULT hr = props.Set(number); FAILED(hr)) return hr;
        }
    }
    for (const auto& [number, name] : attachments) {
        base::ComPtr<IStorage> child;
        if (HRESULT hr = OpenChild(storage, name, child); FAILED(hr)) return hr;
        if (HRESULT hr = ReadAttachment(child.get(), depth, message.attachments[number]); FAILED(hr))
            return hr;
    }

    // Next ids from the header, but never below what the file holds.
    ULONG nextRecipient = ReadU32(&header[kNextRecipientOffset]);
    ULONG nextAttachment = ReadU32(&header[kNextAttachmentOffset]);
    for (const RecipientData& r : message.recipients) {
        const ULONG rowId = static_cast<ULONG>(r.props.Find(PR_ROWID)->Value.l);
        nextRecipient = std::max(nextRecipient, rowId + 1);
    }
    if (!message.attachments.empty())
        nextAttachment = std::max(nextAttachment, message.attachments.rbegin()->first + 1);
    message.nextRecipientId = std::min<ULONG>(nextRecipient, LONG_MAX);
    message.nextAttachmentId = std::min<ULONG>(nextAttachment, LONG_MAX);
    return S_OK;
}

// ---- named properties ---------------------------------------------------------

[[nodiscard]] HRESULT ReadNameMap(IStorage* storage, const std::vector<Element>& elements, NameMap& names) {
    if (!FindElement(elements, kNameIdStorage, STGTY_STORAGE)) return S_OK;
    base::ComPtr<IStorage> nameid;
    if (HRESULT hr = OpenChild(storage, kNameIdStorage, nameid); FAILED(hr)) return hr;
    Bytes guids, entries, strings;
    if (HRESULT hr = ReadStream(nameid.get(), kGuidStream, guids); FAILED(hr)) return hr;
    if (HRESULT hr = ReadStream(nameid.get(), kEntryStream, entries); FAILED(hr)) return hr;
    if (HRESULT hr = ReadStream(nameid.get(), kStringStream, strings); FAILED(hr)) return hr;
    if (guids.size() % sizeof(GUID) != 0 || entries.size() % kNameEntrySize != 0) return MAPI_E_CORRUPT_DATA;
    for (std::size_t i = 0; i < entries.size() / kNameEntrySize; ++i) {
        const BYTE* entry = &entries[i * kNameEntrySize];
        const ULONG idOrOffset = ReadU32(entry);
        const ULONG indexAndKind = ReadU32(entry + 4);
        const ULONG guidIndex = (indexAndKind >> 1) & 0x7FFF;
        // Entries name ids 0x8000 upwards in order.
        if ((indexAndKind >> 16) != i) return MAPI_E_CORRUPT_DATA;
        PropertyName name;
        if (guidIndex == kGuidIndexMapi) {
            name.guid = PS_MAPI;
        } else if (guidIndex == kGuidIndexPublicStrings) {
            name.guid = PS_PUBLIC_STRINGS;
        } else if (guidIndex >= kFirstStreamGuidIndex &&
                   (guidIndex - kFirstStreamGuidIndex) < guids.size() / sizeof(GUID)) {
            std::memcpy(&name.guid, &guids[(guidIndex - kFirstStreamGuidIndex) * sizeof(GUID)], sizeof(GUID));
        } else {
            return MAPI_E_CORRUPT_DATA;
        }
        if (indexAndKind & 1) {
            name.kind = MNID_STRING;
            if (idOrOffset > strings.size() || strings.size() - idOrOffset < 4) return MAPI_E_CORRUPT_DATA;
            const ULONG length = ReadU32(&strings[idOrOffset]);
            if (length % 2 != 0 || length > strings.size() - idOrOffset - 4) return MAPI_E_CORRUPT_DATA;
            const Bytes text(strings.begin() + idOrOffset + 4, strings.begin() + idOrOffset + 4 + length);
            name.name = Text16(text, text.size());
        } else {
            name.kind = MNID_ID;
            name.id = static_cast<LONG>(idOrOffset);
        }
        if (HRESULT hr = names.Append(std::move(name)); FAILED(hr))
            return hr == MAPI_E_TOO_BIG ? MAPI_E_CORRUPT_DATA : hr;
    }
    return S_OK;
}

// ---- writing ------------------------------------------------------------------

[[nodiscard]] HRESULT WriteStream(IStorage* storage, const std::wstring& name, const void* data,
                                  std::size_t size) {
    if (size > ULONG_MAX) return MAPI_E_TOO_BIG;
    base::ComPtr<IStream> stream;
    HRESULT hr = storage->CreateStream(name.c_str(), kCreateMode, 0, 0, stream.put());
    if (FAILED(hr)) return MapStorageError(hr);
    ULONG written = 0;
    hr = size ? stream->Write(data, static_cast<ULONG>(size), &written) : S_OK;
    if (FAILED(hr)) return MapStorageError(hr);
    return written == size ? S_OK : MAPI_E_NOT_ENOUGH_DISK;
}

template <typename Char>
[[nodiscard]] std::size_t Length(const Char* s) noexcept {
    std::size_t n = 0;
    while (s && s[n]) ++n;
    return n;
}

// Writes the streams of one value held in streams; `size` gets the entry's size field.
[[nodiscard]] HRESULT WriteStreamValue(IStorage* storage, const SPropValue& v, ULONG& size) {
    const ULONG tag = v.ulPropTag;
    const ULONG type = PROP_TYPE(tag);
    const std::wstring name = ValueStreamName(tag);
    switch (type) {
    case PT_STRING8: {
        const std::size_t n = Length(v.Value.lpszA);
        size = static_cast<ULONG>(n + 1);
        return WriteStream(storage, name, v.Value.lpszA, n);
    }
    case PT_UNICODE: {
        const std::size_t n = Length(v.Value.lpszW) * sizeof(wchar_t);
        size = static_cast<ULONG>(n + sizeof(wchar_t));
        return WriteStream(storage, name, v.Value.lpszW, n);
    }
    case PT_BINARY:
        size = v.Value.bin.cb;
        return WriteStream(storage, name, v.Value.bin.lpb, v.Value.bin.cb);
    case PT_CLSID:
        size = sizeof(GUID);
        return WriteStream(storage, name, v.Value.lpguid, sizeof(GUID));
    default:
        break;
    }
    if (const std::size_t element = FixedArrayElementSize(type)) {
        size = static_cast<ULONG>(v.Value.MVi.cValues * element);
        return WriteStream(storage, name, v.Value.MVi.lpi, size);
    }
    // Multi-valued strings (each stream with its terminator) and binaries.
    Bytes lengths;
    for (ULONG i = 0; i < v.Value.MVbin.cValues; ++i) {
        const void* data = nullptr;
        std::size_t bytes = 0;
        if (type == PT_MV_STRING8) {
            data = v.Value.MVszA.lppszA[i];
            bytes = Length(v.Value.MVszA.lppszA[i]) + 1;
        } else if (type == PT_MV_UNICODE) {
            data = v.Value.MVszW.lppszW[i];
            bytes = (Length(v.Value.MVszW.lppszW[i]) + 1) * sizeof(wchar_t);
        } else {
            data = v.Value.MVbin.lpbin[i].lpb;
            bytes = v.Value.MVbin.lpbin[i].cb;
        }
        if (HRESULT hr = WriteStream(storage, ValueStreamName(tag, &i), data, bytes); FAILED(hr)) return hr;
        AppendU32(lengths, static_cast<ULONG>(bytes));
        if (type == PT_MV_BINARY) AppendU32(lengths, 0);
    }
    size = static_cast<ULONG>(lengths.size());
    return WriteStream(storage, name, lengths.data(), lengths.size());
}

void AppendEntry(Bytes& stream, ULONG tag, const void* value, std::size_t valueSize) {
    AppendU32(stream, tag);
    AppendU32(stream, kEntryFlags);
    BYTE raw[8] = {};
    std::memcpy(raw, value, std::min<std::size_t>(valueSize, sizeof(raw)));
    stream.insert(stream.end(), raw, raw + sizeof(raw));
}

// Writes the property stream of an object and the streams of its values.
// `extra` entries (computed properties the layout keeps) are written after them.
[[nodiscard]] HRESULT WriteProperties(IStorage* storage, const PropertySet& props, Bytes header,
                                      std::span<const SPropValue> extra) {
    std::vector<SPropValue> values;
    if (HRESULT hr = props.Values(values); FAILED(hr)) return hr;
    values.insert(values.end(), extra.begin(), extra.end());
    Bytes stream = std::move(header);
    for (const SPropValue& v : values) {
        const ULONG type = PROP_TYPE(v.ulPropTag);
        if (v.ulPropTag == PR_ATTACH_DATA_OBJ) {
            AppendEntry(stream, v.ulPropTag, &kObjectEntrySize, sizeof(kObjectEntrySize));
        } else if (type == PT_BOOLEAN) {
            const BYTE flag = v.Value.b ? 1 : 0;
            AppendEntry(stream, v.ulPropTag, &flag, 1);
        } else if (InlineSize(type) && type != PT_ERROR) {
            AppendEntry(stream, v.ulPropTag, &v.Value, InlineSize(type));
        } else if (IsStreamType(type)) {
            ULONG size = 0;
            if (HRESULT hr = WriteStreamValue(storage, v, size); FAILED(hr)) return hr;
            AppendEntry(stream, v.ulPropTag, &size, sizeof(size));
        }
    }
    return WriteStream(storage, kPropertiesStream, stream.data(), stream.size());
}

[[nodiscard]] HRESULT CreateChild(IStorage* storage, const std::wstring& name,
                                  base::ComPtr<IStorage>& child) {
    const HRESULT hr = storage->CreateStorage(name.c_str(), kCreateMode, 0, 0, child.put());
    return FAILED(hr) ? MapStorageError(hr) : S_OK;
}

// Removes the elements of a message this layout wrote, keeping any others.
[[nodiscard]] HRESULT ClearLayout(IStorage* storage) {
    std::vector<Element> elements;
    if (HRESULT hr = ListElements(storage, elements); FAILED(hr)) return hr;
    for (const Element& e : elements) {
        if (e.name.rfind(kLayoutPrefix, 0) != 0) continue;
        if (HRESULT hr = storage->DestroyElement(e.name.c_str()); FAILED(hr)) return MapStorageError(hr);
    }
    return S_OK;
}

[[nodiscard]] HRESULT CommitChild(IStorage* child) {
    const HRESULT hr = child->Commit(STGC_DEFAULT);
    return FAILED(hr) ? MapStorageError(hr) : S_OK;
}

[[nodiscard]] HRESULT WriteMessage(IStorage* storage, ObjectKind kind, const MessageData& message);

[[nodiscard]] HRESULT WriteAttachment(IStorage* storage, ULONG number, const AttachmentData& attachment) {
    SPropValue extra[2] = {};
    extra[0].ulPropTag = PR_ATTACH_NUM;
    extra[0].Value.l = static_cast<LONG>(number);
    extra[1].ulPropTag = PR_ATTACH_DATA_OBJ;
    const std::size_t extraCount = attachment.embedded ? 2 : 1;
    if (HRESULT hr = WriteProperties(storage, attachment.props, Bytes(kChildHeaderSize), {extra, extraCount});
        FAILED(hr)) {
        return hr;
    }
    if (!attachment.embedded) return S_OK;
    base::ComPtr<IStorage> embedded;
    if (HRESULT hr = CreateChild(storage, kEmbeddedStorage, embedded); FAILED(hr)) return hr;
    if (HRESULT hr = WriteClassStg(embedded.get(), kClsidMailMessage); FAILED(hr)) return MapStorageError(hr);
    if (HRESULT hr = WriteMessage(embedded.get(), ObjectKind::kEmbeddedMessage, *attachment.embedded);
        FAILED(hr)) {
        return hr;
    }
    return CommitChild(embedded.get());
}

HRESULT WriteMessage(IStorage* storage, ObjectKind kind, const MessageData& message) {
    Bytes header(HeaderSize(kind));
    WriteU32(&header[kNextRecipientOffset], message.nextRecipientId);
    WriteU32(&header[kNextAttachmentOffset], message.nextAttachmentId);
    WriteU32(&header[kRecipientCountOffset], static_cast<ULONG>(message.recipients.size()));
    WriteU32(&header[kAttachmentCountOffset], static_cast<ULONG>(message.attachments.size()));
    if (HRESULT hr = WriteProperties(storage, message.props, std::move(header), {}); FAILED(hr)) return hr;
    for (std::size_t i = 0; i < message.recipients.size(); ++i) {
        base::ComPtr<IStorage> child;
        if (HRESULT hr = CreateChild(storage, ChildName(kRecipientPrefix, static_cast<ULONG>(i)), child);
            FAILED(hr)) {
            return hr;
        }
        if (HRESULT hr =
                WriteProperties(child.get(), message.recipients[i].props, Bytes(kChildHeaderSize), {});
            FAILED(hr)) {
            return hr;
        }
        if (HRESULT hr = CommitChild(child.get()); FAILED(hr)) return hr;
    }
    for (const auto& [number, attachment] : message.attachments) {
        base::ComPtr<IStorage> child;
        if (HRESULT hr = CreateChild(storage, ChildName(kAttachmentPrefix, number), child); FAILED(hr))
            return hr;
        if (HRESULT hr = WriteAttachment(child.get(), number, attachment); FAILED(hr)) return hr;
        if (HRESULT hr = CommitChild(child.get()); FAILED(hr)) return hr;
    }
    return S_OK;
}

[[nodiscard]] ULONG GuidIndex(const GUID& guid, std::vector<GUID>& guids) {
    if (guid == PS_MAPI) return kGuidIndexMapi;
    if (guid == PS_PUBLIC_STRINGS) return kGuidIndexPublicStrings;
    const auto found = std::find(guids.begin(), guids.end(), guid);
    if (found == guids.end()) guids.push_back(guid);
    return kFirstStreamGuidIndex +
           static_cast<ULONG>(std::find(guids.begin(), guids.end(), guid) - guids.begin());
}

[[nodiscard]] HRESULT WriteNameMap(IStorage* storage, const NameMap& names) {
    std::vector<GUID> guids;
    Bytes entries;
    Bytes strings;
    for (std::size_t i = 0; i < names.names().size(); ++i) {
        const PropertyName& name = names.names()[i];
        const ULONG guidIndex = GuidIndex(name.guid, guids);
        const bool isString = name.kind == MNID_STRING;
        ULONG idOrOffset = static_cast<ULONG>(name.id);
        if (isString) {
            idOrOffset = static_cast<ULONG>(strings.size());
            const std::size_t bytes = name.name.size() * sizeof(wchar_t);
            AppendU32(strings, static_cast<ULONG>(bytes));
            const auto* text = reinterpret_cast<const BYTE*>(name.name.data());
            strings.insert(strings.end(), text, text + bytes);
            strings.resize((strings.size() + 3) & ~std::size_t{3});  // entries start on 4-byte boundaries
        }
        AppendU32(entries, idOrOffset);
        AppendU32(entries, (static_cast<ULONG>(i) << 16) | (guidIndex << 1) | (isString ? 1 : 0));
    }
    base::ComPtr<IStorage> nameid;
    if (HRESULT hr = CreateChild(storage, kNameIdStorage, nameid); FAILED(hr)) return hr;
    if (HRESULT hr = WriteStream(nameid.get(), kGuidStream, guids.data(), guids.size() * sizeof(GUID));
        FAILED(hr)) {
        return hr;
    }
    if (HRESULT hr = WriteStream(nameid.get(), kEntryStream, entries.data(), entries.size()); FAILED(hr))
        return hr;
    if (HRESULT hr = WriteStream(nameid.get(), kStringStream, strings.data(), strings.size()); FAILED(hr))
        return hr;
    return CommitChild(nameid.get());
}

}  // namespace

HRESULT MapStorageError(HRESULT hr) noexcept {
    switch (hr) {
    case STG_E_ACCESSDENIED:
    case STG_E_LOCKVIOLATION:
    case STG_E_SHAREVIOLATION:
    case STG_E_REVERTED:
        return MAPI_E_NO_ACCESS;
    case STG_E_FILENOTFOUND:
    case STG_E_PATHNOTFOUND:
        return MAPI_E_NOT_FOUND;
    case STG_E_INSUFFICIENTMEMORY:
    case E_OUTOFMEMORY:
        return MAPI_E_NOT_ENOUGH_MEMORY;
    case STG_E_MEDIUMFULL:
        return MAPI_E_NOT_ENOUGH_DISK;
    case STG_E_INVALIDHEADER:
    case STG_E_READFAULT:
    case STG_E_DOCFILECORRUPT:
    case STG_E_INVALIDNAME:
    case STG_E_OLDFORMAT:
    case STG_E_UNKNOWN:
        return MAPI_E_CORRUPT_DATA;
    default:
        return FAILED(hr) ? MAPI_E_CALL_FAILED : hr;
    }
}

HRESULT ReadMessageFile(IStorage* storage, MessageData& message, NameMap& names) noexcept {
    if (!storage) return MAPI_E_INVALID_PARAMETER;
    try {
        std::vector<Element> elements;
        if (HRESULT hr = ListElements(storage, elements); FAILED(hr)) return hr;
        if (elements.empty()) return S_OK;  // a new message
        if (HRESULT hr = ReadNameMap(storage, elements, names); FAILED(hr)) return hr;
        return ReadMessage(storage, ObjectKind::kTopMessage, 0, message);
    } catch (const std::bad_alloc&) {
        return MAPI_E_NOT_ENOUGH_MEMORY;
    } catch (const std::length_error&) {
        return MAPI_E_NOT_ENOUGH_MEMORY;
    }
}

HRESULT WriteMessageFile(IStorage* storage, const MessageData& message, const NameMap& names) noexcept {
    if (!storage) return MAPI_E_INVALID_PARAMETER;
    try {
        if (HRESULT hr = ClearLayout(storage); FAILED(hr)) return hr;
        if (HRESULT hr = WriteNameMap(storage, names); FAILED(hr)) return hr;
        return WriteMessage(storage, ObjectKind::kTopMessage, message);
    } catch (const std::bad_alloc&) {
        return MAPI_E_NOT_ENOUGH_MEMORY;
    } catch (const std::length_error&) {
        return MAPI_E_NOT_ENOUGH_MEMORY;
    }
}

}  // namespace standin::msg
