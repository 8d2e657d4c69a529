// Waits, the chunked transfer and the typed messages, for both ends of a channel;
// the server's public transfer calls are thin wrappers over an endpoint of its roles.
#include <algorithm>
#include <atomic>
#include <bit>
#include <cstring>
#include <new>

#include "tunnel/tunnel.h"
#include "tunnel/tunnel_internal.h"

#include "base/boundary.h"

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

std::atomic<TunnelSliceWait> sliceWaitForTest{nullptr};

[[nodiscard]] DWORD WaitSlice(DWORD count, const HANDLE* handles, DWORD ms) noexcept {
    if (const TunnelSliceWait wait = sliceWaitForTest.load(std::memory_order_relaxed))
        return wait(count, handles, ms);
    return count == 1 ? WaitForSingleObject(handles[0], ms)
                      : WaitForMultipleObjects(count, handles, FALSE, ms);
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
        } else {
            result = WaitSlice(abortEvent ? 2 : 1, handles, sliceMs);
        }
        if (result == WAIT_OBJECT_0) return true;
    }
    return false;
}

// A receive buffer grows by the endpoint's factor, to powers of two, so that it never
// holds more than that factor times what actually arrived.
[[nodiscard]] size_t GrownCapacity(size_t needed, size_t capacity, uint32_t factor) noexcept {
    return std::bit_ceil(std::max(needed, capacity * factor));
}

// Where the chunks of one message go, in order, as they are taken out of the
// buffer: one copy per chunk. A false Append (no memory) fails the receive; a
// message that breaks its kind's rule on the length is taken whole and then
// refused by the typed call.

// A malloc block, as TunnelReceiveMessage hands it out; exact for a single chunk.
struct BlockSink {
    explicit BlockSink(uint32_t factor) noexcept : growthFactor(factor) {}

