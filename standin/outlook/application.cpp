#include "standin/outlook/application.h"

#include <cwchar>
#include <new>
#include <utility>

#include "base/boundary.h"

namespace standin::outlook {
namespace {

// The only namespace type Outlook knows.
constexpr wchar_t kMapiNamespace[] = L"MAPI";

}  // namespace

void AddInObject::Disconnect() noexcept {
    base::ComPtr<IDispatch> dropped;  // released after the lock: its owner may be called back
    const std::lock_guard lock(lock_);
    dropped = std::move(object_);
}

HRESULT AddInObject::GetProgId(Call& call) { return call.ReturnText(progId_); }

HRESULT AddInObject::GetPublishedObject(Call& call) {
    const std::lock_guard lock(lock_);
    return call.ReturnObject(object_.get());
}

HRESULT AddInObject::PutPublishedObject(Call& call) {
    base::ComPtr<IDispatch> object;
    const HRESULT hr = call.Object(0, object);
    if (FAILED(hr)) return hr;
    const std::lock_guard lock(lock_);
    std::swap(object_, object);  // the one replaced is released after the lock
    return S_OK;
}

HRESULT AddInsObject::Add(const wchar_t* progId, base::ComPtr<IDispatch>& entry) noexcept {
    entry.reset();
    if (!progId || !*progId) return E_INVALIDARG;
    base::ComPtr<AddInObject> created;
    HRESULT hr = MakeObject<AddInObject>(created, progId);
    if (FAILED(hr)) return hr;
    const std::lock_guard lock(lock_);
    if (!base::Completes([&] { entries_.push_back(std::move(created)); })) {
        return E_OUTOFMEMORY;
    }
    return entries_.back()->QueryInterface(IID_IDispatch, entry.put_void());
}

void AddInsObject::DisconnectAll() noexcept {
    const std::lock_guard lock(lock_);
    for (const base::ComPtr<AddInObject>& entry : entries_) entry->Disconnect();
}

HRESULT AddInsObject::Item(Call& call) {
    const VARIANT* index = call.Argument(0);
    const bool byProgId = index && (index->vt & VT_TYPEMASK) == VT_BSTR;
    std::wstring progId;
    long number = 0;
    const HRESULT hr = byProgId ? call.Text(0, progId) : call.Long(0, number);
    if (FAILED(hr)) return hr;

    const std::lock_guard lock(lock_);
    for (size_t i = 0; i < entries_.size(); ++i) {
        const bool found = byProgId ? ::_wcsicmp(entries_[i]->progId().c_str(), progId.c_str()) == 0
                                    : static_cast<long>(i + 1) == number;
        if (found) return call.ReturnObject(entries_[i].get());
    }
    return E_INVALIDARG;
}

HRESULT AddInsObject::GetCount(Call& call) {
    const std::lock_guard lock(lock_);
    return call.ReturnLong(static_cast<long>(entries_.size()));
}

HRESULT ApplicationObject::Create(std::shared_ptr<store::Profile> profile,
                                  base::ComPtr<ApplicationObject>& out) noexcept {
    out.reset();
    base::UniqueHandle quitRequested(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!quitRequested) return HRESULT_FROM_WIN32(::GetLastError());
    store::ProfileSettings settings;
    HRESULT hr = profile->GetSettings(settings);
    if (FAILED(hr)) return hr;
    CallGate::RefuseCall(settings.busyCall);
    uint32_t faults = 0;
    if (FAILED(hr = profile->GetFaults(faults))) return hr;
    base::ComPtr<_NameSpace> nameSpace;
    hr = NewNameSpace(std::move(profile), nameSpace);
    if (FAILED(hr)) return hr;
    base::ComPtr<AddInsObject> addIns;
    hr = MakeObject<AddInsObject>(addIns);
    if (FAILED(hr)) return hr;
    out.reset(new (std::nothrow) ApplicationObject(
        std::move(nameSpace), std::move(addIns), std::move(quitRequested), faults & store::fault::kSession));
    return out ? S_OK : E_OUTOFMEMORY;
}

HRESULT ApplicationObject::GetNamespace(Call& call) {
    std::wstring type;
    const HRESULT hr = call.Text(0, type);
    if (FAILED(hr)) return hr;
    if (::_wcsicmp(type.c_str(), kMapiNamespace) != 0) return E_INVALIDARG;
    return call.ReturnObject(nameSpace_.get());
}

HRESULT ApplicationObject::GetSession(Call& call) {
    return sessionRefused_ ? store::kFaultResult : call.ReturnObject(nameSpace_.get());
}

HRESULT ApplicationObject::Quit(Call&) {
    return ::SetEvent(quitRequested_.get()) ? S_OK : HRESULT_FROM_WIN32(::GetLastError());
}

HRESULT ApplicationObject::GetCOMAddIns(Call& call) { return call.ReturnObject(addIns_.get()); }

}  // namespace standin::outlook
