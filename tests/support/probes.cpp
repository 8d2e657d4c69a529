#include "tests/support/probes.h"

#include <initializer_list>

namespace testsupport {
namespace {

// A transfer a scripted client expects the server to refuse: nobody will ever take it.
constexpr uint32_t kRefusedMs = 1000;

// The codes whose payload hostile chunks replace. Never 5, which quits the host, nor 3:
// a restore makes the folders of any path before it reads the file, and new folders
// would change the lists that well-behaved clients check.
const std::vector<uint32_t> kPayloadCodes = {1, 2};

// A hostile client with its channel opened a second time, its request begun up to where
// the fault goes: the code (after the marker) or a payload (after the code).
struct RawRequest {
    std::unique_ptr<MailClient> client;
    RawChannel raw;
    uint32_t kind = 0;  // the kind the server expects there
};

bool BeginRawRequest(Session& s, RawRequest* request) {
    request->client = s.Connect();
    if (!request->client || !s.Raw(*request->client, &request->raw)) return false;
    const bool inPayload = s.Below(2);
    request->kind = inPayload ? kTunnelKindString : kTunnelKindDword;
    return s.Must(inPayload ? request->client->BeginRequest(s.Pick(kPayloadCodes))
                            : request->client->tunnel().SendDword(wire::kRequestMarker, kReplyMs),
                  "a request");
}

// `steps`, then `more`.
std::vector<std::wstring> Then(std::vector<std::wstring> steps, std::initializer_list<std::wstring> more) {
    steps.insert(steps.end(), more);
    return steps;
}

}  // namespace

// See ScriptedClient; args channel, version, steps.
TEST_CHILD_ROLE(scripted_client) {
    auto client = MailClient::Connect(args.at(0), _wtoi(args.at(1).c_str()), kReplyMs);
    if (!client) return 1;
    RawChannel raw;
    bool expectFailure = false;
    for (size_t i = 2; i < args.size(); ++i) {
        const std::wstring& step = args[i];
        const int failed = 100 + static_cast<int>(i);
        if (step == L"silence") {
            uint32_t value = 0;
            if (client->tunnel().ReceiveDword(&value, 300)) return failed;
        } else if (step.starts_with(L"signal:")) {
            base::UniqueHandle event(OpenEventW(EVENT_MODIFY_STATE, FALSE, step.c_str() + 7));
            if (!event || !SetEvent(event.get())) return failed;
        } else if (step.starts_with(L"await:")) {
            base::UniqueHandle event(OpenEventW(SYNCHRONIZE, FALSE, step.c_str() + 6));
            if (!event || WaitForSingleObject(event.get(), kReplyMs) != WAIT_OBJECT_0) return failed;
        } else if (step.starts_with(L"text:")) {
            if (!client->tunnel().SendString(step.substr(5), kReplyMs)) return failed;
        } else if (step.starts_with(L"reply:")) {
            uint32_t value = 0;
            if (!client->tunnel().ReceiveDword(&value, kReplyMs) ||
                value != wcstoul(step.c_str() + 6, nullptr, 0))
                return failed;
        } else if (step.starts_with(L"said:")) {
            std::wstring text;
            if (!client->tunnel().ReceiveString(&text, kReplyMs) || text != step.substr(5)) return failed;
        } else if (step.starts_with(L"chunk:")) {
            if (!raw.Open(client->tunnel().privateName(), client->tunnel().version()) ||
                !raw.PutChunk(RawChannel::kPayload, wcstoul(step.c_str() + 6, nullptr, 0), kReplyMs))
                return failed;
        } else if (step == L"hang") {
            Sleep(INFINITE);
        } else if (step == L"fail") {
            expectFailure = true;
        } else {
            const bool sent = client->tunnel().SendDword(wcstoul(step.c_str(), nullptr, 0),
                                                         expectFailure ? kRefusedMs : kReplyMs);
            if (sent == expectFailure) return failed;
        }
    }
    return 0;
}

ChildProcess ScriptedClient(const std::wstring& channel, uint32_t version, std::vector<std::wstring> steps) {
    steps.insert(steps.begin(), {channel, std::to_wstring(version)});
    return ChildProcess(L"scripted_client", steps);
}

DyingClient::DyingClient(const std::wstring& channel, uint32_t version, std::vector<std::wstring> steps,
                         DWORD timeoutMs)
    : readyName(UniqueName(L"Local\\DyingClient.Ready")),
      ready(CreateEventW(nullptr, TRUE, FALSE, readyName.c_str())),
      process(ScriptedClient(channel, version, Then(std::move(steps), {L"signal:" + readyName, L"hang"}))) {
    const HANDLE waits[] = {ready.get(), process.handle()};
    reached =
        ready && process.running() && WaitForMultipleObjects(2, waits, FALSE, timeoutMs) == WAIT_OBJECT_0;
}

const wchar_t* RandomChunks(Session& s) {
    RawRequest request;
    if (!BeginRawRequest(s, &request)) return nullptr;
    const std::vector<uint32_t> kinds = {0, 1, 2, 3, 0xFFFFFFFF};
    for (uint32_t n = 1 + s.Below(6); n > 0; --n) {
        const uint32_t length =
            s.Below(3) == 0 ? RawChannel::kPayload : s.Below(RawChannel::kPayload + 1) & ~s.Below(2);
        if (!request.raw.PutChunk(length, s.Pick(kinds), kHostileMs)) break;
    }
    return L"random chunks";
}

const wchar_t* OversizeLength(Session& s) {
    RawRequest request;
    if (!BeginRawRequest(s, &request)) return nullptr;
    const std::vector<uint32_t> lengths = {RawChannel::kPayload + 1, RawChannel::kSize, 0x7FFFFFFF,
                                           0xFFFFFFFF};
    static_cast<void>(request.raw.PutChunk(s.Pick(lengths), request.kind, kHostileMs));
    return L"length above the buffer";
}

// The server waits out its timeout.
const wchar_t* CutOff(Session& s) {
    RawRequest request;
    if (!BeginRawRequest(s, &request) ||
        !s.Must(request.raw.PutChunk(RawChannel::kPayload, request.kind, kReplyMs),
                "the first chunk of a message"))
        return nullptr;
    return L"message cut off";
}

const wchar_t* NoAcknowledgement(Session& s) {
    const auto client = s.Connect();
    if (!client) return nullptr;
    const std::vector<wire::RequestCode> codes = {wire::RequestCode::GetAllFoldersList,
                                                  wire::RequestCode::FillFolderTree,
                                                  wire::RequestCode::SendCurrentProfileName};
    const bool sent = s.Below(4) == 0
                          ? client->BeginRequest(wire::RequestCode::GetAllMailsFromFolder) &&
                                client->tunnel().SendString(s.Pick(s.target.folderList), kReplyMs) &&
                                client->tunnel().SendDword(s.Below(2), kReplyMs)
                          : client->BeginRequest(s.Pick(codes));
    return s.Must(sent, "a request") ? L"no acknowledgement" : nullptr;
}

const wchar_t* WrongFraming(Session& s) {
    const auto client = s.Connect();
    if (!client) return nullptr;
    switch (s.Below(3)) {
    case 0:
        static_cast<void>(client->tunnel().SendDword(5, kReplyMs));
        return L"wrong marker";
    case 1:
        static_cast<void>(client->tunnel().SendString(L"\xABCD", kHostileMs));
        return L"text for the marker";
    default: {
        if (!s.Must(client->BeginRequest(9 + s.Below(0xFFFFFFF0)), "an unknown code")) return nullptr;
        std::wstring name;
        if (s.Expect(client->SendCurrentProfileName(&name), *client, "profile name after an unknown code"))
            s.Verify(name == s.target.profileName, "profile name after an unknown code");
        s.Goodbye(*client);
        return L"unknown code";
    }
    }
}

const wchar_t* HugeText(Session& s) {
    const std::lock_guard<std::mutex> turn(s.target.hugeTurn);
    const auto client = s.Connect(2);  // version 1 carries only messages of one chunk
    if (!client) return nullptr;
    const std::wstring path(size_t{s.target.hugeMiB} << 19, L'A');
    if (!s.Must(client->BeginRequest(wire::RequestCode::GetAllMailsFromFolder) &&
                    client->tunnel().SendString(path, kReplyMs) && client->tunnel().SendDword(0, kReplyMs),
                "a huge path"))
        return nullptr;
    Texts entries{L"sentinel"};
    if (!s.Expect(client->ReceiveTexts(&entries), *client, "mail list of a huge path")) return nullptr;
    s.Verify(entries, Texts{}, "mail list of a huge path");
    s.Goodbye(*client);
    return L"huge text";
}

const wchar_t* DieMidRequest(Session& s) {
    // In a mail list's payload, before a folder list's reply, between the texts of a save.
    const std::vector<std::vector<std::wstring>> stages = {
        {kMarker, L"1", L"chunk:1"}, {kMarker, L"0"}, {kMarker, L"2", L"text:00"}};
    DyingClient child(wire::kChannel, s.version, s.Pick(stages), kReplyMs);
    if (!child.reached) {
        s.target.Fail("session %llu: the dying client never reached its stage (exit %lu)", s.index,
                      child.process.Wait(0));
        return nullptr;
    }
    child.process.Kill();
    return L"client killed mid-request";
}

const wchar_t* Crowd(Session& s) {
    const std::lock_guard<std::mutex> turn(s.target.crowdTurn);
    std::vector<std::unique_ptr<MailClient>> crowd;
    for (size_t n = kCrowdMin + s.Below(16); n > 0; --n) {
        crowd.push_back(s.Connect(1 + s.Below(2)));
        if (!crowd.back()) return nullptr;
    }
    for (auto& client : crowd) {
        std::wstring name;
        if (!s.Expect(client->SendCurrentProfileName(&name), *client, "profile name in a crowd"))
            return nullptr;
        s.Verify(name == s.target.profileName, "profile name in a crowd");
    }
    for (auto& client : crowd) s.Goodbye(*client);
    return L"more than 64 connected";
}

}  // namespace testsupport
