#include "client/mail_client.h"

#include <windows.h>

#include <algorithm>
#include <new>

#include "base/unique_resource.h"

MailListEntry MailListEntry::Parse(const std::wstring& text) {
    const size_t separator = text.find(wire::kEntrySeparator);
    if (separator == std::wstring::npos) return {};
    return {text.substr(0, separator), text.substr(separator + std::size(wire::kEntrySeparator) - 1)};
}

std::unique_ptr<MailClient> MailClient::Connect(const std::wstring& channel, uint32_t version,
                                                uint32_t timeoutMs, std::wstring* error) {
    auto tunnel = TunnelClient::Connect(wire::TunnelName(channel).c_str(), version, timeoutMs);
    if (tunnel)
        return std::unique_ptr<MailClient>(new (std::nothrow) MailClient(std::move(tunnel), timeoutMs));
    if (error) {
        // The server's stop event lives exactly as long as the server.
        const base::UniqueHandle running(
            OpenEventW(SYNCHRONIZE, FALSE, wire::StopEventName(channel).c_str()));
        *error = running ? L"the add-in on channel " + channel + L" did not answer within " +
                               std::to_wstring(timeoutMs) + L" ms"
                         : L"no add-in serves channel " + channel +
                               L": is Outlook running, with the add-in loaded?";
    }
    return nullptr;
}

// Every transfer waits up to the timeout: a reply that does not come and one that is
// malformed look the same from here.
bool MailClient::Failed(const wchar_t* what) {
    error_ = std::wstring(what) + L" within " + std::to_wstring(timeoutMs_) +
             L" ms; the connection to the add-in is closed";
    return false;
}

bool MailClient::BeginRequest(uint32_t code) {
    return (tunnel_->SendDword(wire::kRequestMarker, timeoutMs_) && tunnel_->SendDword(code, timeoutMs_)) ||
           Failed(L"the add-in did not take the request");
}

bool MailClient::SendText(const std::wstring& text) {
    return tunnel_->SendString(text, timeoutMs_) || Failed(L"the add-in did not take the request's text");
}

bool MailClient::SendNumber(uint32_t number) {
    return tunnel_->SendDword(number, timeoutMs_) || Failed(L"the add-in did not take the request's number");
}

bool MailClient::ReceiveText(std::wstring* text) {
    return tunnel_->ReceiveString(text, timeoutMs_) || Failed(L"no reply came");
}

bool MailClient::ReceiveNumber(uint32_t* number) {
    return tunnel_->ReceiveDword(number, timeoutMs_) || Failed(L"no reply came");
}

bool MailClient::ReceiveTexts(std::vector<std::wstring>* texts, uint32_t* announced) {
    // What a count may make room for before its texts have come.
    constexpr uint32_t kReserveLimit = 1 << 16;
    uint32_t count = 0;
    texts->clear();
    if (!ReceiveNumber(&count)) return false;
    if (announced) *announced = count;
    texts->reserve(std::min(count, kReserveLimit));
    for (uint32_t i = 0; i < count; ++i) {
        std::wstring text;
        if (!ReceiveText(&text)) return false;
        texts->push_back(std::move(text));
    }
    return true;
}

bool MailClient::SendCurrentProfileName(std::wstring* name) {
    return BeginRequest(wire::RequestCode::SendCurrentProfileName) && ReceiveText(name);
}

bool MailClient::GetAllFoldersList(std::vector<std::wstring>* paths) {
    return BeginRequest(wire::RequestCode::GetAllFoldersList) && ReceiveTexts(paths);
}

bool MailClient::FillFolderTree(std::vector<std::wstring>* paths) {
    return BeginRequest(wire::RequestCode::FillFolderTree) && ReceiveTexts(paths);
}

bool MailClient::GetAllMailsFromFolder(const std::wstring& folderPath, uint32_t includeBody,
                                       std::vector<std::wstring>* texts, uint32_t* announced) {
    texts->clear();
    return BeginRequest(wire::RequestCode::GetAllMailsFromFolder) && SendText(folderPath) &&
           SendNumber(includeBody) && ReceiveTexts(texts, announced);
}

bool MailClient::GetAllMailsFromFolder(const std::wstring& folderPath, uint32_t includeBody,
                                       std::vector<MailListEntry>* entries, uint32_t* announced) {
    std::vector<std::wstring> texts;
    const bool listed = GetAllMailsFromFolder(folderPath, includeBody, &texts, announced);
    entries->clear();
    entries->reserve(texts.size());
    for (const std::wstring& text : texts) entries->push_back(MailListEntry::Parse(text));
    return listed;
}

bool MailClient::SaveMailToMSGFile(const std::wstring& entryId, const std::wstring& file, bool* saved) {
    uint32_t reply = 0;
    if (!BeginRequest(wire::RequestCode::SaveMailToMSGFile) || !SendText(entryId) || !SendText(file) ||
        !ReceiveNumber(&reply))
        return false;
    *saved = reply == wire::kReplyDone;
    return true;
}

bool MailClient::RestoreMailFromMSGFile(const std::wstring& file, const std::wstring& folderPath,
                                        bool* restored) {
    uint32_t reply = 0;
    if (!BeginRequest(wire::RequestCode::RestoreMailFromMSGFile) || !SendText(file) ||
        !SendText(folderPath) || !ReceiveNumber(&reply))
        return false;
    *restored = reply == wire::kReplyDone;
    return true;
}
