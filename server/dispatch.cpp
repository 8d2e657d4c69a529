#include <windows.h>

#include "diag/log.h"
#include "server/shared_mem_server.h"

void SharedMemServer::Dispatch(TunnelConnection* connection) {
    uint32_t code = 0;
    if (!TunnelReceiveDword(connection, &code, timeoutMs_, nullptr)) {
        LogMessage(L"Nothing to process. Timeout: %d", timeoutMs_);
        return;
    }
    // Codes without a route are logged, and otherwise ignored.
    const RequestRoute* route = code < routes_.size() ? &routes_[code] : nullptr;
    const bool logged = !route || route->logged;
    if (logged) LogMessage(L"[Processing message %d] - %d.", code, GetCurrentThreadId());
    if (route) static_cast<void>(route->operation(connection, timeoutMs_));
    if (logged) LogMessage(L"[Processing message finish] - %d.", GetCurrentThreadId());
}
