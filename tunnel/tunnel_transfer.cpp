// Waits, the chunked transfer and the typed messages, for both ends of a channel;
// the server's public transfer calls are thin wrappers over an endpoint of its roles.
#include <algorithm>
#include <bit>
#include <cstring>
#include <new>

#include "tunnel/tunnel.h"
#include "tunnel/tunnel_internal.h"

namespace tunnel_internal {
namespace {

// Longer waits are cut into more slices so that a set abort event ends them early.
struct SliceRule {
    uint32_t minTimeoutMs;
    uint32_t slices;
};
constexpr SliceRule kSliceRules[] = {{1000, 10}, {200, 4}, {40, 2}, {0, 1}};

[[nodiscard]] uint32_t SliceCount(uint32_t timeoutMs) noexcept {
    for (const SliceRule& rule : kSliceRules)
        if (timeoutMs >= rule.minTimeoutMs) return rule.slices;
    return 1;
}

// TunnelWaitSignalled, optionally setting `signalFirst` just before. Without an abort
// event the set and the first slice go to the kernel as one SignalObjectAndWait:
// under Wine every event call is a wineserver round trip, and this saves one per chunk.
[[nodiscard]] bool SignalThenWait(HANDLE signalFirst, HANDLE event, uint32_t timeoutMs,
                                  HANDLE abortEvent) noexcept {
    if (!event) return false;
    const bool combined = signalFirst && !abortEvent;
    if (signalFirst && !combined && !SetEvent(signalFirst)) return false;
    const uint32_t slices = SliceCount(timeoutMs);
    const DWORD sliceMs = timeoutMs / slices;
    const HANDLE handles[2] = {event, abortEvent};
    for (uint32_t slice = 0; slice < slices; ++slice) {
        DWORD result;
        if (combined && slice == 0) {
            result = SignalObjectAndWait(signalFirst, event, sliceMs, FALSE);
            if (result == WAIT_FAILED) return false;  // the set may not have happened
        } else if (abortEvent) {
            result = WaitForMultipleObjects(2, handles, FALSE, sliceMs);
        } else {
            result = WaitForSingleObject(event, sliceMs);
        }
        if (result == WAIT_OBJECT_0) return true;
    }
    return false;
}

// A long message lands in fresh memory, and the first touch of every fresh page is a
// page fault (costly on a virtual machine): buffers grow eightfold, to powers of two,
// so the copies a growing buffer leaves behind add at most a seventh to the message.
constexpr size_t kGrowthFactor = 8;

[[nodiscard]] size_t GrownCapacity(size_t needed, size_t capacity) noexcept {
    return std::bit_ceil(std::max(needed, capacity * kGrowthFactor));
}

// Where the chunks of one message go, in order, as they are taken out of the
// buffer: one copy per chunk. A false Append fails the receive.

// A malloc block, as TunnelReceiveMessage hands it out; exact for a single chunk.
struct BlockSink {
    [[nodiscard]] bool Append(const uint8_t* bytes, uint32_t length, bool last) noexcept {
        const size_t needed = size_t{count} + length;
        if (!data || needed > capacity) {
            const size_t grown = !data && last ? std::max<size_t>(length, 1)
                                               : GrownCapacity(needed, capacity);
            void* block = std::realloc(data.get(), grown);
            if (!block) return false;  // the old block stays owned by data
            (void)data.release();
            data.reset(static_cast<uint8_t*>(block));
            capacity = grown;
        }
        std::memcpy(data.get() + count, bytes, length);
        count += length;
        return true;
    }

    TunnelMessage data;
    size_t capacity = 0;
    uint32_t count = 0;
};

// A text, straight into the string: whole characters only, since every chunk but
// the last has an even length.
struct TextSink {
    [[nodiscard]] bool Append(const uint8_t* bytes, uint32_t length, bool) noexcept {
        if (length % sizeof(wchar_t) != 0) return false;
        const size_t chars = length / sizeof(wchar_t);
        try {
            if (text.size() + chars > text.capacity())
                text.reserve(GrownCapacity(text.size() + chars, text.capacity()));
            text.append(reinterpret_cast<const wchar_t*>(bytes), chars);
        } catch (const std::exception&) {
            return false;
        }
        return true;
    }

