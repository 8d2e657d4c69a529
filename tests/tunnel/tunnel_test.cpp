// The tunnel between the server's end in this process and client children: publishing
// channels, their names and security, the gates, the handshake and transfers.
#include <gtest/gtest.h>
#include <aclapi.h>
#include <sddl.h>

#include <cstring>
#include <cwchar>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/raw_channel.h"
#include "tunnel/tunnel.h"
#include "tunnel/tunnel_client.h"

namespace {

using namespace std::chrono_literals;

constexpr uint32_t kSize = testsupport::RawChannel::kSize;
constexpr uint32_t kPayload = testsupport::RawChannel::kPayload;
constexpr uint32_t kLongMs = 20000;  // waits meant to succeed: reached only on failure
constexpr uint32_t kShortMs = 300;   // waits meant to fail

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

// The raw channel of a "client" child, and the test's report that the server is done.
struct RawClient {
    bool Open(const std::wstring& privateName, const std::wstring& tunnelName, uint32_t version) {
        // Only a Session's test reports the server done.
        ended.reset(OpenEventW(SYNCHRONIZE, FALSE, (tunnelName + L".Ended").c_str()));
        return raw.Open(privateName, version);
    }
    bool PutChunk(uint32_t length, uint32_t kind) { return raw.PutChunk(length, kind, kLongMs, ended.get()); }

