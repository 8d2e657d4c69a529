// The client side of the tunnel: the obligations the server's handshake states,
// then the shared chunked transfer with the client's roles of the events.
#include "tunnel/tunnel_client.h"

#include <new>

#include "base/boundary.h"
#include "base/mutex_ownership.h"
#include "tunnel/tunnel.h"
#include "tunnel/tunnel_internal.h"

using namespace tunnel_internal;

namespace {

constexpr DWORD kConnectPollMs = 10;

// Clients of one tunnel take turns through this client-side mutex (the server never
// touches it): only the client whose turn it is polls for a published channel. Many
// clients polling at once would nearly always hold a handle to the rendezvous block
// or the dispatch mutex, and the server can publish only while nobody does.
constexpr wchar_t kClientQueueSuffix[] = L"ClientQueue";
constexpr DWORD kClientQueueAccess = SYNCHRONIZE | MUTEX_MODIFY_STATE;

// The private name from a rendezvous block that other processes may write at any
// moment: a zero count means another client has claimed the block already.
[[nodiscard]] bool ReadPublishedName(const void* block, std::wstring* name) {
    const uint32_t count = ReadShared(block, kRendezvousCountOffset);
    if (count == 0 || count % sizeof(wchar_t) != 0 || count / sizeof(wchar_t) >= kRendezvousNameCapacity)
        return false;
    const size_t chars = count / sizeof(wchar_t);
    const auto* text =
        reinterpret_cast<const volatile wchar_t*>(static_cast<const uint8_t*>(block) + kRendezvousNameOffset);
    name->resize(chars);
    for (size_t i = 0; i < chars; ++i) {
        const wchar_t c = text[i];
        if (c == L'\0') return false;
        (*name)[i] = c;
    }
    return text[chars] == L'\0';
}

}  // namespace

std::unique_ptr<TunnelClient> TunnelClient::Connect(const wchar_t* tunnelName, uint32_t version,
                                                    uint32_t timeoutMs) noexcept {
    if (!tunnelName || !*tunnelName || (version != 1 && version != 2)) return nullptr;
    return base::ReturnOr(
        [&]() -> std::unique_ptr<TunnelClient> {
            std::unique_ptr<TunnelClient> client(new TunnelClient());
            client->channel_.version = version;
            const DWORD start = GetTickCount();
            const auto remaining = [&] {
                const uint32_t elapsed = ElapsedMs(start);
                return elapsed < timeoutMs ? timeoutMs - elapsed : 0;
            };
            base::UniqueHandle queue(CreateMutexExW(
                nullptr, DottedName(tunnelName, kClientQueueSuffix).c_str(), 0, kClientQueueAccess));
            if (!queue) return nullptr;
            const base::UniqueMutexOwnership turn = base::AcquireMutex(queue.get(), timeoutMs);
            if (!turn) return nullptr;
            // A channel whose handshake fails (its accept gave up) is dropped for the next one.
            for (;;) {
                if (client->ClaimChannel(tunnelName, remaining()) && client->CompleteHandshake(remaining()))
                    return client;
                client->Close();
                if (ElapsedMs(start) > timeoutMs) return nullptr;
                Sleep(kConnectPollMs);
            }
        },
        nullptr);
}

TunnelClient::~TunnelClient() { Close(); }

bool TunnelClient::ClaimChannel(const wchar_t* tunnelName, uint32_t gateWaitMs) {
    // Look without the gate first: a client that polls must not keep the server at it.
    if (!base::UniqueHandle(OpenFileMappingW(kMappingAccess, FALSE, tunnelName))) return false;
    // Clients pass the dispatch mutex one at a time, so a block is read and claimed by
    // one of them only; while any client holds it, the server waits at its gate.
    base::UniqueHandle gate(
        CreateMutexExW(nullptr, DottedName(tunnelName, kDispatchMutexSuffix).c_str(), 0, kMutexAccess));
    if (!gate) return false;
    const base::UniqueMutexOwnership owned = base::AcquireMutex(gate.get(), gateWaitMs);
    if (!owned) return false;

    base::UniqueHandle block(OpenFileMappingW(kMappingAccess, FALSE, tunnelName));
    if (!block) return false;
    base::UniqueView view(MapViewOfFile(block.get(), FILE_MAP_WRITE, 0, 0, kTunnelRendezvousSize));
    std::wstring privateName;
    if (!view || !ReadPublishedName(view.get(), &privateName) || !OpenChannel(privateName)) return false;
    WriteShared(view.get(), kRendezvousCountOffset, 0);  // claimed: the next client waits
    return Announce();
}

