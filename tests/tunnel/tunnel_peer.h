// The far ends the tunnel tests talk to: a client child driven by operation codes
// over the tunnel itself, chunks taken by hand from a channel, and readers of the
// security the objects carry.
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>

#include "tests/support/child_process.h"
#include "tunnel/tunnel.h"

namespace tunneltest {

inline constexpr uint32_t kSize = 65536;
inline constexpr uint32_t kPayload = kSize - 8;  // the largest chunk
inline constexpr uint32_t kLongMs = 20000;       // waits meant to succeed: reached only on failure
inline constexpr uint32_t kShortMs = 300;        // waits meant to fail

// What the "client" child does next, sent to it as a number.
enum Op : uint32_t {
    kQuit,
    kEchoString,     // receive a text, send it back
    kEchoDword,      // receive a number, send it back
    kRecordChunks,   // take one message by hand, send back its chunks as text
    kSendMessage,    // receive size and kind, send that many bytes through the client
    kSendRawChunks,  // receive "length:kind,..." and put those chunks by hand; exits
                     // with kExitAcked + how many were taken once the server ends
    kDieAfterChunk,  // put one full chunk by hand, exit once it is acknowledged
    kGoDeaf,         // take nothing more
    kReceiveText,    // receive a text, waiting kVanishMs for each chunk
};
inline constexpr uint32_t kVanishMs = 1000;

// Exit codes of the "client" child.
enum Exit : DWORD {
    kExitQuit = 0,
    kExitConnectFailed = 1,
    kExitOpenFailed = 2,
    kExitNoOp = 3,
    kExitOpFailed = 4,
    kExitDiedAfterAck = 77,
    kExitAcked = 80,
};

// Takes one whole message by hand through the named events' roles: waits for
// `peerSend`, reads the header, resets `peerSend`, in version 2 sets `ownAck`.
// Returns the chunks as "length:kind,..." or "failed" when a wait timed out.
std::wstring TakeRawMessage(const TunnelConnection& channel, TunnelEvent peerSend,
                            TunnelEvent ownAck);

// A fresh tunnel name, unique among tests running in the same Wine prefix.
std::wstring TunnelTestName();

// The server's end of a "client" child of the given version, after the handshake
// and after the child sent its private name.
struct Session {
    explicit Session(uint32_t version, uint32_t mode = 1,
                     std::wstring tunnelName = TunnelTestName());
    [[nodiscard]] bool Tell(Op op);
    // The server's end taking a client message by hand.
    std::wstring TakeRawMessage();

    std::wstring tunnelName;
    base::UniqueHandle ended;  // set by the test: the server will take nothing more
    testsupport::ChildProcess child;
    std::unique_ptr<TunnelConnection> connection;
    std::wstring privateName;
    bool accepted = false;
};

// "allow 0x00000006 S-1-1-0" per entry, joined by "; "; "none" for no list.
std::string DaclText(HANDLE object);
std::string LabelText(HANDLE object);

}  // namespace tunneltest
