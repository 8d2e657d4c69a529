// What the server side and the client side of the tunnel share: object names and
// access rights, the layouts of the rendezvous block and of a chunk, and the chunked
// transfer written once in terms of an end's roles of the four events.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "tunnel/tunnel.h"

namespace tunnel_internal {

// The rights every tunnel object grants to Everyone; a client opens with exactly these.
inline constexpr DWORD kMappingAccess = FILE_MAP_READ | FILE_MAP_WRITE;
inline constexpr DWORD kEventAccess = SYNCHRONIZE | EVENT_MODIFY_STATE;
inline constexpr DWORD kMutexAccess = SYNCHRONIZE | MUTANT_QUERY_STATE;

inline constexpr wchar_t kDispatchMutexSuffix[] = L"DispatchMtx";

// Names and reset modes of the four events, indexed by TunnelEvent.
struct EventKind {
    const wchar_t* suffix;
    BOOL manualReset;
};
inline constexpr EventKind kChannelEvents[kTunnelEventCount] = {
    {L"ServerEvt", TRUE},
    {L"ServerRecvEvt", FALSE},
    {L"ClientEvt", TRUE},
    {L"ClientRecvEvt", FALSE},
};

// Rendezvous block: byte count of the private name at 0, the name with its NUL at 4.
inline constexpr uint32_t kRendezvousCountOffset = 0;
inline constexpr uint32_t kRendezvousNameOffset = 4;
inline constexpr uint32_t kRendezvousNameCapacity = 2046;  // characters, NUL included

// A chunk in the data mapping: payload length, message kind, then the payload.
inline constexpr uint32_t kChunkLengthOffset = 0;
inline constexpr uint32_t kChunkKindOffset = 4;
inline constexpr uint32_t kChunkPayloadOffset = 8;

// "%s.%s" of a name and a suffix: the private name, the event and mutex names.
[[nodiscard]] std::wstring DottedName(const std::wstring& name, const wchar_t* suffix);

// Milliseconds since a GetTickCount() start, wrap-around safe.
[[nodiscard]] inline uint32_t ElapsedMs(DWORD start) noexcept { return GetTickCount() - start; }

// The peer may write the shared page at any moment: every field is read exactly
// once, into a local, before it is checked or used.
[[nodiscard]] inline uint32_t ReadShared(const void* view, uint32_t offset) noexcept {
    return *reinterpret_cast<const volatile uint32_t*>(static_cast<const uint8_t*>(view) + offset);
}
inline void WriteShared(void* view, uint32_t offset, uint32_t value) noexcept {
    *reinterpret_cast<volatile uint32_t*>(static_cast<uint8_t*>(view) + offset) = value;
}

// An end's roles of the events. The sender sets its own manual-reset event when its
// chunk is in the buffer; the taker resets that event and, in version 2, also sets
// its own auto-reset acknowledge event, which the sender waits for. In version 1
// the reset alone is the acknowledgement.
struct Roles {
    TunnelEvent ownSend;   // set when my chunk is in the buffer
    TunnelEvent peerSend;  // set by the peer; I reset it after taking its chunk
    TunnelEvent ownAck;    // v2: set after taking the peer's chunk
    TunnelEvent peerAck;   // v2: the peer sets it after taking my chunk
};
inline constexpr Roles kServerRoles{kServerEvent, kClientEvent, kServerRecvEvent, kClientRecvEvent};
inline constexpr Roles kClientRoles{kClientEvent, kServerEvent, kClientRecvEvent, kServerRecvEvent};

// How fast an end's receive buffers grow. The server trusts no client: it never
// holds more than twice what a client actually sent. The client trusts its server
// and saves the copies and fresh pages of frequent growth.
inline constexpr uint32_t kServerGrowthFactor = 2;
inline constexpr uint32_t kClientGrowthFactor = 8;

// One end of an open channel: the shared record seen through that end's roles.
struct ChunkEndpoint {
    const TunnelConnection* channel;  // null or with a null view: closed
    Roles roles;
    uint32_t growthFactor;
    [[nodiscard]] HANDLE Event(TunnelEvent role) const noexcept { return channel->event(role); }
};

// The chunked layer: closes nothing on failure.
[[nodiscard]] bool SendChunks(const ChunkEndpoint& endpoint, const void* data, uint32_t byteCount,
                              uint32_t kind, uint32_t timeoutMs, HANDLE abortEvent) noexcept;

// The typed messages on top of it; the callers close their side on failure.
[[nodiscard]] bool SendDwordOn(const ChunkEndpoint& endpoint, uint32_t value, uint32_t timeoutMs,
                               HANDLE abortEvent) noexcept;
[[nodiscard]] bool SendStringOn(const ChunkEndpoint& endpoint, const wchar_t* text, size_t length,
                                uint32_t timeoutMs, HANDLE abortEvent) noexcept;
[[nodiscard]] bool ReceiveDwordOn(const ChunkEndpoint& endpoint, uint32_t* value, uint32_t timeoutMs,
                                  HANDLE abortEvent) noexcept;
[[nodiscard]] bool ReceiveStringOn(const ChunkEndpoint& endpoint, std::wstring* text, uint32_t timeoutMs,
                                   HANDLE abortEvent) noexcept;

}  // namespace tunnel_internal
