// OpenProperty's IStream: the value as bytes in memory (strings without their
// terminator, in the width of the tag asked for).
#include "standin/msg/objects.h"

#include "standin/mapi/props.h"
#include "standin/mapi/strings.h"

#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "base/boundary.h"

namespace standin::msg {
namespace {

[[nodiscard]] bool IsStreamable(ULONG type) noexcept {
    return type == PT_STRING8 || type == PT_UNICODE || type == PT_BINARY;
}

// The bytes of `value` read as `type`.
[[nodiscard]] std::string ValueBytes(const SPropValue& value, ULONG type, UINT codePage) {
    const ULONG stored = PROP_TYPE(value.ulPropTag);
    if (stored == PT_BINARY) {
        return std::string(reinterpret_cast<const char*>(value.Value.bin.lpb), value.Value.bin.cb);
    }
    std::wstring wide = stored == PT_UNICODE ? std::wstring(value.Value.lpszW ? value.Value.lpszW : L"")
                                             : ToWide(codePage, value.Value.lpszA ? value.Value.lpszA : "");
    if (type == PT_STRING8) {
        return stored == PT_STRING8 ? std::string(value.Value.lpszA ? value.Value.lpszA : "")
                                    : ToNarrow(codePage, wide);
    }
    return std::string(reinterpret_cast<const char*>(wide.data()), wide.size() * sizeof(wchar_t));
}

class PropertyStream final : public base::ComObject<IStream> {
public:
    PropertyStream(IUnknown* owner, PropertySet& props, ULONG tag, bool writable) noexcept
        : props_(props), tag_(tag), writable_(writable) {
        owner->AddRef();
        owner_.reset(owner);
    }

    [[nodiscard]] HRESULT Initialize(const std::string& bytes) noexcept {
        HRESULT hr = ::CreateStreamOnHGlobal(nullptr, TRUE, inner_.put());
        if (FAILED(hr)) return hr;
        ULONG written = 0;
        hr = bytes.empty() ? S_OK : inner_->Write(bytes.data(), static_cast<ULONG>(bytes.size()), &written);
        if (FAILED(hr)) return hr;
        LARGE_INTEGER start{};
        return inner_->Seek(start, STREAM_SEEK_SET, nullptr);
    }

    [[nodiscard]] std::span<const InterfaceEntry> Table() const noexcept override {
        static constexpr InterfaceEntry kInterfaces[] = {{&IID_ISequentialStream}, {&IID_IStream}};
        return kInterfaces;
    }
    STDMETHODIMP Read(void* data, ULONG size, ULONG* read) noexcept override {
        return inner_->Read(data, size, read);
    }
    STDMETHODIMP Write(const void* data, ULONG size, ULONG* written) noexcept override {
        if (!writable_) return STG_E_ACCESSDENIED;
        dirty_ = true;
        return inner_->Write(data, size, written);
    }
    STDMETHODIMP Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* position) noexcept override {
        return inner_->Seek(move, origin, position);
    }
    STDMETHODIMP SetSize(ULARGE_INTEGER size) noexcept override {
        if (!writable_) return STG_E_ACCESSDENIED;
        dirty_ = true;
        return inner_->SetSize(size);
    }
    STDMETHODIMP CopyTo(IStream* to, ULARGE_INTEGER size, ULARGE_INTEGER* read,
                        ULARGE_INTEGER* written) noexcept override {
        return inner_->CopyTo(to, size, read, written);
    }
    STDMETHODIMP Commit(DWORD) noexcept override {
        if (!writable_) return STG_E_ACCESSDENIED;
        return Store();
    }
    STDMETHODIMP Revert() noexcept override { return S_OK; }
    STDMETHODIMP LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) noexcept override {
        return STG_E_INVALIDFUNCTION;
    }
    STDMETHODIMP UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) noexcept override {
        return STG_E_INVALIDFUNCTION;
    }
    STDMETHODIMP Stat(STATSTG* stat, DWORD flags) noexcept override { return inner_->Stat(stat, flags); }
    STDMETHODIMP Clone(IStream** out) noexcept override {
        if (out) *out = nullptr;
        return STG_E_INVALIDFUNCTION;
    }

