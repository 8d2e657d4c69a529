// The server side of connection set-up: the objects' names and security, publishing
// a fresh private channel under the tunnel name, and the version handshake.
#include "tunnel/tunnel.h"  // windows.h before sddl.h

#include <sddl.h>

#include <algorithm>
#include <cstring>
#include <new>

#include "tunnel/tunnel_internal.h"

#include "base/boundary.h"

using namespace tunnel_internal;

namespace {

constexpr uint32_t kLowLabelMode = 3;
constexpr wchar_t kLowLabelSddl[] = L"S:(ML;;NW;;;LW)";  // mandatory label, no write-up, low
constexpr wchar_t kRandomAlphabet[] = L"0123456789ABCDEFGHIJKLMNOPQRSTUV";
constexpr uint32_t kMappingGranularity = 4096;
constexpr DWORD kAcceptRetryMs = 100;
constexpr DWORD kDispatchMutexRetryMs = 1;

// A failure that left no error code is counted as lack of memory.
[[nodiscard]] uint32_t LastErrorOrOutOfMemory() noexcept {
    const DWORD error = GetLastError();
    return error ? error : ERROR_OUTOFMEMORY;
}

[[nodiscard]] bool IsSet(HANDLE abortEvent) noexcept {
    return abortEvent && WaitForSingleObject(abortEvent, 0) == WAIT_OBJECT_0;
}

// Runs a Create* call and keeps its handle only if the object did not exist before.
template <typename Create>
[[nodiscard]] base::UniqueHandle CreateNew(Create create) noexcept {
    SetLastError(0);
    base::UniqueHandle handle(create());
    if (handle && GetLastError() == ERROR_ALREADY_EXISTS) handle.reset();
    return handle;
}

// The security records of one accept attempt; their owners free them with it.
struct AcceptSecurity {
    TunnelSecurity mapping;
    TunnelSecurity events;
    TunnelSecurity mutex;
};

[[nodiscard]] bool BuildAcceptSecurity(bool withLowLabel, AcceptSecurity* security) noexcept {
    return TunnelBuildSecurity(kMappingAccess, &security->mapping, withLowLabel) == 0 &&
           TunnelBuildSecurity(kEventAccess, &security->events, withLowLabel) == 0 &&
           TunnelBuildSecurity(kMutexAccess, &security->mutex, withLowLabel) == 0;
}

[[nodiscard]] HANDLE CreatePageFileMapping(const TunnelSecurity& security, uint32_t size,
                                           const std::wstring& name) noexcept {
    SECURITY_ATTRIBUTES attributes = security.attributes;
    return CreateFileMappingW(INVALID_HANDLE_VALUE, &attributes, PAGE_READWRITE | SEC_COMMIT, 0, size,
                              name.c_str());
}

// The private data mapping, mapped whole, and its four events, all new.
[[nodiscard]] bool CreateChannel(const std::wstring& privateName, uint32_t size,
                                 const AcceptSecurity& security, TunnelConnection* channel) {
    channel->mapping = CreateNew([&] { return CreatePageFileMapping(security.mapping, size, privateName); });
    if (!channel->mapping) return false;
    channel->view.reset(MapViewOfFile(channel->mapping.get(), FILE_MAP_WRITE, 0, 0, 0));
    if (!channel->view) return false;
    channel->size = size;
    for (size_t i = 0; i < kTunnelEventCount; ++i) {
        SECURITY_ATTRIBUTES attributes = security.events.attributes;
        const std::wstring name = DottedName(privateName, kChannelEvents[i].suffix);
        channel->events[i] = CreateNew(
            [&] { return CreateEventW(&attributes, kChannelEvents[i].manualReset, FALSE, name.c_str()); });
        if (!channel->events[i]) return false;
    }
    return true;
}

// The publishing slot: the rendezvous block under the tunnel name and, once it is
// taken, the dispatch mutex. Destroyed mutex first, then the block.
struct Rendezvous {
    base::UniqueHandle block;
    base::UniqueView view;
    base::UniqueHandle mutex;
};

// Creates the block (failing where another accept publishes now) and writes the name.
[[nodiscard]] bool PublishName(const wchar_t* tunnelName, const std::wstring& privateName,
                               const TunnelSecurity& security, Rendezvous* rendezvous) {
    rendezvous->block =
        CreateNew([&] { return CreatePageFileMapping(security, kTunnelRendezvousSize, tunnelName); });
    if (!rendezvous->block) return false;
    rendezvous->view.reset(
        MapViewOfFile(rendezvous->block.get(), FILE_MAP_WRITE, 0, 0, kTunnelRendezvousSize));
    if (!rendezvous->view) return false;
    auto* block = static_cast<uint8_t*>(rendezvous->view.get());
    const size_t chars = std::min<size_t>(privateName.size(), kRendezvousNameCapacity - 1);
    WriteShared(block, kRendezvousCountOffset, static_cast<uint32_t>(privateName.size() * 2));
    std::memcpy(block + kRendezvousNameOffset, privateName.c_str(), chars * sizeof(wchar_t));
    std::memset(block + kRendezvousNameOffset + chars * sizeof(wchar_t), 0, sizeof(wchar_t));
    return true;
}

// The gate: only a freshly created dispatch mutex lets the accept go on, so no
// other process may hold a handle to it. Retried every millisecond.
[[nodiscard]] bool TakeDispatchMutex(const std::wstring& mutexName, const TunnelSecurity& security,
                                     DWORD start, uint32_t timeoutMs, HANDLE abortEvent,
                                     Rendezvous* rendezvous) {
    for (;;) {
        SECURITY_ATTRIBUTES attributes = security.attributes;
        rendezvous->mutex = CreateNew([&] { return CreateMutexW(&attributes, FALSE, mutexName.c_str()); });
        if (rendezvous->mutex) return true;
        if (ElapsedMs(start) > timeoutMs || IsSet(abortEvent)) return false;
        Sleep(kDispatchMutexRetryMs);
    }
}

// Version 2 when the client set its acknowledge event no later than its announcement
// (the zero-time wait consumes it); version 1 otherwise.
[[nodiscard]] bool NegotiateVersion(TunnelConnection* channel, uint32_t waitMs, HANDLE abortEvent) noexcept {
    if (WaitForSingleObject(channel->event(kClientRecvEvent), 0) != WAIT_OBJECT_0) {
        channel->version = 1;
        return SetEvent(channel->event(kServerEvent)) &&
               TunnelWaitSignalled(channel->event(kClientEvent), waitMs, abortEvent) &&
               ResetEvent(channel->event(kClientEvent));
    }
    channel->version = 2;
    return SetEvent(channel->event(kServerRecvEvent)) &&
           TunnelWaitSignalled(channel->event(kClientRecvEvent), waitMs, abortEvent);
}

[[nodiscard]] bool ValidAcceptArguments(const wchar_t* tunnelName, uint32_t mappingSize) noexcept {
    if (!tunnelName) return false;
    const size_t length = wcsnlen(tunnelName, kTunnelMaxNameLength + 1);
    return length != 0 && length <= kTunnelMaxNameLength && mappingSize >= kMappingGranularity &&
           mappingSize % kMappingGranularity == 0;
}

[[nodiscard]] bool TryAccept(const wchar_t* tunnelName, std::unique_ptr<TunnelConnection>* connection,
                             uint32_t mode, HANDLE abortEvent, uint32_t timeoutMs, uint32_t mappingSize,
                             uint32_t handshakeTimeoutMs) {
    if (!ValidAcceptArguments(tunnelName, mappingSize)) return false;
    const DWORD start = GetTickCount();
    AcceptSecurity security;
    if (!BuildAcceptSecurity(mode == kLowLabelMode, &security)) return false;
    std::wstring random;
    if (!TunnelMakeRandomName(&random) || random.size() != kTunnelRandomNameLength) return false;
    const std::wstring privateName = DottedName(tunnelName, random.c_str());

    // Whatever was created is closed with the record if the attempt fails.
    std::unique_ptr<TunnelConnection> channel(new (std::nothrow) TunnelConnection);
    if (!channel || !CreateChannel(privateName, mappingSize, security, channel.get())) return false;
    Rendezvous rendezvous;
    if (!PublishName(tunnelName, privateName, security.mapping, &rendezvous) ||
        !TakeDispatchMutex(DottedName(tunnelName, kDispatchMutexSuffix), security.mutex, start, timeoutMs,
                           abortEvent, &rendezvous) ||
        !TunnelWaitSignalled(channel->event(kClientEvent), timeoutMs, abortEvent))
        return false;
    // The client has announced itself: free the name for the next accept.
    rendezvous.view.reset();
    rendezvous.block.reset();
    rendezvous.mutex.reset();
    if (!ResetEvent(channel->event(kClientEvent)) ||
        !NegotiateVersion(channel.get(), std::min(timeoutMs, handshakeTimeoutMs), abortEvent))
        return false;
    *connection = std::move(channel);
    return true;
}

}  // namespace

