// The operations of Outlook's object model that the add-in calls, as typed functions.
// Each calls its member by name through IDispatch (GetIDsOfNames, then Invoke), as any
// automation client does, so the same code works with Outlook and with the stand-in.
//
// Contract shared by every function here:
// - The result is the member's HRESULT. When the member fails with an exception
//   (DISP_E_EXCEPTION), the result is the exception's own code from EXCEPINFO.
//   A null object gives E_POINTER without a call.
// - Object results are queried for the interface of the out-parameter; an object of
//   another kind fails with that query's E_NOINTERFACE. "Nothing" (VT_EMPTY, VT_NULL
//   or a null object) succeeds with a null out-parameter: the end of GetFirst/GetNext.
// - Text and number results are converted like VariantChangeType; a value that cannot
//   be converted fails with that conversion's HRESULT.
// - Out-parameters are reset first, so they are null or empty on every failure.
// - Each member's name is looked up once in the module's life, by interface and name,
//   and its identifier reused on every object of that interface: Outlook's interfaces
//   are dual interfaces of its type library, which fixes a member's identifier for every
//   object that serves the interface. A lookup is a crossing to Outlook's main thread.
// Threads: call on the thread (apartment) that obtained the object; no object is kept.
#pragma once

#include "base/com.h"
#include "outlook/outlook_interfaces.h"

namespace outlook {

// _Application
[[nodiscard]] HRESULT GetCOMAddIns(_Application* application, base::ComPtr<COMAddIns>& addIns) noexcept;
[[nodiscard]] HRESULT GetNamespace(_Application* application, const wchar_t* type,
                                   base::ComPtr<_NameSpace>& nameSpace) noexcept;
[[nodiscard]] HRESULT GetSession(_Application* application, base::ComPtr<_NameSpace>& nameSpace) noexcept;
[[nodiscard]] HRESULT Quit(_Application* application) noexcept;

// COMAddIns, COMAddIn
[[nodiscard]] HRESULT Item(COMAddIns* addIns, const VARIANT& index, base::ComPtr<COMAddIn>& addIn) noexcept;
// Sets COMAddIn.Object (a property put of VT_DISPATCH).
[[nodiscard]] HRESULT PutObject(COMAddIn* addIn, IDispatch* object) noexcept;

// _NameSpace. Entry and store IDs are hexadecimal text.
[[nodiscard]] HRESULT GetFolderFromID(_NameSpace* nameSpace, const wchar_t* entryId, const VARIANT& storeId,
                                      base::ComPtr<MAPIFolder>& folder) noexcept;
// The item of any kind; query it for _MailItem to tell mails from other items.
[[nodiscard]] HRESULT GetItemFromID(_NameSpace* nameSpace, const wchar_t* entryId, const VARIANT& storeId,
                                    base::ComPtr<IDispatch>& item) noexcept;
[[nodiscard]] HRESULT GetDefaultFolder(_NameSpace* nameSpace, OlDefaultFolders kind,
                                       base::ComPtr<MAPIFolder>& folder) noexcept;
// One root folder per open store.
[[nodiscard]] HRESULT GetFolders(_NameSpace* nameSpace, base::ComPtr<_Folders>& folders) noexcept;
[[nodiscard]] HRESULT AddStore(_NameSpace* nameSpace, const VARIANT& store) noexcept;
[[nodiscard]] HRESULT Logon(_NameSpace* nameSpace, const VARIANT& profile, const VARIANT& password,
                            const VARIANT& showDialog, const VARIANT& newSession) noexcept;
[[nodiscard]] HRESULT Logoff(_NameSpace* nameSpace) noexcept;

// _Folders. Item takes a 1-based index (passed as VT_I4).
[[nodiscard]] HRESULT GetCount(_Folders* folders, long* count) noexcept;
[[nodiscard]] HRESULT Item(_Folders* folders, long index, base::ComPtr<MAPIFolder>& folder) noexcept;
[[nodiscard]] HRESULT GetLast(_Folders* folders, base::ComPtr<MAPIFolder>& folder) noexcept;

// MAPIFolder
[[nodiscard]] HRESULT GetName(MAPIFolder* folder, base::UniqueBstr& name) noexcept;
[[nodiscard]] HRESULT PutName(MAPIFolder* folder, const wchar_t* name) noexcept;
[[nodiscard]] HRESULT GetFolders(MAPIFolder* folder, base::ComPtr<_Folders>& folders) noexcept;
// olMailItem (0) for mail folders.
[[nodiscard]] HRESULT GetDefaultItemType(MAPIFolder* folder, long* itemType) noexcept;
[[nodiscard]] HRESULT GetEntryID(MAPIFolder* folder, base::UniqueBstr& entryId) noexcept;
[[nodiscard]] HRESULT GetStoreID(MAPIFolder* folder, base::UniqueBstr& storeId) noexcept;
// The parent folder; for a store's root folder an object that is not a MAPIFolder.
[[nodiscard]] HRESULT GetParent(MAPIFolder* folder, base::ComPtr<IDispatch>& parent) noexcept;
[[nodiscard]] HRESULT GetItems(MAPIFolder* folder, base::ComPtr<_Items>& items) noexcept;

// _Items. GetFirst/GetNext give every item once, then a null item.
[[nodiscard]] HRESULT GetCount(_Items* items, long* count) noexcept;
[[nodiscard]] HRESULT GetFirst(_Items* items, base::ComPtr<IDispatch>& item) noexcept;
[[nodiscard]] HRESULT GetNext(_Items* items, base::ComPtr<IDispatch>& item) noexcept;

// _MailItem
[[nodiscard]] HRESULT GetEntryID(_MailItem* mail, base::UniqueBstr& entryId) noexcept;
// The mail's Extended MAPI message (an IMessage) as IUnknown.
[[nodiscard]] HRESULT GetMAPIOBJECT(_MailItem* mail, base::ComPtr<IUnknown>& message) noexcept;

}  // namespace outlook
