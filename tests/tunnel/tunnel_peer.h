// The far ends the tunnel tests talk to: a client child driven by operation codes
// over the tunnel itself, chunks taken by hand from a channel, and the security the
// objects carry.
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
    kEcho,           // receive a text and a number, send both back
    kRecordChunks,   // take one message by hand, send back its chunks as text
    kSendMessage,    // receive size and kind, send that many bytes through the client
    kSendRawChunks,  // receive "length:kind,..." and put those chunks by hand; exits
                     // with kExitAcked + how many were taken once the server ends
    kGoDeaf,         // take nothing more
};

// Exit codes of the "client" child.
enum Exit : DWORD { kExitQuit, kExitSetupFailed, kExitOpFailed, kExitAcked = 80 };

// Takes one whole message by hand: waits for `peerSend`, reads the header, resets
// `peerSend`, in version 2 sets `ownAck`. Returns "length:kind,..." or "failed".
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
    std::wstring TakeRawMessage();

    std::wstring tunnelName;
    base::UniqueHandle ended;  // set by the test: the server will take nothing more
    testsupport::ChildProcess child;
    std::unique_ptr<TunnelConnection> connection;
    std::wstring privateName;
    bool accepted = false;
};

// The object's DACL in SDDL, e.g. "D:(A;;0x100002;;;WD)".
std::wstring DaclText(HANDLE object);
// "none", or its one label as "mask SID".
std::wstring LabelText(HANDLE object);

}  // namespace tunneltest