namespace tunnel_internal {

std::wstring DottedName(const std::wstring& name, const wchar_t* suffix) { return name + L"." + suffix; }

}  // namespace tunnel_internal

TunnelConnection::~TunnelConnection() { TunnelClose(this); }

uint32_t TunnelBuildSecurity(uint32_t accessMask, TunnelSecurity* security, bool withLowLabel) noexcept {
    if (!security) return ERROR_INVALID_PARAMETER;
    TunnelFreeSecurity(security);
    const auto fail = [security](uint32_t error) {
        TunnelFreeSecurity(security);
        return error;
    };
    SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
    if (!AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0,
                                  security->everyone.put()))
        return fail(LastErrorOrOutOfMemory());

    EXPLICIT_ACCESS_W access{};
    access.grfAccessPermissions = accessMask;
    access.grfAccessMode = SET_ACCESS;
    access.grfInheritance = NO_INHERITANCE;
    access.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    access.Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
    access.Trustee.ptstrName = static_cast<LPWSTR>(security->everyone.get());
    if (const DWORD error = SetEntriesInAclW(1, &access, nullptr, security->acl.put())) return fail(error);

    // Without the label the objects are still usable at medium integrity: ignore failures.
    if (withLowLabel)
        (void)ConvertStringSecurityDescriptorToSecurityDescriptorW(kLowLabelSddl, SDDL_REVISION_1,
                                                                   security->labelDescriptor.put(), nullptr);

    security->descriptor.reset(LocalAlloc(LPTR, SECURITY_DESCRIPTOR_MIN_LENGTH));
    if (!security->descriptor) return fail(ERROR_OUTOFMEMORY);
    PSECURITY_DESCRIPTOR descriptor = security->descriptor.get();
    if (!InitializeSecurityDescriptor(descriptor, SECURITY_DESCRIPTOR_REVISION) ||
        !SetSecurityDescriptorDacl(descriptor, TRUE, security->acl.get(), FALSE))
        return fail(LastErrorOrOutOfMemory());

    BOOL saclPresent = FALSE;
    BOOL saclDefaulted = FALSE;
    PACL sacl = nullptr;
    if (security->labelDescriptor &&
        GetSecurityDescriptorSacl(security->labelDescriptor.get(), &saclPresent, &sacl, &saclDefaulted))
        (void)SetSecurityDescriptorSacl(descriptor, saclPresent, sacl, FALSE);

    security->attributes = {sizeof(SECURITY_ATTRIBUTES), descriptor, FALSE};
    return 0;
}

