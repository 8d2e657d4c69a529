#include "client/mail_client.h"

#include <windows.h>

#include <new>

#include "base/unique_resource.h"

MailListEntry MailListEntry::Parse(const std::wstring& text) {
    const size_t separator = text.find(kSeparator);
    if (separator == std::wstring::npos) return {};
    return {text.substr(0, separator), text.substr(separator + std::size(kSeparator) - 1)};
}

std::unique_ptr<MailClient> MailClient::Connect(const std::wstring& channel, uint32_t version,
                                                uint32_t timeoutMs, std::wstring* error) {
    auto tunnel = TunnelClient::Connect(TunnelName(channel).c_str(), version, timeoutMs);
    if (tunnel)
        return std::unique_ptr<MailClient>(new (std::nothrow) MailClient(std::move(tunnel), timeoutMs));
    if (error) {
        // The server's stop event lives exactly as long as the server.
        const base::UniqueHandle running(OpenEventW(SYNCHRONIZE, FALSE, StopEventName(channel).c_str()));
        *error = running ? L"the add-in on channel " + channel + L" did not answer within " +
                               std::to_wstring(timeoutMs) + L" ms"
                         : L"no add-in serves channel " + channel +
                               L": is Outlook running, with the add-in loaded?";
    }
    return nullptr;
}

bool MailClient::Failed(const wchar_t* what) {
    error_ = std::wstring(what) + L"; the connection to the add-in is closed";
    return false;
}

bool MailClient::BeginRequest(uint32_t code) {
    return (tunnel_->SendDword(kRequestMarker, timeoutMs_) && tunnel_->SendDword(code, timeoutMs_)) ||
           Failed(L"the request could not be sent");
}

bool MailClient::SendText(const std::wstring& text) {
    return tunnel_->SendString(text, timeoutMs_) || Failed(L"the request's text could not be sent");
}

bool MailClient::SendNumber(uint32_t number) {
    return tunnel_->SendDword(number, timeoutMs_) || Failed(L"the request's number could not be sent");
}

bool MailClient::ReceiveText(std::wstring* text) {
    return tunnel_->ReceiveString(text, timeoutMs_) || Failed(L"no text came back in time");
}

bool MailClient::ReceiveNumber(uint32_t* number) {
    return tunnel_->ReceiveDword(number, timeoutMs_) || Failed(L"no number came back in time");
}

bool MailClient::ReceiveTexts(std::vector<std::wstring>* texts) {
    uint32_t count = 0;
    if (!ReceiveNumber(&count)) return false;
    texts->clear();
    texts->reserve(count);
    for (uint32_t i = 0; i < count; ++i) {
        if (!ReceiveText(&texts->emplace_back())) return false;
    }
    return true;
}

bool MailClient::SendCurrentProfileName(std::wstring* name) {
    return BeginRequest(RequestCode::SendCurrentProfileName) && ReceiveText(name);
}

bool MailClient::GetAllFoldersList(std::vector<std::wstring>* paths) {
    return BeginRequest(RequestCode::GetAllFoldersList) && ReceiveTexts(paths);
}

bool MailClient::FillFolderTree(std::vector<std::wstring>* paths) {
    return BeginRequest(RequestCode::FillFolderTree) && ReceiveTexts(paths);
}

bool MailClient::GetAllMailsFromFolder(const std::wstring& folderPath, uint32_t includeBody,
                                       std::vector<std::wstring>* texts) {
    return BeginRequest(RequestCode::GetAllMailsFromFolder) && SendText(folderPath) &&
           SendNumber(includeBody) && ReceiveTexts(texts);
}

bool MailClient::GetAllMailsFromFolder(const std::wstring& folderPath, uint32_t includeBody,
                                       std::vector<MailListEntry>* entries) {
    std::vector<std::wstring> texts;
    if (!GetAllMailsFromFolder(folderPath, includeBody, &texts)) return false;
    entries->clear();
    entries->reserve(texts.size());
    for (const std::wstring& text : texts) entries->push_back(MailListEntry::Parse(text));
    return true;
}

bool MailClient::SaveMailToMSGFile(const std::wstring& entryId, const std::wstring& file, bool* saved) {
    uint32_t reply = 0;
    if (!BeginRequest(RequestCode::SaveMailToMSGFile) || !SendText(entryId) || !SendText(file) ||
        !ReceiveNumber(&reply))
        return false;
    *saved = reply == 1;
    return true;
}

bool MailClient::RestoreMailFromMSGFile(const std::wstring& file, const std::wstring& folderPath,
                                        bool* restored) {
    uint32_t reply = 0;
    if (!BeginRequest(RequestCode::RestoreMailFromMSGFile) || !SendText(file) || !SendText(folderPath) ||
        !ReceiveNumber(&reply))
        return false;
    *restored = reply == 1;
    return true;
}
