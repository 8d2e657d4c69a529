// Automation plumbing of the object model: every object serves its members by name
// through IDispatch (GetIDsOfNames, then Invoke), from a table of members, as any
// automation client expects of Outlook.
//
// Invoke's rules, shared by every object:
// - A property is read with DISPATCH_PROPERTYGET or DISPATCH_METHOD (scripting
//   clients send both), a method is called with either, a property is written with
//   DISPATCH_PROPERTYPUT or DISPATCH_PROPERTYPUTREF and its value named
//   DISPID_PROPERTYPUT. Anything else is DISP_E_MEMBERNOTFOUND.
// - Arguments are converted like VariantChangeType; one that cannot be converted
//   fails with DISP_E_TYPEMISMATCH and its index in `puArgErr`. A wrong count is
//   DISP_E_BADPARAMCOUNT. Optional arguments may be left out or passed as missing
//   (VT_ERROR with DISP_E_PARAMNOTFOUND).
// - A member that fails raises an exception: DISP_E_EXCEPTION with the member's
//   HRESULT in EXCEPINFO.scode. A caller that passes no EXCEPINFO gets the HRESULT
//   itself, since it could not learn it otherwise.
// Objects live in the host's single-threaded apartment: other threads reach them
// through proxies (host_api.h). Reference counts are atomic all the same and each
// object guards what it changes; member calls pass one at a time through the CallGate
// (call_gate.h).
#pragma once

#include <oaidl.h>

#include <new>
#include <span>
#include <string>
#include <utility>

#include "base/boundary.h"
#include "base/com.h"
#include "base/com_object.h"
#include "standin/outlook/call_gate.h"

namespace standin::outlook {

enum class Access : WORD {
    Get = DISPATCH_PROPERTYGET,
    Put = DISPATCH_PROPERTYPUT,
    Method = DISPATCH_METHOD,
};

// One call of a member: its arguments in declaration order, and its result.
class Call {
public:
    Call(const DISPPARAMS& params, VARIANT* result) noexcept : params_(params), result_(result) {}

    // Argument `index` (0 = the first declared; for a put the value), or null when
    // it was left out or passed as missing.
    [[nodiscard]] const VARIANT* Argument(UINT index) const noexcept;
    // Argument `index` converted; a failed conversion marks the argument as the
    // culprit. Text() of an absent argument is the empty text.
    [[nodiscard]] HRESULT Text(UINT index, std::wstring& text) noexcept;
    [[nodiscard]] HRESULT Long(UINT index, long& value) noexcept;
    // An object argument; left out, empty or null it is "Nothing" (a null object).
    [[nodiscard]] HRESULT Object(UINT index, base::ComPtr<IDispatch>& object) noexcept;

    // The member's result; the caller may not want one. `object` is given a
    // reference of its own; a null object is "Nothing".
    [[nodiscard]] HRESULT ReturnObject(IDispatch* object) noexcept;
    [[nodiscard]] HRESULT ReturnUnknown(IUnknown* object) noexcept;
    [[nodiscard]] HRESULT ReturnText(std::wstring_view text) noexcept;
    [[nodiscard]] HRESULT ReturnLong(long value) noexcept;

    // The DISPPARAMS index of the argument that could not be converted, or -1.
    [[nodiscard]] int badArgument() const noexcept { return badArgument_; }

private:
    [[nodiscard]] HRESULT Convert(UINT index, VARTYPE type, VARIANT& converted) noexcept;

