#include "tests/tunnel/tunnel_peer.h"

#include <aclapi.h>
#include <sddl.h>

#include <cstring>
#include <cwchar>
#include <vector>

#include "tunnel/tunnel_client.h"

namespace tunneltest {
namespace {

// The client's objects opened a second time, to speak chunks by hand, written from
// the published names and rights rather than from the tunnel's code.
struct RawClient {
    bool Open(const std::wstring& privateName, const std::wstring& tunnelName, uint32_t version) {
        channel.version = version;
        channel.mapping.reset(
            OpenFileMappingW(FILE_MAP_READ | FILE_MAP_WRITE, FALSE, privateName.c_str()));
        if (channel.mapping)
            channel.view.reset(MapViewOfFile(channel.mapping.get(), FILE_MAP_WRITE, 0, 0, kSize));
        const wchar_t* suffixes[] = {L".ServerEvt", L".ServerRecvEvt", L".ClientEvt",
                                     L".ClientRecvEvt"};
        bool opened = channel.view.valid();
        for (int i = 0; i < 4; ++i) {
            channel.events[i].reset(OpenEventW(SYNCHRONIZE | EVENT_MODIFY_STATE, FALSE,
                                               (privateName + suffixes[i]).c_str()));
            opened = opened && channel.events[i];
        }
        // Only a Session's test reports the server done.
        ended.reset(OpenEventW(SYNCHRONIZE, FALSE, (tunnelName + L".Ended").c_str()));
        return opened;
    }

    // Puts a chunk that claims `length` bytes (only what fits is written); true once
    // the server took it, false if the test reports the server done without it.
    bool PutChunk(uint32_t length, uint32_t kind) {
        auto* buffer = static_cast<uint8_t*>(channel.view.get());
        std::memcpy(buffer, &length, 4);
        std::memcpy(buffer + 4, &kind, 4);
        std::memset(buffer + 8, 0x41, length < kPayload ? length : kPayload);
        if (!SetEvent(channel.event(kClientEvent))) return false;
        if (channel.version == 2) {
            const HANDLE handles[] = {channel.event(kServerRecvEvent), ended.get()};
            return WaitForMultipleObjects(ended ? 2 : 1, handles, FALSE, kLongMs) == WAIT_OBJECT_0;
        }
        // Version 1: taken means reset; once the server is done, the event is final.
        for (DWORD start = GetTickCount(); GetTickCount() - start < kLongMs; Sleep(1)) {
            const bool done = ended && WaitForSingleObject(ended.get(), 0) == WAIT_OBJECT_0;
            if (WaitForSingleObject(channel.event(kClientEvent), 0) == WAIT_TIMEOUT) return true;
            if (done) return false;
        }
        return false;
    }

