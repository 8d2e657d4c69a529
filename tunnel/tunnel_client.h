// The client side of the tunnel, as the backup application speaks it: find the
// rendezvous block under the tunnel name, open the private channel, agree a
// protocol version, then exchange the same typed messages with the client's roles
// of the events. A server that vanishes gives an error after the timeout, never a hang.
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>

#include "tunnel/tunnel.h"

namespace tunnel_internal {
struct ChunkEndpoint;
}

class TunnelClient {
public:
    // Connects to the server publishing under tunnelName, speaking version 1 or 2.
    // Waits up to timeoutMs for a channel to be published and for the handshake.
    [[nodiscard]] static std::unique_ptr<TunnelClient> Connect(const wchar_t* tunnelName, uint32_t version,
                                                               uint32_t timeoutMs) noexcept;

    TunnelClient(const TunnelClient&) = delete;
    TunnelClient& operator=(const TunnelClient&) = delete;
    ~TunnelClient();

    [[nodiscard]] bool SendDword(uint32_t value, uint32_t timeoutMs) noexcept;
    [[nodiscard]] bool SendString(const std::wstring& text, uint32_t timeoutMs) noexcept;
    [[nodiscard]] bool ReceiveDword(uint32_t* value, uint32_t timeoutMs) noexcept;
    [[nodiscard]] bool ReceiveString(std::wstring* text, uint32_t timeoutMs) noexcept;

    // Any bytes with any kind, chunked by the rule; for tests of a misbehaving client.
    [[nodiscard]] bool SendMessage(const void* data, uint32_t byteCount, uint32_t kind,
                                   uint32_t timeoutMs) noexcept;

    [[nodiscard]] uint32_t version() const noexcept { return channel_.version; }
    [[nodiscard]] const std::wstring& privateName() const noexcept { return privateName_; }
    [[nodiscard]] bool connected() const noexcept { return channel_.view.valid(); }
    void Close() noexcept;

private:
    TunnelClient() noexcept = default;

    // Under the dispatch mutex: reads and claims a published channel, opens it and
    // announces itself; false while nothing (or only a claimed block) is published.
    [[nodiscard]] bool ClaimChannel(const wchar_t* tunnelName, uint32_t gateWaitMs);
    [[nodiscard]] bool OpenChannel(const std::wstring& privateName);
    [[nodiscard]] bool Announce() noexcept;
    [[nodiscard]] bool CompleteHandshake(uint32_t timeoutMs) noexcept;
    // The client's roles of the events for the shared chunked transfer.
    [[nodiscard]] tunnel_internal::ChunkEndpoint Endpoint() const noexcept;
    [[nodiscard]] bool CloseOnFailure(bool ok) noexcept;

    std::wstring privateName_;
    TunnelConnection channel_;
};
