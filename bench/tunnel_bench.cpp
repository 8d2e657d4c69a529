// Tunnel benchmark, run on demand (scripts/bench): throughput of one 256 MiB text and
// round trips of 4-byte numbers between two processes, next to a named pipe, bare
// shared-memory exchanges with no header and no checks (one that makes exactly the
// tunnel's event calls, the limit the tunnel can reach, and lighter ones), and memcpy
// of 64 KiB blocks.
//
//   tunnel_bench.exe [ROUNDS]             the measuring side; starts its peer itself
//   tunnel_bench.exe --peer PREFIX ROUNDS the other side of every exchange
//
// Every round measures every exchange once, in turn, so that a change of load on the
// machine touches all of them alike; the figures are medians over the rounds.
#include <windows.h>
#include <shellapi.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "base/unique_resource.h"
#include "bench/measure.h"
#include "tunnel/tunnel.h"
#include "tunnel/tunnel_client.h"
#include "tests/support/child_process.h"
#include "tunnel/wire.h"

namespace {

using bench::Median;

constexpr uint32_t kBulkBytes = 256u << 20;
constexpr uint32_t kBlockBytes = 64u << 10;
constexpr uint32_t kBlocks = kBulkBytes / kBlockBytes;
constexpr uint32_t kRoundTrips = 2000;
constexpr uint32_t kTimeoutMs = 60000;
constexpr int kDefaultRounds = 5;
constexpr double kMega = 1e6;

class Stopwatch {
public:
    Stopwatch() noexcept { QueryPerformanceCounter(&start_); }
    [[nodiscard]] double Seconds() const noexcept {
        LARGE_INTEGER now, frequency;
        QueryPerformanceCounter(&now);
        QueryPerformanceFrequency(&frequency);
        return double(now.QuadPart - start_.QuadPart) / double(frequency.QuadPart);
    }

private:
    LARGE_INTEGER start_;
};

[[nodiscard]] double BulkRate(const Stopwatch& watch) { return kBulkBytes / watch.Seconds() / kMega; }
[[nodiscard]] double TripRate(const Stopwatch& watch) { return kRoundTrips / watch.Seconds(); }

// Retries an open until the other side has created the object.
template <typename Open>
[[nodiscard]] HANDLE OpenWhenThere(Open open) {
    const DWORD start = GetTickCount();
    for (;;) {
        const HANDLE handle = open();
        if (handle != nullptr && handle != INVALID_HANDLE_VALUE) return handle;
        if (GetTickCount() - start > kTimeoutMs) return nullptr;
        Sleep(1);
    }
}

struct FreeBlock {
    void operator()(void* p) const noexcept { std::free(p); }
};

// ---- the exchanges' channels, opened once by both sides

// Bare shared memory: one 64 KiB mapping, one auto-reset event per direction, no
// header, no checks. Plain: SetEvent, then a wait. Combined: SignalObjectAndWait,
// one kernel call for both, as the tunnel uses it. The receiver copies each block
// either into one buffer it reuses (only the events count) or, as any receiver of
// a new message must, into fresh memory, whose first touch costs a page fault.
// The protocol's own mode has a manual-reset send event and an auto-reset
// acknowledge event per direction and makes the tunnel's version-2 calls: the sender
// SignalObjectAndWait(send, peer's ack) per chunk; the receiver waits (joined with
// the acknowledgement of the chunk before), resets the send event, and sets its
// acknowledgement after a message's last chunk.
struct BareMode {
    bool combined;
    bool freshTarget;
    bool protocol;
    const char* label;
};
constexpr BareMode kBareModes[] = {
    {true, true, true, "bare, the protocol's event calls"},
    {false, false, false, "bare, SetEvent + wait, reused buffer"},
    {false, true, false, "bare, SetEvent + wait, fresh memory"},
    {true, true, false, "bare, SignalObjectAndWait, fresh memory"},
};
constexpr size_t kProtocolMode = 0;
constexpr uint32_t kPayloadBytes = wire::kChannelMappingSize - 8;  // a chunk's payload, as the tunnel's
constexpr size_t kBareModeCount = std::size(kBareModes);

struct Bare {
    base::UniqueHandle mapping;
    base::UniqueView view;
    base::UniqueHandle serverEvent;  // the server's block or number is there
    base::UniqueHandle clientEvent;  // the client's acknowledgement or number is there
    base::UniqueHandle serverAck;    // protocol mode: the server took the client's chunk
    base::UniqueHandle clientAck;    // protocol mode: the client took the server's chunk
    bool combined = false;

