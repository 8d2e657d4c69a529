#include "mails/mail_signature.h"

#include <wincrypt.h>

#include <new>

#include "base/boundary.h"
#include "base/com.h"
#include "base/unique_resource.h"
#include "mails/mail_record.h"

namespace mails {
namespace {

constexpr DWORD kMd5Length = 16;

}  // namespace

HRESULT GetMailSignature(const wchar_t* entryId, std::wstring& signature, bool includeBody,
                         HCRYPTPROV provider) noexcept {
    signature.clear();
    base::ComPtr<_MailItem> mailItem;
    HRESULT hr = GetMailItemByEntryID(entryId, mailItem);
    if (FAILED(hr)) return hr;
    base::ComPtr<IMessage> message;
    if (FAILED(hr = GetMailMessage(mailItem.get(), message))) return hr;
    if (!base::Completes([&] {
            const std::wstring record = BuildMailRecord(message.get(), includeBody);
            signature = AnsiToWide(
                ComputeMD5Hex(record.data(), static_cast<long long>(record.size()), provider).c_str());
        })) {
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

base::UniqueCryptProv AcquireDigestProvider() noexcept {
    base::UniqueCryptProv provider;
    if (!CryptAcquireContextW(provider.put(), nullptr, nullptr, PROV_RSA_FULL,
                              CRYPT_VERIFYCONTEXT | CRYPT_SILENT)) {
        provider.reset();
    }
    return provider;
}

std::string ComputeMD5Hex(const void* data, long long byteCount, HCRYPTPROV provider) {
    if (!data || byteCount < 0 || byteCount > MAXDWORD) return std::string();
    base::UniqueCryptProv own;
    if (!provider) {
        own = AcquireDigestProvider();
        provider = own.get();
    }
    base::UniqueCryptHash hash;  // destroyed before its provider is released
    BYTE digest[kMd5Length] = {};
    DWORD length = sizeof(digest);
    if (!provider || !CryptCreateHash(provider, CALG_MD5, 0, 0, hash.put()) ||
        !CryptHashData(hash.get(), static_cast<const BYTE*>(data), static_cast<DWORD>(byteCount), 0) ||
        !CryptGetHashParam(hash.get(), HP_HASHVAL, digest, &length, 0) || length != kMd5Length) {
        return std::string();
    }
    return BytesToHex(digest, kMd5Length);
}

std::string BytesToHex(const BYTE* bytes, size_t count) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text;
    if (!bytes) return text;
    text.reserve(2 * count);
    for (size_t i = 0; i < count; ++i) {
        text += kDigits[bytes[i] >> 4];
        text += kDigits[bytes[i] & 0x0F];
    }
    return text;
}

}  // namespace mails
