// The message file layout: a message as the streams and storages of a compound
// file (property stream with its header, one stream per variable-length value,
// recipient and attachment storages, embedded messages, named-property mapping).
//
// Reading trusts nothing in the file: sizes, counts, offsets and nesting are
// checked against what is really there, and anything the layout does not allow
// fails with MAPI_E_CORRUPT_DATA (memory exhaustion with MAPI_E_NOT_ENOUGH_MEMORY,
// storage failures with their mapped MAPI code).
#pragma once

#include "standin/msg/message_data.h"

namespace standin::msg {

// The class of a message file's root storage (and of embedded message storages).
inline constexpr CLSID kClsidMailMessage = {0x00020D0B, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

// Reads the message `storage` holds, and its named-property mapping. A storage
// with no elements at all is a new, empty message.
[[nodiscard]] HRESULT ReadMessageFile(IStorage* storage, MessageData& message, NameMap& names) noexcept;

// Writes `message` and `names` into `storage`, replacing the message it held
// (elements outside the layout stay). The root storage is not committed here.
[[nodiscard]] HRESULT WriteMessageFile(IStorage* storage, const MessageData& message,
                                       const NameMap& names) noexcept;

// The MAPI code of a structured-storage failure.
[[nodiscard]] HRESULT MapStorageError(HRESULT hr) noexcept;

}  // namespace standin::msg