    // Sets `signal`, then waits for `event`; `wait` false: only sets.
    [[nodiscard]] bool Hand(HANDLE signal, HANDLE event, bool wait) const {
        if (!wait) return SetEvent(signal);
        if (combined) return SignalObjectAndWait(signal, event, kTimeoutMs, FALSE) == WAIT_OBJECT_0;
        return SetEvent(signal) && WaitForSingleObject(event, kTimeoutMs) == WAIT_OBJECT_0;
    }
    [[nodiscard]] bool Await(HANDLE event) const {
        return WaitForSingleObject(event, kTimeoutMs) == WAIT_OBJECT_0;
    }
};

// Both sides derive every name from the measuring side's prefix.
struct Names {
    explicit Names(const std::wstring& prefix)
        : tunnel(prefix + L".Tunnel"),
          pipe(L"\\\\.\\pipe\\" + prefix.substr(prefix.find(L'\\') + 1) + L".Pipe"),
          bare(prefix + L".Bare") {}
    [[nodiscard]] std::wstring Bare(size_t mode, const wchar_t* what) const {
        return bare + std::to_wstring(mode) + what;
    }
    std::wstring tunnel, pipe, bare;
};

struct Channels {
    std::unique_ptr<TunnelConnection> tunnel;  // measuring side
    std::unique_ptr<TunnelClient> client;      // peer
    base::UniqueFile pipe;
    Bare bare[kBareModeCount];
};

[[nodiscard]] bool MapBare(Bare* bare, bool protocol) {
    if (bare->mapping) bare->view.reset(MapViewOfFile(bare->mapping.get(), FILE_MAP_WRITE, 0, 0, 0));
    return bare->view && bare->serverEvent && bare->clientEvent &&
           (!protocol || (bare->serverAck && bare->clientAck));
}

[[nodiscard]] bool OpenMeasuringSide(const Names& names, Channels* channels) {
    if (!TunnelAccept(names.tunnel.c_str(), &channels->tunnel, wire::kServerModeLocal, nullptr, kTimeoutMs,
                      wire::kChannelMappingSize, wire::kHandshakeTimeoutMs))
        return false;
    channels->pipe.reset(CreateNamedPipeW(names.pipe.c_str(), PIPE_ACCESS_DUPLEX,
                                          PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, kBlockBytes,
                                          kBlockBytes, 0, nullptr));
    if (!channels->pipe ||
        (!ConnectNamedPipe(channels->pipe.get(), nullptr) && GetLastError() != ERROR_PIPE_CONNECTED))
        return false;
    for (size_t mode = 0; mode < kBareModeCount; ++mode) {
        Bare& bare = channels->bare[mode];
        bare.combined = kBareModes[mode].combined;
        const bool protocol = kBareModes[mode].protocol;
        bare.mapping.reset(CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, kBlockBytes,
                                              names.Bare(mode, L"Map").c_str()));
        const auto event = [&](BOOL manual, const wchar_t* what) {
            return CreateEventW(nullptr, manual, FALSE, names.Bare(mode, what).c_str());
        };
        bare.serverEvent.reset(event(protocol, L"S"));
        bare.clientEvent.reset(event(protocol, L"C"));
        if (protocol) {
            bare.serverAck.reset(event(FALSE, L"SA"));
            bare.clientAck.reset(event(FALSE, L"CA"));
        }
        if (!MapBare(&bare, protocol)) return false;
    }
    return true;
}

[[nodiscard]] bool OpenPeerSide(const Names& names, Channels* channels) {
    channels->client = TunnelClient::Connect(names.tunnel.c_str(), 2, kTimeoutMs);
    if (!channels->client) return false;
    channels->pipe.reset(OpenWhenThere([&] {
        return CreateFileW(names.pipe.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                           nullptr);
    }));
    if (!channels->pipe.get()) return false;
    for (size_t mode = 0; mode < kBareModeCount; ++mode) {
        Bare& bare = channels->bare[mode];
        bare.combined = kBareModes[mode].combined;
        bare.mapping.reset(OpenWhenThere(
            [&] { return OpenFileMappingW(FILE_MAP_WRITE, FALSE, names.Bare(mode, L"Map").c_str()); }));
        const auto openEvent = [&](const wchar_t* what) {
            return OpenWhenThere([&] {
                return OpenEventW(SYNCHRONIZE | EVENT_MODIFY_STATE, FALSE, names.Bare(mode, what).c_str());
            });
        };
        const bool protocol = kBareModes[mode].protocol;
        bare.serverEvent.reset(openEvent(L"S"));
        bare.clientEvent.reset(openEvent(L"C"));
        if (protocol) {
            bare.serverAck.reset(openEvent(L"SA"));
            bare.clientAck.reset(openEvent(L"CA"));
        }
        if (!MapBare(&bare, protocol)) return false;
    }
    return true;
}

