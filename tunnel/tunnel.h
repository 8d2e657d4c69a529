// The server side of the shared-memory tunnel: per-client private channels of one
// page-file mapping and four named events, published under a tunnel name, and the
// chunked transfer of typed messages over them.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <initializer_list>
#include <memory>
#include <string>

#include "base/unique_resource.h"

// Message kinds carried in every chunk header.
inline constexpr uint32_t kTunnelKindString = 1;  // UTF-16LE text, no terminator
inline constexpr uint32_t kTunnelKindDword = 2;   // one little-endian uint32

inline constexpr uint32_t kTunnelRendezvousSize = 4096;
inline constexpr uint32_t kTunnelMaxNameLength = 210;  // characters of a tunnel name
inline constexpr uint32_t kTunnelRandomNameLength = 32;

// The four events of a channel, in the order the server creates them; the index
// into TunnelConnection::events and into the table of their names.
enum TunnelEvent : size_t {
    kServerEvent,      // manual reset: a server chunk is in the buffer
    kServerRecvEvent,  // auto reset: v2, the server took a client chunk
    kClientEvent,      // manual reset: a client chunk is in the buffer
    kClientRecvEvent,  // auto reset: v2, the client took a server chunk
    kTunnelEventCount
};

// One open channel, as either end holds it; used by exactly one thread at a time.
struct TunnelConnection {
    base::UniqueHandle mapping;
    base::UniqueView view;  // null once closed: every transfer then fails
    uint32_t size = 0;      // bytes of the data mapping
    base::UniqueHandle events[kTunnelEventCount];
    uint32_t version = 0;  // 1 or 2, agreed in the handshake

    TunnelConnection() noexcept = default;
    TunnelConnection(const TunnelConnection&) = delete;
    TunnelConnection& operator=(const TunnelConnection&) = delete;
    ~TunnelConnection();  // TunnelClose

    [[nodiscard]] HANDLE event(TunnelEvent which) const noexcept { return events[which].get(); }
};

// Everything needed to create one kind of tunnel object with the tunnel's DACL
// (one SET_ACCESS entry for Everyone) and, on request, the low integrity label.
struct TunnelSecurity {
    base::UniqueSid everyone;
    base::UniqueLocal<PACL> acl;
    base::UniqueLocal<PSECURITY_DESCRIPTOR> labelDescriptor;
    base::UniqueLocal<PSECURITY_DESCRIPTOR> descriptor;
    SECURITY_ATTRIBUTES attributes{};
};

// 0 on success, else the Windows error code; on failure the record is freed.
[[nodiscard]] uint32_t TunnelBuildSecurity(uint32_t accessMask, TunnelSecurity* security,
                                           bool withLowLabel) noexcept;
void TunnelFreeSecurity(TunnelSecurity* security) noexcept;

// 32 characters from "0123456789ABCDEFGHIJKLMNOPQRSTUV", from CryptGenRandom.
[[nodiscard]] bool TunnelMakeRandomName(std::wstring* name) noexcept;

// One attempt to publish a channel and complete a client's handshake.
[[nodiscard]] bool TunnelTryAccept(const wchar_t* tunnelName, std::unique_ptr<TunnelConnection>* connection,
                                   uint32_t mode, HANDLE abortEvent, uint32_t timeoutMs, uint32_t mappingSize,
                                   uint32_t handshakeTimeoutMs) noexcept;
// Retries every 100 ms until a client connected, the timeout passed or abort is set.
[[nodiscard]] bool TunnelAccept(const wchar_t* tunnelName, std::unique_ptr<TunnelConnection>* connection,
                                uint32_t mode, HANDLE abortEvent, uint32_t timeoutMs, uint32_t mappingSize,
                                uint32_t handshakeTimeoutMs) noexcept;
// Closes every object and nulls every field; a second call does nothing.
void TunnelClose(TunnelConnection* connection) noexcept;

// Waits in slices so that a set abort event ends the wait within one slice.
[[nodiscard]] bool TunnelWaitSignalled(HANDLE event, uint32_t timeoutMs, HANDLE abortEvent) noexcept;
// Test seam: the wait of every slice of TunnelWaitSignalled, on {event} or {event,
// abort event}, wait-any; null restores the kernel's WaitForMultipleObjects.
using TunnelSliceWait = DWORD (*)(DWORD count, const HANDLE* handles, DWORD ms);
void TunnelSetSliceWait(TunnelSliceWait wait) noexcept;
// Version 1 acknowledgement: waits until the peer has reset the event.
[[nodiscard]] bool TunnelWaitReset(HANDLE event, uint32_t timeoutMs) noexcept;

// Frees a message received with TunnelReceiveMessage.
struct TunnelFree {
    void operator()(void* p) const noexcept { std::free(p); }
};
using TunnelMessage = std::unique_ptr<uint8_t, TunnelFree>;

// The chunked layer; does not close the connection on failure.
[[nodiscard]] bool TunnelSendMessage(TunnelConnection* connection, const void* data, uint32_t byteCount,
                                     uint32_t kind, uint32_t timeoutMs, HANDLE abortEvent) noexcept;
[[nodiscard]] bool TunnelReceiveMessage(TunnelConnection* connection, TunnelMessage* data,
                                        uint32_t* byteCount, uint32_t expectedKind, uint32_t timeoutMs,
                                        HANDLE abortEvent) noexcept;

// The typed calls: on failure each closes the connection before returning false.
[[nodiscard]] bool TunnelReceiveDword(TunnelConnection* connection, uint32_t* value, uint32_t timeoutMs,
                                      HANDLE abortEvent) noexcept;
[[nodiscard]] bool TunnelReceiveString(TunnelConnection* connection, std::wstring* text, uint32_t timeoutMs,
                                       HANDLE abortEvent) noexcept;
// A request's texts, one after the other, each with timeoutMs and no abort event; false
// at the first that fails (the connection is closed then).
[[nodiscard]] bool TunnelReceiveStrings(TunnelConnection* connection,
                                        std::initializer_list<std::wstring*> texts,
                                        uint32_t timeoutMs) noexcept;
[[nodiscard]] bool TunnelSendDword(TunnelConnection* connection, uint32_t value, uint32_t timeoutMs,
                                   HANDLE abortEvent) noexcept;
[[nodiscard]] bool TunnelSendString(TunnelConnection* connection, const wchar_t* text, uint32_t timeoutMs,
                                    HANDLE abortEvent) noexcept;