    testsupport::RawChannel raw;
    base::UniqueHandle ended;
};

// Takes one whole message by hand: waits for `peerSend`, reads the header, resets
// `peerSend`, in version 2 sets `ownAck`.
std::wstring TakeChunks(const TunnelConnection& channel, TunnelEvent peerSend, TunnelEvent ownAck) {
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
        return client->SendString(TakeChunks(raw->raw.channel, kServerEvent, kClientRecvEvent), kLongMs);
    case kSendMessage: {
        uint32_t size = 0, kind = 0;
        if (!client->ReceiveDword(&size, kLongMs) || !client->ReceiveDword(&kind, kLongMs)) return false;
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

// A fresh tunnel name, unique among tests running in the same Wine prefix.
std::wstring TunnelTestName() { return testsupport::UniqueName(L"Local\\TunnelTest"); }

// The server's end of a "client" child of the given version, after the handshake
// and after the child sent its private name.
struct Session {
    explicit Session(uint32_t version, uint32_t mode = 1, std::wstring name = TunnelTestName())
        : tunnelName(std::move(name)),
          ended(CreateEventW(nullptr, TRUE, FALSE, (tunnelName + L".Ended").c_str())),
          child(L"client", {tunnelName, std::to_wstring(version)}) {
        accepted = TunnelAccept(tunnelName.c_str(), &connection, mode, nullptr, kLongMs, kSize, kLongMs) &&
                   TunnelReceiveString(connection.get(), &privateName, kLongMs, nullptr);
    }
    [[nodiscard]] bool Tell(Op op) { return TunnelSendDword(connection.get(), op, kLongMs, nullptr); }
    // A client message taken by hand, as "length:kind,..." or "failed".
    std::wstring TakeRawMessage() { return TakeChunks(*connection, kClientEvent, kServerRecvEvent); }

    std::wstring tunnelName;
    base::UniqueHandle ended;  // set by the test: the server will take nothing more
    testsupport::ChildProcess child;
    std::unique_ptr<TunnelConnection> connection;
    std::wstring privateName;
    bool accepted = false;
};

// The object's DACL in SDDL, then its label, if any, as " mask SID", read by hand:
// Wine's converter writes a label without its type.
std::wstring SecurityText(HANDLE object) {
    PACL sacl = nullptr;
    base::UniqueLocal<PSECURITY_DESCRIPTOR> descriptor;
    base::UniqueLocal<wchar_t*> dacl, sid;
    if (GetSecurityInfo(object, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION | LABEL_SECURITY_INFORMATION,
                        nullptr, nullptr, nullptr, &sacl, descriptor.put()) ||
        !ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor.get(), SDDL_REVISION_1,
                                                              DACL_SECURITY_INFORMATION, dacl.put(), nullptr))
        return L"unreadable";
    if (!sacl || sacl->AceCount == 0) return dacl.get();
    SYSTEM_MANDATORY_LABEL_ACE* ace = nullptr;
    if (sacl->AceCount != 1 || !GetAce(sacl, 0, reinterpret_cast<void**>(&ace)) ||
        ace->Header.AceType != SYSTEM_MANDATORY_LABEL_ACE_TYPE ||
        !ConvertSidToStringSidW(&ace->SidStart, sid.put()))
        return dacl.get() + std::wstring(L" and not one label");
    return dacl.get() + (L" " + std::to_wstring(ace->Mask)) + L" " + sid.get();
}

constexpr wchar_t kEveryoneMapping[] = L"D:(A;;DCLC;;;WD)";  // FILE_MAP_WRITE | FILE_MAP_READ

std::wstring MutexName(const std::wstring& tunnelName) { return tunnelName + L".DispatchMtx"; }

bool BlockExists(const std::wstring& tunnelName) {
    return base::UniqueHandle(OpenFileMappingW(FILE_MAP_READ, FALSE, tunnelName.c_str())).valid();
}

// Retries an open until the object is there or the long wait is over.
template <typename Open>
HANDLE OpenWhenThere(Open open) {
    HANDLE handle = nullptr;
    for (DWORD start = GetTickCount(); !handle && GetTickCount() - start < kLongMs; Sleep(1)) handle = open();
    return handle;
}

// args: "block" or "mutex", the object's name. Holds the object until killed.
TEST_CHILD_ROLE(hold) {
    base::UniqueHandle object(
        args.at(0) == L"block"
            ? CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096, args.at(1).c_str())
            : CreateMutexW(nullptr, FALSE, args.at(1).c_str()));
    Sleep(INFINITE);
    return 0;
}

// args: tunnel name, note mapping, version. Reads the rendezvous block by hand once
// the dispatch mutex shows that it is written, notes the private name if a NUL ends
// it, announces itself in that version and then answers nothing.
TEST_CHILD_ROLE(deaf) {
    const std::wstring tunnelName = args.at(0);
    base::UniqueHandle(OpenWhenThere(
        [&] { return OpenMutexW(SYNCHRONIZE, FALSE, (tunnelName + L".DispatchMtx").c_str()); }));
    base::UniqueHandle block(OpenFileMappingW(FILE_MAP_READ, FALSE, tunnelName.c_str()));
    base::UniqueView view(block ? MapViewOfFile(block.get(), FILE_MAP_READ, 0, 0, 4096) : nullptr);
    base::UniqueHandle note(OpenFileMappingW(FILE_MAP_WRITE, FALSE, args.at(1).c_str()));
    base::UniqueView noteView(note ? MapViewOfFile(note.get(), FILE_MAP_WRITE, 0, 0, 0) : nullptr);
    if (!view || !noteView) return 1;
    uint32_t count = 0;
    std::memcpy(&count, view.get(), 4);
    const auto* chars = reinterpret_cast<const wchar_t*>(static_cast<const uint8_t*>(view.get()) + 4);
    const std::wstring name(chars, count / 2);
    const std::wstring noted = count < 4090 && chars[count / 2] == L'\0' ? name : L"no NUL";
    std::memcpy(noteView.get(), noted.c_str(), (noted.size() + 1) * sizeof(wchar_t));
    const auto event = [&](const wchar_t* suffix) {
        return base::UniqueHandle(
            OpenEventW(SYNCHRONIZE | EVENT_MODIFY_STATE, FALSE, (name + suffix).c_str()));
    };
    base::UniqueHandle clientEvent = event(L".ClientEvt"), clientRecvEvent = event(L".ClientRecvEvt");
    view.reset();
    block.reset();
    if (args.at(2) == L"2") SetEvent(clientRecvEvent.get());
    SetEvent(clientEvent.get());
    Sleep(INFINITE);
    return 0;
}

// Runs one attempt (or, given TunnelAccept, the retrying accept) on its own thread
// until it ends or the test sets the abort event.
struct BackgroundAccept {
    explicit BackgroundAccept(const std::wstring& tunnelName, uint32_t mappingSize = kSize,
                              uint32_t timeoutMs = INFINITE, uint32_t handshakeMs = kLongMs,
                              decltype(&TunnelTryAccept) attempt = TunnelTryAccept)
        : abort(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
          result(std::async(std::launch::async, [=, this] {
              return attempt(tunnelName.c_str(), &connection, 1, abort.get(), timeoutMs, mappingSize,
                             handshakeMs);
          })) {}
    ~BackgroundAccept() { SetEvent(abort.get()); }

    // False, with the attempt aborted, if it has not ended by itself within the long wait.
    bool EndedByItself() {
        if (result.wait_for(std::chrono::milliseconds(kLongMs)) == std::future_status::ready) return true;
        SetEvent(abort.get());
        return false;
    }

    base::UniqueHandle abort;
    std::unique_ptr<TunnelConnection> connection;
    std::future<bool> result;
};

TEST(TunnelAccept, BadNameOrSizeFailsAtOnce) {
    for (const auto& [nameLength, mappingSize] :
         {std::pair<size_t, uint32_t>{211, kSize}, {40, 4095}, {40, 6000}, {0, kSize}}) {
        std::wstring name = TunnelTestName();
        name.resize(nameLength, L'n');
        // An attempt that went ahead would wait for ever for a client.
        BackgroundAccept accept(name, mappingSize);
        EXPECT_TRUE(accept.EndedByItself()) << nameLength << "/" << mappingSize;
        EXPECT_FALSE(accept.result.get() || accept.connection) << nameLength << "/" << mappingSize;
    }
    std::unique_ptr<TunnelConnection> connection(new TunnelConnection);
    EXPECT_FALSE(TunnelTryAccept(nullptr, &connection, 1, nullptr, 0, kSize, 0) || connection);
}

void ExpectPrivateName(const std::wstring& tunnelName, const std::wstring& privateName) {
    const std::wstring prefix = tunnelName + L".";
    ASSERT_EQ(privateName.size(), prefix.size() + 32) << "got " << privateName.size();
    EXPECT_EQ(privateName.compare(0, prefix.size(), prefix), 0);
    EXPECT_EQ(privateName.find_first_not_of(L"0123456789ABCDEFGHIJKLMNOPQRSTUV", prefix.size()),
              std::wstring::npos);
}

TEST(TunnelAccept, ChannelObjectsGrantEveryoneExactlyTheirRightsAndModeThreeTheLowLabel) {
    for (const auto& [mode, label] : {std::pair{1u, L""}, std::pair{3u, L" 1 S-1-16-4096"}}) {
        Session session(2, mode);
        ASSERT_TRUE(session.accepted) << mode;
        EXPECT_EQ(SecurityText(session.connection->mapping.get()), kEveryoneMapping + std::wstring(label));
        for (const base::UniqueHandle& event : session.connection->events)
            EXPECT_EQ(SecurityText(event.get()), L"D:(A;;0x100002;;;WD)" + std::wstring(label)) << mode;
    }
}

TEST(TunnelAccept, RendezvousBlockAndDispatchMutexGrantEveryoneExactlyTheirRights) {
    const std::wstring tunnelName = TunnelTestName();
    BackgroundAccept accept(tunnelName);
    base::UniqueHandle mutex(
        OpenWhenThere([&] { return OpenMutexW(READ_CONTROL, FALSE, MutexName(tunnelName).c_str()); }));
    base::UniqueHandle block(OpenFileMappingW(READ_CONTROL, FALSE, tunnelName.c_str()));
    ASSERT_TRUE(mutex && block) << "got " << GetLastError();
    EXPECT_EQ(SecurityText(block.get()), kEveryoneMapping);
    EXPECT_EQ(SecurityText(mutex.get()), L"D:(A;;0x100001;;;WD)");
}

// Another process holding the publishing slot or the gate holds the accept up until
// it dies, until the accept's own timeout or until its abort event.
enum class Ending { kRelease, kTimeout, kAbort };
constexpr struct {
    const wchar_t* kind;
    uint32_t version;
    Ending ending;
} kHeldObjectCases[] = {
    {L"block", 2, Ending::kRelease}, {L"mutex", 1, Ending::kRelease}, {L"block", 2, Ending::kAbort},
    {L"mutex", 2, Ending::kTimeout}, {L"mutex", 2, Ending::kAbort},
};

TEST(TunnelAccept, HeldRendezvousBlockOrDispatchMutexHoldsTheAcceptUp) {
    for (size_t i = 0; i < std::size(kHeldObjectCases); ++i) {
        const auto& test = kHeldObjectCases[i];
        const bool block = test.kind == std::wstring(L"block");
        const std::wstring tunnelName = TunnelTestName();
        const std::wstring held = block ? tunnelName : MutexName(tunnelName);
        testsupport::ChildProcess holder(L"hold", {test.kind, held});
        ASSERT_TRUE(base::UniqueHandle(OpenWhenThere([&] {
            return block ? OpenFileMappingW(FILE_MAP_READ, FALSE, held.c_str())
                         : OpenMutexW(SYNCHRONIZE, FALSE, held.c_str());
        }))) << i;
        std::unique_ptr<testsupport::ChildProcess> client;
        if (test.ending == Ending::kRelease)
            client = std::make_unique<testsupport::ChildProcess>(
                L"client", std::vector<std::wstring>{tunnelName, std::to_wstring(test.version)});
        BackgroundAccept accept(tunnelName, kSize, test.ending == Ending::kTimeout ? kShortMs : INFINITE,
                                kLongMs, TunnelAccept);
        if (test.ending != Ending::kTimeout) {
            // Published (or held) before the abort, so that the abort ends a waiting accept.
            base::UniqueHandle(
                OpenWhenThere([&] { return OpenFileMappingW(FILE_MAP_READ, FALSE, tunnelName.c_str()); }));
            // Whatever the machine's speed, no accept can complete while the object is held.
            EXPECT_EQ(accept.result.wait_for(500ms), std::future_status::timeout) << i;
            if (test.ending == Ending::kAbort)
                SetEvent(accept.abort.get());
            else
                holder.Kill();
        }
        EXPECT_EQ(accept.result.get(), test.ending == Ending::kRelease) << i;
        if (test.ending == Ending::kRelease) {
            ASSERT_NE(accept.connection, nullptr) << i;
            EXPECT_EQ(accept.connection->version, test.version) << i;
        } else {
            EXPECT_EQ(accept.connection, nullptr) << i;
            EXPECT_EQ(holder.Wait(0), STILL_ACTIVE) << i << ": ended once the holder gave up";
            EXPECT_TRUE(block || !BlockExists(tunnelName)) << i << ": the block was left";
        }
    }
}

TEST(TunnelAccept, SilentClientFailsTheHandshakeAtItsLimitAndTheNextGetsANewName) {
    for (const uint32_t version : {1u, 2u}) {
        const std::wstring tunnelName = TunnelTestName();
        const std::wstring noteName = testsupport::UniqueName(L"Local\\TunnelTestNote");
        base::UniqueHandle note(
            CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096, noteName.c_str()));
        base::UniqueView noteView(MapViewOfFile(note.get(), FILE_MAP_READ, 0, 0, 0));
        ASSERT_TRUE(noteView.valid());
        testsupport::ChildProcess deaf(L"deaf", {tunnelName, noteName, std::to_wstring(version)});
        // No time limit but the handshake's: nothing else can end the attempt.
        BackgroundAccept accept(tunnelName, kSize, INFINITE, 200);
        EXPECT_TRUE(accept.EndedByItself()) << version << ": the handshake waited past its limit";
        EXPECT_FALSE(accept.result.get() || accept.connection || BlockExists(tunnelName)) << version;
        const std::wstring deafName(static_cast<const wchar_t*>(noteView.get()));
        ExpectPrivateName(tunnelName, deafName);
        Session next(version, 1, tunnelName);
        ASSERT_TRUE(next.accepted) << version;
        ExpectPrivateName(tunnelName, next.privateName);
        EXPECT_NE(next.privateName, deafName) << version;
    }
}

class TunnelTransfer : public testing::TestWithParam<uint32_t> {};

INSTANTIATE_TEST_SUITE_P(Versions, TunnelTransfer, testing::Values(1u, 2u),
                         [](const auto& info) { return "v" + std::to_string(info.param); });

// A chunk of exactly 65528 bytes means more follows; a message ends with the first shorter one.
constexpr struct {
    uint32_t size;
    const wchar_t* chunks;
} kChunkCases[] = {
    {0, L"0:1"},
    {kPayload - 1, L"65527:1"},
    {kPayload, L"65528:1,0:1"},
    {kPayload + 1, L"65528:1,1:1"},
    {2 * kPayload, L"65528:1,65528:1,0:1"},
};

TEST_P(TunnelTransfer, MessagesTravelBothWaysAsTheChunkRuleDemandsAndEchoIntact) {
    Session session(GetParam());
    ASSERT_TRUE(session.accepted);
    EXPECT_EQ(session.connection->version, GetParam());
    for (size_t i = 0; i < std::size(kChunkCases); ++i) {
        const auto& test = kChunkCases[i];
        // Version 1 carries only messages that fit one chunk.
        if (GetParam() == 1 && test.size > kPayload) continue;
        std::wstring text(test.size / 2, L'x'), echo = L"sentinel";
        for (size_t c = 0; c < text.size(); ++c) text[c] = static_cast<wchar_t>(0x20 + c % 0xD000);
        uint32_t number = 0x12345678;
        ASSERT_TRUE(session.Tell(kEcho) &&
                    TunnelSendString(session.connection.get(), text.c_str(), kLongMs, nullptr) &&
                    TunnelSendDword(session.connection.get(), ~test.size, kLongMs, nullptr) &&
                    TunnelReceiveString(session.connection.get(), &echo, kLongMs, nullptr) &&
                    TunnelReceiveDword(session.connection.get(), &number, kLongMs, nullptr))
            << i;
        EXPECT_TRUE(echo == text) << i << ": got " << echo.size() << " characters";
        EXPECT_EQ(number, ~test.size) << i << ": got 0x" << std::hex << number;
        // Server to client: the child takes the chunks by hand and reports them.
        const std::vector<uint8_t> bytes(test.size + 1, 0x33);  // never a null pointer
        std::wstring chunks;
        ASSERT_TRUE(session.Tell(kRecordChunks) &&
                    TunnelSendMessage(session.connection.get(), bytes.data(), test.size, kTunnelKindString,
                                      kLongMs, nullptr) &&
                    TunnelReceiveString(session.connection.get(), &chunks, kLongMs, nullptr))
            << i;
        EXPECT_EQ(chunks, test.chunks) << i << ": server to client";
        // Client to server: this side takes them by hand.
        ASSERT_TRUE(session.Tell(kSendMessage) &&
                    TunnelSendDword(session.connection.get(), test.size, kLongMs, nullptr) &&
                    TunnelSendDword(session.connection.get(), kTunnelKindString, kLongMs, nullptr))
            << i;
        EXPECT_EQ(session.TakeRawMessage(), test.chunks) << i << ": client to server";
    }
    if (GetParam() != 1) return;
    // Version 1 refuses a message longer than one chunk without writing and closes; a
    // second view of the buffer shows whether the send wrote anything.
    base::UniqueView spy(MapViewOfFile(session.connection->mapping.get(), FILE_MAP_WRITE, 0, 0, 0));
    const uint32_t sentinel[2] = {0xdeadbeef, 0xfeedface};
    std::memcpy(spy.get(), sentinel, sizeof(sentinel));
    EXPECT_FALSE(
        TunnelSendString(session.connection.get(), std::wstring(40000, L'z').c_str(), kLongMs, nullptr));
    EXPECT_EQ(std::memcmp(spy.get(), sentinel, sizeof(sentinel)), 0) << "the send wrote a chunk";
    EXPECT_EQ(session.connection->view.get(), nullptr);
}

// Chunks a misbehaving or vanishing client puts, and the typed receive they must
// fail. A chunk the server can take is taken (acknowledged) even when the message it
// ends breaks its kind's rule on the length; a wrong kind or an oversized length is not.
constexpr uint32_t kGiveUpMs = 2000;
struct BadInputCase {
    bool number;  // else a text is expected
    const wchar_t* chunks;
    UINT acked;  // how many of the chunks the server took
};
constexpr BadInputCase kBadInputCases[] = {
    {true, L"4:1", 0},               // a number that says it is a text
    {true, L"8:2", 1},               // a number of 8 bytes
    {true, L"3:2", 1},               // a number of 3 bytes
    {true, L"65528:2,0:2", 2},       // a number of two chunks
    {false, L"3:1", 1},              // a text of odd length
    {false, L"4:2", 0},              // a text that says it is a number
    {false, L"65529:1", 0},          // one byte more than a chunk holds
    {false, L"4294967295:1", 0},     // a length from nowhere
    {false, L"65528:1,4:2", 1},      // the kind changes within a message
    {false, L"65528:1,65530:1", 1},  // an oversized continuation
    {false, L"65528:1", 1},          // the continuation never comes
};

TEST_P(TunnelTransfer, BadInputClosesTheConnection) {
    for (size_t i = 0; i < std::size(kBadInputCases); ++i) {
        const BadInputCase& test = kBadInputCases[i];
        Session session(GetParam());
        ASSERT_TRUE(session.accepted) << i;
        ASSERT_TRUE(session.Tell(kSendRawChunks)) << i;
        ASSERT_TRUE(TunnelSendString(session.connection.get(), test.chunks, kLongMs, nullptr)) << i;
        uint32_t value = 0xdeadbeef;
        std::wstring text = L"sentinel";
        const bool received = test.number
                                  ? TunnelReceiveDword(session.connection.get(), &value, kGiveUpMs, nullptr)
                                  : TunnelReceiveString(session.connection.get(), &text, kGiveUpMs, nullptr);
        EXPECT_FALSE(received) << i;
        EXPECT_EQ(session.connection->view.get(), nullptr) << i << ": the connection stayed open";
        EXPECT_EQ(session.connection->event(kClientEvent), nullptr) << i;
        SetEvent(session.ended.get());
        EXPECT_EQ(session.child.Wait(kLongMs), kExitAcked + test.acked) << i;
    }
}

TEST_P(TunnelTransfer, ClientThatStopsTakingFailsTheSend) {
    Session deaf(GetParam());
    ASSERT_TRUE(deaf.accepted && deaf.Tell(kGoDeaf));
    const std::wstring text(kPayload / 2 - 1, L'q');
    EXPECT_FALSE(TunnelSendString(deaf.connection.get(), text.c_str(), kShortMs, nullptr));
    EXPECT_EQ(deaf.connection->view.get(), nullptr);
}

TEST(TunnelTransferClosed, AbortFailsAtOnceThenEveryCallFailsAndCloseTwiceIsHarmless) {
    base::UniqueHandle abort(CreateEventW(nullptr, TRUE, TRUE, nullptr));
    Session session(2);
    ASSERT_TRUE(session.accepted);
    TunnelConnection* connection = session.connection.get();
    // A timeout far beyond the test's limit: only the abort event can end this wait.
    std::wstring text = L"sentinel";
    EXPECT_FALSE(TunnelReceiveString(connection, &text, 0xFFFFFFFE, abort.get()));
    EXPECT_EQ(text, L"sentinel");
    EXPECT_FALSE(connection->view || connection->mapping) << "left open";
    for (const base::UniqueHandle& event : connection->events) EXPECT_FALSE(event);
    TunnelClose(connection);
    uint32_t value = 0xdeadbeef, count = 0xdeadbeef;
    TunnelMessage data(static_cast<uint8_t*>(std::malloc(1)));
    EXPECT_FALSE(TunnelSendDword(connection, 1, kShortMs, nullptr) ||
                 TunnelReceiveDword(connection, &value, kShortMs, nullptr) ||
                 TunnelReceiveMessage(connection, &data, &count, kTunnelKindDword, kShortMs, nullptr));
    EXPECT_FALSE(data || count || value != 0xdeadbeefu);
}

// Every slice's wait as the seam sees it, as "handles:ms"; the event is signalled
// at wait number `signalAt`, and every other wait fails as a set abort event would.
struct SliceLog {
    HANDLE event, abort;
    size_t signalAt;
    std::vector<std::string> waits;
}* sliceLog = nullptr;

DWORD RecordSlice(DWORD count, const HANDLE* handles, DWORD ms) {
    SliceLog& log = *sliceLog;
    const bool right = handles[0] == log.event && (count == 1 || handles[1] == log.abort);
    log.waits.push_back(right ? std::to_string(count) + ":" + std::to_string(ms) : "wrong handles");
    if (log.waits.size() == log.signalAt) return WAIT_OBJECT_0;
    return log.abort ? WAIT_OBJECT_0 + 1 : WAIT_TIMEOUT;
}

// Longer waits are cut into more slices, each of which an abort event ends.
constexpr struct {
    uint32_t timeoutMs;
    bool abort;
    size_t signalAt;  // 0: never
    size_t slices;
    const char* wait;
} kSliceCases[] = {
    {0, false, 0, 1, "1:0"},       {39, false, 0, 1, "1:39"},       {40, false, 0, 2, "1:20"},
    {999, false, 0, 4, "1:249"},   {10000, false, 0, 10, "1:1000"}, {125000, true, 0, 10, "2:12500"},
    {10000, true, 3, 3, "2:1000"},
};

TEST(TunnelWaitSignalled, SlicesFollowTheTimeoutAndEachSeesTheAbort) {
    base::UniqueHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    base::UniqueHandle abort(CreateEventW(nullptr, TRUE, TRUE, nullptr));
    for (size_t i = 0; i < std::size(kSliceCases); ++i) {
        const auto& test = kSliceCases[i];
        SliceLog log{event.get(), test.abort ? abort.get() : nullptr, test.signalAt, {}};
        sliceLog = &log;
        TunnelSetSliceWait(RecordSlice);
        EXPECT_EQ(TunnelWaitSignalled(event.get(), test.timeoutMs, log.abort), test.signalAt != 0) << i;
        TunnelSetSliceWait(nullptr);
        EXPECT_EQ(log.waits, std::vector<std::string>(test.slices, test.wait)) << i;
    }
    // The kernel's own waits: a timeout far beyond the test's limit, ended by the abort.
    EXPECT_FALSE(TunnelWaitSignalled(event.get(), 0xFFFFFFFE, abort.get()));
    EXPECT_FALSE(TunnelWaitSignalled(nullptr, 0, nullptr));
}

}  // namespace
