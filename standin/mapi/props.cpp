#include "standin/mapi/props.h"

#include "base/boundary.h"
#include "base/mapi_buffer.h"
#include "standin/mapi/strings.h"

#include <climits>
#include <cstring>
#include <cwchar>

namespace standin {
namespace {

// Element sizes of the multi-valued types whose elements hold no pointers.
struct FixedArrayType {
    ULONG type;
    ULONG elementSize;
};
constexpr FixedArrayType kFixedArrayTypes[] = {
    {PT_MV_I2, sizeof(short)},         {PT_MV_LONG, sizeof(LONG)},         {PT_MV_R4, sizeof(float)},
    {PT_MV_DOUBLE, sizeof(double)},    {PT_MV_CURRENCY, sizeof(CURRENCY)}, {PT_MV_APPTIME, sizeof(double)},
    {PT_MV_SYSTIME, sizeof(FILETIME)}, {PT_MV_I8, sizeof(LARGE_INTEGER)},  {PT_MV_CLSID, sizeof(GUID)},
};

// Single-valued types held entirely inside the SPropValue.
constexpr ULONG kInlineTypes[] = {PT_UNSPECIFIED, PT_NULL,     PT_I2,      PT_LONG,  PT_R4,
                                  PT_DOUBLE,      PT_CURRENCY, PT_APPTIME, PT_ERROR, PT_BOOLEAN,
                                  PT_OBJECT,      PT_I8,       PT_SYSTIME};

[[nodiscard]] bool IsInlineType(ULONG type) noexcept {
    for (ULONG t : kInlineTypes) {
        if (t == type) return true;
    }
    return false;
}

// Where copied data goes: blocks tied to one parent by one allocator.
struct Target {
    void* parent;
    LPALLOCATEMORE allocateMore;
};

[[nodiscard]] HRESULT CopyBytes(const void* src, std::size_t size, const Target& to, void** out) noexcept {
    *out = nullptr;
    if (size > ULONG_MAX) return MAPI_E_NOT_ENOUGH_MEMORY;
    const HRESULT hr = to.allocateMore(static_cast<ULONG>(size), to.parent, out);
    if (FAILED(hr)) return hr;
    if (size) std::memcpy(*out, src, size);
    return S_OK;
}

template <typename Char>
[[nodiscard]] HRESULT CopyString(const Char* src, const Target& to, Char** out) noexcept {
    if (!src) {
        *out = nullptr;
        return S_OK;
    }
    std::size_t length = 0;
    while (src[length]) ++length;
    return CopyBytes(src, (length + 1) * sizeof(Char), to, reinterpret_cast<void**>(out));
}

[[nodiscard]] HRESULT CopyBinary(const SBinary& src, const Target& to, SBinary& dst) noexcept {
    dst.cb = src.cb;
    return CopyBytes(src.lpb, src.cb, to, reinterpret_cast<void**>(&dst.lpb));
}

// Copies an array of pointers to strings, and the strings.
template <typename Char>
[[nodiscard]] HRESULT CopyStringArray(ULONG count, Char* const* src, const Target& to, Char*** dst) noexcept {
    HRESULT hr = CopyBytes(src, std::size_t{count} * sizeof(Char*), to, reinterpret_cast<void**>(dst));
    for (ULONG i = 0; SUCCEEDED(hr) && i < count; ++i) hr = CopyString(src[i], to, &(*dst)[i]);
    return hr;
}

[[nodiscard]] HRESULT CopyBinaryArray(const SBinaryArray& src, const Target& to, SBinaryArray& dst) noexcept {
    dst.cValues = src.cValues;
    HRESULT hr = CopyBytes(src.lpbin, std::size_t{src.cValues} * sizeof(SBinary), to,
                           reinterpret_cast<void**>(&dst.lpbin));
    for (ULONG i = 0; SUCCEEDED(hr) && i < src.cValues; ++i) hr = CopyBinary(src.lpbin[i], to, dst.lpbin[i]);
    return hr;
}

template <typename T>
[[nodiscard]] int Order(const T& a, const T& b) noexcept {
    return a < b ? -1 : (b < a ? 1 : 0);
}

[[nodiscard]] int OrderBytes(const void* a, ULONG aSize, const void* b, ULONG bSize) noexcept {
    // Shorter first, as MAPI orders binaries; equal sizes by content.
    if (aSize != bSize) return aSize < bSize ? -1 : 1;
    const int c = aSize ? std::memcmp(a, b, aSize) : 0;
    return Order(c, 0);
}

[[nodiscard]] ULONGLONG FileTimeValue(const FILETIME& ft) noexcept {
    return (ULONGLONG{ft.dwHighDateTime} << 32) | ft.dwLowDateTime;
}

[[nodiscard]] std::optional<int> CompareStrings(const SPropValue& a, const SPropValue& b) noexcept {
    return base::ReturnOr(
        [&]() -> std::optional<int> {
            const auto wide = [](const SPropValue& v) {
                return PROP_TYPE(v.ulPropTag) == PT_UNICODE
                           ? std::wstring(v.Value.lpszW ? v.Value.lpszW : L"")
                           : ToWide(CP_ACP, v.Value.lpszA ? v.Value.lpszA : "");
            };
            return Order(wide(a).compare(wide(b)), 0);
        },
        std::nullopt);
}

}  // namespace

std::size_t FixedArrayElementSize(ULONG type) noexcept {
    for (const auto& entry : kFixedArrayTypes) {
        if (entry.type == type) return entry.elementSize;
    }
    return 0;
}

HRESULT CopyPropValue(const SPropValue& src, void* parent, SPropValue& dst,
                      LPALLOCATEMORE allocateMore) noexcept {
    const Target to{parent, allocateMore};
    const ULONG type = PROP_TYPE(src.ulPropTag);
    dst = src;
    if (IsInlineType(type)) return S_OK;
    if (const std::size_t elementSize = FixedArrayElementSize(type)) {
        // Every multi-valued member of the union is {ULONG count; T* elements}.
        return CopyBytes(src.Value.MVi.lpi, std::size_t{src.Value.MVi.cValues} * elementSize, to,
                         reinterpret_cast<void**>(&dst.Value.MVi.lpi));
    }
    switch (type) {
    case PT_STRING8:
        return CopyString(src.Value.lpszA, to, &dst.Value.lpszA);
    case PT_UNICODE:
        return CopyString(src.Value.lpszW, to, &dst.Value.lpszW);
    case PT_BINARY:
        return CopyBinary(src.Value.bin, to, dst.Value.bin);
    case PT_CLSID:
        return CopyBytes(src.Value.lpguid, sizeof(GUID), to, reinterpret_cast<void**>(&dst.Value.lpguid));
    case PT_MV_STRING8:
        return CopyStringArray(src.Value.MVszA.cValues, src.Value.MVszA.lppszA, to, &dst.Value.MVszA.lppszA);
    case PT_MV_UNICODE:
        return CopyStringArray(src.Value.MVszW.cValues, src.Value.MVszW.lppszW, to, &dst.Value.MVszW.lppszW);
    case PT_MV_BINARY:
        return CopyBinaryArray(src.Value.MVbin, to, dst.Value.MVbin);
    default:
        dst.Value.l = 0;
        return MAPI_E_INVALID_TYPE;
    }
}

HRESULT CopyPropArray(std::span<const SPropValue> values, SPropValue** out) noexcept {
    *out = nullptr;
    base::UniqueMapiBuffer<SPropValue> array;
    HRESULT hr = ::MAPIAllocateBuffer(static_cast<ULONG>(values.size() * sizeof(SPropValue)),
                                      reinterpret_cast<void**>(array.put()));
    if (FAILED(hr)) return hr;
    for (std::size_t i = 0; i < values.size(); ++i) {
        hr = CopyPropValue(values[i], array.get(), array.get()[i]);
        if (FAILED(hr)) return hr;
    }
    *out = array.release();
    return S_OK;
}

SPropValue ErrorValue(ULONG tag, SCODE error) noexcept {
    SPropValue value{};
    value.ulPropTag = PROP_TAG(PT_ERROR, PROP_ID(tag));
    value.Value.err = error;
    return value;
}

const SPropValue* FindPropById(std::span<const SPropValue> values, ULONG tag) noexcept {
    for (const SPropValue& value : values) {
        if (PROP_ID(value.ulPropTag) == PROP_ID(tag)) return &value;
    }
    return nullptr;
}

std::optional<int> ComparePropValues(const SPropValue& a, const SPropValue& b) noexcept {
    const ULONG type = PROP_TYPE(a.ulPropTag);
    if (AreStringTwins(type, PROP_TYPE(b.ulPropTag)) && !(type & MV_FLAG)) return CompareStrings(a, b);
    if (type != PROP_TYPE(b.ulPropTag)) return std::nullopt;
    const _PV& x = a.Value;
    const _PV& y = b.Value;
    switch (type) {
    case PT_I2:
        return Order(x.i, y.i);
    case PT_LONG:
    case PT_ERROR:
        return Order(x.l, y.l);
    case PT_BOOLEAN:
        return Order(x.b != 0, y.b != 0);
    case PT_R4:
        return Order(x.flt, y.flt);
    case PT_DOUBLE:
    case PT_APPTIME:
        return Order(x.dbl, y.dbl);
    case PT_I8:
    case PT_CURRENCY:
        return Order(x.li.QuadPart, y.li.QuadPart);
    case PT_SYSTIME:
        return Order(FileTimeValue(x.ft), FileTimeValue(y.ft));
    case PT_STRING8:
    case PT_UNICODE:
        return CompareStrings(a, b);
    case PT_BINARY:
        return OrderBytes(x.bin.lpb, x.bin.cb, y.bin.lpb, y.bin.cb);
    case PT_CLSID:
        return OrderBytes(x.lpguid, sizeof(GUID), y.lpguid, sizeof(GUID));
    default:
        return std::nullopt;
    }
}

}  // namespace standin

extern "C" HRESULT WINAPI HrGetOneProp(LPMAPIPROP lpMapiProp, ULONG ulPropTag, LPSPropValue* lppProp) {
    if (!lpMapiProp || !lppProp) return MAPI_E_INVALID_PARAMETER;
    *lppProp = nullptr;
    SizedSPropTagArray(1, tags) = {1, {ulPropTag}};
    ULONG count = 0;
    base::UniqueMapiBuffer<SPropValue> value;
    HRESULT hr = lpMapiProp->GetProps(reinterpret_cast<LPSPropTagArray>(&tags), 0, &count, value.put());
    if (FAILED(hr)) return hr;
    if (!value || count != 1) return MAPI_E_NOT_FOUND;
    if (hr == MAPI_W_ERRORS_RETURNED || PROP_TYPE(value.get()->ulPropTag) == PT_ERROR) {
        // One property asked for, none given: its error is the result.
        const SCODE error = value.get()->Value.err;
        return FAILED(error) ? error : MAPI_E_NOT_FOUND;
    }
    *lppProp = value.release();
    return S_OK;
}
