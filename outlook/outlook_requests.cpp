// The request operations that only touch Outlook's application: codes 5 and 8.
#include "base/com.h"
#include "outlook/application.h"
#include "outlook/object_model.h"
#include "server/mail_server.h"

bool CKsCommMailServer::QuitOutlook() {
    const base::ScopedComInitializer apartment;
    base::ComPtr<_Application> application;
    outlook::GetOutlookApplication(application);
    return application && SUCCEEDED(outlook::Quit(application.get()));
}

bool CKsCommMailServer::StartOutlook() {
    const base::ScopedComInitializer apartment;
    base::ComPtr<_Application> application;
    // Creating the application puts it into the running state; a failure is only logged.
    outlook::GetOutlookApplication(application);
    return true;
}
