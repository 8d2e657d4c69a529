#include "outlook/outlook_requests.h"

#include <string>

#include "base/com.h"
#include "outlook/application.h"
#include "outlook/mapi_session.h"
#include "outlook/object_model.h"

namespace outlook {

bool QuitOutlook() noexcept {
    const base::ScopedComInitializer apartment;
    base::ComPtr<_Application> application;
    GetOutlookApplication(application);
    return application && SUCCEEDED(Quit(application.get()));
}

bool StartOutlook() noexcept {
    const base::ScopedComInitializer apartment;
    base::ComPtr<_Application> application;
    // Creating the application puts it into the running state; a failure is only logged.
    GetOutlookApplication(application);
    return true;
}

bool SendCurrentProfileName(TunnelConnection* connection, uint32_t timeoutMs) noexcept {
    const base::ScopedComInitializer apartment;
    std::wstring name;
    const HRESULT hr = GetCurrentProfileName(name);
    // The client always gets its one text; a failed send has closed the connection.
    static_cast<void>(TunnelSendString(connection, name.c_str(), timeoutMs, nullptr));
    return SUCCEEDED(hr);
}

}  // namespace outlook
