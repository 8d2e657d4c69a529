#include "server/mail_server.h"

#include "folders/folder_requests.h"
#include "mails/mail_requests.h"
#include "outlook/outlook_requests.h"
#include "restore/restore_requests.h"

CKsCommMailServer g_mailServer;

CKsCommMailServer::~CKsCommMailServer() { Stop(INFINITE); }

// Each request operation lives with its subsystem; the server hands it the
// connection and the request timeout.
bool CKsCommMailServer::GetAllFoldersList(TunnelConnection* c) {
    return folders::GetAllFoldersList(c, GetRequestTimeout());
}
bool CKsCommMailServer::GetAllMailsFromFolder(TunnelConnection* c) {
    return mails::GetAllMailsFromFolder(c, GetRequestTimeout());
}
bool CKsCommMailServer::fillFolderTree(TunnelConnection* c) {
    return folders::fillFolderTree(c, GetRequestTimeout());
}
bool CKsCommMailServer::SaveMailToMSGFile(TunnelConnection* c) {
    return mails::SaveMailToMSGFile(c, GetRequestTimeout());
}
bool CKsCommMailServer::RestoreMailFromMSGFile(TunnelConnection* c) {
    return restore::RestoreMailFromMSGFile(c, GetRequestTimeout());
}
bool CKsCommMailServer::QuitOutlook() { return outlook::QuitOutlook(); }
bool CKsCommMailServer::SendCurrentProfileName(TunnelConnection* c) {
    return outlook::SendCurrentProfileName(c, GetRequestTimeout());
}
bool CKsCommMailServer::StartOutlook() { return outlook::StartOutlook(); }
