// MAPI's hex calls over the one codec of hex.h.
#include "standin/mapi/hex.h"

#include <mapidefs.h>
#include <mapicode.h>

#include <climits>

using standin::mapi::DecodeHex;

// These take 8-bit text whatever UNICODE says, so they are declared here, not
// through mapiutil.h, whose LPTSTR follows UNICODE.
extern "C" {

void WINAPI HexFromBin(LPBYTE lpb, int cb, LPSTR lpsz) {
    if (!lpsz) return;
    if (lpb && cb > 0) {
        standin::mapi::EncodeHex(lpb, static_cast<size_t>(cb), lpsz);
        lpsz += 2 * static_cast<size_t>(cb);
    }
    *lpsz = '\0';
}

BOOL WINAPI FBinFromHex(LPSTR lpsz, LPBYTE lpb) {
    if (!lpsz || !lpb) return FALSE;
    return DecodeHex(std::string_view(lpsz), lpb, SIZE_MAX) ? TRUE : FALSE;
}

SCODE WINAPI ScBinFromHexBounded(LPSTR lpsz, LPBYTE lpb, ULONG cb) {
    if (!lpsz || (!lpb && cb != 0)) return MAPI_E_INVALID_PARAMETER;
    return DecodeHex(std::string_view(lpsz), lpb, cb) ? S_OK : MAPI_E_CALL_FAILED;
}

}  // extern "C"
