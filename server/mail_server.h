// The mail server: the request codes of the backup client and their operations.
#pragma once

#include <cstdint>

#include "server/shared_mem_server.h"

// The backup client's server, between the generic server and the mail server.
class CBackupMailServerBase : public SharedMemServer {};

// The request operations follow the generic server's virtual operations, in this
// order. Each reads its own payload and sends its own reply on the calling worker's
// connection, with GetRequestTimeout() for every transfer.
class CKsCommMailServer : public CBackupMailServerBase {
public:
    ~CKsCommMailServer() override;
    // Reads the request code and calls its operation; on the worker thread.
    void Dispatch(TunnelConnection* connection) override;

    virtual bool GetAllFoldersList(TunnelConnection* connection);       // code 0
    virtual bool GetAllMailsFromFolder(TunnelConnection* connection);   // code 1
    virtual bool fillFolderTree(TunnelConnection* connection);          // code 7
    virtual bool SaveMailToMSGFile(TunnelConnection* connection);       // code 2
    virtual bool RestoreMailFromMSGFile(TunnelConnection* connection);  // code 3
    virtual bool QuitOutlook();                                         // code 5
    virtual bool NoOperation();                                         // code 6
    virtual bool SendCurrentProfileName(TunnelConnection* connection);  // code 4
    virtual bool StartOutlook();                                        // code 8
};

// The process's one mail server, constructed when the module loads.
extern CKsCommMailServer g_mailServer;
