// Publishing channels, their names and security, the gates and the handshake.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <future>
#include <thread>
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

// args: tunnel name, note mapping. Reads the rendezvous block by hand, notes the
// private name, announces version 1 and then answers nothing.
TEST_CHILD_ROLE(deaf_v1) {
    base::UniqueHandle block;
    for (DWORD start = GetTickCount(); !block && GetTickCount() - start < kLongMs; Sleep(1))
        block.reset(OpenFileMappingW(FILE_MAP_READ | FILE_MAP_WRITE, FALSE, args.at(0).c_str()));
    base::UniqueView view(block ? MapViewOfFile(block.get(), FILE_MAP_READ, 0, 0, 4096) : nullptr);
    if (!view) return 1;
    const auto* bytes = static_cast<const uint8_t*>(view.get());
    const std::wstring name(reinterpret_cast<const wchar_t*>(bytes + 4),
                            *reinterpret_cast<const uint32_t*>(bytes) / 2);
    base::UniqueHandle clientEvent(
        OpenEventW(SYNCHRONIZE | EVENT_MODIFY_STATE, FALSE, (name + L".ClientEvt").c_str()));
    base::UniqueHandle note(OpenFileMappingW(FILE_MAP_WRITE, FALSE, args.at(1).c_str()));
    base::UniqueView noteView(note ? MapViewOfFile(note.get(), FILE_MAP_WRITE, 0, 0, 0) : nullptr);
    if (!clientEvent || !noteView) return 2;
    std::memcpy(noteView.get(), name.c_str(), (name.size() + 1) * sizeof(wchar_t));
    view.reset();
    block.reset();
    SetEvent(clientEvent.get());
    Sleep(INFINITE);
    return 0;
}