    const DISPPARAMS& params_;
    VARIANT* result_;
    int badArgument_ = -1;
};

// A row of an object's member table. A name may have a Get and a Put row with the
// same id.
template <typename Object>
struct Member {
    const wchar_t* name;
    DISPID id;
    Access access;
    UINT minArguments;
    UINT maxArguments;
    HRESULT (Object::*handler)(Call& call);
};

namespace dispatch {

// GetIDsOfNames over the names of a table; names compare ignoring case. Names
// after the first (argument names) are not known: DISP_E_UNKNOWNNAME.
template <typename Object>
[[nodiscard]] HRESULT IdsOfNames(std::span<const Member<Object>> members, LPOLESTR* names, UINT count,
                                 DISPID* ids) noexcept;

// Checks the call's form against a row; S_OK when the row takes it.
[[nodiscard]] HRESULT CheckForm(Access access, UINT minArguments, UINT maxArguments,
                                const DISPPARAMS& params) noexcept;
[[nodiscard]] bool Accepts(Access access, WORD flags) noexcept;
[[nodiscard]] bool SameMemberName(const wchar_t* a, const wchar_t* b) noexcept;

// Turns a handler's result into Invoke's, as the rules above say.
[[nodiscard]] HRESULT Finish(HRESULT hr, const Call& call, EXCEPINFO* exception,
                             UINT* argumentError) noexcept;

template <typename Object>
HRESULT IdsOfNames(std::span<const Member<Object>> members, LPOLESTR* names, UINT count,
                   DISPID* ids) noexcept {
    if (!names || !ids) return E_POINTER;
    for (UINT i = 0; i < count; ++i) ids[i] = DISPID_UNKNOWN;
    if (count == 0) return S_OK;
    for (const Member<Object>& member : members) {
        if (names[0] && SameMemberName(member.name, names[0])) {
            ids[0] = member.id;
            return count == 1 ? S_OK : DISP_E_UNKNOWNNAME;
        }
    }
    return DISP_E_UNKNOWNNAME;
}

}  // namespace dispatch

// IUnknown and IDispatch of an object model object. `Object` derives from it and
// provides `static constexpr Member<Object> kMembers[]`; it answers IUnknown,
// IDispatch and `Interface` (an object may narrow that by its own Table()).
template <typename Object, typename Interface>
class DispatchObject : public base::ComObject<Interface> {
public:
    // No type information: members are found by name.
    STDMETHODIMP GetTypeInfoCount(UINT* count) noexcept override {
        if (!count) return E_POINTER;
        *count = 0;
        return S_OK;
    }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo** info) noexcept override {
        if (!info) return E_POINTER;
        *info = nullptr;
        return DISP_E_BADINDEX;
    }
    STDMETHODIMP GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, LCID, DISPID* ids) noexcept override {
        if (iid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
        CallGate::CountNameLookup();
        return dispatch::IdsOfNames<Object>(Object::kMembers, names, count, ids);
    }
    STDMETHODIMP Invoke(DISPID id, REFIID iid, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                        EXCEPINFO* exception, UINT* argumentError) noexcept override {
        if (iid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
        const CallGate gate;
        if (gate.refused()) return RPC_E_CALL_REJECTED;
        static const DISPPARAMS kNoArguments{};
        const DISPPARAMS& arguments = params ? *params : kNoArguments;
        for (const Member<Object>& member : Object::kMembers) {
            if (member.id != id || !dispatch::Accepts(member.access, flags)) continue;
            const HRESULT form =
                dispatch::CheckForm(member.access, member.minArguments, member.maxArguments, arguments);
            if (FAILED(form)) return form;
            if (result) ::VariantInit(result);
            Call call(arguments, result);
            HRESULT hr = E_OUTOFMEMORY;
            if (!base::Completes([&] { hr = (static_cast<Object*>(this)->*member.handler)(call); })) {
                hr = E_OUTOFMEMORY;
            }
            return dispatch::Finish(hr, call, exception, argumentError);
        }
        return DISP_E_MEMBERNOTFOUND;
    }

protected:
    using InterfaceEntry = typename base::ComObject<Interface>::InterfaceEntry;
    static constexpr InterfaceEntry kDispatchInterfaces[] = {{&IID_IDispatch}, {&__uuidof(Interface)}};

    DispatchObject() noexcept = default;

    [[nodiscard]] std::span<const InterfaceEntry> Table() const noexcept override {
        return kDispatchInterfaces;
    }
};

// Another reference to `object`, owned by the result.
template <typename T>
[[nodiscard]] base::ComPtr<T> Share(T* object) noexcept {
    if (object) object->AddRef();
    return base::ComPtr<T>(object);
}

using base::MakeObject;

}  // namespace standin::outlook
