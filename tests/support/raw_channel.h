// A client's channel objects opened a second time, to put chunks by hand: headers
// that lie, kinds that are wrong, messages cut off. Written from the published names
// and rights rather than from the tunnel's code.
#pragma once

#include <windows.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "tunnel/tunnel.h"

namespace testsupport {

struct RawChannel {
    static constexpr uint32_t kSize = 65536;
    static constexpr uint32_t kPayload = kSize - 8;  // the largest chunk

    [[nodiscard]] bool Open(const std::wstring& privateName, uint32_t version) {
        channel.version = version;
        channel.mapping.reset(OpenFileMappingW(FILE_MAP_READ | FILE_MAP_WRITE, FALSE, privateName.c_str()));
        if (channel.mapping)
            channel.view.reset(MapViewOfFile(channel.mapping.get(), FILE_MAP_WRITE, 0, 0, kSize));
        const wchar_t* suffixes[] = {L".ServerEvt", L".ServerRecvEvt", L".ClientEvt", L".ClientRecvEvt"};
        bool opened = channel.view.valid();
        for (int i = 0; i < 4; ++i) {
            channel.events[i].reset(
                OpenEventW(SYNCHRONIZE | EVENT_MODIFY_STATE, FALSE, (privateName + suffixes[i]).c_str()));
            opened = opened && channel.events[i];
        }
        return opened;
    }

    // Puts a chunk that claims `length` bytes (only what fits is written); true once
    // the server took it, false after timeoutMs or once `giveUp` (may be null) is set.
    [[nodiscard]] bool PutChunk(uint32_t length, uint32_t kind, uint32_t timeoutMs, HANDLE giveUp = nullptr) {
        auto* buffer = static_cast<uint8_t*>(channel.view.get());
        std::memcpy(buffer, &length, 4);
        std::memcpy(buffer + 4, &kind, 4);
        std::memset(buffer + 8, 0x41, length < kPayload ? length : kPayload);
        if (!SetEvent(channel.event(kClientEvent))) return false;
        if (channel.version == 2) {
            const HANDLE handles[] = {channel.event(kServerRecvEvent), giveUp};
            return WaitForMultipleObjects(giveUp ? 2 : 1, handles, FALSE, timeoutMs) == WAIT_OBJECT_0;
        }
        // Version 1: taken means reset; once the peer gave up, the event is final.
        for (DWORD start = GetTickCount(); GetTickCount() - start < timeoutMs; Sleep(1)) {
            const bool done = giveUp && WaitForSingleObject(giveUp, 0) == WAIT_OBJECT_0;
            if (WaitForSingleObject(channel.event(kClientEvent), 0) == WAIT_TIMEOUT) return true;
            if (done) return false;
        }
        return false;
    }

    TunnelConnection channel;
};

}  // namespace testsupport
