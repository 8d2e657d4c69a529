// The object model's objects over the stand-in store, made by these factories.
// Each object names store objects by handle (standin/store/profile.h) and reads the
// store on every call, so objects on any thread see one current profile; each
// factory gives the new object with one reference in `out`, or as a call's result.
#pragma once

#include <memory>

#include "base/com.h"
#include "outlook/outlook_interfaces.h"
#include "standin/outlook/dispatch.h"
#include "standin/store/profile.h"

namespace standin::outlook {

// The "MAPI" namespace of the application over `profile`.
[[nodiscard]] HRESULT NewNameSpace(std::shared_ptr<store::Profile> profile, base::ComPtr<_NameSpace>& out);

// A new folder object as the call's result. The Parent of a store's root folder
// is `nameSpace`.
[[nodiscard]] HRESULT ReturnNewFolder(Call& call, _NameSpace* nameSpace, store::Folder folder);

// The root folders of the profile's stores, in the profile's order.
[[nodiscard]] HRESULT NewStoreRoots(_NameSpace* nameSpace, std::shared_ptr<store::Profile> profile,
                                    base::ComPtr<_Folders>& out);
// The subfolders of `parent`, in the store's order (by name).
[[nodiscard]] HRESULT NewSubfolders(_NameSpace* nameSpace, store::Folder parent, base::ComPtr<_Folders>& out);

// The items of a folder, in the store's order (by creation).
[[nodiscard]] HRESULT NewItems(store::Folder folder, base::ComPtr<_Items>& out);
// An item. Only a mail answers _MailItem; an item whose message cannot be read is
// no mail, and its MAPIOBJECT fails with the store's error.
[[nodiscard]] HRESULT NewItem(const store::Item& item, base::ComPtr<IDispatch>& out);

}  // namespace standin::outlook
