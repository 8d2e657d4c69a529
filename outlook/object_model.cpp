#include "outlook/object_model.h"

#include <algorithm>
#include <array>
#include <cwchar>
#include <initializer_list>
#include <span>

#include "base/srw_lock.h"
#include "base/unique_variant.h"

namespace outlook {
namespace {

using base::ComPtr;
using base::UniqueBstr;
using base::UniqueVariant;
using Arguments = std::initializer_list<VARIANT>;
using ArgumentSpan = std::span<const VARIANT>;

constexpr size_t kMaxArguments = 4;  // NameSpace.Logon

// The code an exception raised by a member carries; DISP_E_EXCEPTION when it names none.
[[nodiscard]] HRESULT ExceptionCode(const EXCEPINFO& exception) noexcept {
    return FAILED(exception.scode) ? exception.scode : DISP_E_EXCEPTION;
}

// Dispatch identifiers by interface and member name, for the module's life (see the
// header); shared by the request threads. Full, it keeps no more: a member it lacks is
// looked up at each call.
class DispatchIds {
public:
    [[nodiscard]] bool Find(REFIID iid, const wchar_t* name, DISPID& member) noexcept {
        const base::ScopedSharedLock hold(lock_);
        const Entry* const found = Locate(iid, name);
        if (found) member = found->member;
        return found != nullptr;
    }
    // `name` is one of this file's literals; two threads may have looked it up at once.
    void Add(REFIID iid, const wchar_t* name, DISPID member) noexcept {
        const base::ScopedExclusiveLock hold(lock_);
        if (!Locate(iid, name) && used_ < entries_.size()) entries_[used_++] = {iid, name, member};
    }

private:
    struct Entry {
        IID iid;
        const wchar_t* name;
        DISPID member;
    };

    // Under lock_.
    [[nodiscard]] const Entry* Locate(REFIID iid, const wchar_t* name) const noexcept {
        for (size_t i = 0; i < used_; ++i) {
            if (IsEqualIID(entries_[i].iid, iid) && std::wcscmp(entries_[i].name, name) == 0)
                return &entries_[i];
        }
        return nullptr;
    }

