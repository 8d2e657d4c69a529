// The add-in's mail server: the generic server with the request operations of the
// backup client's codes, each in its subsystem's folder.
#pragma once

#include "server/shared_mem_server.h"

class CKsCommMailServer final : public SharedMemServer {
public:
    CKsCommMailServer() noexcept;
};

// The process's one mail server, constructed when the module loads.
extern CKsCommMailServer g_mailServer;