bool TunnelClient::OpenChannel(const std::wstring& privateName) {
    channel_.mapping.reset(OpenFileMappingW(kMappingAccess, FALSE, privateName.c_str()));
    if (!channel_.mapping) return false;
    channel_.view.reset(MapViewOfFile(channel_.mapping.get(), FILE_MAP_WRITE, 0, 0, 0));
    if (!channel_.view) return false;
    // The server chose the size; a mapping's view covers it whole, in pages.
    MEMORY_BASIC_INFORMATION region{};
    if (!VirtualQuery(channel_.view.get(), &region, sizeof(region)) ||
        region.RegionSize <= kChunkPayloadOffset || region.RegionSize > UINT32_MAX)
        return false;
    channel_.size = static_cast<uint32_t>(region.RegionSize);
    for (size_t i = 0; i < kTunnelEventCount; ++i) {
        channel_.events[i].reset(
            OpenEventW(kEventAccess, FALSE, DottedName(privateName, kChannelEvents[i].suffix).c_str()));
        if (!channel_.events[i]) return false;
    }
    privateName_ = privateName;
    return true;
}

bool TunnelClient::Announce() noexcept {
    // Version 2 is told by the acknowledge event, set no later than the announcement.
    if (channel_.version == 2 && !SetEvent(channel_.event(kClientRecvEvent))) return false;
    return SetEvent(channel_.event(kClientEvent));
}

bool TunnelClient::CompleteHandshake(uint32_t timeoutMs) noexcept {
    if (channel_.version == 2)
        return TunnelWaitSignalled(channel_.event(kServerRecvEvent), timeoutMs, nullptr) &&
               SetEvent(channel_.event(kClientRecvEvent));
    // Version 1: the server answers with its event, which we take back before setting
    // ours again; the server's reset of ours ends the handshake, so that our first
    // chunk cannot be lost to that reset.
    return TunnelWaitSignalled(channel_.event(kServerEvent), timeoutMs, nullptr) &&
           ResetEvent(channel_.event(kServerEvent)) && SetEvent(channel_.event(kClientEvent)) &&
           TunnelWaitReset(channel_.event(kClientEvent), timeoutMs);
}

ChunkEndpoint TunnelClient::Endpoint() const noexcept {
    return {&channel_, kClientRoles, kClientGrowthFactor};
}

bool TunnelClient::CloseOnFailure(bool ok) noexcept {
    if (!ok) Close();
    return ok;
}

bool TunnelClient::SendDword(uint32_t value, uint32_t timeoutMs) noexcept {
    return CloseOnFailure(SendDwordOn(Endpoint(), value, timeoutMs, nullptr));
}

bool TunnelClient::SendString(const std::wstring& text, uint32_t timeoutMs) noexcept {
    return CloseOnFailure(SendStringOn(Endpoint(), text.c_str(), text.size(), timeoutMs, nullptr));
}

bool TunnelClient::ReceiveDword(uint32_t* value, uint32_t timeoutMs) noexcept {
    return CloseOnFailure(ReceiveDwordOn(Endpoint(), value, timeoutMs, nullptr));
}

bool TunnelClient::ReceiveString(std::wstring* text, uint32_t timeoutMs) noexcept {
    return CloseOnFailure(ReceiveStringOn(Endpoint(), text, timeoutMs, nullptr));
}

bool TunnelClient::SendMessage(const void* data, uint32_t byteCount, uint32_t kind,
                               uint32_t timeoutMs) noexcept {
    return SendChunks(Endpoint(), data, byteCount, kind, timeoutMs, nullptr);
}

void TunnelClient::Close() noexcept { TunnelClose(&channel_); }
