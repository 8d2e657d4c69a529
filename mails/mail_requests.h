// The request operations of the mails: the mail list of a folder (code 1) and a
// mail saved to a message file (code 2). The mail server forwards its members to
// them. Each runs on the connection's worker thread in its own single-threaded
// apartment, and uses `timeoutMs` for every transfer.
#pragma once

#include <windows.h>

#include <mapidefs.h>

#include <cstdint>

#include "tunnel/tunnel.h"

namespace mails {

// Code 1: reads a folder path (the two leading backslashes added when missing) and
// `includeBody`; replies with the folder's item count, then one entry per item:
// "<signature>#####<entry ID>" for a mail, "IGNOREMAILENTRY" for anything else or a
// mail that cannot be read. A failure before the count is logged and answered with
// the count 0. True when the whole reply was sent.
[[nodiscard]] bool GetAllMailsFromFolder(TunnelConnection* connection, uint32_t timeoutMs) noexcept;

// Code 2: reads an entry ID and a file path, deletes any file at the path, saves the
// mail there and replies 1 (saved) or 0. True when the reply was sent.
[[nodiscard]] bool SaveMailToMSGFile(TunnelConnection* connection, uint32_t timeoutMs) noexcept;

// Copies the mail's message, with its recipients and attachments, into a new
// message on a new compound file at `path`, and commits it. E_FAIL for an empty
// path; otherwise the first failing call's code. Only a failing CopyTo is logged,
// with the mail's subject.
[[nodiscard]] HRESULT SaveMailToMSGFileEx(const wchar_t* entryId, const wchar_t* path) noexcept;
// The copy itself: `source` into a new message file at `path`, as above.
[[nodiscard]] HRESULT WriteMessageFile(IMessage* source, const wchar_t* path) noexcept;

}  // namespace mails