// ---- one round of each exchange, measuring side and peer

struct Samples {
    std::vector<double> tunnelDown, tunnelUp, tunnelTrips, pipeBulk, pipeTrips, memcpyBulk;
    std::vector<double> bareBulk[kBareModeCount], bareTrips[kBareModeCount];
};

[[nodiscard]] bool MeasureTunnel(TunnelConnection* c, const std::wstring& text, Samples* samples) {
    Stopwatch down;
    if (!TunnelSendString(c, text.c_str(), kTimeoutMs, nullptr)) return false;
    samples->tunnelDown.push_back(BulkRate(down));

    std::wstring received;
    if (!TunnelSendDword(c, 0, kTimeoutMs, nullptr)) return false;  // go
    Stopwatch up;
    if (!TunnelReceiveString(c, &received, kTimeoutMs, nullptr)) return false;
    samples->tunnelUp.push_back(BulkRate(up));

    Stopwatch trips;
    for (uint32_t i = 0; i < kRoundTrips; ++i) {
        uint32_t value = 0;
        if (!TunnelReceiveDword(c, &value, kTimeoutMs, nullptr) ||
            !TunnelSendDword(c, value + 1, kTimeoutMs, nullptr))
            return false;
    }
    samples->tunnelTrips.push_back(TripRate(trips));
    return true;
}

[[nodiscard]] bool PeerTunnel(TunnelClient* client, const std::wstring& text) {
    std::wstring received;
    uint32_t go = 0;
    if (!client->ReceiveString(&received, kTimeoutMs) || received.size() != text.size() ||
        !client->ReceiveDword(&go, kTimeoutMs) || !client->SendString(text, kTimeoutMs))
        return false;
    for (uint32_t i = 0; i < kRoundTrips; ++i) {
        uint32_t reply = 0;
        if (!client->SendDword(i, kTimeoutMs) || !client->ReceiveDword(&reply, kTimeoutMs) || reply != i + 1)
            return false;
    }
    return true;
}

[[nodiscard]] bool PipeWrite(HANDLE pipe, const void* data, DWORD size) {
    DWORD written = 0;
    return WriteFile(pipe, data, size, &written, nullptr) && written == size;
}

[[nodiscard]] bool PipeRead(HANDLE pipe, void* data, DWORD size) {
    auto* bytes = static_cast<uint8_t*>(data);
    while (size > 0) {
        DWORD read = 0;
        if (!ReadFile(pipe, bytes, size, &read, nullptr) || read == 0) return false;
        bytes += read;
        size -= read;
    }
    return true;
}

// The pipe streams 64 KiB writes; the reader acknowledges the whole at its end.
[[nodiscard]] bool MeasurePipe(HANDLE pipe, const std::vector<uint8_t>& source, Samples* samples) {
    Stopwatch bulk;
    for (uint32_t b = 0; b < kBlocks; ++b)
        if (!PipeWrite(pipe, source.data() + size_t{b} * kBlockBytes, kBlockBytes)) return false;
    uint8_t ack = 0;
    if (!PipeRead(pipe, &ack, 1)) return false;
    samples->pipeBulk.push_back(BulkRate(bulk));

    Stopwatch trips;
    for (uint32_t i = 0; i < kRoundTrips; ++i) {
        uint32_t value = 0;
        if (!PipeRead(pipe, &value, 4)) return false;
        value += 1;
        if (!PipeWrite(pipe, &value, 4)) return false;
    }
    samples->pipeTrips.push_back(TripRate(trips));
    return true;
}

[[nodiscard]] bool PeerPipe(HANDLE pipe) {
    std::unique_ptr<uint8_t, FreeBlock> target(static_cast<uint8_t*>(std::malloc(kBulkBytes)));
    if (!target) return false;
    for (uint32_t b = 0; b < kBlocks; ++b)
        if (!PipeRead(pipe, target.get() + size_t{b} * kBlockBytes, kBlockBytes)) return false;
    const uint8_t ack = 1;
    if (!PipeWrite(pipe, &ack, 1)) return false;
    for (uint32_t i = 0; i < kRoundTrips; ++i) {
        uint32_t value = i;
        if (!PipeWrite(pipe, &value, 4) || !PipeRead(pipe, &value, 4) || value != i + 1) return false;
    }
    return true;
}

