#include "server/mail_server.h"

#include "folders/folder_requests.h"
#include "mails/mail_requests.h"
#include "outlook/outlook_requests.h"
#include "restore/restore_requests.h"

namespace {

using wire::RequestCode;

// Codes 5, 6 and 8 read nothing and send nothing.
bool QuitOutlook(TunnelConnection*, uint32_t) noexcept { return outlook::QuitOutlook(); }
bool NoOperation(TunnelConnection*, uint32_t) noexcept { return true; }
bool StartOutlook(TunnelConnection*, uint32_t) noexcept { return outlook::StartOutlook(); }

constexpr RequestRoute kMailRoutes[] = {
    {RequestCode::GetAllFoldersList, folders::GetAllFoldersList, true},
    {RequestCode::GetAllMailsFromFolder, mails::GetAllMailsFromFolder, true},
    {RequestCode::SaveMailToMSGFile, mails::SaveMailToMSGFile, false},
    {RequestCode::RestoreMailFromMSGFile, restore::RestoreMailFromMSGFile, false},
    {RequestCode::SendCurrentProfileName, outlook::SendCurrentProfileName, true},
    {RequestCode::QuitOutlook, QuitOutlook, true},
    {RequestCode::NoOperation, NoOperation, true},
    {RequestCode::FillFolderTree, folders::fillFolderTree, true},
    {RequestCode::StartOutlook, StartOutlook, false},
};

constexpr bool InCodeOrder() {
    for (uint32_t i = 0; i < std::size(kMailRoutes); ++i)
        if (static_cast<uint32_t>(kMailRoutes[i].code) != i) return false;
    return std::size(kMailRoutes) == wire::kRequestCodeCount;
}
static_assert(InCodeOrder(), "one route per request code, indexed by the code");

}  // namespace

CKsCommMailServer::CKsCommMailServer() noexcept : SharedMemServer(kMailRoutes) {}

CKsCommMailServer g_mailServer;
