// Hexadecimal text of binary values, as MAPI writes and reads entry IDs: two
// upper-case digits per byte out, either case in. One codec for MAPI's hex calls,
// the object model's entry IDs and the store's UIDs, in 8-bit or wide text.
#pragma once

#include <windows.h>

#include <cstddef>
#include <string>
#include <string_view>

namespace standin::mapi {

// The value of one hexadecimal digit, or -1.
[[nodiscard]] constexpr int HexDigitValue(wchar_t c) noexcept {
    if (c >= L'0' && c <= L'9') return c - L'0';
    if (c >= L'A' && c <= L'F') return c - L'A' + 10;
    if (c >= L'a' && c <= L'f') return c - L'a' + 10;
    return -1;
}

// Writes 2 * `count` digits to `out` (no terminator).
template <typename Char>
void EncodeHex(const BYTE* bytes, size_t count, Char* out) noexcept {
    constexpr char kDigits[] = "0123456789ABCDEF";
    for (size_t i = 0; i < count; ++i) {
        *out++ = static_cast<Char>(kDigits[bytes[i] >> 4]);
        *out++ = static_cast<Char>(kDigits[bytes[i] & 0x0F]);
    }
}

[[nodiscard]] inline std::wstring HexText(const BYTE* bytes, size_t count) {
    std::wstring text(2 * count, L'\0');
    EncodeHex(bytes, count, text.data());
    return text;
}

// Decodes pairs of digits into `out` until the text ends or `limit` bytes are
// written; false at a character that is not a digit, or an odd last digit.
template <typename Char>
[[nodiscard]] bool DecodeHex(std::basic_string_view<Char> text, BYTE* out, size_t limit) noexcept {
    for (size_t i = 0; i < limit && 2 * i < text.size(); ++i) {
        if (2 * i + 1 == text.size()) return false;
        const int high = HexDigitValue(static_cast<wchar_t>(text[2 * i]));
        const int low = HexDigitValue(static_cast<wchar_t>(text[2 * i + 1]));
        if (high < 0 || low < 0) return false;
        out[i] = static_cast<BYTE>(high * 16 + low);
    }
    return true;
}

}  // namespace standin::mapi
