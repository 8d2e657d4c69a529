// Reading a message from the layout: its property streams and values, recipients,
// attachments and embedded messages, each checked against what the file holds.
#include "standin/msg/msg_layout.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <string>
#include <vector>

namespace standin::msg::layout {
namespace {

// A string value's text from stream bytes: up to the first terminator, if any.
[[nodiscard]] std::string Text8(const Bytes& data, std::size_t size) {
    const std::size_t n = std::min(size, data.size());
    const auto end = std::find(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(n), BYTE{0});
    return std::string(data.begin(), end);
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

}  // namespace

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

}  // namespace standin::msg::layout
