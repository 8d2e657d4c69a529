// Publishing channels, their names and security, the gates and the handshake.
#include <gtest/gtest.h>

#include <cstring>
#include <future>
#include <vector>

#include "tests/tunnel/tunnel_peer.h"
#include "tunnel/tunnel_client.h"

namespace {

using namespace std::chrono_literals;
using namespace tunneltest;

constexpr wchar_t kAlphabet[] = L"0123456789ABCDEFGHIJKLMNOPQRSTUV";

std::wstring MutexName(const std::wstring& tunnelName) { return tunnelName + L".DispatchMtx"; }

bool BlockExists(const std::wstring& tunnelName) {
    return base::UniqueHandle(OpenFileMappingW(FILE_MAP_READ, FALSE, tunnelName.c_str())).valid();
}

bool MutexExists(const std::wstring& tunnelName) {
    return base::UniqueHandle(OpenMutexW(SYNCHRONIZE, FALSE, MutexName(tunnelName).c_str())).valid();
}

// args: "block" or "mutex", the object's name, ready event, release event.
// Holds a handle to the object from ready until release.
TEST_CHILD_ROLE(hold) {
    base::UniqueHandle object(
        args.at(0) == L"block"
            ? CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096,
                                 args.at(1).c_str())
            : CreateMutexW(nullptr, FALSE, args.at(1).c_str()));
    base::UniqueHandle ready(OpenEventW(EVENT_MODIFY_STATE, FALSE, args.at(2).c_str()));
    base::UniqueHandle release(OpenEventW(SYNCHRONIZE, FALSE, args.at(3).c_str()));
    if (!object || !ready || !release || !SetEvent(ready.get())) return 1;
    return WaitForSingleObject(release.get(), kLongMs) == WAIT_OBJECT_0 ? 0 : 2;
}

// A second process holding a handle to a named object until released.
struct Holder {
    Holder(const wchar_t* kind, const std::wstring& objectName)
        : readyName(testsupport::UniqueName(L"Local\\TunnelTestReady")),
          releaseName(testsupport::UniqueName(L"Local\\TunnelTestRelease")),
          ready(CreateEventW(nullptr, TRUE, FALSE, readyName.c_str())),
          release(CreateEventW(nullptr, TRUE, FALSE, releaseName.c_str())),
          child(L"hold", {kind, objectName, readyName, releaseName}) {
        holding = WaitForSingleObject(ready.get(), kLongMs) == WAIT_OBJECT_0;
    }
    DWORD Release() {
        SetEvent(release.get());
        return child.Wait(kLongMs);
    }

    std::wstring readyName, releaseName;
    base::UniqueHandle ready, release;
    testsupport::ChildProcess child;
    bool holding = false;
};

