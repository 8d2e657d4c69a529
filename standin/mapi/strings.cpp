#include "standin/mapi/strings.h"

#include "standin/mapi/props.h"

#include <climits>
#include <new>

namespace standin {
namespace {

[[nodiscard]] bool UsableCodePage(const SPropValue* value) noexcept {
    return value && PROP_TYPE(value->ulPropTag) == PT_LONG && value->Value.l > 0 &&
           ::IsValidCodePage(static_cast<UINT>(value->Value.l));
}

// Converts one string into a block tied to `parent`.
[[nodiscard]] HRESULT NarrowInto(UINT codePage, const wchar_t* text, void* parent,
                                 LPALLOCATEMORE allocateMore, char** out) noexcept {
    *out = nullptr;
    if (!text) return S_OK;
    const int size = ::WideCharToMultiByte(codePage, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 0) return MAPI_E_BAD_VALUE;
    HRESULT hr = allocateMore(static_cast<ULONG>(size), parent, reinterpret_cast<void**>(out));
    if (FAILED(hr)) return hr;
    ::WideCharToMultiByte(codePage, 0, text, -1, *out, size, nullptr, nullptr);
    return S_OK;
}

[[nodiscard]] HRESULT WidenInto(UINT codePage, const char* text, void* parent, LPALLOCATEMORE allocateMore,
                                wchar_t** out) noexcept {
    *out = nullptr;
    if (!text) return S_OK;
    const int count = ::MultiByteToWideChar(codePage, 0, text, -1, nullptr, 0);
    if (count <= 0) return MAPI_E_BAD_VALUE;
    HRESULT hr =
        allocateMore(static_cast<ULONG>(count) * sizeof(wchar_t), parent, reinterpret_cast<void**>(out));
    if (FAILED(hr)) return hr;
    ::MultiByteToWideChar(codePage, 0, text, -1, *out, count);
    return S_OK;
}

template <typename From, typename To, typename Convert>
[[nodiscard]] HRESULT ConvertArray(ULONG count, From* const* src, void* parent, LPALLOCATEMORE allocateMore,
                                   To*** dst, Convert convert) noexcept {
    HRESULT hr = allocateMore(count * static_cast<ULONG>(sizeof(To*)), parent, reinterpret_cast<void**>(dst));
    for (ULONG i = 0; SUCCEEDED(hr) && i < count; ++i) hr = convert(src[i], &(*dst)[i]);
    return hr;
}

}  // namespace

UINT CodePageOf(std::span<const SPropValue> values, ULONG tag) noexcept {
    if (const SPropValue* v = FindPropById(values, PR_MESSAGE_CODEPAGE); UsableCodePage(v)) return v->Value.l;
    if (PROP_ID(tag) != PROP_ID(PR_BODY)) return CP_ACP;
    if (const SPropValue* v = FindPropById(values, PR_INTERNET_CPID); UsableCodePage(v)) return v->Value.l;
    return CP_ACP;
}

bool AreStringTwins(ULONG a, ULONG b) noexcept {
    return a != b && (a & MV_FLAG) == (b & MV_FLAG) && (a & ~MV_FLAG) != 0 &&
           ((a & ~MV_FLAG) == PT_STRING8 || (a & ~MV_FLAG) == PT_UNICODE) &&
           ((b & ~MV_FLAG) == PT_STRING8 || (b & ~MV_FLAG) == PT_UNICODE);
}

HRESULT ConvertStringValue(const SPropValue& src, ULONG wantedType, UINT codePage, void* parent,
                           SPropValue& dst, LPALLOCATEMORE allocateMore) noexcept {
    if (!AreStringTwins(PROP_TYPE(src.ulPropTag), wantedType)) return MAPI_E_INVALID_TYPE;
    dst = src;
    dst.ulPropTag = PROP_TAG(wantedType, PROP_ID(src.ulPropTag));
    const auto narrow = [&](const wchar_t* s, char** o) {
        return NarrowInto(codePage, s, parent, allocateMore, o);
    };
    const auto widen = [&](const char* s, wchar_t** o) {
        return WidenInto(codePage, s, parent, allocateMore, o);
    };
    switch (wantedType) {
    case PT_STRING8:
        return narrow(src.Value.lpszW, &dst.Value.lpszA);
    case PT_UNICODE:
        return widen(src.Value.lpszA, &dst.Value.lpszW);
    case PT_MV_STRING8:
        return ConvertArray(src.Value.MVszW.cValues, src.Value.MVszW.lppszW, parent, allocateMore,
                            &dst.Value.MVszA.lppszA, narrow);
    default:  // PT_MV_UNICODE
        return ConvertArray(src.Value.MVszA.cValues, src.Value.MVszA.lppszA, parent, allocateMore,
                            &dst.Value.MVszW.lppszW, widen);
    }
}

std::wstring ToWide(UINT codePage, std::string_view text) {
    if (text.empty() || text.size() > INT_MAX) return {};
    const int size = static_cast<int>(text.size());
    const int count = ::MultiByteToWideChar(codePage, 0, text.data(), size, nullptr, 0);
    std::wstring result(static_cast<std::size_t>(count > 0 ? count : 0), L'\0');
    if (count > 0) ::MultiByteToWideChar(codePage, 0, text.data(), size, result.data(), count);
    return result;
}

std::string ToNarrow(UINT codePage, std::wstring_view text) {
    if (text.empty() || text.size() > INT_MAX) return {};
    const int size = static_cast<int>(text.size());
    const int count = ::WideCharToMultiByte(codePage, 0, text.data(), size, nullptr, 0, nullptr, nullptr);
    std::string result(static_cast<std::size_t>(count > 0 ? count : 0), '\0');
    if (count > 0)
        ::WideCharToMultiByte(codePage, 0, text.data(), size, result.data(), count, nullptr, nullptr);
    return result;
}

}  // namespace standin