    TunnelConnection channel;
    base::UniqueHandle ended;
};

// Runs one operation of the "client" child; false ends the child.
bool RunOp(TunnelClient* client, RawClient* raw, uint32_t op) {
    switch (op) {
        case kEcho: {
            std::wstring text;
            uint32_t value = 0;
            return client->ReceiveString(&text, kLongMs) && client->ReceiveDword(&value, kLongMs) &&
                   client->SendString(text, kLongMs) && client->SendDword(value, kLongMs);
        }
        case kRecordChunks:
            return client->SendString(TakeRawMessage(raw->channel, kServerEvent, kClientRecvEvent),
                                      kLongMs);
        case kSendMessage: {
            uint32_t size = 0, kind = 0;
            if (!client->ReceiveDword(&size, kLongMs) || !client->ReceiveDword(&kind, kLongMs))
                return false;
            std::vector<uint8_t> bytes(size + 1, 0x5A);  // never a null pointer
            return client->SendMessage(bytes.data(), size, kind, kLongMs);
        }
        case kSendRawChunks: {
            std::wstring text;
            if (!client->ReceiveString(&text, kLongMs)) return false;
            UINT acked = 0;
            uint32_t length = 0, kind = 0;
            while (swscanf(text.c_str(), L"%u:%u", &length, &kind) == 2 && raw->PutChunk(length, kind)) {
                ++acked;
                const size_t comma = text.find(L',');
                text = comma == std::wstring::npos ? L"" : text.substr(comma + 1);
            }
            WaitForSingleObject(raw->ended.get(), kLongMs);
            ExitProcess(kExitAcked + acked);
        }
        case kGoDeaf:
            Sleep(INFINITE);
            return false;
        default:
            return false;
    }
}

}  // namespace

std::wstring TakeRawMessage(const TunnelConnection& channel, TunnelEvent peerSend,
                            TunnelEvent ownAck) {
    std::wstring text;
    for (;;) {
        if (WaitForSingleObject(channel.event(peerSend), kLongMs) != WAIT_OBJECT_0) return L"failed";
        uint32_t length = 0, kind = 0;
        std::memcpy(&length, channel.view.get(), 4);
        std::memcpy(&kind, static_cast<const uint8_t*>(channel.view.get()) + 4, 4);
        ResetEvent(channel.event(peerSend));
        if (channel.version == 2) SetEvent(channel.event(ownAck));
        if (!text.empty()) text += L",";
        text += std::to_wstring(length) + L":" + std::to_wstring(kind);
        if (length != kPayload) return text;
    }
}

// args: tunnel name, version. Sends its private name, then runs operations.
TEST_CHILD_ROLE(client) {
    const auto client = TunnelClient::Connect(args.at(0).c_str(), std::stoul(args.at(1)), kLongMs);
    RawClient raw;
    if (!client || !client->SendString(client->privateName(), kLongMs) ||
        !raw.Open(client->privateName(), args.at(0), client->version()))
        return kExitSetupFailed;
    for (;;) {
        uint32_t op = kQuit;
        if (!client->ReceiveDword(&op, kLongMs)) return kExitSetupFailed;
        if (op == kQuit) return kExitQuit;
        if (!RunOp(client.get(), &raw, op)) return kExitOpFailed;
    }
}

Session::Session(uint32_t version, uint32_t mode, std::wstring name)
    : tunnelName(std::move(name)),
      ended(CreateEventW(nullptr, TRUE, FALSE, (tunnelName + L".Ended").c_str())),
      child(L"client", {tunnelName, std::to_wstring(version)}) {
    accepted = TunnelAccept(tunnelName.c_str(), &connection, mode, nullptr, kLongMs, kSize,
                            kLongMs) &&
               TunnelReceiveString(connection.get(), &privateName, kLongMs, nullptr);
}

bool Session::Tell(Op op) { return TunnelSendDword(connection.get(), op, kLongMs, nullptr); }

std::wstring Session::TakeRawMessage() {
    return tunneltest::TakeRawMessage(*connection, kClientEvent, kServerRecvEvent);
}

std::wstring TunnelTestName() { return testsupport::UniqueName(L"Local\\TunnelTest"); }

std::wstring DaclText(HANDLE object) {
    base::UniqueLocal<PSECURITY_DESCRIPTOR> descriptor;
    base::UniqueLocal<wchar_t*> text;
    const DWORD error = GetSecurityInfo(object, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                        nullptr, nullptr, nullptr, descriptor.put());
    if (error) return L"error " + std::to_wstring(error);
    if (!ConvertSecurityDescriptorToStringSecurityDescriptorW(
            descriptor.get(), SDDL_REVISION_1, DACL_SECURITY_INFORMATION, text.put(), nullptr))
        return L"not convertible";
    return text.get();
}

// Read by hand: Wine's converter writes a label without its type.
std::wstring LabelText(HANDLE object) {
    PACL sacl = nullptr;
    base::UniqueLocal<PSECURITY_DESCRIPTOR> descriptor;
    const DWORD error = GetSecurityInfo(object, SE_KERNEL_OBJECT, LABEL_SECURITY_INFORMATION,
                                        nullptr, nullptr, nullptr, &sacl, descriptor.put());
    if (error) return L"error " + std::to_wstring(error);
    if (!sacl || sacl->AceCount == 0) return L"none";
    SYSTEM_MANDATORY_LABEL_ACE* ace = nullptr;
    base::UniqueLocal<wchar_t*> sid;
    if (sacl->AceCount != 1 || !GetAce(sacl, 0, reinterpret_cast<void**>(&ace)) ||
        ace->Header.AceType != SYSTEM_MANDATORY_LABEL_ACE_TYPE ||
        !ConvertSidToStringSidW(&ace->SidStart, sid.put()))
        return L"not one label";
    return std::to_wstring(ace->Mask) + L" " + sid.get();
}

}  // namespace tunneltest
