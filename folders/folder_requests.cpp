#include "folders/folder_requests.h"

#include <new>

#include "base/boundary.h"
#include "base/unique_variant.h"
#include "base/scope_exit.h"
#include "diag/log.h"
#include "folders/folder_path.h"
#include "folders/folder_walk.h"
#include "outlook/application.h"
#include "outlook/object_model.h"

namespace folders {
namespace {

// The default folders the folder tree leaves out, in this order.
constexpr OlDefaultFolders kTreeExclusions[] = {olFolderJunk, olFolderDeletedItems};

// The profile the folder tree logs on to.
constexpr wchar_t kLogonProfile[] = L"Outlook";

// Sends the count, then each path. Null when all went out, else the folder list's log
// text for the send that failed (which has closed the connection).
[[nodiscard]] const wchar_t* SendFolderList(TunnelConnection* connection, uint32_t timeoutMs,
                                            const FolderList& folders) noexcept {
    if (!TunnelSendDword(connection, static_cast<uint32_t>(folders.size()), timeoutMs, nullptr)) {
        return L"[CKsCommMailServer::GetAllFoldersList] Send(size) failed.";
    }
    for (const std::wstring& path : folders) {
        if (!TunnelSendString(connection, path.c_str(), timeoutMs, nullptr)) {
            return L"[CKsCommMailServer::GetAllFoldersList] Send(folder) failed.";
        }
    }
    return nullptr;
}

// The path of a default folder of the default store; empty when it cannot be had.
[[nodiscard]] std::wstring DefaultFolderPath(_NameSpace* nameSpace, OlDefaultFolders kind) {
    base::ComPtr<MAPIFolder> folder;
    base::UniqueBstr path;
    if (SUCCEEDED(outlook::GetDefaultFolder(nameSpace, kind, folder))) {
        static_cast<void>(BuildFolderPath(folder.get(), path));
    }
    return std::wstring(path.c_str(), path.length());
}

// Logs the namespace on to the "Outlook" profile, without a dialog or a new session.
// Throws when the values cannot be made.
[[nodiscard]] HRESULT LogonNamespace(_NameSpace* nameSpace) {
    base::UniqueVariant profile, password, showDialog, newSession;
    if (FAILED(profile.SetText(kLogonProfile)) || FAILED(password.SetText(L""))) throw std::bad_alloc();
    for (base::UniqueVariant* flag : {&showDialog, &newSession}) {
        VARIANT* value = flag->put();
        value->vt = VT_BOOL;
        value->boolVal = VARIANT_FALSE;
    }
    return outlook::Logon(nameSpace, profile.get(), password.get(), showDialog.get(), newSession.get());
}

}  // namespace

bool GetAllFoldersList(TunnelConnection* connection, uint32_t timeoutMs) noexcept {
    LogMessage(L"CKsCommMailServer::GetAllFoldersList");
    const base::ScopedComInitializer apartment;
    const outlook::ScopedMapiLibrary library;
    FolderList folders;
    if (FAILED(GetFoldersOnAllStores(folders, library.table(), FolderList()))) {
        LogMessage(L"[CKsCommMailServer::GetAllFoldersList] GetFoldersOnAllStores failed.");
        return false;
    }
    if (const wchar_t* failure = SendFolderList(connection, timeoutMs, folders)) {
        LogMessage(failure);
        return false;
    }
    return true;
}

bool fillFolderTree(TunnelConnection* connection, uint32_t timeoutMs) noexcept {
    const base::ScopedComInitializer apartment;
    base::ComPtr<_Application> application;
    outlook::GetOutlookApplication(application);
    const outlook::ScopedMapiLibrary library;
    if (!application) return false;
    base::ComPtr<_NameSpace> nameSpace;
    if (FAILED(outlook::GetSession(application.get(), nameSpace)) || !nameSpace) {
        LogMessage(L"NULL Namespace in COutlookProfileConfig::fillFolderTree");
        return false;
    }
    HRESULT hr = E_FAIL;
    if (!base::Completes([&] { hr = LogonNamespace(nameSpace.get()); })) {
        LogMessage(L"Exception when trying to loggon in COutlookProfileConfig::fillFolderTree");
        return false;
    }
    // Logged off on every way out from here, a failed logon included.
    const base::ScopeExit logoff([&] { static_cast<void>(outlook::Logoff(nameSpace.get())); });
    if (FAILED(hr)) return false;
    FolderList folders;
    // No memory for the exclusions: what was collected is still sent.
    static_cast<void>(base::Completes([&] {
        FolderList excluded;
        for (const OlDefaultFolders kind : kTreeExclusions)
            excluded.push_back(DefaultFolderPath(nameSpace.get(), kind));
        // The reply carries whatever the walk collected, whatever its result.
        static_cast<void>(GetFoldersOnAllStores(folders, library.table(), excluded));
    }));
    // A failed send is not logged here.
    return SendFolderList(connection, timeoutMs, folders) == nullptr;
}

}  // namespace folders