[[nodiscard]] bool MeasureBare(const Bare& bare, const std::vector<uint8_t>& source,
                               std::vector<double>* bulkSamples, std::vector<double>* tripSamples) {
    const HANDLE mine = bare.serverEvent.get(), theirs = bare.clientEvent.get();
    if (!bare.Await(theirs)) return false;  // the receiver has its target ready
    Stopwatch bulk;
    for (uint32_t b = 0; b < kBlocks; ++b) {
        std::memcpy(bare.view.get(), source.data() + size_t{b} * kBlockBytes, kBlockBytes);
        if (!bare.Hand(mine, theirs, true)) return false;
    }
    bulkSamples->push_back(BulkRate(bulk));

    // The measuring side starts the round trips, so the events keep alternating.
    auto* number = static_cast<volatile uint32_t*>(bare.view.get());
    Stopwatch trips;
    for (uint32_t i = 0; i < kRoundTrips; ++i) {
        *number = i;
        if (!bare.Hand(mine, theirs, true) || *number != i + 1) return false;
    }
    tripSamples->push_back(TripRate(trips));
    return true;
}

[[nodiscard]] bool PeerBare(const Bare& bare, bool freshTarget, uint8_t* reused) {
    const HANDLE mine = bare.clientEvent.get(), theirs = bare.serverEvent.get();
    std::unique_ptr<uint8_t, FreeBlock> fresh(freshTarget ? static_cast<uint8_t*>(std::malloc(kBulkBytes))
                                                          : nullptr);
    uint8_t* target = freshTarget ? fresh.get() : reused;
    if (!target || !bare.Hand(mine, theirs, true)) return false;
    for (uint32_t b = 0; b < kBlocks; ++b) {
        std::memcpy(target + size_t{b} * kBlockBytes, bare.view.get(), kBlockBytes);
        if (!bare.Hand(mine, theirs, b + 1 < kBlocks)) return false;
    }
    auto* number = static_cast<volatile uint32_t*>(bare.view.get());
    if (!bare.Await(theirs)) return false;
    for (uint32_t i = 0; i < kRoundTrips; ++i) {
        *number = *number + 1;
        if (!bare.Hand(mine, theirs, i + 1 < kRoundTrips)) return false;
    }
    return true;
}

// The protocol mode, one message of `bytes` each way the tunnel would cut it.
[[nodiscard]] bool Waited(DWORD result) { return result == WAIT_OBJECT_0; }

[[nodiscard]] bool ProtocolSend(void* view, HANDLE send, HANDLE peerAck, const uint8_t* bytes,
                                uint32_t size) {
    for (uint32_t offset = 0;;) {
        const uint32_t chunk = std::min(size - offset, kPayloadBytes);
        std::memcpy(view, bytes + offset, chunk);
        if (!Waited(SignalObjectAndWait(send, peerAck, kTimeoutMs, FALSE))) return false;
        if (chunk < kPayloadBytes) return true;
        offset += chunk;
    }
}

[[nodiscard]] bool ProtocolReceive(const void* view, HANDLE peerSend, HANDLE ownAck, uint8_t* target,
                                   uint32_t size) {
    HANDLE pendingAck = nullptr;
    for (uint32_t offset = 0;;) {
        const uint32_t chunk = std::min(size - offset, kPayloadBytes);
        if (!Waited(pendingAck ? SignalObjectAndWait(pendingAck, peerSend, kTimeoutMs, FALSE)
                               : WaitForSingleObject(peerSend, kTimeoutMs)))
            return false;
        std::memcpy(target + offset, view, chunk);
        if (!ResetEvent(peerSend)) return false;
        if (chunk < kPayloadBytes) return SetEvent(ownAck);
        pendingAck = ownAck;
        offset += chunk;
    }
}

