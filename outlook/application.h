// Reaching Outlook's application object from a request operation.
//
// The apartment rule of every request operation that reaches Outlook: it runs on a
// server worker thread, enters a single-threaded apartment for the request's duration
// (base::ScopedComInitializer, COINIT_APARTMENTTHREADED; left only if entering
// succeeded), obtains every Outlook object afresh through GetOutlookApplication, and
// releases them all before it leaves the apartment. Nothing is kept between requests.
#pragma once

#include "base/com.h"
#include "outlook/outlook_interfaces.h"

namespace outlook {

// Creates (or attaches to) Outlook's Application, puts it into the running state and
// gives its _Application in `application`; null on failure, which is logged here with
// the system's text. The calling thread must have entered COM.
void GetOutlookApplication(base::ComPtr<_Application>& application) noexcept;

}  // namespace outlook
