// The backup client's side of the mail server: one typed call per request code over
// one tunnel connection kept for many requests. Every call sends the marker, the code
// and the payload, and reads the whole reply; false when the connection broke or a
// reply did not come within the timeout (the connection is then closed, and `error()`
// says what happened in words a person can act on).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tunnel/tunnel_client.h"
#include "tunnel/wire.h"

// One entry of a folder's mail list: a mail with its signature (empty when the server
// could not compute it) and entry ID, or an item that is not a readable mail.
struct MailListEntry {
    [[nodiscard]] static MailListEntry Parse(const std::wstring& text);
    [[nodiscard]] bool mail() const noexcept { return !entryId.empty(); }

    std::wstring signature;
    std::wstring entryId;
};

class MailClient {
public:
    static constexpr uint32_t kDefaultTimeoutMs = wire::kRequestTimeoutMs;

    // Connects to the server serving `channel` in the Local\ namespace, speaking
    // protocol version 1 or 2. Null when none answers within timeoutMs; `error`, when
    // given, then says whether no server publishes the channel or it did not answer.
    [[nodiscard]] static std::unique_ptr<MailClient> Connect(const std::wstring& channel,
                                                             uint32_t version = 2,
                                                             uint32_t timeoutMs = kDefaultTimeoutMs,
                                                             std::wstring* error = nullptr);

    // Codes 5, 6 and 8 have no reply: true once the request is sent.
    [[nodiscard]] bool NoOperation() { return BeginRequest(wire::RequestCode::NoOperation); }
    [[nodiscard]] bool QuitOutlook() { return BeginRequest(wire::RequestCode::QuitOutlook); }
    [[nodiscard]] bool StartOutlook() { return BeginRequest(wire::RequestCode::StartOutlook); }
    // Code 4: the name of the profile Outlook runs on.
    [[nodiscard]] bool SendCurrentProfileName(std::wstring* name);
    // Codes 0 and 7: every mail folder's path, and the same without Junk E-mail and
    // Deleted Items. An empty list may also mean the server failed.
    [[nodiscard]] bool GetAllFoldersList(std::vector<std::wstring>* paths);
    [[nodiscard]] bool FillFolderTree(std::vector<std::wstring>* paths);
    // Code 1: one entry per item of the folder; `includeBody` is sent as it is (non-zero
    // puts the body into the signatures). The raw texts are the entries as sent. On a
    // failure the list holds the entries that came, `announced` (when given) how many
    // the add-in announced.
    [[nodiscard]] bool GetAllMailsFromFolder(const std::wstring& folderPath, uint32_t includeBody,
                                             std::vector<MailListEntry>* entries,
                                             uint32_t* announced = nullptr);
    [[nodiscard]] bool GetAllMailsFromFolder(const std::wstring& folderPath, uint32_t includeBody,
                                             std::vector<std::wstring>* texts, uint32_t* announced = nullptr);
    // Code 2: `saved` is the server's answer, whether the message file was written.
    [[nodiscard]] bool SaveMailToMSGFile(const std::wstring& entryId, const std::wstring& file, bool* saved);
    // Code 3: `restored` is the server's answer, whether the mail is in the folder.
    [[nodiscard]] bool RestoreMailFromMSGFile(const std::wstring& file, const std::wstring& folderPath,
                                              bool* restored);

    // The request's first two messages, for requests built by hand (tests, unknown codes).
    [[nodiscard]] bool BeginRequest(uint32_t code);
    [[nodiscard]] bool BeginRequest(wire::RequestCode code) {
        return BeginRequest(static_cast<uint32_t>(code));
    }
    // A count, then that many texts: the shape of the list replies. On a failure
    // `texts` holds those that came.
    [[nodiscard]] bool ReceiveTexts(std::vector<std::wstring>* texts, uint32_t* announced = nullptr);

    // What the last failed call met, for a person to read.
    [[nodiscard]] const std::wstring& error() const noexcept { return error_; }
    [[nodiscard]] uint32_t timeoutMs() const noexcept { return timeoutMs_; }
    [[nodiscard]] TunnelClient& tunnel() noexcept { return *tunnel_; }

private:
    MailClient(std::unique_ptr<TunnelClient> tunnel, uint32_t timeoutMs) noexcept
        : tunnel_(std::move(tunnel)), timeoutMs_(timeoutMs) {}

    [[nodiscard]] bool SendText(const std::wstring& text);
    [[nodiscard]] bool SendNumber(uint32_t number);
    [[nodiscard]] bool ReceiveText(std::wstring* text);
    [[nodiscard]] bool ReceiveNumber(uint32_t* number);
    // Records what broke (the tunnel has closed the connection); always false.
    bool Failed(const wchar_t* what);

    std::unique_ptr<TunnelClient> tunnel_;
    uint32_t timeoutMs_;
    std::wstring error_;
};