[[nodiscard]] bool MeasureProtocol(const Bare& bare, const std::vector<uint8_t>& source,
                                   std::vector<double>* bulkSamples, std::vector<double>* tripSamples) {
    void* view = bare.view.get();
    // The receiver has its target ready.
    if (!bare.Await(bare.clientEvent.get()) || !ResetEvent(bare.clientEvent.get())) return false;
    Stopwatch bulk;
    if (!ProtocolSend(view, bare.serverEvent.get(), bare.clientAck.get(), source.data(), kBulkBytes))
        return false;
    bulkSamples->push_back(BulkRate(bulk));

    Stopwatch trips;
    for (uint32_t i = 0; i < kRoundTrips; ++i) {
        uint32_t value = 0;
        if (!ProtocolReceive(view, bare.clientEvent.get(), bare.serverAck.get(),
                             reinterpret_cast<uint8_t*>(&value), 4))
            return false;
        value += 1;
        if (!ProtocolSend(view, bare.serverEvent.get(), bare.clientAck.get(),
                          reinterpret_cast<const uint8_t*>(&value), 4))
            return false;
    }
    tripSamples->push_back(TripRate(trips));
    return true;
}

[[nodiscard]] bool PeerProtocol(const Bare& bare) {
    std::unique_ptr<uint8_t, FreeBlock> target(static_cast<uint8_t*>(std::malloc(kBulkBytes)));
    void* view = bare.view.get();
    if (!target || !SetEvent(bare.clientEvent.get()) ||
        !ProtocolReceive(view, bare.serverEvent.get(), bare.clientAck.get(), target.get(), kBulkBytes))
        return false;
    for (uint32_t i = 0; i < kRoundTrips; ++i) {
        uint32_t value = i;
        if (!ProtocolSend(view, bare.clientEvent.get(), bare.serverAck.get(),
                          reinterpret_cast<const uint8_t*>(&value), 4) ||
            !ProtocolReceive(view, bare.serverEvent.get(), bare.clientAck.get(),
                             reinterpret_cast<uint8_t*>(&value), 4) ||
            value != i + 1)
            return false;
    }
    return true;
}

// memcpy of 64 KiB blocks out of a 256 MiB buffer, as a sender fills the view.
void MeasureMemcpy(const std::vector<uint8_t>& source, Samples* samples) {
    std::vector<uint8_t> block(kBlockBytes);
    Stopwatch watch;
    for (uint32_t b = 0; b < kBlocks; ++b)
        std::memcpy(block.data(), source.data() + size_t{b} * kBlockBytes, kBlockBytes);
    volatile uint8_t sink = block[kBlockBytes - 1];
    (void)sink;
    samples->memcpyBulk.push_back(BulkRate(watch));
}

// ---- the two processes

[[nodiscard]] int RunPeer(const std::wstring& prefix, int rounds) {
    Channels channels;
    if (!OpenPeerSide(Names(prefix), &channels)) return 2;
    const std::wstring text(kBulkBytes / sizeof(wchar_t), L'T');
    std::vector<uint8_t> reused(kBulkBytes, 0);
    for (int round = 0; round < rounds; ++round) {
        if (!PeerTunnel(channels.client.get(), text)) return 3;
        if (!PeerPipe(channels.pipe.get())) return 4;
        if (!PeerProtocol(channels.bare[kProtocolMode])) return 5;
        for (size_t mode = kProtocolMode + 1; mode < kBareModeCount; ++mode)
            if (!PeerBare(channels.bare[mode], kBareModes[mode].freshTarget, reused.data())) return 5;
    }
    return 0;
}

struct Figures {
    double megabytesPerSecond;
    double roundTripsPerSecond;
};

void PrintRow(const char* name, const Figures& figures) {
    std::printf("  %-44s", name);
    figures.megabytesPerSecond > 0 ? std::printf("%12.0f", figures.megabytesPerSecond)
                                   : std::printf("%12s", "-");
    figures.roundTripsPerSecond > 0 ? std::printf("%14.0f\n", figures.roundTripsPerSecond)
                                    : std::printf("%14s\n", "-");
}

void PrintShare(const char* name, const Figures& tunnel, const Figures& other) {
    const auto percent = [](double a, double b) { return b > 0 ? 100.0 * a / b : 0.0; };
    std::printf("  %-44s%11.1f%%%13.0f%%\n", name,
                percent(tunnel.megabytesPerSecond, other.megabytesPerSecond),
                percent(tunnel.roundTripsPerSecond, other.roundTripsPerSecond));
}

