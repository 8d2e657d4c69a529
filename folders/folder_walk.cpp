#include "folders/folder_walk.h"

#include <mapitags.h>

#include <algorithm>
#include <memory>

#include "diag/log.h"
#include "folders/folder_path.h"
#include "outlook/application.h"
#include "outlook/error_text.h"
#include "outlook/mapi_session.h"
#include "outlook/object_model.h"

#include "base/boundary.h"

namespace folders {
namespace {

using outlook::ErrorText;

[[nodiscard]] bool IsExcluded(const FolderList& excluded, const wchar_t* path, UINT length) {
    const std::wstring_view candidate(path, length);
    return std::any_of(excluded.begin(), excluded.end(),
                       [&](const std::wstring& e) { return e == candidate; });
}

// 8-bit MAPI text widened in the thread's ANSI code page, as a BSTR.
[[nodiscard]] base::UniqueBstr WidenedBstr(const char* text) {
    const int length = ::MultiByteToWideChar(CP_THREAD_ACP, 0, text, -1, nullptr, 0);
    base::UniqueBstr widened(::SysAllocStringLen(nullptr, length > 0 ? static_cast<UINT>(length - 1) : 0));
    if (widened.get() && length > 1) ::MultiByteToWideChar(CP_THREAD_ACP, 0, text, -1, widened.get(), length);
    return widened;
}

// Lists one subfolder and walks below it, unless it is no mail folder or has no path.
void WalkSubfolder(FolderList& folders, MAPIFolder* subfolder, const FolderList& excluded) {
    long itemType = -1;
    if (FAILED(outlook::GetDefaultItemType(subfolder, &itemType)) || itemType != olMailItem) return;
    base::UniqueBstr path;
    if (FAILED(BuildFolderPath(subfolder, path))) return;
    base::UniqueBstr entryId, storeId;
    // A folder without an entry ID or store ID cannot be opened again: not listed,
    // while its subfolders still are.
    if (SUCCEEDED(outlook::GetEntryID(subfolder, entryId)) &&
        SUCCEEDED(outlook::GetStoreID(subfolder, storeId)) &&
        !IsExcluded(excluded, path.c_str(), path.length())) {
        folders.emplace_back(path.c_str(), path.length());
    }
    const HRESULT hr = GetSubFolders(folders, subfolder, excluded);
    if (FAILED(hr)) LogMessage(L"GetSubFolders failed with %d", hr);
}

// Lists one store's root folder and its tree; the result is the running status.
[[nodiscard]] HRESULT WalkStore(FolderList& folders, _NameSpace* nameSpace,
                                const outlook::MapiFunctions& functions, const outlook::CEnumSession& session,
                                const FolderList& excluded) {
    const std::string topFolder = GetStorePropertyHex(functions, session.store.get(), PR_IPM_SUBTREE_ENTRYID);
    if (topFolder.empty()) return S_OK;  // no tree to show: skipped silently
    base::UniqueBstr storeText = WidenedBstr(session.entryIdHex.get());
    base::UniqueBstr topFolderText = WidenedBstr(topFolder.c_str());
    if (!storeText.get() || !topFolderText.get()) return E_OUTOFMEMORY;
    VARIANT storeId;
    storeId.vt = VT_BSTR;
    storeId.bstrVal = storeText.get();
    base::ComPtr<MAPIFolder> root;
    HRESULT hr = outlook::GetFolderFromID(nameSpace, topFolderText.c_str(), storeId, root);
    if (FAILED(hr)) {
        LogMessage(L"pNameSpace->raw_GetFolderFromID failed with %s", ErrorText(hr).c_str());
        return hr;
    }
    base::UniqueBstr name;
    if (FAILED(hr = outlook::GetName(root.get(), name))) {
        LogMessage(L"pRootFolder->get_Name failed with %s", ErrorText(hr).c_str());
        return hr;
    }
    const std::wstring rootPath = L"\\\\" + std::wstring(name.c_str(), name.length());
    if (IsExcluded(excluded, rootPath.c_str(), static_cast<UINT>(rootPath.size()))) return hr;
    folders.push_back(rootPath);
    return GetSubFolders(folders, root.get(), excluded);
}

}  // namespace

std::string GetStorePropertyHex(const outlook::MapiFunctions& functions, IMsgStore* store,
                                ULONG propertyTag) noexcept {
    return base::ReturnOr(
        [&] {
            const outlook::MapiFunctions& route = outlook::MapiRoute(&functions);
            SPropValue* read = nullptr;
            if (FAILED(route.HrGetOneProp(store, propertyTag, &read))) return std::string();
            const outlook::RoutedMapiBuffer<SPropValue> value(read,
                                                              outlook::MapiBufferFree{route.MAPIFreeBuffer});
            if (!value || value->ulPropTag != propertyTag) return std::string();
            const std::unique_ptr<char[]> text(new char[outlook::kHexCapacity]);
            outlook::HexIntoBuffer(route, value->Value.bin, text.get());
            return std::string(text.get());
        },
        std::string());
}

HRESULT GetSubFolders(FolderList& folders, MAPIFolder* folder, const FolderList& excluded) noexcept {
    base::ComPtr<_Folders> subfolders;
    long count = 0;
    HRESULT hr = outlook::GetFolders(folder, subfolders);
    if (FAILED(hr) || FAILED(hr = outlook::GetCount(subfolders.get(), &count))) return hr;
    for (long index = 1; index <= count; ++index) {
        base::ComPtr<MAPIFolder> subfolder;
        if (FAILED(outlook::Item(subfolders.get(), index, subfolder))) continue;
        // No memory for this subtree's paths: it is left out, the walk goes on.
        static_cast<void>(base::Completes([&] { WalkSubfolder(folders, subfolder.get(), excluded); }));
    }
    return S_OK;
}

HRESULT GetFoldersOnAllStores(FolderList& folders, const outlook::MapiFunctions& functions,
                              const FolderList& excluded) noexcept {
    base::ComPtr<_Application> application;
    outlook::GetOutlookApplication(application);
    if (!application) {
        LogMessage(L"Failed to retrieve _ApplicationPtr ");
        return E_FAIL;
    }
    base::ComPtr<_NameSpace> nameSpace;
    HRESULT status = outlook::GetNamespace(application.get(), L"MAPI", nameSpace);
    if (FAILED(status)) {
        LogMessage(L"pApplication->raw_GetNamespace( CComBSTR(\"MAPI\") , &pNameSpace ) ) failed with %s",
                   ErrorText(status).c_str());
        return status;
    }
    if (!base::Completes([&] {
            std::wstring profileName;
            if (FAILED(outlook::GetCurrentProfileName(profileName))) {
                static_cast<void>(outlook::GetDefaultProfileName(profileName));
            }
            outlook::CEnumSession session(&functions, profileName);
            for (; session.currentRow < session.rowCount(); ++session.currentRow) {
                const HRESULT hr = session.GetCurrent();
                if (FAILED(hr)) {
                    LogMessage(L"enumSession.GetCurrent() failed with %s", ErrorText(hr).c_str());
                    status = hr;
                    continue;
                }
                status = WalkStore(folders, nameSpace.get(), functions, session, excluded);
                // Released before the next row, so closing the session logs off no store: the
                // stores are those of Outlook's shared session, and StoreLogoff ends a store
                // for every holder of it, Outlook included.
                session.store.reset();
            }
        })) {
        status = E_OUTOFMEMORY;
    }
    return status;
}

}  // namespace folders
