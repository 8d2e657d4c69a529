#include "standin/outlook/dispatch.h"

#include <cwchar>

#include "base/boundary.h"

namespace standin::outlook {

const VARIANT* Call::Argument(UINT index) const noexcept {
    if (index >= params_.cArgs || !params_.rgvarg) return nullptr;
    const VARIANT& value = params_.rgvarg[params_.cArgs - 1 - index];  // DISPPARAMS run last to first
    if (value.vt == VT_ERROR && value.scode == DISP_E_PARAMNOTFOUND) return nullptr;
    return &value;
}

HRESULT Call::Convert(UINT index, VARTYPE type, VARIANT& converted) noexcept {
    const VARIANT* value = Argument(index);
    HRESULT hr = DISP_E_PARAMNOTOPTIONAL;
    if (value)
        hr = ::VariantChangeType(&converted, const_cast<VARIANT*>(value), 0, type);  // source only read
    if (FAILED(hr)) badArgument_ = static_cast<int>(params_.cArgs) - 1 - static_cast<int>(index);
    return hr;
}

HRESULT Call::Text(UINT index, std::wstring& text) noexcept {
    text.clear();
    if (!Argument(index)) return S_OK;
    VARIANT converted;
    ::VariantInit(&converted);
    const HRESULT hr = Convert(index, VT_BSTR, converted);
    if (FAILED(hr)) return hr;
    const base::UniqueBstr owned(converted.bstrVal);
    if (!base::Completes([&] { text.assign(owned.c_str(), owned.length()); })) {
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

HRESULT Call::Long(UINT index, long& value) noexcept {
    value = 0;
    VARIANT converted;
    ::VariantInit(&converted);
    const HRESULT hr = Convert(index, VT_I4, converted);
    if (SUCCEEDED(hr)) value = converted.lVal;
    return hr;
}

HRESULT Call::Object(UINT index, base::ComPtr<IDispatch>& object) noexcept {
    object.reset();
    const VARIANT* value = Argument(index);
    if (!value || value->vt == VT_EMPTY || value->vt == VT_NULL) return S_OK;
    VARIANT converted;
    ::VariantInit(&converted);
    const HRESULT hr = Convert(index, VT_DISPATCH, converted);
    if (SUCCEEDED(hr)) object.reset(converted.pdispVal);
    return hr;
}

HRESULT Call::ReturnObject(IDispatch* object) noexcept {
    if (!result_) return S_OK;
    if (object) object->AddRef();
    result_->vt = VT_DISPATCH;
    result_->pdispVal = object;
    return S_OK;
}

HRESULT Call::ReturnUnknown(IUnknown* object) noexcept {
    if (!result_) return S_OK;
    if (object) object->AddRef();
    result_->vt = VT_UNKNOWN;
    result_->punkVal = object;
    return S_OK;
}

HRESULT Call::ReturnText(std::wstring_view text) noexcept {
    if (!result_) return S_OK;
    BSTR copy = ::SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    if (!copy) return E_OUTOFMEMORY;
    result_->vt = VT_BSTR;
    result_->bstrVal = copy;
    return S_OK;
}

HRESULT Call::ReturnLong(long value) noexcept {
    if (!result_) return S_OK;
    result_->vt = VT_I4;
    result_->lVal = value;
    return S_OK;
}

namespace dispatch {

bool Accepts(Access access, WORD flags) noexcept {
    switch (access) {
    case Access::Get:
    case Access::Method:
        return (flags & (DISPATCH_PROPERTYGET | DISPATCH_METHOD)) != 0;
    case Access::Put:
        return (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) != 0;
    }
    return false;
}

HRESULT CheckForm(Access access, UINT minArguments, UINT maxArguments, const DISPPARAMS& params) noexcept {
    if (access == Access::Put) {
        if (params.cNamedArgs != 1 || !params.rgdispidNamedArgs ||
            params.rgdispidNamedArgs[0] != DISPID_PROPERTYPUT) {
            return DISP_E_PARAMNOTOPTIONAL;
        }
    } else if (params.cNamedArgs != 0) {
        return DISP_E_NONAMEDARGS;
    }
    if (params.cArgs < minArguments || params.cArgs > maxArguments) return DISP_E_BADPARAMCOUNT;
    if (params.cArgs != 0 && !params.rgvarg) return E_INVALIDARG;
    return S_OK;
}

bool SameMemberName(const wchar_t* a, const wchar_t* b) noexcept { return ::_wcsicmp(a, b) == 0; }

HRESULT Finish(HRESULT hr, const Call& call, EXCEPINFO* exception, UINT* argumentError) noexcept {
    if (SUCCEEDED(hr)) return S_OK;
    if (call.badArgument() >= 0) {
        if (argumentError) *argumentError = static_cast<UINT>(call.badArgument());
        return hr;
    }
    if (!exception) return hr;
    *exception = EXCEPINFO{};
    exception->scode = hr;
    return DISP_E_EXCEPTION;
}

}  // namespace dispatch

}  // namespace standin::outlook