void PrintFigures(const Samples& samples, int rounds) {
    const Figures tunnel{Median(samples.tunnelDown), Median(samples.tunnelTrips)};
    const Figures pipe{Median(samples.pipeBulk), Median(samples.pipeTrips)};
    const Figures copy{Median(samples.memcpyBulk), 0};
    std::printf(
        "Two processes under one Wine; bulk: one 256 MiB message, round trips: %u "
        "4-byte numbers each way; medians of %d rounds.\n",
        kRoundTrips, rounds);
    std::printf("  %-44s%12s%14s\n", "", "bulk MB/s", "round trips/s");
    PrintRow("tunnel v2, server to client (text)", tunnel);
    PrintRow("tunnel v2, client to server (text)", {Median(samples.tunnelUp), 0});
    PrintRow("named pipe, 64 KiB writes", pipe);
    Figures bare[kBareModeCount];
    for (size_t mode = 0; mode < kBareModeCount; ++mode) {
        bare[mode] = {Median(samples.bareBulk[mode]), Median(samples.bareTrips[mode])};
        PrintRow(kBareModes[mode].label, bare[mode]);
    }
    PrintRow("memcpy, 64 KiB blocks", copy);
    std::printf("Tunnel v2 (server to client) as a share of:\n");
    for (size_t mode = 0; mode < kBareModeCount; ++mode)
        PrintShare(kBareModes[mode].label, tunnel, bare[mode]);
    PrintShare("named pipe", tunnel, pipe);
    PrintShare("memcpy", tunnel, copy);
    // Under Wine every event call is a wineserver round trip: these counts set the limits.
    std::printf(
        "Event calls per 64 KiB chunk / per round trip: tunnel v2 and the protocol's\n"
        "bare exchange 3 / 8 (the reset of the manual-reset send event and the\n"
        "acknowledge event of every message), bare SetEvent + wait 4 / 4, bare\n"
        "SignalObjectAndWait 2 / 2.\n");
    // The table's rows: each beside the bare exchange that makes exactly its event calls.
    const char* bareLabel = "bare exchange, same event calls";
    const Figures& limit = bare[kProtocolMode];
    bench::Row("tunnel, 256 MiB text, server to client", tunnel.megabytesPerSecond, "MB/s", bareLabel,
               limit.megabytesPerSecond);
    bench::Row("tunnel, 4-byte round trips", tunnel.roundTripsPerSecond, "round trips/s", bareLabel,
               limit.roundTripsPerSecond);
}

[[nodiscard]] int RunMeasuringSide(int rounds) {
    const std::wstring prefix = L"Local\\TunnelBench." + std::to_wstring(GetCurrentProcessId());
    const testsupport::Program peer(testsupport::ThisProgram(), {L"--peer", prefix, std::to_wstring(rounds)});
    if (!peer.running()) {
        std::fprintf(stderr, "tunnel_bench: cannot start the peer (%lu)\n", GetLastError());
        return 1;
    }
    Channels channels;
    if (!OpenMeasuringSide(Names(prefix), &channels)) {
        std::fprintf(stderr, "tunnel_bench: cannot open the channels (%lu)\n", GetLastError());
        return 1;
    }
    const std::wstring text(kBulkBytes / sizeof(wchar_t), L'T');
    const std::vector<uint8_t> source(kBulkBytes, 0x42);
    Samples samples;
    for (int round = 0; round < rounds; ++round) {
        const char* failed = nullptr;
        if (!MeasureTunnel(channels.tunnel.get(), text, &samples)) failed = "tunnel";
        if (!failed && !MeasurePipe(channels.pipe.get(), source, &samples)) failed = "named pipe";
        for (size_t mode = 0; !failed && mode < kBareModeCount; ++mode)
            if (!(mode == kProtocolMode ? MeasureProtocol : MeasureBare)(
                    channels.bare[mode], source, &samples.bareBulk[mode], &samples.bareTrips[mode]))
                failed = kBareModes[mode].label;
        if (failed) {
            std::fprintf(stderr, "tunnel_bench: %s failed in round %d\n", failed, round + 1);
            return 1;
        }
        MeasureMemcpy(source, &samples);
    }
    const DWORD peerExit = peer.Wait(kTimeoutMs);
    if (peerExit != 0) {
        std::fprintf(stderr, "tunnel_bench: the peer failed (exit %lu)\n", peerExit);
        return 1;
    }
    PrintFigures(samples, rounds);
    return 0;
}

}  // namespace

int main() {
    int argc = 0;
    base::UniqueLocal<wchar_t**> argv(CommandLineToArgvW(GetCommandLineW(), &argc));
    if (!argv) return 1;
    wchar_t** args = argv.get();
    if (argc == 4 && std::wstring(args[1]) == L"--peer") return RunPeer(args[2], std::max(1, _wtoi(args[3])));
    return RunMeasuringSide(argc >= 2 ? std::max(1, _wtoi(args[1])) : kDefaultRounds);
}
