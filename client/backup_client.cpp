// A small backup client for the demo: connects to the mail server's channel and
// sends requests by name or number, printing what it does.
//
//   backup-client.exe [--channel NAME] [--version 1|2] [--save-to FOLDER] REQUEST...   (noop, 12, ...)
//   REQUEST may carry texts: restore FILE FOLDER-PATH
//
// The request "mails" is the backup itself: the folder list, then every folder's mail
// list, and with --save-to every mail saved there as a message file.
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

// What the client reads back after a request.
enum class Reply { None, Text, Texts, Number, Mails };

struct NamedRequest {
    const wchar_t* name;
    RequestCode code;
    Reply reply;
    int texts = 0;  // the arguments after the name sent as the request's texts
};

constexpr NamedRequest kNamedRequests[] = {
    {L"folders", RequestCode::GetAllFoldersList, Reply::Texts},
    {L"noop", RequestCode::NoOperation, Reply::None},
    {L"quit-outlook", RequestCode::QuitOutlook, Reply::None},
    {L"start-outlook", RequestCode::StartOutlook, Reply::None},
    {L"profile", RequestCode::SendCurrentProfileName, Reply::Text},
    {L"folder-tree", RequestCode::FillFolderTree, Reply::Texts},
    {L"restore", RequestCode::RestoreMailFromMSGFile, Reply::Number, 2},
    {L"mails", RequestCode::GetAllFoldersList, Reply::Mails},
};

bool ParseRequest(const std::wstring& text, uint32_t* code, Reply* reply, int* texts) {
    *reply = Reply::None;
    *texts = 0;
    for (const auto& request : kNamedRequests) {
        if (text == request.name) {
            *code = static_cast<uint32_t>(request.code);
            *reply = request.reply;
            *texts = request.texts;
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

// Prints the reply, one text a line; false when it does not come.
bool PrintReply(MailClient& client, Reply reply) {
    if (reply == Reply::Number) {
        uint32_t number = 0;
        const bool received = client.tunnel().ReceiveDword(&number, MailClient::kDefaultTimeoutMs);
        wprintf(received ? L"  %u\n" : L"  no reply\n", number);
        return received;
    }
    std::vector<std::wstring> texts(1);
    const bool received = reply == Reply::Text
                              ? client.tunnel().ReceiveString(&texts[0], MailClient::kDefaultTimeoutMs)
                              : client.ReceiveTexts(&texts);
    if (!received) {
        wprintf(L"  no reply\n");
        return false;
    }
    if (reply == Reply::Texts) wprintf(L"  %zu folder paths\n", texts.size());
    for (const auto& text : texts) wprintf(L"  \"%ls\"\n", text.c_str());
    return true;
}

}  // namespace

// The folder list's reply, then each folder's mails: a line per item with its
// signature (or the placeholder of an item that is not a mail), and where it was saved.
bool BackUpMails(MailClient& client, const std::wstring& saveTo) {
    std::vector<std::wstring> folders;
    if (!client.ReceiveTexts(&folders)) return false;
    unsigned files = 0;
    for (const std::wstring& folder : folders) {
        std::vector<std::wstring> entries;
        if (!client.GetAllMailsFromFolder(folder, 0, &entries)) return false;
        wprintf(L"  \"%ls\": %zu items\n", folder.c_str(), entries.size());
        for (const std::wstring& entry : entries) {
            const size_t separator = entry.find(L"#####");
            if (separator == std::wstring::npos) {
                wprintf(L"    %ls\n", entry.c_str());
                continue;
            }
            wprintf(L"    signature %ls", entry.substr(0, separator).c_str());
            if (!saveTo.empty()) {
                const std::wstring name = L"mail" + std::to_wstring(++files) + L".msg";
                bool saved = false;
                if (!client.SaveMailToMSGFile(entry.substr(separator + 5), saveTo + L"\\" + name, &saved))
                    return false;
                wprintf(saved ? L", saved to %ls" : L", not saved (%ls)", name.c_str());
            }
            wprintf(L"\n");
        }
    }
    return true;
}

int main() {
    int argc = 0;
    base::UniqueLocal<wchar_t**> argv(CommandLineToArgvW(GetCommandLineW(), &argc));
    if (!argv) return 2;
    std::wstring channel = L"DiRirire.MSOutlook";
    uint32_t version = 2;
    std::wstring saveTo;
    std::vector<std::wstring> requests;
    for (int i = 1; i < argc; ++i) {
        const std::wstring arg = argv.get()[i];
        if (arg == L"--channel" && i + 1 < argc) {
            channel = argv.get()[++i];
        } else if (arg == L"--version" && i + 1 < argc) {
            version = wcstoul(argv.get()[++i], nullptr, 10);
        } else if (arg == L"--save-to" && i + 1 < argc) {
            saveTo = argv.get()[++i];
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
    for (size_t r = 0; r < requests.size(); ++r) {
        const std::wstring& request = requests[r];
        uint32_t code = 0;
        Reply reply = Reply::None;
        int texts = 0;
        if (!ParseRequest(request, &code, &reply, &texts) || r + texts >= requests.size()) {
            wprintf(L"unknown request %ls, or its texts missing\n", request.c_str());
            return 2;
        }
        if (!client->BeginRequest(code)) {
            wprintf(L"request %ls (code %u) failed: the server dropped the connection\n", request.c_str(),
                    code);
            return 1;
        }
        wprintf(L"sent request %ls (code %u)\n", request.c_str(), code);
        for (; texts > 0; --texts) {
            const std::wstring& text = requests[++r];
            if (!client->tunnel().SendString(text, MailClient::kDefaultTimeoutMs)) return 1;
            wprintf(L"  sent \"%ls\"\n", text.c_str());
        }
        if (reply == Reply::Mails) {
            if (!BackUpMails(*client, saveTo)) {
                wprintf(L"  no reply\n");
                return 1;
            }
        } else if (reply != Reply::None && !PrintReply(*client, reply)) {
            return 1;
        }
    }
    return 0;
}
