#include "tests/outlook/fake_dispatch.h"

#include <wchar.h>

#include <algorithm>

namespace fake {

base::ComPtr<FakeDispatch> FakeDispatch::Create(std::initializer_list<IID> interfaces) {
    return base::ComPtr<FakeDispatch>(new FakeDispatch(interfaces));
}

FakeDispatch::FakeDispatch(std::initializer_list<IID> interfaces) : interfaces_(interfaces) {
    table_.push_back({&IID_IDispatch});
    for (const IID& iid : interfaces_) table_.push_back({&iid});
}

FakeDispatch& FakeDispatch::On(const std::wstring& name, Member member) {
    names_.push_back(name);
    members_.push_back(std::move(member));
    return *this;
}

void FakeDispatch::MakeRunnable(HRESULT result) {
    runResult_ = result;
    table_.push_back(Answer<IRunnableObject>(IID_IRunnableObject));
}

STDMETHODIMP FakeDispatch::Run(IBindCtx*) noexcept {
    ++runs_;
    return runResult_;
}

STDMETHODIMP FakeDispatch::GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) noexcept {
    if (count != 1) return DISP_E_UNKNOWNNAME;
    for (size_t i = 0; i < names_.size(); ++i) {
        if (_wcsicmp(names_[i].c_str(), names[0]) == 0) {
            ids[0] = static_cast<DISPID>(i + 1);
            return S_OK;
        }
    }
    ids[0] = DISPID_UNKNOWN;
    return DISP_E_UNKNOWNNAME;
}

STDMETHODIMP FakeDispatch::Invoke(DISPID id, REFIID iid, LCID, WORD, DISPPARAMS* params, VARIANT* result,
                                  EXCEPINFO* exception, UINT*) noexcept {
    if (!IsEqualIID(iid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
    if (id < 1 || static_cast<size_t>(id) > members_.size()) return DISP_E_MEMBERNOTFOUND;
    Invocation call;
    call.args.assign(params->rgvarg, params->rgvarg + params->cArgs);
    std::reverse(call.args.begin(), call.args.end());
    call.result = result;
    call.exception = exception;
    return members_[id - 1](call);
}

HRESULT ReturnObject(const Invocation& call, IDispatch* object) {
    if (!call.result) return E_POINTER;
    VariantInit(call.result);
    call.result->vt = VT_DISPATCH;
    call.result->pdispVal = object;
    if (object) object->AddRef();
    return S_OK;
}

HRESULT ReturnNothing(const Invocation& call) {
    if (call.result) VariantInit(call.result);
    return S_OK;
}

HRESULT Raise(const Invocation& call, HRESULT code) {
    if (!call.exception) return code;
    *call.exception = EXCEPINFO{};
    call.exception->scode = code;
    call.exception->bstrSource = SysAllocString(L"fake");
    call.exception->bstrDescription = SysAllocString(L"raised by the test");
    return DISP_E_EXCEPTION;
}

std::wstring ArgumentText(const VARIANT& argument) {
    if (argument.vt == VT_BSTR) return argument.bstrVal ? argument.bstrVal : L"";
    return L"<vt " + std::to_wstring(argument.vt) + L">";
}

}  // namespace fake
