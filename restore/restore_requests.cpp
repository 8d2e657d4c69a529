#include "restore/restore_requests.h"

#include <mapiutil.h>
#include <imessage.h>

#include "base/boundary.h"
#include "base/msg_session.h"
#include "diag/log.h"
#include "outlook/application.h"
#include "restore/target_folder.h"
#include "tunnel/wire.h"

namespace restore {
namespace {

constexpr wchar_t kRootPrefix[] = L"\\\\";

// Transacted and never committed: the backup file is only read. Exclusive, and for
// writing too, as the message layer asks: a file held open elsewhere or marked
// read-only is refused.
constexpr DWORD kMessageFileMode = STGM_TRANSACTED | STGM_SHARE_EXCLUSIVE | STGM_READWRITE;  // 0x10012

// Copies the message file into a new message of `folder` and saves it.
[[nodiscard]] HRESULT CopyFileIntoFolder(IMAPIFolder* folder, const std::wstring& filePath) noexcept {
    base::ComPtr<_Application> application;
    outlook::GetOutlookApplication(application);
    if (!application || !folder) return E_FAIL;
    base::ComPtr<IMessage> created;
    HRESULT hr = folder->CreateMessage(nullptr, 0, created.put());
    if (FAILED(hr)) {
        LogMessage(L"KsCommMailServer::LoadMailFromMSGFile::CreateMessage failed. HR = 0x%x", hr);
        return hr;
    }
    base::ComPtr<IStorage> storage;
    hr = ::StgOpenStorage(filePath.c_str(), nullptr, kMessageFileMode, nullptr, 0, storage.put());
    if (FAILED(hr)) {
        LogMessage(L"KsCommMailServer::LoadMailFromMSGFile::StgOpenStorage failed. HR = 0x%x", hr);
        return hr;
    }
    base::MessageOnStorage fileMessage;
    if (FAILED(hr = fileMessage.OpenSession())) {
        LogMessage(L"KsCommMailServer::LoadMailFromMSGFile::OpenIMsgSession failed. HR = 0x%x", hr);
        return hr;
    }
    if (FAILED(hr = fileMessage.OpenMessage(storage.get()))) {
        LogMessage(L"KsCommMailServer::LoadMailFromMSGFile::OpenIMsgOnIStg failed. HR = 0x%x", hr);
        return hr;
    }
    hr = fileMessage->CopyTo(0, nullptr, nullptr, 0, nullptr, &IID_IMessage, created.get(), 0, nullptr);
    if (FAILED(hr)) {
        LogMessage(L"KsCommMailServer::LoadMailFromMSGFile::CopyTo failed. HR = 0x%x", hr);
        return hr;
    }
    if (FAILED(hr = created->SaveChanges(KEEP_OPEN_READWRITE))) {
        LogMessage(L"KsCommMailServer::LoadMailFromMSGFile::SaveChanges failed. HR = 0x%x", hr);
        return hr;
    }
    return S_OK;
}

}  // namespace

HRESULT LoadMailFromMSGFile(const std::wstring& filePath, const std::wstring& folderPath) noexcept {
    base::ComPtr<_Application> application;
    outlook::GetOutlookApplication(application);
    if (!application || filePath.empty() || folderPath.empty()) return E_FAIL;
    base::ComPtr<MAPIFolder> folder;
    HRESULT hr = getFolder(folder, folderPath);
    if (FAILED(hr)) {
        LogMessage(L"KsCommMailServer::LoadMailFromMSGFile::getFolder failed");
        return hr;
    }
    base::ComPtr<IMAPIFolder> mapiFolder;
    if (FAILED(hr = getIMAPIFolder(folder.get(), mapiFolder))) {
        LogMessage(L"KsCommMailServer::LoadMailFromMSGFile::getIMAPIFolder failed");
        return hr;
    }
    return CopyFileIntoFolder(mapiFolder.get(), filePath);
}

bool RestoreMailFromMSGFile(TunnelConnection* connection, uint32_t timeoutMs) noexcept {
    const base::ScopedComInitializer apartment;
    std::wstring filePath, folderPath;
    if (!TunnelReceiveStrings(connection, {&filePath, &folderPath}, timeoutMs)) return false;
    HRESULT hr = E_OUTOFMEMORY;
    // No memory for the path: answered as a failed restore.
    static_cast<void>(base::Completes([&] {
        if (!folderPath.starts_with(kRootPrefix)) folderPath.insert(0, kRootPrefix);
        hr = LoadMailFromMSGFile(filePath, folderPath);
    }));
    return TunnelSendDword(connection, SUCCEEDED(hr) ? wire::kReplyDone : wire::kReplyFailed, timeoutMs,
                           nullptr);
}

}  // namespace restore
