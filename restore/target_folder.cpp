#include "restore/target_folder.h"

#include <mapiutil.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "base/boundary.h"
#include "base/unique_variant.h"
#include "base/scope_exit.h"
#include "diag/log.h"
#include "folders/folder_path.h"
#include "outlook/application.h"
#include "outlook/object_model.h"

namespace restore {
namespace {

// A new store's file is the root name followed by this; the root then takes the name.
constexpr wchar_t kAddedStoreSuffix[] = L"2";

// The shared session of the running Outlook, in wide characters.
constexpr ULONG kSharedLogonFlags = MAPI_UNICODE | MAPI_EXTENDED | MAPI_ALLOW_OTHERS;  // 0x80000028
constexpr ULONG kOpenStoreFlags =
    MDB_NO_DIALOG | MAPI_DEFERRED_ERRORS | MAPI_BEST_ACCESS | MDB_TEMPORARY | MDB_NO_MAIL;  // 0xB9

// The first subfolder (or store root) of `parent`'s list named `name` becomes `folder`;
// false when none matched. A failure to get the list or its count is returned.
template <typename Parent>
[[nodiscard]] HRESULT FindIn(Parent* parent, const std::wstring& name, base::ComPtr<MAPIFolder>& folder,
                             bool& found) noexcept {
    found = false;
    base::ComPtr<_Folders> list;
    long count = 0;
    HRESULT hr = outlook::GetFolders(parent, list);
    if (FAILED(hr) || FAILED(hr = outlook::GetCount(list.get(), &count))) return hr;
    base::ComPtr<MAPIFolder> match;
    HRESULT lastResult = S_OK;
    found = folders::FindByName(list.get(), count, name, match, lastResult);
    if (found) folder = std::move(match);
    return S_OK;
}

// Adds the store `rootName` + "2" and makes its root, renamed to `rootName`, the
// folder; when it cannot be added, the default store's root.
[[nodiscard]] HRESULT AddStoreRoot(_NameSpace* nameSpace, const std::wstring& rootName,
                                   base::ComPtr<MAPIFolder>& defaultRoot, base::ComPtr<MAPIFolder>& folder) {
    base::UniqueVariant file;
    HRESULT hr = file.SetText((rootName + kAddedStoreSuffix).c_str());
    if (SUCCEEDED(hr)) hr = outlook::AddStore(nameSpace, file.get());
    if (FAILED(hr)) {
        LogMessage(
            L"KsCommMailServer::getFolder::AddStoreEx failed. Fallback to searching mails in the default "
            L"store.");
        folder = std::move(defaultRoot);
        return S_OK;
    }
    base::ComPtr<_Folders> roots;
    base::ComPtr<MAPIFolder> added;
    if (FAILED(hr = outlook::GetFolders(nameSpace, roots)) ||
        FAILED(hr = outlook::GetLast(roots.get(), added))) {
        LogMessage(L"KsCommMailServer::getFolder::AddStoreEx failed");
        return hr;
    }
    static_cast<void>(outlook::PutName(added.get(), rootName.c_str()));
    folder = std::move(added);
    return S_OK;
}

// The store root a path's first level names, added when no open store has it.
[[nodiscard]] HRESULT ResolveRoot(_Application* application, const std::wstring& rootName,
                                  base::ComPtr<MAPIFolder>& folder) {
    base::ComPtr<_NameSpace> nameSpace;
    HRESULT hr = outlook::GetNamespace(application, L"MAPI", nameSpace);
    if (FAILED(hr)) {
        LogMessage(L"KsCommMailServer::getFolder::raw_GetNamespace failed");
        return hr;
    }
    base::ComPtr<MAPIFolder> defaultRoot;
    if (FAILED(hr = folders::getDefaultPST(nameSpace.get(), defaultRoot))) {
        LogMessage(L"KsCommMailServer::getFolder::getDefaultPST failed");
        return hr;
    }
    base::UniqueBstr defaultName;
    if (FAILED(hr = outlook::GetName(defaultRoot.get(), defaultName))) {
        LogMessage(L"KsCommMailServer::getFolder::get_Name failed");
        return hr;
    }
    if (::_wcsicmp(defaultName.c_str(), rootName.c_str()) == 0) {
        folder = std::move(defaultRoot);
        return S_OK;
    }
    bool found = false;
    if (FAILED(hr = FindIn(nameSpace.get(), rootName, folder, found)) || found) return hr;
    return AddStoreRoot(nameSpace.get(), rootName, defaultRoot, folder);
}

// The subfolder `name` of `folder`, created when missing; `folder` stays the parent
// when the creation cannot be found afterwards.
[[nodiscard]] HRESULT ResolveSubfolder(base::ComPtr<MAPIFolder>& folder, const std::wstring& name) {
    if (!folder) return E_FAIL;
    bool found = false;
    HRESULT hr = FindIn(folder.get(), name, folder, found);
    if (FAILED(hr) || found) return hr;
    {
        base::ComPtr<IMAPIFolder> parent;
        if (FAILED(hr = getIMAPIFolder(folder.get(), parent))) return hr;
        std::string ansiName = WideToAnsi(name.c_str());
        base::ComPtr<IMAPIFolder> created;
        // Without MAPI_UNICODE the name is 8-bit text, whatever UNICODE makes of LPTSTR.
        hr = parent->CreateFolder(FOLDER_GENERIC, reinterpret_cast<LPTSTR>(ansiName.data()), nullptr, nullptr,
                                  OPEN_IF_EXISTS, created.put());
        if (FAILED(hr)) return hr;
    }
    return FindIn(folder.get(), name, folder, found);
}

}  // namespace

HRESULT getFolder(base::ComPtr<MAPIFolder>& folder, const std::wstring& path) noexcept {
    base::ComPtr<_Application> application;
    outlook::GetOutlookApplication(application);
    if (path.empty()) return S_OK;
    if (!application) return E_FAIL;
    return base::ReturnOr(
        [&] {
            folders::PathStep step = folders::SplitFolderPath(path);
            folders::UnescapeFolderName(step.name);
            const HRESULT hr = step.absolute ? ResolveRoot(application.get(), step.name, folder)
                                             : ResolveSubfolder(folder, step.name);
            if (FAILED(hr)) return hr;
            // Deeper levels only refine the folder reached: their results are not passed on.
            if (step.rest) static_cast<void>(getFolder(folder, *step.rest));
            return S_OK;
        },
        E_OUTOFMEMORY);
}

HRESULT getIMAPIFolder(MAPIFolder* folder, base::ComPtr<IMAPIFolder>& mapiFolder) noexcept {
    mapiFolder.reset();
    if (!folder) return E_FAIL;
    base::ComPtr<IMAPISession> session;
    HRESULT hr = ::MAPILogonEx(0, nullptr, nullptr, kSharedLogonFlags, session.put());
    if (FAILED(hr)) return hr;
    if (!session) return E_FAIL;
    // Logged off on every way out once logged on.
    const base::ScopeExit logoff([&] { static_cast<void>(session->Logoff(0, 0, 0)); });

    base::UniqueBstr entryIdText, storeIdText;
    if (FAILED(hr = outlook::GetEntryID(folder, entryIdText)) ||
        FAILED(hr = outlook::GetStoreID(folder, storeIdText))) {
        return hr;
    }
    base::UniqueMapiBuffer<BYTE> entryId;
    uint32_t entryIdSize = 0;
    if (FAILED(hr = HexToBinary(entryIdText.get(), entryId, entryIdSize))) return hr;
    const auto entry = reinterpret_cast<LPENTRYID>(entryId.get());
    ULONG type = 0;
    base::ComPtr<IUnknown> opened;
    hr = session->OpenEntry(entryIdSize, entry, nullptr, MAPI_BEST_ACCESS, &type, opened.put());
    if (hr == MAPI_E_UNKNOWN_ENTRYID) {
        // A store this session has not opened yet: through the store itself.
        base::UniqueMapiBuffer<BYTE> storeId;
        uint32_t storeIdSize = 0;
        base::ComPtr<IMsgStore> store;
        if (FAILED(hr = HexToBinary(storeIdText.get(), storeId, storeIdSize)) ||
            FAILED(hr = session->OpenMsgStore(0, storeIdSize, reinterpret_cast<LPENTRYID>(storeId.get()),
                                              nullptr, kOpenStoreFlags, store.put())) ||
            FAILED(hr = store->OpenEntry(entryIdSize, entry, const_cast<IID*>(&IID_IUnknown),
                                         MAPI_BEST_ACCESS, &type, opened.put()))) {
            return hr;
        }
    }
    if (FAILED(hr)) return hr;
    if (type == MAPI_FOLDER) hr = opened->QueryInterface(IID_IMAPIFolder, mapiFolder.put_void());
    return hr;
}

HRESULT HexToBinary(BSTR text, base::UniqueMapiBuffer<BYTE>& buffer, uint32_t& count) noexcept {
    count = ::SysStringLen(text) / 2;
    HRESULT hr = ::MAPIAllocateBuffer(count, reinterpret_cast<void**>(buffer.put()));
    if (FAILED(hr)) return hr;
    return base::ReturnOr(
        [&] {
            std::string digits = WideToAnsi(text ? text : L"");
            // mapi32 reads 8-bit digits, whatever UNICODE makes of LPTSTR.
            return ::ScBinFromHexBounded(reinterpret_cast<LPTSTR>(digits.data()), buffer.get(), count);
        },
        E_OUTOFMEMORY);
}

std::string WideToAnsi(const wchar_t* text) {
    const size_t length = std::wcstombs(nullptr, text, 0);
    if (length == static_cast<size_t>(-1)) return {};
    std::vector<char> converted(length + 1);
    static_cast<void>(std::wcstombs(converted.data(), text, converted.size()));
    return std::string(converted.data());
}

}  // namespace restore
