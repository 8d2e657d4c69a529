// backup-client.exe: the backup application's side of the add-in's channel, for a
// person at a prompt and for scripts. One command per run; exit status 0 only when
// it did what it was asked.
#include <windows.h>
#include <shellapi.h>

#include <algorithm>
#include <cwchar>
#include <map>
#include <span>
#include <string>
#include <vector>

#include "base/unique_resource.h"
#include "client/backup_runs.h"
#include "client/mail_client.h"
#include "client/output.h"
#include "product_version.h"
#include "server/mail_server.h"

namespace {

using client::Output;

constexpr int kFailed = 1;
constexpr int kUsage = 2;

struct Flag {
    const wchar_t* name;
    bool takesValue;
    bool required;
};

// A command's words after its name: the positional arguments and the flags given.
struct Invocation {
    std::vector<std::wstring> arguments;
    std::map<std::wstring, std::wstring> flags;
    [[nodiscard]] bool Has(const wchar_t* flag) const { return flags.count(flag) != 0; }
};

using Handler = int (*)(MailClient& client, const Invocation& invocation, Output& output);

struct Command {
    const wchar_t* name;
    const wchar_t* arguments;  // for the usage text
    const wchar_t* description;
    size_t argumentCount;
    std::span<const Flag> flags;
    Handler handler;
};

// A path the add-in, in another process with another working folder, reads the same.
std::wstring FullPath(const std::wstring& path) {
    const DWORD size = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    std::wstring full(size, L'\0');
    full.resize(GetFullPathNameW(path.c_str(), size, full.data(), nullptr));
    return full.empty() ? path : full;
}

int Broken(MailClient& client, Output& output) {
    output.Error(client.error());
    return kFailed;
}

// A request sent, then the add-in's answer where it gives one (1 or 0).
int Answered(MailClient& client, Output& output, bool sent, bool done, const std::wstring& success,
             const std::wstring& refusal = L"") {
    if (!sent) return Broken(client, output);
    if (!done) {
        output.Error(refusal);
        return kFailed;
    }
    output.Line(success);
    return 0;
}

int Sent(MailClient& client, Output& output, bool sent, const wchar_t* what) {
    return Answered(client, output, sent, true, what);
}

int Ping(MailClient& client, const Invocation&, Output& output) {
    return Sent(client, output, client.NoOperation(), L"the add-in answers");
}

int Start(MailClient& client, const Invocation&, Output& output) {
    return Sent(client, output, client.StartOutlook(), L"asked the add-in to make sure Outlook runs");
}

int Quit(MailClient& client, const Invocation&, Output& output) {
    return Sent(client, output, client.QuitOutlook(), L"asked the add-in to quit Outlook");
}

int Profile(MailClient& client, const Invocation&, Output& output) {
    std::wstring name;
    if (!client.SendCurrentProfileName(&name)) return Broken(client, output);
    output.Line(name);
    return 0;
}

int Folders(MailClient& client, const Invocation& invocation, Output& output) {
    std::vector<std::wstring> paths;
    const bool tree = invocation.Has(L"--tree");
    if (!(tree ? client.FillFolderTree(&paths) : client.GetAllFoldersList(&paths)))
        return Broken(client, output);
    for (const std::wstring& path : paths) output.Line(path);
    return 0;
}

// The add-in answers an unknown folder as it answers an empty one; the folder list
// tells them apart for the person.
bool FolderExists(MailClient& client, std::wstring path) {
    if (!path.starts_with(L"\\\\")) path = L"\\\\" + path;
    std::vector<std::wstring> paths;
    if (!client.GetAllFoldersList(&paths)) return true;  // cannot tell: no false alarm
    for (const std::wstring& known : paths) {
        if (_wcsicmp(known.c_str(), path.c_str()) == 0) return true;
    }
    return false;
}

int List(MailClient& client, const Invocation& invocation, Output& output) {
    const std::wstring& folder = invocation.arguments[0];
    std::vector<MailListEntry> entries;
    if (!client.GetAllMailsFromFolder(folder, invocation.Has(L"--body") ? 1 : 0, &entries))
        return Broken(client, output);
    if (entries.empty() && !FolderExists(client, folder)) {
        output.Error(L"no folder " + folder + L" in the profile (`folders` lists them)");
        return kFailed;
    }
    for (const MailListEntry& entry : entries) {
        if (!entry.mail()) {
            output.Line(L"(not a mail)");
        } else {
            output.Line((entry.signature.empty() ? L"(no signature)" : entry.signature) + L" " +
                        entry.entryId);
        }
    }
    return 0;
}

int Save(MailClient& client, const Invocation& invocation, Output& output) {
    const std::wstring file = FullPath(invocation.arguments[1]);
    bool saved = false;
    const bool sent = client.SaveMailToMSGFile(invocation.arguments[0], file, &saved);
    return Answered(
        client, output, sent, saved, L"saved to " + file,
        L"the add-in did not save the mail to " + file +
            L": no mail has that entry ID, the file's folder does not exist or cannot be written, "
            L"or the mail cannot be copied (the add-in's log says which)");
}

int Restore(MailClient& client, const Invocation& invocation, Output& output) {
    const std::wstring file = FullPath(invocation.arguments[0]);
    const std::wstring& folder = invocation.arguments[1];
    if (GetFileAttributesW(file.c_str()) == INVALID_FILE_ATTRIBUTES) {
        output.Error(L"there is no file " + file);
        return kFailed;
    }
    bool restored = false;
    const bool sent = client.RestoreMailFromMSGFile(file, folder, &restored);
    return Answered(client, output, sent, restored, L"restored into " + folder,
                    L"the add-in did not restore " + file + L" into " + folder +
                        L": it is not a message file, another program holds it open, or the folder cannot be "
                        L"made (the add-in's log says which)");
}

int Backup(MailClient& client, const Invocation& invocation, Output& output) {
    return client::RunBackup(
        client, {FullPath(invocation.flags.at(L"--to")), invocation.Has(L"--all-folders")}, output);
}

int RestoreAll(MailClient& client, const Invocation& invocation, Output& output) {
    const auto into = invocation.flags.find(L"--into");
    return client::RunRestoreAll(
        client, {FullPath(invocation.arguments[0]), into == invocation.flags.end() ? L"" : into->second},
        output);
}

constexpr Flag kTree[] = {{L"--tree", false, false}};
constexpr Flag kBody[] = {{L"--body", false, false}};
constexpr Flag kBackup[] = {{L"--to", true, true}, {L"--all-folders", false, false}};
constexpr Flag kInto[] = {{L"--into", true, false}};

const Command kCommands[] = {
    {L"ping", L"", L"checks that the add-in answers (request 6)", 0, {}, Ping},
    {L"profile", L"", L"the name of the profile Outlook runs on (4)", 0, {}, Profile},
    {L"folders", L"[--tree]",
     L"every mail folder's path (0); --tree without Junk E-mail and Deleted Items (7)", 0, kTree, Folders},
    {L"list", L"PATH [--body]",
     L"a folder's items (1): signature and entry ID per mail; --body puts the body into the signatures", 1,
     kBody, List},
    {L"save", L"ENTRYID FILE", L"saves one mail to a message file (2)", 2, {}, Save},
    {L"restore",
     L"FILE PATH",
     L"puts a message file into the folder PATH, made if need be (3)",
     2,
     {},
     Restore},
    {L"start", L"", L"asks the add-in to make sure Outlook runs (8)", 0, {}, Start},
    {L"quit", L"", L"asks the add-in to quit Outlook (5)", 0, {}, Quit},
    {L"backup", L"--to DIR [--all-folders]",
     L"saves every mail not yet in DIR, under its folder path; --all-folders also Junk E-mail and Deleted "
     L"Items",
     0, kBackup, Backup},
    {L"restore-all", L"DIR [--into ROOT]",
     L"puts every mail of the backup in DIR back into its folder; --into replaces the store's name", 1, kInto,
     RestoreAll},
};

void Usage(Output& output) {
    output.Line(L"usage: backup-client [--channel NAME] [--protocol 1|2] [--timeout MS] COMMAND");
    output.Line(L"       backup-client --version");
    output.Line(L"talks to the mail add-in inside Outlook over its channel (default " +
                std::wstring(kMailServerChannel) + L")");
    output.Line(L"commands:");
    for (const Command& command : kCommands) {
        output.Line(L"  " + std::wstring(command.name) + L" " + command.arguments);
        output.Line(L"      " + std::wstring(command.description));
    }
}

// The command's words into `invocation`; false with the reason on a usage error.
bool ParseCommand(const Command& command, std::span<const std::wstring> words, Invocation* invocation,
                  std::wstring* error) {
    for (size_t i = 0; i < words.size(); ++i) {
        const std::wstring& word = words[i];
        if (!word.starts_with(L"--")) {
            invocation->arguments.push_back(word);
            continue;
        }
        const Flag* flag = nullptr;
        for (const Flag& known : command.flags) {
            if (word == known.name) flag = &known;
        }
        if (!flag || (flag->takesValue && i + 1 == words.size())) {
            *error = flag ? word + L" needs a value"
                          : L"the command " + std::wstring(command.name) + L" has no option " + word;
            return false;
        }
        invocation->flags[word] = flag->takesValue ? words[++i] : L"";
    }
    for (const Flag& flag : command.flags) {
        if (flag.required && !invocation->Has(flag.name)) {
            *error = L"the command " + std::wstring(command.name) + L" needs " + flag.name;
            return false;
        }
    }
    if (invocation->arguments.size() != command.argumentCount) {
        *error = L"usage: " + std::wstring(command.name) + L" " + command.arguments;
        return false;
    }
    return true;
}

struct Connection {
    std::wstring channel = kMailServerChannel;
    uint32_t version = 2;
    uint32_t timeoutMs = MailClient::kDefaultTimeoutMs;
};

// A number option's value; false when it is none.
bool ParseNumber(const std::wstring& text, uint32_t* number) {
    wchar_t* end = nullptr;
    *number = static_cast<uint32_t>(std::wcstoul(text.c_str(), &end, 10));
    return !text.empty() && *end == L'\0';
}

// The options before the command, one row each.
struct Option {
    const wchar_t* name;
    bool (*parse)(const std::wstring& value, Connection* connection);
};

const Option kOptions[] = {
    {L"--channel",
     [](const std::wstring& value, Connection* connection) {
         connection->channel = value;
         return !value.empty();
     }},
    {L"--protocol",
     [](const std::wstring& value, Connection* connection) {
         return ParseNumber(value, &connection->version) &&
                (connection->version == 1 || connection->version == 2);
     }},
    {L"--timeout",
     [](const std::wstring& value, Connection* connection) {
         return ParseNumber(value, &connection->timeoutMs) && connection->timeoutMs > 0;
     }},
};

bool IsHelp(const std::wstring& word) { return word == L"--help" || word == L"-h" || word == L"/?"; }

int Run(const std::vector<std::wstring>& words, Output& output) {
    if (std::any_of(words.begin(), words.end(), IsHelp)) {
        Usage(output);
        return 0;
    }
    if (words.size() == 1 && words[0] == L"--version") {
        output.Line(std::wstring(L"backup-client ") + kFileVersion);
        return 0;
    }
    Connection connection;
    size_t i = 0;
    for (; i < words.size() && words[i].starts_with(L"-"); i += 2) {
        const auto option = std::find_if(std::begin(kOptions), std::end(kOptions),
                                         [&](const Option& known) { return words[i] == known.name; });
        if (option == std::end(kOptions)) {
            output.Error(L"unknown option " + words[i] + L" (see --help)");
            return kUsage;
        }
        if (i + 1 == words.size() || !option->parse(words[i + 1], &connection)) {
            output.Error(std::wstring(option->name) + L" needs a valid value (see --help)");
            return kUsage;
        }
    }
    if (i == words.size()) {
        Usage(output);
        return kUsage;
    }
    const Command* command = nullptr;
    for (const Command& known : kCommands) {
        if (words[i] == known.name) command = &known;
    }
    if (!command) {
        output.Error(L"unknown command " + words[i] + L" (see --help)");
        return kUsage;
    }
    Invocation invocation;
    std::wstring error;
    if (!ParseCommand(*command, std::span(words).subspan(i + 1), &invocation, &error)) {
        output.Error(error);
        return kUsage;
    }
    auto client = MailClient::Connect(connection.channel, connection.version, connection.timeoutMs, &error);
    if (!client) {
        output.Error(error);
        return kFailed;
    }
    return command->handler(*client, invocation, output);
}

}  // namespace

int main() {
    Output output;
    int argc = 0;
    const base::UniqueLocal<wchar_t**> argv(CommandLineToArgvW(GetCommandLineW(), &argc));
    if (!argv) return kFailed;
    try {
        return Run(std::vector<std::wstring>(argv.get() + 1, argv.get() + argc), output);
    } catch (const std::exception&) {
        output.Error(L"out of memory");
        return kFailed;
    }
}
