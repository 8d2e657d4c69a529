#include "outlook/application.h"

#include <ole2.h>

#include "diag/log.h"
#include "outlook/error_text.h"

namespace outlook {
namespace {

[[nodiscard]] HRESULT CreateRunningApplication(base::ComPtr<_Application>& application) noexcept {
    base::ComPtr<IUnknown> object;
    HRESULT hr =
        ::CoCreateInstance(CLSID_OutlookApplication, nullptr, CLSCTX_ALL, IID_IUnknown, object.put_void());
    if (FAILED(hr)) return hr;
    hr = ::OleRun(object.get());
    if (FAILED(hr)) return hr;
    return object.As(application);
}

}  // namespace

void GetOutlookApplication(base::ComPtr<_Application>& application) noexcept {
    application.reset();
    const HRESULT hr = CreateRunningApplication(application);
    if (FAILED(hr)) {
        application.reset();
        LogMessage(L"Unable to instantiate Outlook. Error %s occured.", ErrorText(hr).c_str());
    }
}

}  // namespace outlook
