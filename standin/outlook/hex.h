// Entry IDs as the object model shows them: hexadecimal text, two upper-case digits
// per byte (as MAPI's HexFromBin writes them); either case is read back.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>
#include <vector>

namespace standin::outlook {

[[nodiscard]] std::wstring HexFromBytes(const std::vector<BYTE>& bytes);
// MAPI_E_INVALID_ENTRYID for text that is not an even number of hexadecimal digits.
[[nodiscard]] HRESULT BytesFromHex(std::wstring_view text, std::vector<BYTE>& bytes);

}  // namespace standin::outlook
