// Publishing channels, their names and security, the gates and the handshake.
#include <gtest/gtest.h>

#include <cstring>
#include <future>
#include <vector>

#include "tests/tunnel/tunnel_peer.h"

namespace {

using namespace std::chrono_literals;
using namespace tunneltest;

constexpr wchar_t kEveryoneMapping[] = L"D:(A;;DCLC;;;WD)";  // FILE_MAP_WRITE | FILE_MAP_READ

std::wstring MutexName(const std::wstring& tunnelName) { return tunnelName + L".DispatchMtx"; }

bool BlockExists(const std::wstring& tunnelName) {
    return base::UniqueHandle(OpenFileMappingW(FILE_MAP_READ, FALSE, tunnelName.c_str())).valid();
}

// Retries an open until the object is there or the long wait is over.
template <typename Open>
HANDLE OpenWhenThere(Open open) {
    HANDLE handle = nullptr;
    for (DWORD start = GetTickCount(); !handle && GetTickCount() - start < kLongMs; Sleep(1))
        handle = open();
    return handle;
}

// args: "block" or "mutex", the object's name. Holds the object until killed.
TEST_CHILD_ROLE(hold) {
    base::UniqueHandle object(
        args.at(0) == L"block"
            ? CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096,
                                 args.at(1).c_str())
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
              return attempt(tunnelName.c_str(), &connection, 1, abort.get(), timeoutMs,
                             mappingSize, handshakeMs);
          })) {}
    ~BackgroundAccept() { SetEvent(abort.get()); }

    // False, with the attempt aborted, if it has not ended by itself within the long wait.
    bool EndedByItself() {
        if (result.wait_for(std::chrono::milliseconds(kLongMs)) == std::future_status::ready)
            return true;
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
                                 kLongMs) &&
                    TunnelReceiveString(connections[i].get(), &names[i], kLongMs, nullptr))
            << i;
        ExpectPrivateName(tunnelName, names[i]);
        for (int j = 0; j < i; ++j) EXPECT_NE(names[i], names[j]) << i << " and " << j;
    }
    EXPECT_FALSE(BlockExists(tunnelName)) << "the rendezvous block outlived the handshake";
    EXPECT_FALSE(base::UniqueHandle(OpenMutexW(SYNCHRONIZE, FALSE, MutexName(tunnelName).c_str())))
        << "the dispatch mutex outlived the handshake";
    // Which child got which channel is the race's business: tell all, then wait for all.
    for (int i = 0; i < kClients; ++i)
        EXPECT_TRUE(TunnelSendDword(connections[i].get(), kQuit, kLongMs, nullptr)) << i;
    for (int i = 0; i < kClients; ++i) EXPECT_EQ(children[i]->Wait(kLongMs), kExitQuit) << i;
}

TEST(TunnelAccept, ChannelObjectsGrantEveryoneExactlyTheirRightsAndModeThreeTheLowLabel) {
    for (const auto& [mode, label] : {std::pair{1u, L"none"}, std::pair{3u, L"1 S-1-16-4096"}}) {
        Session session(2, mode);
        ASSERT_TRUE(session.accepted) << mode;
        const TunnelConnection& connection = *session.connection;
        EXPECT_EQ(DaclText(connection.mapping.get()), kEveryoneMapping);
        EXPECT_EQ(LabelText(connection.mapping.get()), label);
        for (const base::UniqueHandle& event : connection.events) {
            EXPECT_EQ(DaclText(event.get()), L"D:(A;;0x100002;;;WD)");
            EXPECT_EQ(LabelText(event.get()), label) << mode;
        }
    }
}

TEST(TunnelAccept, RendezvousBlockAndDispatchMutexGrantEveryoneExactlyTheirRights) {
    const std::wstring tunnelName = TunnelTestName();
    BackgroundAccept accept(tunnelName);
    base::UniqueHandle mutex(OpenWhenThere(
        [&] { return OpenMutexW(READ_CONTROL, FALSE, MutexName(tunnelName).c_str()); }));
    base::UniqueHandle block(OpenFileMappingW(READ_CONTROL, FALSE, tunnelName.c_str()));
    ASSERT_TRUE(mutex && block) << "got " << GetLastError();
    EXPECT_EQ(DaclText(block.get()), kEveryoneMapping);
    EXPECT_EQ(DaclText(mutex.get()), L"D:(A;;0x100001;;;WD)");
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
            base::UniqueHandle(OpenWhenThere(
                [&] { return OpenFileMappingW(FILE_MAP_READ, FALSE, tunnelName.c_str()); }));
            // Whatever the machine's speed, no accept can complete while the object is held.
            EXPECT_EQ(accept.result.wait_for(500ms), std::future_status::timeout) << i;
            if (test.ending == Ending::kAbort) SetEvent(accept.abort.get());
            else holder.Kill();
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
        base::UniqueHandle note(CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE,
                                                   0, 4096, noteName.c_str()));
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

}  // namespace
