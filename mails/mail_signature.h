// The mail signature: the MD5 digest of the mail record as 32 upper-case hex digits.
// The backup client compares signatures between runs, so the bytes digested are
// part of the interface: the first N bytes of the record's UTF-16LE code units,
// where N is its length in characters (N bytes, not 2N).
#pragma once

#include <windows.h>

#include <wincrypt.h>

#include <string>

#include "base/unique_resource.h"

namespace mails {

// The signature of the mail an entry ID names; empty when the digest failed (still
// S_OK). Fails only when the mail item, its MAPI object or its IMessage cannot be
// had, with that code. Logs nothing. On a request's worker thread, in its apartment.
// `provider` as for ComputeMD5Hex.
[[nodiscard]] HRESULT GetMailSignature(const wchar_t* entryId, std::wstring& signature, bool includeBody,
                                       HCRYPTPROV provider = 0) noexcept;

// A verify-only CryptoAPI provider for digests (PROV_RSA_FULL, no container), or
// none. A request that digests many mails holds one: under Wine, acquiring it costs
// more than all the rest of a mail's digest.
[[nodiscard]] base::UniqueCryptProv AcquireDigestProvider() noexcept;

// The MD5 digest of `byteCount` bytes (CryptoAPI) through `provider`, or through one
// of its own when that is 0, as 32 hex digits; empty for null data, a negative count
// or any failure of the provider.
[[nodiscard]] std::string ComputeMD5Hex(const void* data, long long byteCount, HCRYPTPROV provider = 0);

// Two upper-case hex digits per byte, high nibble first; empty for null.
[[nodiscard]] std::string BytesToHex(const BYTE* bytes, size_t count);

}  // namespace mails
