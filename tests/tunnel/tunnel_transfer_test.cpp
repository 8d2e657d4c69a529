// Transfers between the server's end in this process and a client child.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/tunnel/tunnel_peer.h"

namespace {

using namespace tunneltest;

class TunnelTransfer : public testing::TestWithParam<uint32_t> {};

INSTANTIATE_TEST_SUITE_P(Versions, TunnelTransfer, testing::Values(1u, 2u),
                         [](const auto& info) { return "v" + std::to_string(info.param); });

// A chunk of exactly 65528 bytes means more follows; a message ends with the first shorter one.
struct ChunkCase {
    uint32_t size;
    const wchar_t* chunks;
};
constexpr ChunkCase kChunkCases[] = {
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
        const ChunkCase& test = kChunkCases[i];
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
        ASSERT_TRUE(session.Tell(kRecordChunks)) << i;
        ASSERT_TRUE(TunnelSendMessage(session.connection.get(), bytes.data(), test.size,
                                      kTunnelKindString, kLongMs, nullptr))
            << i;
        ASSERT_TRUE(TunnelReceiveString(session.connection.get(), &chunks, kLongMs, nullptr)) << i;
        EXPECT_EQ(chunks, test.chunks) << i << ": server to client";
        // Client to server: this side takes them by hand.
        ASSERT_TRUE(session.Tell(kSendMessage)) << i;
        ASSERT_TRUE(TunnelSendDword(session.connection.get(), test.size, kLongMs, nullptr)) << i;
        ASSERT_TRUE(TunnelSendDword(session.connection.get(), kTunnelKindString, kLongMs, nullptr));
        EXPECT_EQ(session.TakeRawMessage(), test.chunks) << i << ": client to server";
    }
    if (GetParam() != 1) return;
    // Version 1 refuses a message longer than one chunk without writing and closes; a
    // second view of the buffer shows whether the send wrote anything.
    base::UniqueView spy(MapViewOfFile(session.connection->mapping.get(), FILE_MAP_WRITE, 0, 0, 0));
    const uint32_t sentinel[2] = {0xdeadbeef, 0xfeedface};
    std::memcpy(spy.get(), sentinel, sizeof(sentinel));
    EXPECT_FALSE(TunnelSendString(session.connection.get(), std::wstring(40000, L'z').c_str(),
                                  kLongMs, nullptr));
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
    UINT acked;   // how many of the chunks the server took
};
constexpr BadInputCase kBadInputCases[] = {
    {true, L"4:1", 0},                // a number that says it is a text
    {true, L"8:2", 1},                // a number of 8 bytes
    {true, L"3:2", 1},                // a number of 3 bytes
    {true, L"65528:2,0:2", 2},        // a number of two chunks
    {false, L"3:1", 1},               // a text of odd length
    {false, L"4:2", 0},               // a text that says it is a number
    {false, L"65529:1", 0},           // one byte more than a chunk holds
    {false, L"4294967295:1", 0},      // a length from nowhere
    {false, L"65528:1,4:2", 1},       // the kind changes within a message
    {false, L"65528:1,65530:1", 1},   // an oversized continuation
    {false, L"65528:1", 1},           // the continuation never comes
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
        const bool received =
            test.number ? TunnelReceiveDword(session.connection.get(), &value, kGiveUpMs, nullptr)
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
} *sliceLog = nullptr;

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
    {0, false, 0, 1, "1:0"},        {39, false, 0, 1, "1:39"},       {40, false, 0, 2, "1:20"},
    {999, false, 0, 4, "1:249"},    {10000, false, 0, 10, "1:1000"}, {125000, true, 0, 10, "2:12500"},
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
