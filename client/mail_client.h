// The backup client's side of a request: marker, code, then the code's payload and
// reply as typed messages, over one tunnel connection kept for many requests.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tunnel/tunnel_client.h"

// The request codes the mail server answers.
enum class RequestCode : uint32_t {
    GetAllFoldersList = 0,
    GetAllMailsFromFolder = 1,
    SaveMailToMSGFile = 2,
    RestoreMailFromMSGFile = 3,
    SendCurrentProfileName = 4,
    QuitOutlook = 5,
    NoOperation = 6,
    FillFolderTree = 7,
    StartOutlook = 8,
};

class MailClient {
public:
    static constexpr uint32_t kRequestMarker = 0xABCDEF;
    static constexpr uint32_t kDefaultTimeoutMs = 10000;

    // Connects to the server serving `channel` in the Local\ namespace (mode 1).
    [[nodiscard]] static std::unique_ptr<MailClient> Connect(const std::wstring& channel,
                                                             uint32_t version = 2,
                                                             uint32_t timeoutMs = kDefaultTimeoutMs);

    // Sends the marker and the code; the payload and reply follow with the calls below.
    [[nodiscard]] bool BeginRequest(uint32_t code) noexcept;
    [[nodiscard]] bool BeginRequest(RequestCode code) noexcept {
        return BeginRequest(static_cast<uint32_t>(code));
    }

    // A text reply (code 4), and a list reply: a count, then that many texts (codes 0, 7).
    [[nodiscard]] bool ReceiveText(std::wstring* text) noexcept {
        return tunnel_->ReceiveString(text, timeoutMs_);
    }
    [[nodiscard]] bool ReceiveTexts(std::vector<std::wstring>* texts);

    // Code 1: the entries of a folder's items ("<signature>#####<entry ID>" or
    // "IGNOREMAILENTRY"), after their count.
    [[nodiscard]] bool ListMails(const std::wstring& folderPath, uint32_t includeBody,
                                 std::vector<std::wstring>* entries);
    // Code 2: the mail of an entry ID saved to a message file; `saved` is the reply, 1 or 0.
    [[nodiscard]] bool SaveMail(const std::wstring& entryId, const std::wstring& path, uint32_t* saved);

    [[nodiscard]] TunnelClient& tunnel() noexcept { return *tunnel_; }

    static std::wstring TunnelName(const std::wstring& channel) {
        return L"Local\\Kestrava." + channel + L".Tunnel";
    }
    static std::wstring StopEventName(const std::wstring& channel) {
        return L"Local\\Kestrava." + channel + L".Event";
    }

private:
    explicit MailClient(std::unique_ptr<TunnelClient> tunnel, uint32_t timeoutMs) noexcept
        : tunnel_(std::move(tunnel)), timeoutMs_(timeoutMs) {}

    std::unique_ptr<TunnelClient> tunnel_;
    uint32_t timeoutMs_;
};