    base::SrwLock lock_;
    std::array<Entry, 32> entries_{};  // more than the members the add-in calls
    size_t used_ = 0;
};

DispatchIds g_dispatchIds;

// The identifier of the member `name` of the interface `iid`, which `object` serves.
[[nodiscard]] HRESULT MemberId(IDispatch* object, REFIID iid, const wchar_t* name, DISPID& member) noexcept {
    if (g_dispatchIds.Find(iid, name, member)) return S_OK;
    LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
    const HRESULT hr = object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &member);
    if (SUCCEEDED(hr)) g_dispatchIds.Add(iid, name, member);
    return hr;
}

// Calls the member `name` of `object`, an `Interface`; `args` in the order the member
// declares them, borrowed for the call. `result` may be null when the member gives nothing.
template <typename Interface>
[[nodiscard]] HRESULT InvokeByName(Interface* object, const wchar_t* name, WORD flags, ArgumentSpan args,
                                   VARIANT* result) noexcept {
    if (!object) return E_POINTER;
    if (args.size() > kMaxArguments) return E_INVALIDARG;
    DISPID member = DISPID_UNKNOWN;
    HRESULT hr = MemberId(object, __uuidof(Interface), name, member);
    if (FAILED(hr)) return hr;

    // DISPPARAMS lists the arguments last to first; a put names its value.
    std::array<VARIANT, kMaxArguments> reversed{};
    std::reverse_copy(args.begin(), args.end(), reversed.begin());
    DISPID putValue = DISPID_PROPERTYPUT;
    const bool put = flags == DISPATCH_PROPERTYPUT;
    DISPPARAMS params{reversed.data(), put ? &putValue : nullptr, static_cast<UINT>(args.size()),
                      put ? 1u : 0u};
    EXCEPINFO exception{};
    UINT argumentError = 0;
    hr = object->Invoke(member, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, result, &exception,
                        &argumentError);
    if (hr != DISP_E_EXCEPTION) return hr;
    if (exception.pfnDeferredFillIn) exception.pfnDeferredFillIn(&exception);
    const UniqueBstr source(exception.bstrSource), description(exception.bstrDescription),
        helpFile(exception.bstrHelpFile);
    return ExceptionCode(exception);
}

template <typename T>
[[nodiscard]] HRESULT ObjectFrom(const VARIANT& value, ComPtr<T>& object) noexcept {
    if (value.vt == VT_EMPTY || value.vt == VT_NULL) return S_OK;
    if (value.vt != VT_DISPATCH && value.vt != VT_UNKNOWN) return DISP_E_TYPEMISMATCH;
    IUnknown* unknown = value.vt == VT_DISPATCH ? value.pdispVal : value.punkVal;
    if (!unknown) return S_OK;
    return unknown->QueryInterface(__uuidof(T), object.put_void());
}

template <typename Interface, typename T>
[[nodiscard]] HRESULT CallForObject(Interface* object, const wchar_t* name, WORD flags, ArgumentSpan args,
                                    ComPtr<T>& out) noexcept {
    out.reset();
    UniqueVariant result;
    const HRESULT hr = InvokeByName(object, name, flags, args, result.put());
    if (FAILED(hr)) return hr;
    return ObjectFrom(result.get(), out);
}

template <typename Interface, typename T>
[[nodiscard]] HRESULT CallForObject(Interface* object, const wchar_t* name, WORD flags, Arguments args,
                                    ComPtr<T>& out) noexcept {
    return CallForObject(object, name, flags, ArgumentSpan(args.begin(), args.size()), out);
}

// Calls the method `name` with `text` (as VT_BSTR) first, then `rest`.
template <typename Interface, typename T>
[[nodiscard]] HRESULT CallWithText(Interface* object, const wchar_t* name, const wchar_t* text,
                                   ArgumentSpan rest, ComPtr<T>& out) noexcept {
    out.reset();
    if (rest.size() >= kMaxArguments) return E_INVALIDARG;
    UniqueVariant textArgument;
    const HRESULT hr = textArgument.SetText(text);
    if (FAILED(hr)) return hr;
    std::array<VARIANT, kMaxArguments> args{};
    args[0] = textArgument.get();
    std::copy(rest.begin(), rest.end(), args.begin() + 1);
    return CallForObject(object, name, DISPATCH_METHOD, ArgumentSpan(args.data(), rest.size() + 1), out);
}

template <typename Interface, typename T>
[[nodiscard]] HRESULT GetObjectProperty(Interface* object, const wchar_t* name, ComPtr<T>& out) noexcept {
    return CallForObject(object, name, DISPATCH_PROPERTYGET, {}, out);
}

// The property `name` converted to `type`, owned by `converted`.
template <typename Interface>
[[nodiscard]] HRESULT GetPropertyAs(Interface* object, const wchar_t* name, VARTYPE type,
                                    UniqueVariant& converted) noexcept {
    UniqueVariant result;
    const HRESULT hr = InvokeByName(object, name, DISPATCH_PROPERTYGET, {}, result.put());
    if (FAILED(hr)) return hr;
    // The source is only read; the declaration lacks its const.
    return ::VariantChangeType(converted.put(), const_cast<VARIANT*>(&result.get()), 0, type);
}

template <typename Interface>
[[nodiscard]] HRESULT GetTextProperty(Interface* object, const wchar_t* name, UniqueBstr& text) noexcept {
    text.reset();
    UniqueVariant converted;
    const HRESULT hr = GetPropertyAs(object, name, VT_BSTR, converted);
    if (SUCCEEDED(hr)) text.reset(converted.release().bstrVal);
    return hr;
}

template <typename Interface>
[[nodiscard]] HRESULT GetLongProperty(Interface* object, const wchar_t* name, long* number) noexcept {
    if (!number) return E_POINTER;
    *number = 0;
    UniqueVariant converted;
    const HRESULT hr = GetPropertyAs(object, name, VT_I4, converted);
    if (SUCCEEDED(hr)) *number = converted.get().lVal;
    return hr;
}

template <typename Interface>
[[nodiscard]] HRESULT PutProperty(Interface* object, const wchar_t* name, const VARIANT& value) noexcept {
    return InvokeByName(object, name, DISPATCH_PROPERTYPUT, ArgumentSpan(&value, 1), nullptr);
}

template <typename Interface>
[[nodiscard]] HRESULT CallMethod(Interface* object, const wchar_t* name, Arguments args) noexcept {
    UniqueVariant ignored;
    return InvokeByName(object, name, DISPATCH_METHOD, ArgumentSpan(args.begin(), args.size()),
                        ignored.put());
}

[[nodiscard]] VARIANT LongArgument(long number) noexcept {
    VARIANT value;
    ::VariantInit(&value);
    value.vt = VT_I4;
    value.lVal = number;
    return value;
}

}  // namespace

HRESULT GetCOMAddIns(_Application* application, ComPtr<COMAddIns>& addIns) noexcept {
    return GetObjectProperty(application, L"COMAddIns", addIns);
}

HRESULT GetNamespace(_Application* application, const wchar_t* type, ComPtr<_NameSpace>& nameSpace) noexcept {
    return CallWithText(application, L"GetNamespace", type, {}, nameSpace);
}

HRESULT GetSession(_Application* application, ComPtr<_NameSpace>& nameSpace) noexcept {
    return GetObjectProperty(application, L"Session", nameSpace);
}

HRESULT Quit(_Application* application) noexcept { return CallMethod(application, L"Quit", {}); }

HRESULT Item(COMAddIns* addIns, const VARIANT& index, ComPtr<COMAddIn>& addIn) noexcept {
    return CallForObject(addIns, L"Item", DISPATCH_METHOD, {index}, addIn);
}