// Runs TunnelTryAccept on its own thread until the test sets the abort event.
struct BackgroundAccept {
    explicit BackgroundAccept(const std::wstring& tunnelName, uint32_t mappingSize = kSize)
        : abort(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
          result(std::async(std::launch::async, [this, tunnelName, mappingSize] {
              return TunnelTryAccept(tunnelName.c_str(), &connection, 1, abort.get(), INFINITE,
                                     mappingSize, kLongMs);
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

TEST(TunnelAccept, BadNameOrSizeFailsWithoutCreatingAnything) {
    for (size_t i = 0; i < std::size(kBadArgumentsCases); ++i) {
        std::wstring name = TunnelTestName();
        name.resize(kBadArgumentsCases[i].nameLength, L'n');
        // An attempt that went ahead would wait for ever for a client, and we would
        // see its rendezvous block; a watcher then ends it through the abort event.
        std::atomic<bool> done{false};
        std::atomic<bool> seen{false};
        BackgroundAccept accept(name, kBadArgumentsCases[i].mappingSize);
        std::thread watcher([&] {
            while (!done && !seen) {
                if (!name.empty() && (BlockExists(name) || MutexExists(name))) {
                    seen = true;
                    SetEvent(accept.abort.get());
                }
                Sleep(1);
            }
        });
        const bool accepted = accept.result.get();
        done = true;
        watcher.join();
        EXPECT_FALSE(accepted) << i;
        EXPECT_FALSE(seen) << i << ": objects were created";
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

TEST(TunnelAccept, ConsecutiveClientsGetFreshNamesAndTheSlotIsFreed) {
    const std::wstring tunnelName = TunnelTestName();
    Session first(2, 1, tunnelName);
    ASSERT_TRUE(first.accepted);
    EXPECT_FALSE(BlockExists(tunnelName)) << "the rendezvous block outlived the handshake";
    EXPECT_FALSE(MutexExists(tunnelName)) << "the dispatch mutex outlived the handshake";
    Session second(1, 1, tunnelName);
    ASSERT_TRUE(second.accepted);
    ExpectPrivateName(tunnelName, first.privateName);
    ExpectPrivateName(tunnelName, second.privateName);
    EXPECT_NE(first.privateName, second.privateName);

    std::wstring a = L"sentinel", b;
    ASSERT_TRUE(TunnelMakeRandomName(&a));
    ASSERT_TRUE(TunnelMakeRandomName(&b));
    EXPECT_EQ(a.size(), 32u);
    EXPECT_EQ(a.find_first_not_of(kAlphabet), std::wstring::npos);
    EXPECT_NE(a, b);
}

TEST(TunnelAccept, ClientsConnectingTogetherGetOneChannelEach) {
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

void ExpectChannelSecurity(const TunnelConnection& connection, const char* label) {
    const struct {
        HANDLE object;
        const char* dacl;
    } objects[] = {
        {connection.mapping.get(), kEveryoneMapping},  {connection.serverEvent.get(), kEveryoneEvent},
        {connection.serverRecvEvent.get(), kEveryoneEvent}, {connection.clientEvent.get(), kEveryoneEvent},
        {connection.clientRecvEvent.get(), kEveryoneEvent},
    };
    for (size_t i = 0; i < std::size(objects); ++i) {
        EXPECT_EQ(DaclText(objects[i].object), objects[i].dacl) << i;
        EXPECT_EQ(LabelText(objects[i].object), label) << i;
    }
}

TEST(TunnelAccept, ChannelObjectsGrantEveryoneExactlyTheirRights) {
    Session session(2);
    ASSERT_TRUE(session.accepted);
    ExpectChannelSecurity(*session.connection, "none");
}

TEST(TunnelAccept, ModeThreeAddsTheLowLabel) {
    Session session(2, 3);
    ASSERT_TRUE(session.accepted);
    ExpectChannelSecurity(*session.connection, kLowLabel);
}

TEST(TunnelAccept, RendezvousBlockAndDispatchMutexGrantEveryoneExactlyTheirRights) {
    const std::wstring tunnelName = TunnelTestName();
    BackgroundAccept accept(tunnelName);
    base::UniqueHandle mutex;
    for (DWORD start = GetTickCount(); !mutex && GetTickCount() - start < kLongMs; Sleep(1))
        mutex.reset(OpenMutexW(READ_CONTROL, FALSE, MutexName(tunnelName).c_str()));
    ASSERT_TRUE(mutex.valid()) << "got " << GetLastError();
    base::UniqueHandle block(OpenFileMappingW(READ_CONTROL, FALSE, tunnelName.c_str()));
    ASSERT_TRUE(block.valid()) << "got " << GetLastError();
    EXPECT_EQ(DaclText(block.get()), kEveryoneMapping);
    EXPECT_EQ(DaclText(mutex.get()), kEveryoneMutex);
    SetEvent(accept.abort.get());
    EXPECT_FALSE(accept.result.get());
}

// Another process holding the publishing slot or the gate holds the accept up.
struct HeldObjectCase {
    const wchar_t* kind;
    uint32_t version;
};
constexpr HeldObjectCase kHeldObjectCases[] = {{L"block", 2}, {L"mutex", 1}};

TEST(TunnelAccept, HeldRendezvousBlockOrDispatchMutexDelaysTheAcceptUntilReleased) {
    for (size_t i = 0; i < std::size(kHeldObjectCases); ++i) {
        const HeldObjectCase& test = kHeldObjectCases[i];
        const std::wstring tunnelName = TunnelTestName();
        Holder holder(test.kind, test.kind == std::wstring(L"block") ? tunnelName
                                                                     : MutexName(tunnelName));
        ASSERT_TRUE(holder.holding) << i;
        testsupport::ChildProcess client(L"client", {tunnelName, std::to_wstring(test.version)});
        std::unique_ptr<TunnelConnection> connection;
        auto accepted = std::async(std::launch::async, [&] {
            return TunnelAccept(tunnelName.c_str(), &connection, 1, nullptr, kLongMs, kSize,
                                kLongMs);
        });
        // Whatever the machine's speed, no accept can complete while the object is held.
        EXPECT_EQ(accepted.wait_for(500ms), std::future_status::timeout) << i;
        EXPECT_TRUE(BlockExists(tunnelName)) << i;
        EXPECT_EQ(holder.Release(), 0u) << i;
        EXPECT_TRUE(accepted.get()) << i;
        ASSERT_NE(connection, nullptr) << i;
        EXPECT_EQ(connection->version, test.version) << i;
    }
}

TEST(TunnelAccept, BusyRendezvousBlockAndSetAbortEventEndTheAccept) {
    const std::wstring tunnelName = TunnelTestName();
    Holder holder(L"block", tunnelName);
    ASSERT_TRUE(holder.holding);
    base::UniqueHandle abort(CreateEventW(nullptr, TRUE, TRUE, nullptr));
    std::unique_ptr<TunnelConnection> connection;
    EXPECT_FALSE(TunnelAccept(tunnelName.c_str(), &connection, 1, abort.get(), INFINITE, kSize,
                              kLongMs));
    EXPECT_EQ(connection, nullptr);
}

TEST(TunnelAccept, SilentVersion1ClientFailsTheAttemptAndTheNextGetsANewName) {
    const std::wstring tunnelName = TunnelTestName();
    const std::wstring noteName = testsupport::UniqueName(L"Local\\TunnelTestNote");
    base::UniqueHandle note(
        CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096, noteName.c_str()));
    base::UniqueView noteView(MapViewOfFile(note.get(), FILE_MAP_READ, 0, 0, 0));
    ASSERT_TRUE(noteView.valid());
    testsupport::ChildProcess deaf(L"deaf_v1", {tunnelName, noteName});
    std::unique_ptr<TunnelConnection> connection(new TunnelConnection);
    EXPECT_FALSE(TunnelTryAccept(tunnelName.c_str(), &connection, 1, nullptr, kLongMs, kSize, 200));
    EXPECT_EQ(connection, nullptr);
    EXPECT_FALSE(BlockExists(tunnelName));
    const std::wstring deafName(static_cast<const wchar_t*>(noteView.get()));
    ExpectPrivateName(tunnelName, deafName);

    Session next(1, 1, tunnelName);
    ASSERT_TRUE(next.accepted);
    ExpectPrivateName(tunnelName, next.privateName);
    EXPECT_NE(next.privateName, deafName);
}

}  // namespace