void TunnelFreeSecurity(TunnelSecurity* security) noexcept {
    if (!security) return;
    security->everyone.reset();
    security->acl.reset();
    security->labelDescriptor.reset();
    security->descriptor.reset();
    security->attributes = {};
}

bool TunnelMakeRandomName(std::wstring* name) noexcept {
    if (!name) return false;
    name->clear();
    base::UniqueCryptProv provider;
    BYTE bytes[kTunnelRandomNameLength];
    if (!CryptAcquireContextW(provider.put(), nullptr, nullptr, PROV_RSA_FULL,
                              CRYPT_VERIFYCONTEXT | CRYPT_SILENT) ||
        !CryptGenRandom(provider.get(), sizeof(bytes), bytes))
        return false;
    if (!base::Completes([&] {
            for (BYTE byte : bytes) name->push_back(kRandomAlphabet[byte & 31]);
        })) {
        name->clear();
        return false;
    }
    return true;
}

bool TunnelTryAccept(const wchar_t* tunnelName, std::unique_ptr<TunnelConnection>* connection, uint32_t mode,
                     HANDLE abortEvent, uint32_t timeoutMs, uint32_t mappingSize,
                     uint32_t handshakeTimeoutMs) noexcept {
    if (!connection) return false;
    connection->reset();
    return base::ReturnOr(
        [&] {
            return TryAccept(tunnelName, connection, mode, abortEvent, timeoutMs, mappingSize,
                             handshakeTimeoutMs);
        },
        false);
}

bool TunnelAccept(const wchar_t* tunnelName, std::unique_ptr<TunnelConnection>* connection, uint32_t mode,
                  HANDLE abortEvent, uint32_t timeoutMs, uint32_t mappingSize,
                  uint32_t handshakeTimeoutMs) noexcept {
    const DWORD start = GetTickCount();
    const auto attempt = [&] {
        return TunnelTryAccept(tunnelName, connection, mode, abortEvent, timeoutMs, mappingSize,
                               handshakeTimeoutMs);
    };
    if (attempt()) return true;
    while (!IsSet(abortEvent)) {
        if (ElapsedMs(start) > timeoutMs) break;
        Sleep(kAcceptRetryMs);
        if (attempt()) return true;
    }
    return false;
}

void TunnelClose(TunnelConnection* connection) noexcept {
    if (!connection) return;
    for (base::UniqueHandle& event : connection->events) event.reset();
    connection->view.reset();
    connection->mapping.reset();
}