    std::wstring text;
};

// A number: four bytes, no more.
struct DwordSink {
    [[nodiscard]] bool Append(const uint8_t* bytes, uint32_t length, bool) noexcept {
        if (length > sizeof(value) - count) return false;
        std::memcpy(value + count, bytes, length);
        count += length;
        return true;
    }

    uint8_t value[sizeof(uint32_t)];
    uint32_t count = 0;
};

template <typename Sink>
[[nodiscard]] bool ReceiveChunks(const ChunkEndpoint& endpoint, Sink* sink, uint32_t expectedKind,
                                 uint32_t timeoutMs, HANDLE abortEvent) noexcept {
    if (!endpoint.view || endpoint.size <= kTunnelChunkHeaderSize) return false;
    const uint32_t payloadMax = endpoint.size - kTunnelChunkHeaderSize;
    const auto* buffer = static_cast<const uint8_t*>(endpoint.view);
    uint32_t count = 0;
    // v2: the acknowledgement of a full chunk goes out together with the wait for the next.
    HANDLE pendingAck = nullptr;
    for (;;) {
        if (!SignalThenWait(pendingAck, endpoint.peerSend, timeoutMs, abortEvent)) return false;
        pendingAck = nullptr;
        const uint32_t length = ReadShared(buffer, 0);
        const uint32_t kind = ReadShared(buffer, 4);
        // A bad chunk is left unacknowledged.
        if (length > payloadMax || kind != expectedKind || length > UINT32_MAX - count) return false;
        const bool last = length < payloadMax;
        if (!sink->Append(buffer + kTunnelChunkHeaderSize, length, last)) return false;
        count += length;
        // Reset before acknowledging: once acknowledged, the sender may set it again.
        if (!ResetEvent(endpoint.peerSend)) return false;
        if (endpoint.version == 2) {
            if (!last) {
                pendingAck = endpoint.ownAck;
            } else if (!SetEvent(endpoint.ownAck)) {
                return false;
            }
        }
        if (last) return true;
    }
}

}  // namespace

bool SendChunks(const ChunkEndpoint& endpoint, const void* data, uint32_t byteCount,
                uint32_t kind, uint32_t timeoutMs, HANDLE abortEvent) noexcept {
    if (!data || !endpoint.view || endpoint.size <= kTunnelChunkHeaderSize) return false;
    const uint32_t payloadMax = endpoint.size - kTunnelChunkHeaderSize;
    if (endpoint.version == 1 && byteCount > payloadMax) return false;  // v1: one chunk only
    auto* buffer = static_cast<uint8_t*>(endpoint.view);
    const auto* bytes = static_cast<const uint8_t*>(data);
    uint32_t offset = 0;
    for (;;) {
        const uint32_t chunk = std::min(byteCount - offset, payloadMax);
        WriteShared(buffer, 0, chunk);
        WriteShared(buffer, 4, kind);
        std::memcpy(buffer + kTunnelChunkHeaderSize, bytes + offset, chunk);
        if (endpoint.version == 1) {
            if (!SetEvent(endpoint.ownSend) || !TunnelWaitReset(endpoint.ownSend, timeoutMs))
                return false;
        } else if (!SignalThenWait(endpoint.ownSend, endpoint.peerAck, timeoutMs, abortEvent)) {
            return false;
        }
        if (chunk < payloadMax) return true;
        offset += chunk;
    }
}

bool SendDwordOn(const ChunkEndpoint& endpoint, uint32_t value, uint32_t timeoutMs,
                 HANDLE abortEvent) noexcept {
    uint8_t bytes[sizeof(value)];
    std::memcpy(bytes, &value, sizeof(value));  // little-endian on every target
    return SendChunks(endpoint, bytes, sizeof(bytes), kTunnelKindDword, timeoutMs, abortEvent);
}

bool SendStringOn(const ChunkEndpoint& endpoint, const wchar_t* text, size_t length,
                  uint32_t timeoutMs, HANDLE abortEvent) noexcept {
    if (!text || length > UINT32_MAX / sizeof(wchar_t)) return false;
    return SendChunks(endpoint, text, static_cast<uint32_t>(length * sizeof(wchar_t)),
                      kTunnelKindString, timeoutMs, abortEvent);
}

bool ReceiveDwordOn(const ChunkEndpoint& endpoint, uint32_t* value, uint32_t timeoutMs,
                    HANDLE abortEvent) noexcept {
    DwordSink sink;
    if (!ReceiveChunks(endpoint, &sink, kTunnelKindDword, timeoutMs, abortEvent) ||
        sink.count != sizeof(*value))
        return false;
    std::memcpy(value, sink.value, sizeof(*value));  // little-endian on every target
    return true;
}

bool ReceiveStringOn(const ChunkEndpoint& endpoint, std::wstring* text, uint32_t timeoutMs,
                     HANDLE abortEvent) noexcept {
    TextSink sink;
    if (!ReceiveChunks(endpoint, &sink, kTunnelKindString, timeoutMs, abortEvent)) return false;
    text->swap(sink.text);
    return true;
}

}  // namespace tunnel_internal

