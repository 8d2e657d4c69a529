// Writing a message in the layout: its property streams and values, recipients,
// attachments and embedded messages.
#include "standin/msg/msg_layout.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <string>
#include <vector>

namespace standin::msg::layout {
namespace {

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

}  // namespace

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

}  // namespace standin::msg::layout
