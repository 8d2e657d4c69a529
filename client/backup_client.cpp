// A small backup client for the demo: connects to the mail server's channel and
// sends requests by name or number, printing what it does.
//
//   backup-client.exe [--channel NAME] [--version 1|2] REQUEST...   (noop, 12, ...)
//   backup-client.exe [--channel NAME] --stop                       (sets the stop event)
#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "base/unique_resource.h"
#include "client/mail_client.h"

namespace {

struct NamedRequest {
    const wchar_t* name;
    RequestCode code;
};

constexpr NamedRequest kNamedRequests[] = {
    {L"folders", RequestCode::GetAllFoldersList},
    {L"noop", RequestCode::NoOperation},
    {L"quit-outlook", RequestCode::QuitOutlook},
    {L"start-outlook", RequestCode::StartOutlook},
    {L"profile", RequestCode::SendCurrentProfileName},
    {L"folder-tree", RequestCode::FillFolderTree},
};

bool ParseRequest(const std::wstring& text, uint32_t* code) {
    for (const auto& request : kNamedRequests) {
        if (text == request.name) {
            *code = static_cast<uint32_t>(request.code);
            return true;
        }
    }
    wchar_t* end = nullptr;
    *code = wcstoul(text.c_str(), &end, 0);
    return !text.empty() && *end == L'\0';
}

int StopServer(const std::wstring& channel) {
    base::UniqueHandle stop(
        OpenEventW(EVENT_MODIFY_STATE, FALSE, MailClient::StopEventName(channel).c_str()));
    if (!stop || !SetEvent(stop.get())) {
        wprintf(L"no server runs on %ls (error %lu)\n", channel.c_str(), GetLastError());
        return 1;
    }
    wprintf(L"asked the server on %ls to stop\n", channel.c_str());
    return 0;
}

}  // namespace

int main() {
    int argc = 0;
    base::UniqueLocal<wchar_t**> argv(CommandLineToArgvW(GetCommandLineW(), &argc));
    if (!argv) return 2;
    std::wstring channel = L"DiRirire.MSOutlook";
    uint32_t version = 2;
    std::vector<std::wstring> requests;
    for (int i = 1; i < argc; ++i) {
        const std::wstring arg = argv.get()[i];
        if (arg == L"--channel" && i + 1 < argc) {
            channel = argv.get()[++i];
        } else if (arg == L"--version" && i + 1 < argc) {
            version = wcstoul(argv.get()[++i], nullptr, 10);
        } else if (arg == L"--stop") {
            return StopServer(channel);
        } else {
            requests.push_back(arg);
        }
    }

    auto client = MailClient::Connect(channel, version);
    if (!client) {
        wprintf(L"could not connect to %ls\n", channel.c_str());
        return 1;
    }
    wprintf(L"connected to %ls, protocol version %u, channel %ls\n", channel.c_str(),
            client->tunnel().version(), client->tunnel().privateName().c_str());
    for (const auto& request : requests) {
        uint32_t code = 0;
        if (!ParseRequest(request, &code)) {
            wprintf(L"unknown request %ls\n", request.c_str());
            return 2;
        }
        if (!client->BeginRequest(code)) {
            wprintf(L"request %ls (code %u) failed: the server dropped the connection\n",
                    request.c_str(), code);
            return 1;
        }
        wprintf(L"sent request %ls (code %u)\n", request.c_str(), code);
    }
    return 0;
}
