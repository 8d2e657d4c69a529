#include "mails/mail_requests.h"

#include <mapitags.h>
#include <mapiutil.h>
#include <mapix.h>
#include <imessage.h>

#include <cstdio>
#include <new>
#include <string>

#include "base/boundary.h"
#include "base/mapi_buffer.h"
#include "base/msg_session.h"
#include "diag/log.h"
#include "folders/folder_path.h"
#include "mails/mail_record.h"
#include "mails/mail_signature.h"
#include "outlook/application.h"
#include "outlook/object_model.h"
#include "tunnel/wire.h"

namespace mails {
namespace {

constexpr wchar_t kPathOpening[] = L"\\\\";
// {00020D0B-0000-0000-C000-000000000046}: the root class of a message file.
constexpr CLSID kClsidMailMessage = {0x00020d0b, 0, 0, {0xc0, 0, 0, 0, 0, 0, 0, 0x46}};
constexpr DWORD kMessageFileMode = STGM_TRANSACTED | STGM_CREATE | STGM_READWRITE;

// The items of the folder a client's path names, and their count. S_OK without
// items when Outlook cannot be had: the failure is then reported with the code 0.
[[nodiscard]] HRESULT OpenFolderItems(std::wstring path, base::ComPtr<_Items>& items, long& count) noexcept {
    base::ComPtr<_Application> application;
    outlook::GetOutlookApplication(application);
    if (!application) return S_OK;
    if (!base::Completes([&] {
            if (!path.starts_with(kPathOpening)) path.insert(0, kPathOpening);
        })) {
        return E_OUTOFMEMORY;
    }
    base::ComPtr<_NameSpace> nameSpace;
    base::ComPtr<MAPIFolder> folder;
    base::UniqueBstr folderPath;
    base::ComPtr<_Items> found;
    HRESULT hr;
    if (FAILED(hr = outlook::GetNamespace(application.get(), L"MAPI", nameSpace)) ||
        FAILED(hr = folders::FindFolderByPath(nameSpace.get(), folder, path)) ||
        FAILED(hr = folders::BuildFolderPath(folder.get(), folderPath)) ||
        FAILED(hr = outlook::GetItems(folder.get(), found)) ||
        FAILED(hr = outlook::GetCount(found.get(), &count))) {
        return hr;
    }
    items = std::move(found);
    return hr;
}

// The list entry of one item; the reason it is ignored goes to the log.
[[nodiscard]] std::wstring MailListEntry(IDispatch* item, bool includeBody, HCRYPTPROV provider) {
    base::ComPtr<_MailItem> mailItem;
    HRESULT hr = item->QueryInterface(__uuidof(_MailItem), mailItem.put_void());
    if (hr == E_NOINTERFACE) {
        LogMessage(L"Ignoring non-mail item ...");
        return wire::kIgnoredEntry;
    }
    if (FAILED(hr)) {
        LogMessage(L"pRawMailItem->QueryInterface failed: hr = %x", hr);
        return wire::kIgnoredEntry;
    }
    base::UniqueBstr entryId;
    if (FAILED(hr = outlook::GetEntryID(mailItem.get(), entryId))) {
        LogMessage(L"pMailItem->get_EntryID failed: hr = %x", hr);
        return wire::kIgnoredEntry;
    }
    std::wstring signature;
    if (FAILED(hr = GetMailSignature(entryId.c_str(), signature, includeBody, provider))) {
        LogMessage(L"GetMailSignature failed: hr = %x", hr);
        return wire::kIgnoredEntry;
    }
    return signature + wire::kEntrySeparator + entryId.c_str();
}

// The 8-bit subject of a message whose CopyTo failed; an error value gives none.
[[nodiscard]] HRESULT ReadSubjectA(IMessage* message, std::wstring& subject) {
    base::UniqueMapiBuffer<SPropValue> value;
    const HRESULT hr = ::HrGetOneProp(message, PR_SUBJECT_A, value.put());
    if (SUCCEEDED(hr) && value && value.get()->ulPropTag == PR_SUBJECT_A)
        subject = AnsiToWide(value.get()->Value.lpszA);
    return hr;
}

void LogCopyToFailure(const std::wstring& subject, HRESULT hr) {
    wchar_t code[16];
    _snwprintf(code, std::size(code), L"%x", static_cast<unsigned>(hr));
    // The subject goes in as text: a "%" in it is not read as a format.
    const std::wstring text = L"CConect::SaveMailToMSGFileEx(MailSubject:<" + subject +
                              L"> )::CopyTo failed with HR = 0x" + code + L", will try SaveAs";
    LogMessage(L"%s", text.c_str());
}

}  // namespace

bool GetAllMailsFromFolder(TunnelConnection* connection, uint32_t timeoutMs) noexcept {
    const base::ScopedComInitializer apartment;
    std::wstring path;
    uint32_t includeBody = 0;
    if (!TunnelReceiveString(connection, &path, timeoutMs, nullptr) ||
        !TunnelReceiveDword(connection, &includeBody, timeoutMs, nullptr)) {
        return false;
    }
    base::ComPtr<_Items> items;
    long count = 0;
    const HRESULT hr = OpenFolderItems(std::move(path), items, count);
    if (FAILED(hr) || !items) {
        LogMessage(L"CKsCommMailServer::GetAllMailsFromFolder failed with error %x", hr);
        static_cast<void>(TunnelSendDword(connection, 0, timeoutMs, nullptr));
        return false;
    }
    if (!TunnelSendDword(connection, static_cast<uint32_t>(count), timeoutMs, nullptr)) return false;
    const base::UniqueCryptProv provider = AcquireDigestProvider();
    base::ComPtr<IDispatch> item;
    if (FAILED(outlook::GetFirst(items.get(), item))) return true;
    while (item) {
        bool sent = false;
        if (!base::Completes([&] {
                sent = TunnelSendString(connection,
                                        MailListEntry(item.get(), includeBody != 0, provider.get()).c_str(),
                                        timeoutMs, nullptr);
            })) {
            sent = TunnelSendString(connection, wire::kIgnoredEntry, timeoutMs, nullptr);
        }
        if (!sent) {
            LogMessage(L"SendMessage failed ");
            return false;
        }
        if (FAILED(outlook::GetNext(items.get(), item))) return true;
    }
    return true;
}

bool SaveMailToMSGFile(TunnelConnection* connection, uint32_t timeoutMs) noexcept {
    const base::ScopedComInitializer apartment;
    std::wstring entryId, path;
    if (!TunnelReceiveStrings(connection, {&entryId, &path}, timeoutMs)) return false;
    // No earlier file survives the attempt, whether it succeeds or not.
    DeleteFileW(path.c_str());
    const HRESULT hr = SaveMailToMSGFileEx(entryId.c_str(), path.c_str());
    return TunnelSendDword(connection, SUCCEEDED(hr) ? wire::kReplyDone : wire::kReplyFailed, timeoutMs,
                           nullptr);
}

HRESULT SaveMailToMSGFileEx(const wchar_t* entryId, const wchar_t* path) noexcept {
    base::ComPtr<_MailItem> mailItem;
    HRESULT hr = GetMailItemByEntryID(entryId, mailItem);
    if (FAILED(hr)) return hr;
    if (!mailItem || !path || !*path) return E_FAIL;
    base::ComPtr<IMessage> source;
    if (FAILED(hr = GetMailMessage(mailItem.get(), source))) return hr;
    return WriteMessageFile(source.get(), path);
}

HRESULT WriteMessageFile(IMessage* source, const wchar_t* path) noexcept {
    base::ComPtr<IStorage> storage;
    HRESULT hr = StgCreateDocfile(path, kMessageFileMode, 0, storage.put());
    if (FAILED(hr)) return hr;
    base::MessageOnStorage copy;
    if (FAILED(hr = copy.Open(storage.get())) || FAILED(hr = WriteClassStg(storage.get(), kClsidMailMessage)))
        return hr;
    hr = source->CopyTo(0, nullptr, nullptr, 0, nullptr, &IID_IMessage, copy.get(), 0, nullptr);
    if (FAILED(hr)) {
        return base::ReturnOr(
            [&] {
                std::wstring subject;
                const HRESULT read = ReadSubjectA(source, subject);
                copy.reset();
                if (FAILED(read)) return read;
                LogCopyToFailure(subject, hr);
                return hr;
            },
            E_OUTOFMEMORY);
    }
    if (FAILED(hr = copy->SaveChanges(KEEP_OPEN_READWRITE))) return hr;
    return storage->Commit(STGC_DEFAULT);
}

}  // namespace mails
