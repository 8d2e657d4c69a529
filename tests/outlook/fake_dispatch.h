// A scripted object of Outlook's object model: answers IUnknown, IDispatch, the IIDs it
// is given (and IRunnableObject once made runnable), and serves members by name
// (case-insensitively, as automation does) through handlers on the calling thread.
#pragma once

#include <oaidl.h>

#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

#include "base/com.h"
#include "base/com_object.h"

namespace fake {

// One call as the member sees it: arguments in declared order (borrowed).
struct Invocation {
    std::vector<VARIANT> args;
    VARIANT* result = nullptr;
    EXCEPINFO* exception = nullptr;
};
using Member = std::function<HRESULT(const Invocation&)>;

class FakeDispatch final : public base::ComObject<IDispatch, IRunnableObject> {
public:
    static base::ComPtr<FakeDispatch> Create(std::initializer_list<IID> interfaces = {});

    // Serves `name` with `member` from now on.
    FakeDispatch& On(const std::wstring& name, Member member);
    // Answers IRunnableObject from now on; Run gives `result`.
    void MakeRunnable(HRESULT result);
    [[nodiscard]] ULONG references() {
        AddRef();
        return Release();
    }

    STDMETHODIMP GetTypeInfoCount(UINT* count) noexcept override {
        *count = 0;
        return S_OK;
    }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo** info) noexcept override {
        *info = nullptr;
        return DISP_E_BADINDEX;
    }
    STDMETHODIMP GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, LCID, DISPID* ids) noexcept override;
    STDMETHODIMP Invoke(DISPID id, REFIID iid, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                        EXCEPINFO* exception, UINT* argumentError) noexcept override;

    STDMETHODIMP GetRunningClass(CLSID*) noexcept override { return E_NOTIMPL; }
    STDMETHODIMP Run(IBindCtx*) noexcept override;
    BOOL STDMETHODCALLTYPE IsRunning() noexcept override { return runs_ > 0 && SUCCEEDED(runResult_); }
    STDMETHODIMP LockRunning(BOOL, BOOL) noexcept override { return S_OK; }
    STDMETHODIMP SetContainedObject(BOOL) noexcept override { return S_OK; }

private:
    explicit FakeDispatch(std::initializer_list<IID> interfaces);
    [[nodiscard]] std::span<const InterfaceEntry> Table() const noexcept override { return table_; }

    std::vector<IID> interfaces_;
    std::vector<InterfaceEntry> table_;  // IDispatch, then interfaces_, then IRunnableObject
    std::vector<std::wstring> names_;    // DISPID = index + 1
    std::vector<Member> members_;
    HRESULT runResult_ = S_OK;
    int runs_ = 0;
};

// Results a member gives.
HRESULT ReturnObject(const Invocation& call, IDispatch* object);
HRESULT ReturnNothing(const Invocation& call);
// Fails the way automation reports an exception: `code` in EXCEPINFO, DISP_E_EXCEPTION.
HRESULT Raise(const Invocation& call, HRESULT code);

// The text of a VT_BSTR argument, or "<vt N>" for another type.
std::wstring ArgumentText(const VARIANT& argument);

}  // namespace fake
