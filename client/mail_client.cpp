#include "client/mail_client.h"

#include <new>

std::unique_ptr<MailClient> MailClient::Connect(const std::wstring& channel, uint32_t version,
                                                uint32_t timeoutMs) {
    auto tunnel = TunnelClient::Connect(TunnelName(channel).c_str(), version, timeoutMs);
    if (!tunnel) return nullptr;
    return std::unique_ptr<MailClient>(new (std::nothrow) MailClient(std::move(tunnel), timeoutMs));
}

bool MailClient::BeginRequest(uint32_t code) noexcept {
    return tunnel_->SendDword(kRequestMarker, timeoutMs_) && tunnel_->SendDword(code, timeoutMs_);
}

bool MailClient::ReceiveTexts(std::vector<std::wstring>* texts) {
    uint32_t count = 0;
    if (!tunnel_->ReceiveDword(&count, timeoutMs_)) return false;
    texts->assign(count, std::wstring());
    for (std::wstring& text : *texts) {
        if (!ReceiveText(&text)) return false;
    }
    return true;
}

bool MailClient::ListMails(const std::wstring& folderPath, uint32_t includeBody,
                           std::vector<std::wstring>* entries) {
    return BeginRequest(RequestCode::GetAllMailsFromFolder) && tunnel_->SendString(folderPath, timeoutMs_) &&
           tunnel_->SendDword(includeBody, timeoutMs_) && ReceiveTexts(entries);
}

bool MailClient::SaveMail(const std::wstring& entryId, const std::wstring& path, uint32_t* saved) {
    return BeginRequest(RequestCode::SaveMailToMSGFile) && tunnel_->SendString(entryId, timeoutMs_) &&
           tunnel_->SendString(path, timeoutMs_) && tunnel_->ReceiveDword(saved, timeoutMs_);
}