// Retries an open until the object is there or the long wait is over.
template <typename Open>
HANDLE OpenWhenThere(Open open) {
    HANDLE handle = nullptr;
    for (DWORD start = GetTickCount(); !handle && GetTickCount() - start < kLongMs; Sleep(1))
        handle = open();
    return handle;
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
    if (!view) return 1;
    const auto* bytes = static_cast<const uint8_t*>(view.get());
    uint32_t count = 0;
    std::memcpy(&count, bytes, 4);
    const auto* chars = reinterpret_cast<const wchar_t*>(bytes + 4);
    const std::wstring name(chars, count / 2);
    base::UniqueHandle note(OpenFileMappingW(FILE_MAP_WRITE, FALSE, args.at(1).c_str()));
    base::UniqueView noteView(note ? MapViewOfFile(note.get(), FILE_MAP_WRITE, 0, 0, 0) : nullptr);
    if (!noteView) return 2;
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

// Runs TunnelTryAccept on its own thread until the test sets the abort event.
struct BackgroundAccept {
    explicit BackgroundAccept(const std::wstring& tunnelName, uint32_t mappingSize = kSize,
                              uint32_t timeoutMs = INFINITE, uint32_t handshakeMs = kLongMs)
        : abort(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
          result(std::async(std::launch::async, [=, this] {
              return TunnelTryAccept(tunnelName.c_str(), &connection, 1, abort.get(), timeoutMs,
                                     mappingSize, handshakeMs);
          })) {}
    ~BackgroundAccept() { SetEvent(abort.get()); }

    base::UniqueHandle abort;
    std::unique_ptr<TunnelConnection> connection;
    std::future<bool> result;
};

struct BadArgumentsCase {
    size_t nameLength;  // 0: the empty name
    uint32_t mappingSize;
};
constexpr BadArgumentsCase kBadArgumentsCases[] = {{211, kSize}, {40, 4095}, {40, 6000}, {0, kSize}};

// Ended through the abort event if it has not ended by itself within the long wait.
bool EndedByItself(BackgroundAccept& accept) {
    if (accept.result.wait_for(std::chrono::milliseconds(kLongMs)) == std::future_status::ready)
        return true;
    SetEvent(accept.abort.get());
    return false;
}

TEST(TunnelAccept, BadNameOrSizeFailsAtOnce) {
    for (size_t i = 0; i < std::size(kBadArgumentsCases); ++i) {
        std::wstring name = TunnelTestName();
        name.resize(kBadArgumentsCases[i].nameLength, L'n');
        // An attempt that went ahead would wait for ever for a client.
        BackgroundAccept accept(name, kBadArgumentsCases[i].mappingSize);
        EXPECT_TRUE(EndedByItself(accept)) << i << ": the attempt went ahead";
        EXPECT_FALSE(accept.result.get()) << i;
        EXPECT_EQ(accept.connection, nullptr) << i;
    }
    std::unique_ptr<TunnelConnection> connection(new TunnelConnection);
    EXPECT_FALSE(TunnelTryAccept(nullptr, &connection, 1, nullptr, 0, kSize, 0));
    EXPECT_EQ(connection, nullptr);
}

void ExpectPrivateName(const std::wstring& tunnelName, const std::wstring& privateName) {
    const std::wstring prefix = tunnelName + L".";
    ASSERT_EQ(privateName.size(), prefix.size() + 32) << "got " << privateName.size();
    EXPECT_EQ(privateName.compare(0, prefix.size(), prefix), 0);
    EXPECT_EQ(privateName.find_first_not_of(kAlphabet, prefix.size()), std::wstring::npos);
}

TEST(TunnelAccept, ClientsConnectingTogetherGetOneFreshChannelEachAndTheSlotIsFreed) {
    const std::wstring tunnelName = TunnelTestName();
    constexpr int kClients = 3;
    std::vector<std::unique_ptr<testsupport::ChildProcess>> children;
    for (int i = 0; i < kClients; ++i)
        children.push_back(std::make_unique<testsupport::ChildProcess>(
            L"client", std::vector<std::wstring>{tunnelName, std::to_wstring(1 + i % 2)}));
    std::vector<std::unique_ptr<TunnelConnection>> connections(kClients);
    std::vector<std::wstring> names(kClients);
    for (int i = 0; i < kClients; ++i) {
        ASSERT_TRUE(TunnelAccept(tunnelName.c_str(), &connections[i], 1, nullptr, kLongMs, kSize,
                                 kLongMs))
            << i;
        ASSERT_TRUE(TunnelReceiveString(connections[i].get(), &names[i], kLongMs, nullptr)) << i;
        ExpectPrivateName(tunnelName, names[i]);
        for (int j = 0; j < i; ++j) EXPECT_NE(names[i], names[j]) << i << " and " << j;
    }
    EXPECT_FALSE(BlockExists(tunnelName)) << "the rendezvous block outlived the handshake";
    EXPECT_FALSE(MutexExists(tunnelName)) << "the dispatch mutex outlived the handshake";
    // Which child got which channel is the race's business: tell all, then wait for all.
    for (int i = 0; i < kClients; ++i)
        EXPECT_TRUE(TunnelSendDword(connections[i].get(), kQuit, kLongMs, nullptr)) << i;
    for (int i = 0; i < kClients; ++i) EXPECT_EQ(children[i]->Wait(kLongMs), kExitQuit) << i;
}

TEST(TunnelAccept, ClientWithoutServerGivesUpAfterItsTimeout) {
    EXPECT_EQ(TunnelClient::Connect(TunnelTestName().c_str(), 2, kShortMs), nullptr);
    EXPECT_EQ(TunnelClient::Connect(TunnelTestName().c_str(), 3, kShortMs), nullptr);
    EXPECT_EQ(TunnelClient::Connect(nullptr, 2, kShortMs), nullptr);
}

constexpr char kEveryoneMapping[] = "allow 0x00000006 S-1-1-0";
constexpr char kEveryoneEvent[] = "allow 0x00100002 S-1-1-0";
constexpr char kEveryoneMutex[] = "allow 0x00100001 S-1-1-0";
constexpr char kLowLabel[] = "label 0x00000001 S-1-16-4096";

TEST(TunnelAccept, ChannelObjectsGrantEveryoneExactlyTheirRightsAndModeThreeTheLowLabel) {
    for (const auto& [mode, label] : {std::pair{1u, "none"}, std::pair{3u, kLowLabel}}) {
        Session session(2, mode);
        ASSERT_TRUE(session.accepted) << mode;
        const TunnelConnection& connection = *session.connection;
        EXPECT_EQ(DaclText(connection.mapping.get()), kEveryoneMapping) << mode;
        EXPECT_EQ(LabelText(connection.mapping.get()), label) << mode;
        for (size_t i = 0; i < kTunnelEventCount; ++i) {
            EXPECT_EQ(DaclText(connection.events[i].get()), kEveryoneEvent) << mode << "/" << i;
            EXPECT_EQ(LabelText(connection.events[i].get()), label) << mode << "/" << i;
        }
    }
}

TEST(TunnelAccept, RendezvousBlockAndDispatchMutexGrantEveryoneExactlyTheirRights) {
    const std::wstring tunnelName = TunnelTestName();
    BackgroundAccept accept(tunnelName);
    base::UniqueHandle mutex(OpenWhenThere(
        [&] { return OpenMutexW(READ_CONTROL, FALSE, MutexName(tunnelName).c_str()); }));
    ASSERT_TRUE(mutex.valid()) << "got " << GetLastError();
    base::UniqueHandle block(OpenFileMappingW(READ_CONTROL, FALSE, tunnelName.c_str()));
    ASSERT_TRUE(block.valid()) << "got " << GetLastError();
    EXPECT_EQ(DaclText(block.get()), kEveryoneMapping);
    EXPECT_EQ(DaclText(mutex.get()), kEveryoneMutex);
    SetEvent(accept.abort.get());
    EXPECT_FALSE(accept.result.get());
}

// Another process holding the publishing slot or the gate holds the accept up until
// it lets go, until the accept's own timeout or until its abort event.
enum class Ending { kRelease, kTimeout, kAbort };
struct HeldObjectCase {
    const wchar_t* kind;
    uint32_t version;
    Ending ending;
};
constexpr HeldObjectCase kHeldObjectCases[] = {
    {L"block", 2, Ending::kRelease}, {L"mutex", 1, Ending::kRelease},
    {L"block", 2, Ending::kAbort},   {L"mutex", 2, Ending::kTimeout},
    {L"mutex", 2, Ending::kAbort},
};

TEST(TunnelAccept, HeldRendezvousBlockOrDispatchMutexHoldsTheAcceptUp) {
    for (size_t i = 0; i < std::size(kHeldObjectCases); ++i) {
        const HeldObjectCase& test = kHeldObjectCases[i];
        const bool block = test.kind == std::wstring(L"block");
        const std::wstring tunnelName = TunnelTestName();
        Holder holder(test.kind, block ? tunnelName : MutexName(tunnelName));
        ASSERT_TRUE(holder.holding) << i;
        std::unique_ptr<testsupport::ChildProcess> client;
        if (test.ending == Ending::kRelease)
            client = std::make_unique<testsupport::ChildProcess>(
                L"client", std::vector<std::wstring>{tunnelName, std::to_wstring(test.version)});
        base::UniqueHandle abort(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        const uint32_t timeoutMs = test.ending == Ending::kTimeout ? kShortMs : INFINITE;
        std::unique_ptr<TunnelConnection> connection;
        auto accepted = std::async(std::launch::async, [&] {
            return TunnelAccept(tunnelName.c_str(), &connection, 1, abort.get(), timeoutMs, kSize,
                                kLongMs);
        });
        if (test.ending == Ending::kTimeout) {
            EXPECT_FALSE(accepted.get()) << i;
        } else {
            // Published (or held) before the abort, so that the abort ends a waiting accept.
            base::UniqueHandle(OpenWhenThere(
                [&] { return OpenFileMappingW(FILE_MAP_READ, FALSE, tunnelName.c_str()); }));
            // Whatever the machine's speed, no accept can complete while the object is held.
            EXPECT_EQ(accepted.wait_for(500ms), std::future_status::timeout) << i;
            if (test.ending == Ending::kAbort) SetEvent(abort.get());
            if (test.ending == Ending::kRelease) {
                EXPECT_EQ(holder.Release(), 0u) << i;
            }
            EXPECT_EQ(accepted.get(), test.ending == Ending::kRelease) << i;
        }
        if (test.ending == Ending::kRelease) {
            ASSERT_NE(connection, nullptr) << i;
            EXPECT_EQ(connection->version, test.version) << i;
        } else {
            EXPECT_EQ(connection, nullptr) << i;
            EXPECT_EQ(holder.child.Wait(0), STILL_ACTIVE) << i << ": ended once the holder gave up";
            if (!block) {
                EXPECT_FALSE(BlockExists(tunnelName)) << i << ": the block was left";
            }
        }
    }
}

TEST(TunnelAccept, SilentClientFailsTheHandshakeAtItsLimitAndTheNextGetsANewName) {
    for (const uint32_t version : {1u, 2u}) {
        const std::wstring tunnelName = TunnelTestName();
        const std::wstring noteName = testsupport::UniqueName(L"Local\\TunnelTestNote");
        base::UniqueHandle note(CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE,
                                                   0, 4096, noteName.c_str()));
        base::UniqueView noteView(MapViewOfFile(note.get(), FILE_MAP_READ, 0, 0, 0));
        ASSERT_TRUE(noteView.valid());
        testsupport::ChildProcess deaf(L"deaf", {tunnelName, noteName, std::to_wstring(version)});
        // No time limit but the handshake's: nothing else can end the attempt.
        BackgroundAccept accept(tunnelName, kSize, INFINITE, 200);
        EXPECT_TRUE(EndedByItself(accept)) << version << ": the handshake waited past its limit";
        EXPECT_FALSE(accept.result.get()) << version;
        EXPECT_EQ(accept.connection, nullptr) << version;
        EXPECT_FALSE(BlockExists(tunnelName)) << version;
        const std::wstring deafName(static_cast<const wchar_t*>(noteView.get()));
        ExpectPrivateName(tunnelName, deafName);

        Session next(version, 1, tunnelName);
        ASSERT_TRUE(next.accepted) << version;
        ExpectPrivateName(tunnelName, next.privateName);
        EXPECT_NE(next.privateName, deafName) << version;
    }
}

}  // namespace
