// The folder a restore goes into: a folder path resolved to an object-model folder,
// every missing folder on the way created and, for a root name no open store has, a
// store added; and the Extended MAPI folder behind an object-model folder.
// Calls are made on the request's thread, inside its apartment; nothing is kept.
#pragma once

#include <windows.h>
#include <mapix.h>

#include <cstdint>
#include <string>

#include "base/com.h"
#include "base/mapi_buffer.h"
#include "outlook/outlook_interfaces.h"

namespace restore {

// Resolves `path` from `folder` (null for a path that starts at a store's root, two
// backslashes first) into `folder`, creating what is missing. Once the first level is
// resolved the result is S_OK, and `folder` is the deepest folder reached: a deeper
// level that cannot be found or made leaves it at its parent. An empty path leaves
// `folder` as it is. Logs only the namespace, default store and store-adding failures.
[[nodiscard]] HRESULT getFolder(base::ComPtr<MAPIFolder>& folder, const std::wstring& path) noexcept;

// The IMAPIFolder behind `folder`, opened on a logon to Outlook's shared session that
// ends before this returns. Null output, with the open's result, when the entry ID
// names something that is not a folder.
[[nodiscard]] HRESULT getIMAPIFolder(MAPIFolder* folder, base::ComPtr<IMAPIFolder>& mapiFolder) noexcept;

// Decodes hexadecimal text into a new MAPI buffer of half the text's length.
[[nodiscard]] HRESULT HexToBinary(BSTR text, base::UniqueMapiBuffer<BYTE>& buffer, uint32_t& count) noexcept;

// The runtime's wcstombs in its current locale; empty for text it cannot convert.
[[nodiscard]] std::string WideToAnsi(const wchar_t* text);

}  // namespace restore
