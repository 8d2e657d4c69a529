#include "standin/msg/msg_file.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "base/boundary.h"
#include "standin/msg/msg_layout.h"

namespace standin::msg {
namespace layout {
namespace {

struct ElementNameFree {
    void operator()(wchar_t* p) const noexcept { ::CoTaskMemFree(p); }
};

}  // namespace

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

[[nodiscard]] std::wstring ValueStreamName(ULONG tag, const ULONG* index) {
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

[[nodiscard]] HRESULT OpenChild(IStorage* storage, const std::wstring& name, base::ComPtr<IStorage>& child) {
    const HRESULT hr = storage->OpenStorage(name.c_str(), nullptr, kReadMode, nullptr, 0, child.put());
    return FAILED(hr) ? MapStorageError(hr) : S_OK;
}

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

[[nodiscard]] HRESULT CreateChild(IStorage* storage, const std::wstring& name,
                                  base::ComPtr<IStorage>& child) {
    const HRESULT hr = storage->CreateStorage(name.c_str(), kCreateMode, 0, 0, child.put());
    return FAILED(hr) ? MapStorageError(hr) : S_OK;
}

[[nodiscard]] HRESULT CommitChild(IStorage* child) {
    const HRESULT hr = child->Commit(STGC_DEFAULT);
    return FAILED(hr) ? MapStorageError(hr) : S_OK;
}

}  // namespace layout

using namespace layout;

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
    return base::ReturnOr(
        [&] {
            std::vector<Element> elements;
            if (HRESULT hr = ListElements(storage, elements); FAILED(hr)) return hr;
            if (elements.empty()) return HRESULT{S_OK};  // a new message
            if (HRESULT hr = ReadNameMap(storage, elements, names); FAILED(hr)) return hr;
            return ReadMessage(storage, ObjectKind::kTopMessage, 0, message);
        },
        MAPI_E_NOT_ENOUGH_MEMORY);
}

HRESULT WriteMessageFile(IStorage* storage, const MessageData& message, const NameMap& names) noexcept {
    if (!storage) return MAPI_E_INVALID_PARAMETER;
    return base::ReturnOr(
        [&] {
            if (HRESULT hr = ClearLayout(storage); FAILED(hr)) return hr;
            if (HRESULT hr = WriteNameMap(storage, names); FAILED(hr)) return hr;
            return WriteMessage(storage, ObjectKind::kTopMessage, message);
        },
        MAPI_E_NOT_ENOUGH_MEMORY);
}

}  // namespace standin::msg