private:
    ~PropertyStream() override {
        if (dirty_) (void)Store();  // a writer that never committed still meant it
    }

    // Stores the stream's content as the property.
    [[nodiscard]] HRESULT Store() noexcept {
        return base::ReturnOr(
            [&] {
                STATSTG stat{};
                HRESULT hr = inner_->Stat(&stat, STATFLAG_NONAME);
                if (FAILED(hr)) return hr;
                if (stat.cbSize.QuadPart > ULONG_MAX) return MAPI_E_TOO_BIG;
                std::vector<BYTE> bytes(static_cast<std::size_t>(stat.cbSize.QuadPart));
                HGLOBAL memory = nullptr;
                if (FAILED(hr = ::GetHGlobalFromStream(inner_.get(), &memory))) return hr;
                if (!bytes.empty()) {
                    const void* at = ::GlobalLock(memory);
                    if (!at) return MAPI_E_NOT_ENOUGH_MEMORY;
                    std::memcpy(bytes.data(), at, bytes.size());
                    ::GlobalUnlock(memory);
                }
                SPropValue value{};
                value.ulPropTag = tag_;
                std::string narrow;
                std::wstring wide;
                switch (PROP_TYPE(tag_)) {
                case PT_STRING8:
                    narrow.assign(bytes.begin(), bytes.end());
                    value.Value.lpszA = narrow.data();  // stops at an embedded terminator, as MAPI does
                    break;
                case PT_UNICODE:
                    wide.assign(reinterpret_cast<const wchar_t*>(bytes.data()),
                                bytes.size() / sizeof(wchar_t));
                    value.Value.lpszW = wide.data();
                    break;
                default:
                    value.Value.bin = {static_cast<ULONG>(bytes.size()), bytes.data()};
                    break;
                }
                if (FAILED(hr = props_.Set(value))) return hr;
                dirty_ = false;
                return S_OK;
            },
            MAPI_E_NOT_ENOUGH_MEMORY);
    }

    base::ComPtr<IUnknown> owner_;  // keeps `props_` alive
    PropertySet& props_;
    const ULONG tag_;
    const bool writable_;
    bool dirty_ = false;
    base::ComPtr<IStream> inner_;
};

}  // namespace

HRESULT OpenPropertyStream(IUnknown* owner, PropertySet& props, UINT codePage, ULONG tag, ULONG flags,
                           IStream** out) noexcept {
    *out = nullptr;
    const ULONG type = PROP_TYPE(tag);
    if (!IsStreamable(type)) return MAPI_E_NO_SUPPORT;
    const SPropValue* value = props.Find(tag);
    const bool create = (flags & MAPI_CREATE) != 0;
    if (value && !create && PROP_TYPE(value->ulPropTag) != type &&
        !AreStringTwins(PROP_TYPE(value->ulPropTag), type)) {
        value = nullptr;
    }
    if (!value && !create) return MAPI_E_NOT_FOUND;
    return base::ReturnOr(
        [&] {
            const std::string bytes = value && !create ? ValueBytes(*value, type, codePage) : std::string();
            base::ComPtr<PropertyStream> stream;
            const bool writable = (flags & (MAPI_MODIFY | MAPI_CREATE)) != 0;
            if (HRESULT hr = base::MakeObject<PropertyStream>(stream, owner, props, tag, writable);
                FAILED(hr))
                return hr;
            if (HRESULT hr = stream->Initialize(bytes); FAILED(hr)) return hr;
            *out = stream.detach();
            return S_OK;
        },
        MAPI_E_NOT_ENOUGH_MEMORY);
}

}  // namespace standin::msg
