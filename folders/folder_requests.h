// The request operations of the folders: the folder list (code 0) and the folder
// tree (code 7). The mail server forwards its members to them. Each runs on the
// connection's worker thread in its own single-threaded apartment, reads nothing
// after the request code, and uses `timeoutMs` for every transfer. Both reply with
// the count of folder paths, then one text per path.
#pragma once

#include <cstdint>

#include "tunnel/tunnel.h"

namespace folders {

// Code 0: every mail folder of every store. Sends nothing when the walk fails (its
// last store included). True when the whole reply was sent.
[[nodiscard]] bool GetAllFoldersList(TunnelConnection* connection, uint32_t timeoutMs) noexcept;

// Code 7: the same list without the default Junk E-mail and Deleted Items folders,
// inside a namespace logon; sends whatever the walk collected, failure or not.
// Sends nothing without Outlook or a logon. True when sent and logged off.
[[nodiscard]] bool fillFolderTree(TunnelConnection* connection, uint32_t timeoutMs) noexcept;

}  // namespace folders