HRESULT PutObject(COMAddIn* addIn, IDispatch* object) noexcept {
    VARIANT value;
    ::VariantInit(&value);
    value.vt = VT_DISPATCH;
    value.pdispVal = object;  // borrowed for the call
    return PutProperty(addIn, L"Object", value);
}

HRESULT GetFolderFromID(_NameSpace* nameSpace, const wchar_t* entryId, const VARIANT& storeId,
                        ComPtr<MAPIFolder>& folder) noexcept {
    return CallWithText(nameSpace, L"GetFolderFromID", entryId, ArgumentSpan(&storeId, 1), folder);
}

HRESULT GetItemFromID(_NameSpace* nameSpace, const wchar_t* entryId, const VARIANT& storeId,
                      ComPtr<IDispatch>& item) noexcept {
    return CallWithText(nameSpace, L"GetItemFromID", entryId, ArgumentSpan(&storeId, 1), item);
}

HRESULT GetDefaultFolder(_NameSpace* nameSpace, OlDefaultFolders kind, ComPtr<MAPIFolder>& folder) noexcept {
    return CallForObject(nameSpace, L"GetDefaultFolder", DISPATCH_METHOD, {LongArgument(kind)}, folder);
}

HRESULT GetFolders(_NameSpace* nameSpace, ComPtr<_Folders>& folders) noexcept {
    return GetObjectProperty(nameSpace, L"Folders", folders);
}

HRESULT AddStore(_NameSpace* nameSpace, const VARIANT& store) noexcept {
    return CallMethod(nameSpace, L"AddStore", {store});
}

HRESULT Logon(_NameSpace* nameSpace, const VARIANT& profile, const VARIANT& password,
              const VARIANT& showDialog, const VARIANT& newSession) noexcept {
    return CallMethod(nameSpace, L"Logon", {profile, password, showDialog, newSession});
}

HRESULT Logoff(_NameSpace* nameSpace) noexcept { return CallMethod(nameSpace, L"Logoff", {}); }

HRESULT GetCount(_Folders* folders, long* count) noexcept {
    return GetLongProperty(folders, L"Count", count);
}

HRESULT Item(_Folders* folders, long index, ComPtr<MAPIFolder>& folder) noexcept {
    return CallForObject(folders, L"Item", DISPATCH_METHOD, {LongArgument(index)}, folder);
}

HRESULT GetLast(_Folders* folders, ComPtr<MAPIFolder>& folder) noexcept {
    return CallForObject(folders, L"GetLast", DISPATCH_METHOD, {}, folder);
}

HRESULT GetName(MAPIFolder* folder, UniqueBstr& name) noexcept {
    return GetTextProperty(folder, L"Name", name);
}

HRESULT PutName(MAPIFolder* folder, const wchar_t* name) noexcept {
    UniqueVariant value;
    const HRESULT hr = value.SetText(name);
    if (FAILED(hr)) return hr;
    return PutProperty(folder, L"Name", value.get());
}

HRESULT GetFolders(MAPIFolder* folder, ComPtr<_Folders>& folders) noexcept {
    return GetObjectProperty(folder, L"Folders", folders);
}

HRESULT GetDefaultItemType(MAPIFolder* folder, long* itemType) noexcept {
    return GetLongProperty(folder, L"DefaultItemType", itemType);
}

HRESULT GetEntryID(MAPIFolder* folder, UniqueBstr& entryId) noexcept {
    return GetTextProperty(folder, L"EntryID", entryId);
}

HRESULT GetStoreID(MAPIFolder* folder, UniqueBstr& storeId) noexcept {
    return GetTextProperty(folder, L"StoreID", storeId);
}

HRESULT GetParent(MAPIFolder* folder, ComPtr<IDispatch>& parent) noexcept {
    return GetObjectProperty(folder, L"Parent", parent);
}

HRESULT GetItems(MAPIFolder* folder, ComPtr<_Items>& items) noexcept {
    return GetObjectProperty(folder, L"Items", items);
}

HRESULT GetCount(_Items* items, long* count) noexcept { return GetLongProperty(items, L"Count", count); }

HRESULT GetFirst(_Items* items, ComPtr<IDispatch>& item) noexcept {
    return CallForObject(items, L"GetFirst", DISPATCH_METHOD, {}, item);
}

HRESULT GetNext(_Items* items, ComPtr<IDispatch>& item) noexcept {
    return CallForObject(items, L"GetNext", DISPATCH_METHOD, {}, item);
}

HRESULT GetEntryID(_MailItem* mail, UniqueBstr& entryId) noexcept {
    return GetTextProperty(mail, L"EntryID", entryId);
}

HRESULT GetMAPIOBJECT(_MailItem* mail, ComPtr<IUnknown>& message) noexcept {
    return GetObjectProperty(mail, L"MAPIOBJECT", message);
}

}  // namespace outlook
