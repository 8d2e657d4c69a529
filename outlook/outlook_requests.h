// The request operations of the Outlook access: the application (codes 5 and 8) and
// the profile name (code 4). The mail server forwards its members to them. Each runs
// on the connection's worker thread inside its own single-threaded apartment, and
// uses `timeoutMs` for every transfer.
#pragma once

#include <cstdint>

#include "tunnel/tunnel.h"

namespace outlook {

// Code 5: asks Outlook to quit; true when it agreed. Sends nothing.
[[nodiscard]] bool QuitOutlook() noexcept;
// Code 8: makes sure Outlook runs; always true (a failure is logged). Sends nothing.
[[nodiscard]] bool StartOutlook() noexcept;
// Code 4: sends the profile name of Outlook's session, an empty text when it cannot
// be found; true when it was found.
[[nodiscard]] bool SendCurrentProfileName(TunnelConnection* connection, uint32_t timeoutMs) noexcept;

}  // namespace outlook