using namespace tunnel_internal;

namespace {

// The server's roles: it sends with the server event, takes the client's chunks
// from the client event, acknowledges with the server acknowledge event.
[[nodiscard]] ChunkEndpoint ServerEndpoint(const TunnelConnection* connection) noexcept {
    if (!connection) return {};
    return {connection->view.get(),          connection->size,
            connection->version,             connection->serverEvent.get(),
            connection->clientEvent.get(),   connection->serverRecvEvent.get(),
            connection->clientRecvEvent.get()};
}

// The typed calls leave no connection open mid-message.
[[nodiscard]] bool CloseOnFailure(TunnelConnection* connection, bool ok) noexcept {
    if (!ok && connection) TunnelClose(connection);
    return ok;
}

}  // namespace

bool TunnelWaitSignalled(HANDLE event, uint32_t timeoutMs, HANDLE abortEvent) noexcept {
    return SignalThenWait(nullptr, event, timeoutMs, abortEvent);
}

bool TunnelWaitReset(HANDLE event, uint32_t timeoutMs) noexcept {
    const DWORD start = GetTickCount();
    for (;;) {
        const DWORD result = WaitForSingleObject(event, 0);
        if (result == WAIT_TIMEOUT) return true;
        if (result != WAIT_OBJECT_0 || ElapsedMs(start) > timeoutMs) return false;
        Sleep(1);
    }
}

bool TunnelSendMessage(TunnelConnection* connection, const void* data, uint32_t byteCount,
                       uint32_t kind, uint32_t timeoutMs, HANDLE abortEvent) noexcept {
    return SendChunks(ServerEndpoint(connection), data, byteCount, kind, timeoutMs, abortEvent);
}

bool TunnelReceiveMessage(TunnelConnection* connection, TunnelMessage* data, uint32_t* byteCount,
                          uint32_t expectedKind, uint32_t timeoutMs, HANDLE abortEvent) noexcept {
    data->reset();
    *byteCount = 0;
    BlockSink sink;
    if (!ReceiveChunks(ServerEndpoint(connection), &sink, expectedKind, timeoutMs, abortEvent))
        return false;
    *data = std::move(sink.data);
    *byteCount = sink.count;
    return true;
}

bool TunnelReceiveDword(TunnelConnection* connection, uint32_t* value, uint32_t timeoutMs,
                        HANDLE abortEvent) noexcept {
    return CloseOnFailure(connection,
                          ReceiveDwordOn(ServerEndpoint(connection), value, timeoutMs, abortEvent));
}

bool TunnelReceiveString(TunnelConnection* connection, std::wstring* text, uint32_t timeoutMs,
                         HANDLE abortEvent) noexcept {
    return CloseOnFailure(connection,
                          ReceiveStringOn(ServerEndpoint(connection), text, timeoutMs, abortEvent));
}

bool TunnelSendDword(TunnelConnection* connection, uint32_t value, uint32_t timeoutMs,
                     HANDLE abortEvent) noexcept {
    return CloseOnFailure(connection,
                          SendDwordOn(ServerEndpoint(connection), value, timeoutMs, abortEvent));
}

bool TunnelSendString(TunnelConnection* connection, const wchar_t* text, uint32_t timeoutMs,
                      HANDLE abortEvent) noexcept {
    const size_t length = text ? std::wcslen(text) : 0;
    return CloseOnFailure(connection, SendStringOn(ServerEndpoint(connection), text, length,
                                                   timeoutMs, abortEvent));
}
