#include "standin/store/provider_props.h"

#include <mapicode.h>
#include <mapix.h>

#include <cstring>

namespace standin::store {

namespace {

ULONG NaturalTag(ULONG tag, ULONG flags) {
    if (PROP_TYPE(tag) == PT_UNICODE && (flags & MAPI_UNICODE) == 0) return CHANGE_PROP_TYPE(tag, PT_STRING8);
    return tag;
}

[[nodiscard]] HRESULT CopyBytes(const void* data, size_t size, void* parent, void** copy) noexcept {
    const HRESULT hr = MAPIAllocateMore(static_cast<ULONG>(size == 0 ? 1 : size), parent, copy);
    if (SUCCEEDED(hr) && size != 0) std::memcpy(*copy, data, size);
    return hr;
}

[[nodiscard]] HRESULT CopyNarrow(const std::wstring& text, void* parent, LPSTR* out) noexcept {
    const int size = WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    void* copy = nullptr;
    const HRESULT hr = MAPIAllocateMore(static_cast<ULONG>(size), parent, &copy);
    if (FAILED(hr)) return hr;
    WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, static_cast<char*>(copy), size, nullptr, nullptr);
    *out = static_cast<LPSTR>(copy);
    return S_OK;
}

}  // namespace

void ProviderProps::Set(ULONG tag, Value value) {
    for (Property& property : properties_) {
        if (PROP_ID(property.tag) == PROP_ID(tag)) {
            property = {tag, std::move(value)};
            return;
        }
    }
    properties_.push_back({tag, std::move(value)});
}

void ProviderProps::SetBinary(ULONG tag, std::vector<BYTE> bytes) {
    Set(CHANGE_PROP_TYPE(tag, PT_BINARY), std::move(bytes));
}
void ProviderProps::SetString(ULONG tag, std::wstring text) {
    Set(CHANGE_PROP_TYPE(tag, PT_UNICODE), std::move(text));
}
void ProviderProps::SetLong(ULONG tag, LONG value) { Set(CHANGE_PROP_TYPE(tag, PT_LONG), value); }
void ProviderProps::SetBoolean(ULONG tag, bool value) { Set(CHANGE_PROP_TYPE(tag, PT_BOOLEAN), value); }
void ProviderProps::SetError(ULONG tag, HRESULT error) { Set(CHANGE_PROP_TYPE(tag, PT_ERROR), Error{error}); }

const ProviderProps::Property* ProviderProps::Find(ULONG tag) const noexcept {
    for (const Property& property : properties_) {
        if (PROP_ID(property.tag) == PROP_ID(tag)) return &property;
    }
    return nullptr;
}

HRESULT ProviderProps::Fill(const Property* property, ULONG wanted, void* parent, SPropValue& out) noexcept {
    out = SPropValue{};
    const auto notFound = [&](HRESULT code) {
        out.ulPropTag = CHANGE_PROP_TYPE(wanted, PT_ERROR);
        out.Value.err = code;
        return S_OK;
    };
    if (!property) return notFound(MAPI_E_NOT_FOUND);
    if (const Error* error = std::get_if<Error>(&property->value)) return notFound(error->code);
    ULONG type = PROP_TYPE(wanted);
    if (type == PT_UNSPECIFIED) type = PROP_TYPE(property->tag);
    const ULONG tag = CHANGE_PROP_TYPE(property->tag, type);
    if (const auto* text = std::get_if<std::wstring>(&property->value)) {
        if (type == PT_STRING8) {
            out.ulPropTag = tag;
            return CopyNarrow(*text, parent, &out.Value.lpszA);
        }
        if (type != PT_UNICODE) return notFound(MAPI_E_INVALID_TYPE);
        out.ulPropTag = tag;
        void* copy = nullptr;
        const HRESULT hr = CopyBytes(text->c_str(), (text->size() + 1) * sizeof(wchar_t), parent, &copy);
        out.Value.lpszW = static_cast<LPWSTR>(copy);
        return hr;
    }
    if (type != PROP_TYPE(property->tag)) return notFound(MAPI_E_INVALID_TYPE);
    out.ulPropTag = tag;
    if (const auto* bytes = std::get_if<std::vector<BYTE>>(&property->value)) {
        void* copy = nullptr;
        const HRESULT hr = CopyBytes(bytes->data(), bytes->size(), parent, &copy);
        out.Value.bin.cb = static_cast<ULONG>(bytes->size());
        out.Value.bin.lpb = static_cast<LPBYTE>(copy);
        return hr;
    }
    if (const auto* number = std::get_if<LONG>(&property->value)) {
        out.Value.l = *number;
    } else if (const auto* flag = std::get_if<bool>(&property->value)) {
        out.Value.b = *flag ? 1 : 0;
    }
    return S_OK;
}

HRESULT ProviderProps::GetProps(const SPropTagArray* tags, ULONG flags, ULONG* count,
                                SPropValue** values) const noexcept {
    if (!count || !values) return MAPI_E_INVALID_PARAMETER;
    *count = 0;
    *values = nullptr;
    const ULONG wanted = tags ? tags->cValues : static_cast<ULONG>(properties_.size());
    if (wanted == 0) return tags ? MAPI_E_INVALID_PARAMETER : S_OK;
    void* buffer = nullptr;
    HRESULT hr = MAPIAllocateBuffer(wanted * sizeof(SPropValue), &buffer);
    if (FAILED(hr)) return hr;
    auto* array = static_cast<SPropValue*>(buffer);
    bool errors = false;
    for (ULONG i = 0; i < wanted && SUCCEEDED(hr); ++i) {
        const ULONG tag = tags ? tags->aulPropTag[i] : NaturalTag(properties_[i].tag, flags);
        hr = Fill(tags ? Find(tag) : &properties_[i], tag, buffer, array[i]);
        errors = errors || PROP_TYPE(array[i].ulPropTag) == PT_ERROR;
    }
    if (FAILED(hr)) {
        MAPIFreeBuffer(buffer);
        return hr;
    }
    *count = wanted;
    *values = array;
    return errors ? MAPI_W_ERRORS_RETURNED : S_OK;
}

HRESULT ProviderProps::GetPropList(ULONG flags, SPropTagArray** tags) const noexcept {
    if (!tags) return MAPI_E_INVALID_PARAMETER;
    void* buffer = nullptr;
    const HRESULT hr = MAPIAllocateBuffer(CbNewSPropTagArray(properties_.size()), &buffer);
    if (FAILED(hr)) return hr;
    auto* array = static_cast<SPropTagArray*>(buffer);
    array->cValues = 0;
    for (const Property& property : properties_) {
        if (!std::holds_alternative<Error>(property.value)) {
            array->aulPropTag[array->cValues++] = NaturalTag(property.tag, flags);
        }
    }
    *tags = array;
    return S_OK;
}

}  // namespace standin::store