    [[nodiscard]] bool Append(const uint8_t* bytes, uint32_t length, bool last) noexcept {
        const size_t needed = size_t{count} + length;
        if (!data || needed > capacity) {
            const size_t grown =
                !data && last ? std::max<size_t>(length, 1) : GrownCapacity(needed, capacity, growthFactor);
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

    uint32_t growthFactor;
    TunnelMessage data;
    size_t capacity = 0;
    uint32_t count = 0;
};

// A text, straight into the string. Every chunk but the last has an even length,
// so only the last can leave a byte over, which makes the text invalid.
struct TextSink {
    explicit TextSink(uint32_t factor) noexcept : growthFactor(factor) {}

    [[nodiscard]] bool Append(const uint8_t* bytes, uint32_t length, bool) noexcept {
        oddLength = length % sizeof(wchar_t) != 0;
        const size_t chars = length / sizeof(wchar_t);
        if (!base::Completes([&] {
                if (text.size() + chars > text.capacity())
                    text.reserve(GrownCapacity(text.size() + chars, text.capacity(), growthFactor));
                text.append(reinterpret_cast<const wchar_t*>(bytes), chars);
            })) {
            return false;
        }
        return true;
    }

    uint32_t growthFactor;
    std::wstring text;
    bool oddLength = false;
};

// A number: its first four bytes and how many came, however many that is.
struct DwordSink {
    [[nodiscard]] bool Append(const uint8_t* bytes, uint32_t length, bool) noexcept {
        if (count < sizeof(value))
            std::memcpy(value + count, bytes, std::min<size_t>(length, sizeof(value) - count));
        count += length;
        return true;
    }

    uint8_t value[sizeof(uint32_t)]{};
    uint32_t count = 0;
};

// The view and the payload size of an open channel; false when it is closed.
[[nodiscard]] bool OpenBuffer(const ChunkEndpoint& endpoint, uint8_t** buffer,
                              uint32_t* payloadMax) noexcept {
    const TunnelConnection* channel = endpoint.channel;
    if (!channel || !channel->view || channel->size <= kChunkPayloadOffset) return false;
    *buffer = static_cast<uint8_t*>(channel->view.get());
    *payloadMax = channel->size - kChunkPayloadOffset;
    return true;
}

template <typename Sink>
[[nodiscard]] bool ReceiveChunks(const ChunkEndpoint& endpoint, Sink* sink, uint32_t expectedKind,
                                 uint32_t timeoutMs, HANDLE abortEvent) noexcept {
    uint8_t* buffer = nullptr;
    uint32_t payloadMax = 0;
    if (!OpenBuffer(endpoint, &buffer, &payloadMax)) return false;
    const HANDLE peerSend = endpoint.Event(endpoint.roles.peerSend);
    const HANDLE ownAck = endpoint.Event(endpoint.roles.ownAck);
    uint32_t count = 0;
    // v2: the acknowledgement of a full chunk goes out together with the wait for the next.
    HANDLE pendingAck = nullptr;
    for (;;) {
        if (!SignalThenWait(pendingAck, peerSend, timeoutMs, abortEvent)) return false;
        pendingAck = nullptr;
        const uint32_t length = ReadShared(buffer, kChunkLengthOffset);
        const uint32_t kind = ReadShared(buffer, kChunkKindOffset);
        // A chunk that cannot be taken is left unacknowledged.
        if (length > payloadMax || kind != expectedKind || length > UINT32_MAX - count) return false;
        const bool last = length < payloadMax;
        if (!sink->Append(buffer + kChunkPayloadOffset, length, last)) return false;
        count += length;
        // Reset before acknowledging: once acknowledged, the sender may set it again.
        if (!ResetEvent(peerSend)) return false;
        if (endpoint.channel->version == 2) {
            if (!last) {
                pendingAck = ownAck;
            } else if (!SetEvent(ownAck)) {
                return false;
            }
        }
        if (last) return true;
    }
}

}  // namespace

bool SendChunks(const ChunkEndpoint& endpoint, const void* data, uint32_t byteCount, uint32_t kind,
                uint32_t timeoutMs, HANDLE abortEvent) noexcept {
    uint8_t* buffer = nullptr;
    uint32_t payloadMax = 0;
    if (!data || !OpenBuffer(endpoint, &buffer, &payloadMax)) return false;
    const uint32_t version = endpoint.channel->version;
    if (version == 1 && byteCount > payloadMax) return false;  // v1: one chunk only
    const HANDLE ownSend = endpoint.Event(endpoint.roles.ownSend);
    const HANDLE peerAck = endpoint.Event(endpoint.roles.peerAck);
    const auto* bytes = static_cast<const uint8_t*>(data);
    uint32_t offset = 0;
    for (;;) {
        const uint32_t chunk = std::min(byteCount - offset, payloadMax);
        WriteShared(buffer, kChunkLengthOffset, chunk);
        WriteShared(buffer, kChunkKindOffset, kind);
        std::memcpy(buffer + kChunkPayloadOffset, bytes + offset, chunk);
        if (version == 1) {
            if (!SetEvent(ownSend) || !TunnelWaitReset(ownSend, timeoutMs)) return false;
        } else if (!SignalThenWait(ownSend, peerAck, timeoutMs, abortEvent)) {
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

bool SendStringOn(const ChunkEndpoint& endpoint, const wchar_t* text, size_t length, uint32_t timeoutMs,
                  HANDLE abortEvent) noexcept {
    if (!text || length > UINT32_MAX / sizeof(wchar_t)) return false;
    return SendChunks(endpoint, text, static_cast<uint32_t>(length * sizeof(wchar_t)), kTunnelKindString,
                      timeoutMs, abortEvent);
}

bool ReceiveDwordOn(const ChunkEndpoint& endpoint, uint32_t* value, uint32_t timeoutMs,
                    HANDLE abortEvent) noexcept {
    DwordSink sink;
    // The whole message is taken before its length is judged.
    if (!ReceiveChunks(endpoint, &sink, kTunnelKindDword, timeoutMs, abortEvent) ||
        sink.count != sizeof(*value))
        return false;
    std::memcpy(value, sink.value, sizeof(*value));  // little-endian on every target
    return true;
}

bool ReceiveStringOn(const ChunkEndpoint& endpoint, std::wstring* text, uint32_t timeoutMs,
                     HANDLE abortEvent) noexcept {
    TextSink sink(endpoint.growthFactor);
    if (!ReceiveChunks(endpoint, &sink, kTunnelKindString, timeoutMs, abortEvent) || sink.oddLength)
        return false;
    text->swap(sink.text);
    return true;
}

}  // namespace tunnel_internal

using namespace tunnel_internal;

namespace {

[[nodiscard]] ChunkEndpoint ServerEndpoint(const TunnelConnection* connection) noexcept {
    return {connection, kServerRoles, kServerGrowthFactor};
}

// The typed calls leave no connection open mid-message.
[[nodiscard]] bool CloseOnFailure(TunnelConnection* connection, bool ok) noexcept {
    if (!ok && connection) TunnelClose(connection);
    return ok;
}

}  // namespace

void TunnelSetSliceWait(TunnelSliceWait wait) noexcept {
    sliceWaitForTest.store(wait, std::memory_order_relaxed);
}

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

bool TunnelSendMessage(TunnelConnection* connection, const void* data, uint32_t byteCount, uint32_t kind,
                       uint32_t timeoutMs, HANDLE abortEvent) noexcept {
    return SendChunks(ServerEndpoint(connection), data, byteCount, kind, timeoutMs, abortEvent);
}

bool TunnelReceiveMessage(TunnelConnection* connection, TunnelMessage* data, uint32_t* byteCount,
                          uint32_t expectedKind, uint32_t timeoutMs, HANDLE abortEvent) noexcept {
    data->reset();
    *byteCount = 0;
    const ChunkEndpoint endpoint = ServerEndpoint(connection);
    BlockSink sink(endpoint.growthFactor);
    if (!ReceiveChunks(endpoint, &sink, expectedKind, timeoutMs, abortEvent)) return false;
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

bool TunnelReceiveStrings(TunnelConnection* connection, std::initializer_list<std::wstring*> texts,
                          uint32_t timeoutMs) noexcept {
    for (std::wstring* text : texts)
        if (!TunnelReceiveString(connection, text, timeoutMs, nullptr)) return false;
    return true;
}

bool TunnelSendDword(TunnelConnection* connection, uint32_t value, uint32_t timeoutMs,
                     HANDLE abortEvent) noexcept {
    return CloseOnFailure(connection, SendDwordOn(ServerEndpoint(connection), value, timeoutMs, abortEvent));
}

bool TunnelSendString(TunnelConnection* connection, const wchar_t* text, uint32_t timeoutMs,
                      HANDLE abortEvent) noexcept {
    const size_t length = text ? std::wcslen(text) : 0;
    return CloseOnFailure(connection,
                          SendStringOn(ServerEndpoint(connection), text, length, timeoutMs, abortEvent));
}
