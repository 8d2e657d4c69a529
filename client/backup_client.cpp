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

#include "base/boundary.h"
#include "base/unique_resource.h"
#include "client/backup_folder.h"
#include "client/backup_runs.h"
#include "client/mail_client.h"
#include "client/output.h"
#include "product_version.h"
#include "tunnel/wire.h"

namespace {

using client::kFailed;
using client::kRefused;
using client::Output;

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

// A command of one request, on a connection made for it.
using Handler = int (*)(MailClient& client, const Invocation& invocation, Output& output);
// A run over a backup folder, which connects when and as often as it needs.
using RunHandler = int (*)(const client::Channel& channel, const Invocation& invocation, Output& output);

struct Command {
    const wchar_t* name;
    const wchar_t* arguments;  // for the usage text
    const wchar_t* description;
    size_t argumentCount;
    std::span<const Flag> flags;
    Handler handler;  // or
    RunHandler run;
};

// A path the add-in, in another process with another working folder, reads the same.
std::wstring FullPath(const std::wstring& path) {
    const DWORD size = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    std::wstring full(size, L'\0');
    full.resize(GetFullPathNameW(path.c_str(), size, full.data(), nullptr));
    return full.empty() ? path : full;
}

// A number option's value; false when it is none.
bool ParseNumber(const std::wstring& text, uint32_t* number) {
    wchar_t* end = nullptr;
    *number = static_cast<uint32_t>(std::wcstoul(text.c_str(), &end, 10));
    return !text.empty() && *end == L'\0';
}

// --jobs of a run, or the default; false (reported) when it is no number from 1 to kMostJobs.
bool ParseJobs(const Invocation& invocation, unsigned* jobs, Output& output) {
    const auto given = invocation.flags.find(L"--jobs");
    if (given == invocation.flags.end()) return true;
    uint32_t number = 0;
    if (ParseNumber(given->second, &number) && number >= 1 && number <= client::kMostJobs) {
        *jobs = number;
        return true;
    }
    output.Error(L"--jobs needs a number from 1 to " + std::to_wstring(client::kMostJobs));
    return false;
}

// A folder path or root name given with or without its leading backslashes, without them.
std::wstring WithoutLeadingBackslashes(const std::wstring& path) {
    return path.substr(std::min(path.find_first_not_of(L'\\'), path.size()));
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
bool FolderExists(MailClient& client, const std::wstring& path) {
    std::vector<std::wstring> paths;
    if (!client.GetAllFoldersList(&paths)) return true;  // cannot tell: no false alarm
    for (const std::wstring& known : paths) {
        if (_wcsicmp(known.c_str(), path.c_str()) == 0) return true;
    }
    return false;
}

int List(MailClient& client, const Invocation& invocation, Output& output) {
    const std::wstring folder = L"\\\\" + WithoutLeadingBackslashes(invocation.arguments[0]);
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
    const std::wstring folder = L"\\\\" + WithoutLeadingBackslashes(invocation.arguments[1]);
    if (GetFileAttributesW(client::SystemPath(file).c_str()) == INVALID_FILE_ATTRIBUTES) {
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

int Backup(const client::Channel& channel, const Invocation& invocation, Output& output) {
    client::BackupOptions options{FullPath(invocation.flags.at(L"--to")), invocation.Has(L"--all-folders"),
                                  invocation.Has(L"--dry-run")};
    if (!ParseJobs(invocation, &options.jobs, output)) return kRefused;
    return client::RunBackup(channel, options, output);
}

int RestoreAll(const client::Channel& channel, const Invocation& invocation, Output& output) {
    const auto into = invocation.flags.find(L"--into");
    client::RestoreOptions options{
        FullPath(invocation.arguments[0]),
        into == invocation.flags.end() ? L"" : WithoutLeadingBackslashes(into->second),
        invocation.Has(L"--dry-run")};
    if (!ParseJobs(invocation, &options.jobs, output)) return kRefused;
    return client::RunRestoreAll(channel, options, output);
}

int Check(const client::Channel&, const Invocation& invocation, Output& output) {
    return client::RunCheck({FullPath(invocation.arguments[0]), invocation.Has(L"--read-data")}, output);
}

constexpr Flag kTree[] = {{L"--tree", false, false}};
constexpr Flag kBody[] = {{L"--body", false, false}};
constexpr Flag kBackup[] = {{L"--to", true, true},
                            {L"--all-folders", false, false},
                            {L"--dry-run", false, false},
                            {L"--jobs", true, false}};
constexpr Flag kRestoreAll[] = {
    {L"--into", true, false}, {L"--dry-run", false, false}, {L"--jobs", true, false}};
constexpr Flag kCheck[] = {{L"--read-data", false, false}};

const Command kCommands[] = {
    {L"ping", L"", L"checks that the add-in answers (request 6)", 0, {}, Ping, nullptr},
    {L"profile", L"", L"the name of the profile Outlook runs on (4)", 0, {}, Profile, nullptr},
    {L"folders", L"[--tree]",
     L"every mail folder's path (0); --tree without Junk E-mail and Deleted Items (7)", 0, kTree, Folders,
     nullptr},
    {L"list", L"PATH [--body]",
     L"a folder's items (1): signature and entry ID per mail; --body puts the body into the signatures", 1,
     kBody, List, nullptr},
    {L"save", L"ENTRYID FILE", L"saves one mail to a message file (2)", 2, {}, Save, nullptr},
    {L"restore",
     L"FILE PATH",
     L"puts a message file into the folder PATH, made if need be (3)",
     2,
     {},
     Restore,
     nullptr},
    {L"start", L"", L"asks the add-in to make sure Outlook runs (8)", 0, {}, Start, nullptr},
    {L"quit", L"", L"asks the add-in to quit Outlook (5)", 0, {}, Quit, nullptr},
    {L"backup", L"--to DIR [--all-folders] [--dry-run] [--jobs N]",
     L"saves every mail not yet in the backup folder DIR; --all-folders also Junk E-mail and Deleted Items; "
     L"--dry-run only says what it would save; --jobs N requests at once (default 2)",
     0, kBackup, nullptr, Backup},
    {L"restore-all", L"DIR [--into ROOT] [--dry-run] [--jobs N]",
     L"puts every mail of the backup in DIR back into each folder it was met in, unless it is there already; "
     L"--into replaces the store's name; --dry-run only says what it would restore; "
     L"--jobs N requests at once (default 2)",
     1, kRestoreAll, nullptr, RestoreAll},
    {L"check", L"DIR [--read-data]",
     L"checks that every file of the backup in DIR is there, whole and a message file; --read-data also that "
     L"it holds what was saved",
     1, kCheck, nullptr, Check},
};

// What a person needs to trust a backup folder, after the commands.
constexpr const wchar_t* kBackupNotes[] = {
    L"backup folders:",
    L"  backup writes only into a new or empty folder, which it marks with backup-folder.txt; it refuses any",
    L"  other. DIR\\<store>\\<folder>...\\<signature>.msg holds each mail once, however many folders hold "
    L"it;",
    L"  DIR\\index.txt lists each file with its size, SHA-256 and every folder it was met in. One run at a "
    L"time",
    L"  works in a folder (DIR\\backup.lock names it); a run that was stopped or killed is simply run again.",
    L"counts:",
    L"  new / already saved: mails saved by this run / held from an earlier one; failed: mails not saved",
    L"  (reported, with the reason; the run goes on, and exits 1); not mails or unreadable: items the add-in",
    L"  skipped, such as meeting requests, or mails it could not read (its log names them).",
    L"  restored / already there: restore-all skips a mail the target folder holds or that its journal",
    L"  (DIR\\restore-journal.txt) says it restored there; delete the journal to restore again what you "
    L"deleted.",
    L"exit status: 0 all went through, 1 something failed, 2 refused (usage, not a backup folder, another "
    L"run).",
};

void Usage(Output& output) {
    output.Line(L"usage: backup-client [--channel NAME] [--protocol 1|2] [--timeout MS] COMMAND");
    output.Line(L"       backup-client --version");
    output.Line(L"talks to the mail add-in inside Outlook over its channel (default " +
                std::wstring(wire::kChannel) + L")");
    output.Line(L"commands:");
    for (const Command& command : kCommands) {
        output.Line(L"  " + std::wstring(command.name) + L" " + command.arguments);
        output.Line(L"      " + std::wstring(command.description));
    }
    for (const wchar_t* line : kBackupNotes) output.Line(line);
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

// The options before the command, one row each.
struct Option {
    const wchar_t* name;
    bool (*parse)(const std::wstring& value, client::Channel* channel);
};

const Option kOptions[] = {
    {L"--channel",
     [](const std::wstring& value, client::Channel* channel) {
         channel->name = value;
         return !value.empty();
     }},
    {L"--protocol",
     [](const std::wstring& value, client::Channel* channel) {
         return ParseNumber(value, &channel->version) && (channel->version == 1 || channel->version == 2);
     }},
    {L"--timeout",
     [](const std::wstring& value, client::Channel* channel) {
         return ParseNumber(value, &channel->timeoutMs) && channel->timeoutMs > 0;
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
    client::Channel channel{wire::kChannel, 2, MailClient::kDefaultTimeoutMs};
    size_t i = 0;
    for (; i < words.size() && words[i].starts_with(L"-"); i += 2) {
        const auto option = std::find_if(std::begin(kOptions), std::end(kOptions),
                                         [&](const Option& known) { return words[i] == known.name; });
        if (option == std::end(kOptions)) {
            output.Error(L"unknown option " + words[i] + L" (see --help)");
            return kRefused;
        }
        if (i + 1 == words.size() || !option->parse(words[i + 1], &channel)) {
            output.Error(std::wstring(option->name) + L" needs a valid value (see --help)");
            return kRefused;
        }
    }
    if (i == words.size()) {
        Usage(output);
        return kRefused;
    }
    const Command* command = nullptr;
    for (const Command& known : kCommands) {
        if (words[i] == known.name) command = &known;
    }
    if (!command) {
        output.Error(L"unknown command " + words[i] + L" (see --help)");
        return kRefused;
    }
    Invocation invocation;
    std::wstring error;
    if (!ParseCommand(*command, std::span(words).subspan(i + 1), &invocation, &error)) {
        output.Error(error);
        return kRefused;
    }
    if (command->run) return command->run(channel, invocation, output);
    auto client = MailClient::Connect(channel.name, channel.version, channel.timeoutMs, &error);
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
    int result = kFailed;
    if (!base::Completes(
            [&] { result = Run(std::vector<std::wstring>(argv.get() + 1, argv.get() + argc), output); }))
        output.Error(L"out of memory");
    return result;
}
