// Hexadecimal text of binary values, as MAPI writes and reads entry IDs: 8-bit
// characters, upper-case digits out, either case in.
#include <windows.h>

#include <mapidefs.h>
#include <mapicode.h>

#include <climits>

namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

// The value of one hexadecimal digit, or -1.
[[nodiscard]] int DigitValue(char c) noexcept {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// Decodes pairs of digits until the text ends or `limit` bytes are written;
// false at the first character that is not a digit (or an odd last digit).
[[nodiscard]] bool DecodeHex(const char* text, BYTE* out, ULONG limit) noexcept {
    for (ULONG i = 0; i < limit && text[0] != '\0'; ++i, text += 2) {
        const int high = DigitValue(text[0]);
        const int low = DigitValue(text[1]);
        if (high < 0 || low < 0) return false;
        out[i] = static_cast<BYTE>(high * 16 + low);
    }
    return true;
}

}  // namespace

// These take 8-bit text whatever UNICODE says, so they are declared here, not
// through mapiutil.h, whose LPTSTR follows UNICODE.
extern "C" {

void WINAPI HexFromBin(LPBYTE lpb, int cb, LPSTR lpsz) {
    if (!lpsz) return;
    for (int i = 0; lpb && i < cb; ++i) {
        *lpsz++ = kHexDigits[lpb[i] >> 4];
        *lpsz++ = kHexDigits[lpb[i] & 0x0F];
    }
    *lpsz = '\0';
}

BOOL WINAPI FBinFromHex(LPSTR lpsz, LPBYTE lpb) {
    if (!lpsz || !lpb) return FALSE;
    return DecodeHex(lpsz, lpb, ULONG_MAX) ? TRUE : FALSE;
}

SCODE WINAPI ScBinFromHexBounded(LPSTR lpsz, LPBYTE lpb, ULONG cb) {
    if (!lpsz || (!lpb && cb != 0)) return MAPI_E_INVALID_PARAMETER;
    return DecodeHex(lpsz, lpb, cb) ? S_OK : MAPI_E_CALL_FAILED;
}

}  // extern "C"
