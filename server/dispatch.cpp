#include <windows.h>

#include <iterator>

#include "diag/log.h"
#include "server/mail_server.h"

namespace {

using WithConnection = bool (CKsCommMailServer::*)(TunnelConnection*);
using WithoutConnection = bool (CKsCommMailServer::*)();

// One row per request code, indexed by the code.
struct RequestRoute {
    WithConnection withConnection;
    WithoutConnection withoutConnection;
    bool logged;  // gets the two dispatch log lines
};

constexpr RequestRoute kRequestRoutes[] = {
    /* 0 */ {&CKsCommMailServer::GetAllFoldersList, nullptr, true},
    /* 1 */ {&CKsCommMailServer::GetAllMailsFromFolder, nullptr, true},
    /* 2 */ {&CKsCommMailServer::SaveMailToMSGFile, nullptr, false},
    /* 3 */ {&CKsCommMailServer::RestoreMailFromMSGFile, nullptr, false},
    /* 4 */ {&CKsCommMailServer::SendCurrentProfileName, nullptr, true},
    /* 5 */ {nullptr, &CKsCommMailServer::QuitOutlook, true},
    /* 6 */ {nullptr, &CKsCommMailServer::NoOperation, true},
    /* 7 */ {&CKsCommMailServer::fillFolderTree, nullptr, true},
    /* 8 */ {nullptr, &CKsCommMailServer::StartOutlook, false},
};

}  // namespace

void CKsCommMailServer::Dispatch(TunnelConnection* connection) {
    uint32_t code = 0;
    if (!TunnelReceiveDword(connection, &code, GetRequestTimeout(), nullptr)) {
        LogMessage(L"Nothing to process. Timeout: %d", GetRequestTimeout());
        return;
    }
    // Codes without a route are logged, and otherwise ignored.
    const RequestRoute* route = code < std::size(kRequestRoutes) ? &kRequestRoutes[code] : nullptr;
    const bool logged = !route || route->logged;
    if (logged) LogMessage(L"[Processing message %d] - %d.", code, GetCurrentThreadId());
    if (route && route->withConnection) (void)(this->*route->withConnection)(connection);
    if (route && route->withoutConnection) (void)(this->*route->withoutConnection)();
    if (logged) LogMessage(L"[Processing message finish] - %d.", GetCurrentThreadId());
}

bool CKsCommMailServer::NoOperation() { return true; }
