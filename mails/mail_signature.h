// The mail signature: the MD5 digest of the mail record as 32 upper-case hex digits.
// The backup client compares signatures between runs, so the bytes digested are
// part of the interface: the first N bytes of the record's UTF-16LE code units,
// where N is its length in characters (N bytes, not 2N).
#pragma once

#include <windows.h>

#include <string>

namespace mails {

// The signature of the mail an entry ID names; empty when the digest failed (still
// S_OK). Fails only when the mail item, its MAPI object or its IMessage cannot be
// had, with that code. Logs nothing. On a request's worker thread, in its apartment.
[[nodiscard]] HRESULT GetMailSignature(const wchar_t* entryId, std::wstring& signature, bool includeBody) noexcept;

// The MD5 digest of `byteCount` bytes (CryptoAPI), as 32 hex digits; empty for null
// data, a negative count or any failure of the provider.
[[nodiscard]] std::string ComputeMD5Hex(const void* data, long long byteCount);

// Two upper-case hex digits per byte, high nibble first; empty for null.
[[nodiscard]] std::string BytesToHex(const BYTE* bytes, size_t count);

}  // namespace mails
