// Clients that misbehave on the add-in's channel, for the soak and the tests: probes
// in this process and scripted clients in processes of their own. Each probe draws its
// fault from its session, checks what the server must still answer, and returns the
// fault it injected (null when the server failed first, as recorded).
#pragma once

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdint>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "client/mail_client.h"
#include "tests/support/child_process.h"
#include "tests/support/raw_channel.h"

namespace testsupport {

using Texts = std::vector<std::wstring>;

// Waits meant to succeed: reached only when the server hangs (generous, for a loaded machine).
inline constexpr uint32_t kReplyMs = 60000;
// Waits a hostile client expects may go unanswered (the server rejected its chunk).
inline constexpr uint32_t kHostileMs = 500;
// More clients at once than one wait can cover.
inline constexpr size_t kCrowdMin = 65;

// The add-in the probes meet on its channel: its first answers, which the probes'
// checks compare with, and the first failure, which ends a run.
struct ProbeTarget {
    HANDLE host = nullptr;  // its process, until it is told to stop: its end is a crash
    uint32_t hugeMiB = 256;
    std::wstring profileName;
    Texts folderList;
    std::atomic<uint64_t> verified{0};
    std::atomic<bool> failed{false};
    std::mutex lock;  // failure, and what a campaign counts beside it
    std::string failure;
    std::mutex crowdTurn, hugeTurn;  // one crowd and one huge text at a time

    __attribute__((format(gnu_printf, 2, 3))) void Fail(const char* format, ...) {
        char text[1024];
        va_list args;
        va_start(args, format);
        std::vsnprintf(text, sizeof(text), format, args);
        va_end(args);
        DWORD code = STILL_ACTIVE;
        if (host && WaitForSingleObject(host, 0) == WAIT_OBJECT_0) GetExitCodeProcess(host, &code);
        const std::lock_guard<std::mutex> guard(lock);
        if (failure.empty()) failure = text;
        if (code != STILL_ACTIVE) failure += " (the host crashed: exit code " + std::to_string(code) + ")";
        failed = true;
    }
};

// One session's random draws, all from (seed, index) so that a failure replays, and
// its client's checks, which record in the target what the server failed to do.
struct Session {
    ProbeTarget& target;
    uint64_t index;
    std::mt19937_64 rng;
    uint32_t version;

    Session(ProbeTarget& t, uint64_t seed, uint64_t i)
        : target(t), index(i), rng(Engine(seed, i)), version(1 + Below(2)) {}
    static std::mt19937_64 Engine(uint64_t seed, uint64_t i) {
        std::seed_seq seeds{uint32_t(seed), uint32_t(seed >> 32), uint32_t(i), uint32_t(i >> 32)};
        return std::mt19937_64(seeds);
    }
    uint32_t Below(uint32_t n) { return static_cast<uint32_t>(rng() % n); }
    template <typename T>
    const T& Pick(const std::vector<T>& items) {
        return items[Below(static_cast<uint32_t>(items.size()))];
    }
    std::unique_ptr<MailClient> Connect(uint32_t clientVersion) {
        std::wstring error;
        auto client = MailClient::Connect(wire::kChannel, clientVersion, kReplyMs, &error);
        if (!client) target.Fail("session %llu: no connection: %ls", index, error.c_str());
        return client;
    }
    std::unique_ptr<MailClient> Connect() { return Connect(version); }
    // Where the server waits for the next marker, anything else ends the worker at once.
    void Goodbye(MailClient& client) { static_cast<void>(client.tunnel().SendDword(0, kHostileMs)); }
    bool Raw(MailClient& client, RawChannel* raw) {
        if (raw->Open(client.tunnel().privateName(), client.tunnel().version())) return true;
        target.Fail("session %llu: the channel's objects cannot be opened a second time", index);
        return false;
    }
    // A step the server must take before the hostile part: false, recorded, when it did not.
    bool Must(bool ok, const char* what) {
        if (!ok) target.Fail("session %llu: the server did not take %s", index, what);
        return ok;
    }
    // A request whose reply must come: false, recorded, when it did not.
    bool Expect(bool ok, MailClient& client, const char* what) {
        if (!ok) target.Fail("session %llu: %s: no reply: %ls", index, what, client.error().c_str());
        return ok;
    }
    void Verify(bool equal, const char* what, const std::wstring& difference = {}) {
        if (equal)
            ++target.verified;
        else
            target.Fail("session %llu: %s differs from the first answer%ls", index, what, difference.c_str());
    }
    void Verify(const Texts& got, const Texts& first, const char* what) {
        std::wstring difference =
            L": " + std::to_wstring(got.size()) + L" texts for " + std::to_wstring(first.size());
        const auto [g, f] = std::mismatch(got.begin(), got.end(), first.begin(), first.end());
        if (g != got.end()) difference += L"; text " + std::to_wstring(g - got.begin()) + L" \"" + *g + L"\"";
        if (f != first.end()) difference += L" for \"" + *f + L"\"";
        Verify(got == first, what, difference);
    }
};

// The request marker as a scripted client's step.
inline const std::wstring kMarker = std::to_wstring(wire::kRequestMarker);

// A client in a process of its own that connects to `channel` in protocol `version`,
// then runs the steps: a number is sent as a number message, "text:T" the text T,
// "chunk:K" a full chunk of kind K put by hand; "reply:N" expects the number N,
// "said:T" the text T; "silence" expects nothing to arrive; "signal:NAME" sets a named
// event, "await:NAME" waits for one; "hang" waits to be killed; "fail" expects the next
// number to be refused. It exits 0, or 102 + the index of the step that failed.
ChildProcess ScriptedClient(const std::wstring& channel, uint32_t version, std::vector<std::wstring> steps);

// A scripted client that stops once it has run `steps`, there to be killed (at the
// latest with `process`).
struct DyingClient {
    DyingClient(const std::wstring& channel, uint32_t version, std::vector<std::wstring> steps,
                DWORD timeoutMs);
    std::wstring readyName;
    base::UniqueHandle ready;
    ChildProcess process;
    bool reached = false;  // it stopped there within timeoutMs
};

const wchar_t* RandomChunks(Session& s);       // chunk lengths and kinds at random, until one is refused
const wchar_t* OversizeLength(Session& s);     // a chunk that claims more than the buffer holds
const wchar_t* CutOff(Session& s);             // a message's first chunk, then nothing
const wchar_t* NoAcknowledgement(Session& s);  // a request whose reply is never taken
// Where the marker is due: a wrong number, a text, or an unknown code followed by a
// request that must still be answered on the same connection.
const wchar_t* WrongFraming(Session& s);
const wchar_t* HugeText(Session& s);       // a folder path of hugeMiB, answered as no folder
const wchar_t* DieMidRequest(Session& s);  // a client process killed in the middle of a request
const wchar_t* Crowd(Session& s);          // more than 64 clients connected at once, every one answered

}  // namespace testsupport
