#include "server/mail_server.h"

CKsCommMailServer g_mailServer;

CKsCommMailServer::~CKsCommMailServer() { Stop(INFINITE); }

// QuitOutlook and StartOutlook live with the Outlook access (outlook/outlook_requests.cpp).
// Operations whose owners are not built yet answer nothing: the connection stays
// open for the client's next request.
bool CKsCommMailServer::GetAllFoldersList(TunnelConnection*) { return false; }
bool CKsCommMailServer::GetAllMailsFromFolder(TunnelConnection*) { return false; }
bool CKsCommMailServer::fillFolderTree(TunnelConnection*) { return false; }
bool CKsCommMailServer::SaveMailToMSGFile(TunnelConnection*) { return false; }
bool CKsCommMailServer::RestoreMailFromMSGFile(TunnelConnection*) { return false; }
bool CKsCommMailServer::SendCurrentProfileName(TunnelConnection*) { return false; }
