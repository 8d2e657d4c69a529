#include "standin/outlook/hex.h"

#include <objbase.h>
#include <mapicode.h>

namespace standin::outlook {
namespace {

constexpr wchar_t kDigits[] = L"0123456789ABCDEF";

// The value of one hexadecimal digit, or -1.
[[nodiscard]] int DigitValue(wchar_t c) noexcept {
    if (c >= L'0' && c <= L'9') return c - L'0';
    if (c >= L'A' && c <= L'F') return c - L'A' + 10;
    if (c >= L'a' && c <= L'f') return c - L'a' + 10;
    return -1;
}

}  // namespace

std::wstring HexFromBytes(const std::vector<BYTE>& bytes) {
    std::wstring text;
    text.reserve(bytes.size() * 2);
    for (const BYTE byte : bytes) {
        text += kDigits[byte >> 4];
        text += kDigits[byte & 0x0F];
    }
    return text;
}

HRESULT BytesFromHex(std::wstring_view text, std::vector<BYTE>& bytes) {
    bytes.clear();
    if (text.size() % 2 != 0) return MAPI_E_INVALID_ENTRYID;
    bytes.reserve(text.size() / 2);
    for (size_t i = 0; i < text.size(); i += 2) {
        const int high = DigitValue(text[i]);
        const int low = DigitValue(text[i + 1]);
        if (high < 0 || low < 0) return MAPI_E_INVALID_ENTRYID;
        bytes.push_back(static_cast<BYTE>(high * 16 + low));
    }
    return S_OK;
}

}  // namespace standin::outlook
