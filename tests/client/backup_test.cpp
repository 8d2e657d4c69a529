// backup-client.exe's runs over a backup folder, each in a process of its own with its
// output in a pipe, against the add-in in the Outlook stand-in host, and for the
// replies only a broken add-in sends, against a scripted server of this test: one
// table of the roads by which a backup could lose, double, delete or silently skip
// mail, each a few runs and what must hold afterwards.
#include <windows.h>
#include <winioctl.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <map>
#include <set>

#include "base/unique_resource.h"
#include "client/backup_folder.h"
#include "client/backup_index.h"
#include "client/backup_runs.h"
#include "server/shared_mem_server.h"
#include "tests/addin/plugin.h"
#include "tests/client/client_profile.h"
#include "tests/restore/same_message.h"
#include "tests/standin/msg/msg_test_util.h"
#include "tests/standin/store/mapi_test_util.h"
#include "tests/support/standin_host.h"

namespace {

namespace fs = std::filesystem;
using testsupport::StandinHost;
using Counts = std::map<std::string, size_t>;

// The tool with its standard output and error in a pipe of one byte: every line it
// writes waits until this side has read the one before, so the test knows how far it
// has got.
class Tool {
public:
    explicit Tool(const std::vector<std::wstring>& args) {
        SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
        base::UniqueHandle write;
        if (CreatePipe(read_.put(), write.put(), &inherit, 1))
            SetHandleInformation(read_.get(), HANDLE_FLAG_INHERIT, 0);
        process_ = std::make_unique<testsupport::Program>(
            testsupport::BesideThisProgram(L"backup-client.exe"), args, write.get());
    }

    // The next line without its line feed; false at the end of the output.
    bool ReadLine(std::string* line) {
        line->clear();
        char c = 0;
        DWORD read = 0;
        while (ReadFile(read_.get(), &c, 1, &read, nullptr) && read == 1) {
            output_ += c;
            if (c == '\n') return true;
            *line += c;
        }
        return !line->empty();
    }
    // Reads to the end; the exit code.
    DWORD Finish() {
        for (std::string line; ReadLine(&line);) {
        }
        return process_->Wait(StandinHost::kTimeoutMs);
    }
    [[nodiscard]] const std::string& output() const { return output_; }

private:
    base::UniqueHandle read_;
    std::unique_ptr<testsupport::Program> process_;
    std::string output_;
};

// The summary's counts by name, from its line "done in H:MM:SS: 3 new, 1 failed".
Counts Summary(const std::string& output) {
    Counts counts;
    const size_t start = output.rfind("done in ");
    if (start == std::string::npos) return counts;
    const std::string line = output.substr(start, output.find('\n', start) - start);
    for (size_t at = line.find(": ") + 2; at < line.size();) {
        const size_t end = std::min(line.find(", ", at), line.size()), blank = line.find(' ', at);
        counts[line.substr(blank + 1, end - blank - 1)] = std::stoul(line.substr(at, blank - at));
        at = end + 2;
    }
    return counts;
}

const std::string kSkipped = "not mails or unreadable (see the add-in's log)";
// Every backup of the profile meets the meeting request and the mail whose copy fails.
Counts Backed(size_t fresh, size_t known) {
    return {{"new", fresh}, {"already saved", known}, {"failed", 1}, {kSkipped, 1}};
}
Counts Restored(size_t restored, size_t there) {
    return {{"restored", restored}, {"already there", there}, {"failed", 0}};
}

// Words of a row's runs that stand for paths known only while the test runs.
constexpr wchar_t kDir[] = L"{DIR}";            // the road's backup folder
constexpr wchar_t kComplete[] = L"{COMPLETE}";  // a complete backup, which no run writes
constexpr wchar_t kScriptedChannel[] = L"BackupTest.Scripted";
constexpr DWORD kCrashed = client::kCrashExitCode;

// A run's requests shared between `jobs` connections; a run killed at a chosen point
// leaves exactly known counts only with one.
std::vector<std::wstring> Backup(const wchar_t* jobs = L"2") {
    return {L"backup", L"--to", kDir, L"--jobs", jobs};
}
std::vector<std::wstring> RestoreAll(const wchar_t* root, const wchar_t* jobs) {
    return {L"restore-all", kDir, L"--into", root, L"--jobs", jobs};
}

// Every file below `folder` by its relative path, with its bytes.
std::map<std::wstring, std::string> Snapshot(const std::wstring& folder) {
    std::map<std::wstring, std::string> files;
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(folder))
        files[entry.path().wstring().substr(folder.size())] =
            entry.is_regular_file() ? storetest::ReadText(entry.path()) : "";
    return files;
}

size_t CountFiles(const std::wstring& folder, const wchar_t* extension) {
    return std::count_if(
        fs::recursive_directory_iterator(folder), fs::recursive_directory_iterator(),
        [&](const fs::directory_entry& file) { return file.path().extension() == extension; });
}

// A junction `link` to `target`; where the system cannot make one (Wine), a symbolic
// link made by the system below, which Wine shows as the same kind of reparse point.
bool MakeLink(const std::wstring& link, const std::wstring& target) {
    if (!CreateDirectoryW(link.c_str(), nullptr)) return false;
    const bool junction = [&] {
        const base::UniqueFile directory(
            CreateFileW(link.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                        FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        const std::wstring substitute = L"\\??\\" + target;
        const USHORT bytes = static_cast<USHORT>(substitute.size() * sizeof(wchar_t));
        // REPARSE_DATA_BUFFER of a mount point: tag, data length, reserved, the
        // substitute name's offset and length, the print name's (empty, after it).
        std::vector<BYTE> buffer(16 + bytes + 2 * sizeof(wchar_t));
        const DWORD tag = IO_REPARSE_TAG_MOUNT_POINT;
        const USHORT header[] = {static_cast<USHORT>(buffer.size() - 8), 0, 0, bytes,
                                 static_cast<USHORT>(bytes + 2),         0};
        memcpy(buffer.data(), &tag, sizeof(tag));
        memcpy(buffer.data() + sizeof(tag), header, sizeof(header));
        memcpy(buffer.data() + 16, substitute.data(), bytes);
        DWORD returned = 0;
        return directory &&
               DeviceIoControl(directory.get(), FSCTL_SET_REPARSE_POINT, buffer.data(),
                               static_cast<DWORD>(buffer.size()), nullptr, 0, &returned, nullptr);
    }();
    if (junction) return true;
    using UnixName = char*(CDECL*)(const wchar_t*);
    const auto unixName = reinterpret_cast<UnixName>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    if (!unixName || !RemoveDirectoryW(link.c_str())) return false;
    std::vector<std::wstring> args{L"-s"};
    for (const std::wstring& path : {target, link}) {
        char* name = unixName(path.c_str());
        if (!name) return false;
        args.emplace_back(name, name + strlen(name));
        HeapFree(GetProcessHeap(), 0, name);
    }
    // Wine gives no handle of a program of the system below: the link is awaited.
    const testsupport::Program ln(L"Z:\\bin\\ln", args);
    for (const ULONGLONG start = GetTickCount64(); GetTickCount64() - start < StandinHost::kTimeoutMs;
         Sleep(10)) {
        if (GetFileAttributesW(link.c_str()) != INVALID_FILE_ATTRIBUTES) return true;
    }
    return false;
}

// A server of the add-in's protocol that answers from a script, on a channel of its
// own: a signature that is not one, a save that never answers, a list that stops
// short, two stores of one name; folder names a disk refuses. Saves copy a message file.
// Its operations answer from the script of the one made last.
class ScriptedAddin : public SharedMemServer {
public:
    struct Folder {
        std::wstring path;
        uint32_t announced;
        std::vector<std::wstring> entries;
    };
    static constexpr wchar_t kLate[] = L"late";  // the entry ID whose save is never answered

    ScriptedAddin(std::vector<Folder> folders, std::wstring mailFile)
        : SharedMemServer(kRoutes), folders_(std::move(folders)), mailFile_(std::move(mailFile)) {
        script_ = this;
    }
    ~ScriptedAddin() {
        Stop(INFINITE);
        if (script_ == this) script_ = nullptr;
    }
    // The longest path of a file to restore it was given.
    [[nodiscard]] size_t longestFile() const noexcept { return longestFile_; }

private:
    // Codes 0 and 7; code 0 also lists a second store named as the first.
    static bool Folders(TunnelConnection* connection, uint32_t ms, bool all) noexcept {
        const std::vector<Folder>& folders = script_->folders_;
        if (!TunnelSendDword(connection, static_cast<uint32_t>(folders.size() + all), ms, nullptr))
            return false;
        for (const Folder& folder : folders)
            if (!TunnelSendString(connection, folder.path.c_str(), ms, nullptr)) return false;
        return !all || TunnelSendString(connection, folders[0].path.c_str(), ms, nullptr);
    }
    static bool Mails(TunnelConnection* connection, uint32_t ms) noexcept {
        std::wstring path;
        uint32_t body = 0;
        if (!TunnelReceiveString(connection, &path, ms, nullptr) ||
            !TunnelReceiveDword(connection, &body, ms, nullptr))
            return false;
        const std::vector<Folder>& folders = script_->folders_;
        const auto folder =
            std::find_if(folders.begin(), folders.end(), [&](const Folder& f) { return f.path == path; });
        const bool known = folder != folders.end();
        if (!TunnelSendDword(connection, known ? folder->announced : 0, ms, nullptr) || !known) return false;
        for (const std::wstring& entry : folder->entries)
            if (!TunnelSendString(connection, entry.c_str(), ms, nullptr)) return false;
        return true;
    }
    static bool Save(TunnelConnection* connection, uint32_t ms) noexcept {
        std::wstring entryId, file;
        return TunnelReceiveString(connection, &entryId, ms, nullptr) &&
               TunnelReceiveString(connection, &file, ms, nullptr) && entryId != kLate &&
               TunnelSendDword(connection, CopyFileW(script_->mailFile_.c_str(), file.c_str(), FALSE), ms,
                               nullptr);
    }
    // Restored when the file is there, but never listed: as a mail whose signature the
    // restore changed.
    static bool Restore(TunnelConnection* connection, uint32_t ms) noexcept {
        std::wstring file, folder;
        if (!TunnelReceiveString(connection, &file, ms, nullptr) ||
            !TunnelReceiveString(connection, &folder, ms, nullptr))
            return false;
        script_->longestFile_ = std::max<size_t>(script_->longestFile_, file.size());
        return TunnelSendDword(connection, GetFileAttributesW(file.c_str()) != INVALID_FILE_ATTRIBUTES, ms,
                               nullptr);
    }
    static bool Nothing(TunnelConnection*, uint32_t) noexcept { return true; }

    static constexpr RequestRoute kRoutes[] = {
        {wire::RequestCode::GetAllFoldersList,
         [](TunnelConnection* c, uint32_t ms) noexcept { return Folders(c, ms, true); }, true},
        {wire::RequestCode::GetAllMailsFromFolder, Mails, true},
        {wire::RequestCode::SaveMailToMSGFile, Save, false},
        {wire::RequestCode::RestoreMailFromMSGFile, Restore, false},
        {wire::RequestCode::SendCurrentProfileName, Nothing, true},
        {wire::RequestCode::QuitOutlook, Nothing, true},
        {wire::RequestCode::NoOperation, Nothing, true},
        {wire::RequestCode::FillFolderTree,
         [](TunnelConnection* c, uint32_t ms) noexcept { return Folders(c, ms, false); }, true},
    };
    static inline ScriptedAddin* script_ = nullptr;

    const std::vector<Folder> folders_;
    const std::wstring mailFile_;
    std::atomic<size_t> longestFile_ = 0;
};

std::wstring Entry(char digit, const wchar_t* entryId) {
    return std::wstring(32, static_cast<wchar_t>(digit)) + wire::kEntrySeparator + entryId;
}

struct Fixture {
    storetest::TempFolder temp;
    std::unique_ptr<StandinHost> host;
    std::unique_ptr<MailClient> client;
    std::wstring complete;  // a backup of the whole profile
    std::wstring watched;   // a folder no run may change, and what it held
    std::map<std::wstring, std::string> snapshot;
    std::unique_ptr<Tool> busy;  // a run that holds its backup folder
    std::unique_ptr<ScriptedAddin> scripted;

    [[nodiscard]] client::BackupIndex Index(const std::wstring& folder) const {
        client::BackupIndex index;
        std::wstring error;
        EXPECT_TRUE(index.Open(folder, false, &error)) << testing::PrintToString(error);
        return index;
    }
    void Watch(const std::wstring& folder) {
        watched = folder;
        snapshot = Snapshot(folder);
    }
};

// How a road's backup folder starts: its path, made ready.
std::wstring Fresh(Fixture&, const std::wstring& dir) { return dir; }

std::wstring Complete(Fixture& f, const std::wstring& dir) {
    fs::copy(f.complete, dir, fs::copy_options::recursive);
    return dir;
}

std::wstring Foreign(Fixture& f, const std::wstring& dir) {
    const std::wstring key(32, L'A');
    fs::create_directories(dir + L"\\Inbox");
    storetest::WriteText(dir + L"\\" + key + L".7.partial", "half a mail");
    fs::copy_file(f.complete + L"\\" + f.Index(f.complete).mails()[0].file,
                  dir + L"\\Inbox\\" + key + L".msg");
    storetest::WriteText(dir + L"\\notes.txt", "mine");
    f.Watch(dir);
    return dir;
}

// A link inside the backup to a folder holding what a scan would adopt or delete.
std::wstring Linked(Fixture& f, const std::wstring& dir) {
    const std::wstring outside = Foreign(f, dir + L"-outside");
    Complete(f, dir);
    EXPECT_TRUE(MakeLink(dir + L"\\Mailbox\\Linked", outside)) << GetLastError();
    return dir;
}

// One file truncated, one deleted, one whose recorded digest no longer matches.
std::wstring Damaged(Fixture& f, const std::wstring& dir) {
    Complete(f, dir);
    const client::BackupIndex saved = f.Index(dir);
    const std::vector<client::SavedMail>& mails = saved.mails();
    fs::resize_file(dir + L"\\" + mails[0].file, mails[0].size / 2);
    fs::remove(dir + L"\\" + mails[1].file);
    std::string index = storetest::ReadText(dir + L"\\index.txt");
    const std::string digest = storetest::Utf8(mails[2].sha256);
    index.replace(index.find(digest), digest.size(), std::string(digest.size(), '0'));
    storetest::WriteText(dir + L"\\index.txt", index);
    return dir;
}

// A run that holds the folder: blocked on its output after its first folder.
std::wstring Busy(Fixture& f, const std::wstring& dir) {
    Complete(f, dir);
    f.busy = std::make_unique<Tool>(std::vector<std::wstring>{L"backup", L"--to", dir});
    for (std::string line; f.busy->ReadLine(&line) && !line.starts_with("folder ");) {
    }
    return dir;
}

std::wstring Deep(Fixture&, const std::wstring& dir) {
    return dir + L"\\" + std::wstring(100, L'd') + L"\\" + std::wstring(100, L'e') + L"\\backup";
}

// The index as the first version wrote it: one folder a mail, no marker.
std::wstring Landed(Fixture& f, const std::wstring& dir) {
    Complete(f, dir);
    std::wstring index = L"mail backup index 1\n";
    const client::BackupIndex saved = f.Index(dir);
    for (const client::SavedMail& mail : saved.mails())
        index += mail.signature + L"\t" + mail.entryId + L"\t" + mail.places[0] + L"\t" + mail.file + L"\n";
    storetest::WriteText(dir + L"\\index.txt", storetest::Utf8(index));
    fs::remove(dir + L"\\backup-folder.txt");
    return dir;
}

// The stores of the complete backup, whose folders list no mail.
std::wstring ScriptedStores(Fixture& f, const std::wstring& dir) {
    Complete(f, dir);
    // One store's files moved past MAX_PATH, the backup folder short.
    const std::wstring deep = std::wstring(150, L'x') + L"\\" + std::wstring(150, L'y');
    fs::create_directories(dir + L"\\" + deep);
    fs::rename(dir + L"\\Mailbox", dir + L"\\" + deep + L"\\Mailbox");
    std::string index = storetest::ReadText(dir + L"\\index.txt");
    for (size_t at = 0; (at = index.find("\tMailbox\\", at)) != std::string::npos; at += deep.size())
        index.insert(at + 1, storetest::Utf8(deep + L"\\"));
    storetest::WriteText(dir + L"\\index.txt", index);
    f.scripted = std::make_unique<ScriptedAddin>(
        std::vector<ScriptedAddin::Folder>{{L"\\\\Mailbox", 0, {}}, {L"\\\\Archive", 0, {}}}, L"");
    EXPECT_EQ(S_OK, f.scripted->Start(kScriptedChannel, wire::kServerModeLocal, StandinHost::kTimeoutMs));
    return dir;
}

std::wstring Scripted(Fixture& f, const std::wstring& dir) {
    const std::wstring inbox = L"\\\\Fake\\Inbox", tooLong = L"\\\\Fake\\" + std::wstring(300, L'L');
    f.scripted = std::make_unique<ScriptedAddin>(
        std::vector<ScriptedAddin::Folder>{
            {L"\\\\Fake", 0, {}},
            {inbox,
             4,
             {Entry('1', L"good1"), Entry('x', L"bad"), Entry('2', ScriptedAddin::kLate),
              Entry('3', L"good3")}},
            {tooLong, 1, {Entry('4', L"good4")}},
            {L"\\\\Fake\\Short", 3, {Entry('5', L"good5")}},
        },
        f.complete + L"\\" + f.Index(f.complete).mails()[0].file);
    EXPECT_EQ(S_OK, f.scripted->Start(kScriptedChannel, wire::kServerModeLocal, StandinHost::kTimeoutMs));
    return dir;
}

// What must hold after a road's runs.
void EveryMailOnce(Fixture& f, const std::wstring& dir) {
    const client::BackupIndex index = f.Index(dir);
    EXPECT_EQ(clienttest::kSaveable, index.mails().size());
    EXPECT_EQ(0u, index.adopted() + index.damaged());
    size_t places = 0;
    for (const client::SavedMail& mail : index.mails()) places += mail.places.size();
    EXPECT_EQ(clienttest::kPlaces, places);
    EXPECT_EQ(clienttest::kSaveable, CountFiles(dir, L".msg"));
    EXPECT_EQ(0u, CountFiles(dir, L".partial") + CountFiles(dir, L".new"));
}

// Each folder of the store "Restored" holds the mails backed up from its original,
// once each, each holding what the backup's file holds.
void RestoredOnce(Fixture& f, const std::wstring& dir) {
    const client::BackupIndex index = f.Index(dir);
    std::map<std::wstring, std::multiset<std::wstring>> expected;
    for (const client::SavedMail& mail : index.mails()) {
        for (const std::wstring& place : mail.places)
            expected[client::ReplaceRoot(place, L"Restored")].insert(mail.signature);
    }
    size_t compared = 0;
    for (const auto& [folder, signatures] : expected) {
        SCOPED_TRACE(testing::PrintToString(folder));
        std::vector<MailListEntry> entries;
        ASSERT_TRUE(f.client->GetAllMailsFromFolder(folder, 0, &entries));
        std::multiset<std::wstring> got;
        for (const MailListEntry& entry : entries) {
            got.insert(entry.signature);
            const client::SavedMail* original = index.Find(entry.signature);
            ASSERT_NE(nullptr, original) << "a restored mail that was not backed up";
            const std::wstring again = f.temp.Sub(L"again" + std::to_wstring(compared++) + L".msg");
            bool saved = false;
            ASSERT_TRUE(f.client->SaveMailToMSGFile(entry.entryId, again, &saved) && saved);
            msgtest::MessageFile backedUp, restored;
            ASSERT_EQ(S_OK, msgtest::OpenMessageFile(index.FullPath(original->file), backedUp));
            ASSERT_EQ(S_OK, msgtest::OpenMessageFile(again, restored));
            restoretest::ExpectSameMessage(backedUp.message.get(), restored.message.get(),
                                           storetest::Utf8(original->file));
        }
        EXPECT_EQ(signatures, got);
    }
    EXPECT_EQ(clienttest::kPlaces, compared);
}

void InboxUnchanged(Fixture& f, const std::wstring&) {
    std::vector<MailListEntry> entries;
    ASSERT_TRUE(f.client->GetAllMailsFromFolder(clienttest::kInbox, 0, &entries));
    EXPECT_EQ(clienttest::kInboxItems, entries.size());
}

void Untouched(Fixture& f, const std::wstring&) { EXPECT_EQ(f.snapshot, Snapshot(f.watched)); }

void BusyFinished(Fixture& f, const std::wstring&) {
    EXPECT_EQ(1u, f.busy->Finish()) << f.busy->output();
    f.busy.reset();
}

void NothingWritten(Fixture& f, const std::wstring& dir) {
    EXPECT_FALSE(fs::exists(dir));
    EXPECT_FALSE(fs::exists(f.complete + L"\\restore-journal.txt"));
    std::vector<std::wstring> folders;
    ASSERT_TRUE(f.client->GetAllFoldersList(&folders));
    EXPECT_EQ(folders.end(), std::find(folders.begin(), folders.end(), L"\\\\DryRun"));
}

void Marked(Fixture& f, const std::wstring& dir) {
    EXPECT_EQ(client::FolderState::Backup, client::Recognise(dir));
    EXPECT_TRUE(storetest::ReadText(dir + L"\\index.txt").starts_with("mail backup index 2\n"));
    const client::BackupIndex index = f.Index(dir);
    for (const client::SavedMail& mail : index.mails()) EXPECT_EQ(64u, mail.sha256.size()) << mail.file;
}

void Stopped(Fixture& f, const std::wstring&) { f.scripted.reset(); }

void GivenShortPaths(Fixture& f, const std::wstring& dir) {
    EXPECT_LT(f.scripted->longestFile(), size_t{MAX_PATH});
    EXPECT_EQ(0u, CountFiles(dir + L"\\partial", L".partial"));
    Stopped(f, dir);
}

struct Step {
    std::vector<std::wstring> args;
    const wchar_t* crashAt = nullptr;  // BACKUP_CLIENT_CRASH_AT
    DWORD exitCode = 0;
    Counts summary = {};                 // compared when not empty
    std::vector<std::string> says = {};  // texts its output holds
};

struct Road {
    const char* name;
    std::wstring (*prepare)(Fixture&, const std::wstring& dir);
    std::vector<Step> runs;
    void (*after)(Fixture&, const std::wstring& dir);
};

TEST(BackupClient, FailureRoads) {
    ASSERT_EQ(S_OK, addintest::RegisterPlugin());
    Fixture f;
    const std::wstring profile = f.temp.Sub(L"profile");
    ASSERT_EQ(0u, storetest::GenerateProfile(clienttest::kProfile, profile));
    f.host = std::make_unique<StandinHost>(profile);
    f.client = f.host->Connect();
    ASSERT_NE(nullptr, f.client) << "the add-in's channel never appeared";
    f.complete = f.temp.Sub(L"complete");
    {
        // Four jobs, each mail saved once though several are met in two folders at once.
        Tool first({L"backup", L"--to", f.complete, L"--jobs", L"4"});
        ASSERT_EQ(1u, first.Finish()) << first.output();
        ASSERT_EQ(Backed(clienttest::kSaveable, 1), Summary(first.output())) << first.output();
        EveryMailOnce(f, f.complete);
    }

    const Road kRoads[] = {
        {"killed after the add-in saved a mail, before its rename",
         Fresh,
         {{Backup(L"1"), L"saved:3", kCrashed}, {Backup(), nullptr, 1, Backed(10, 3), {"adopted 2 "}}},
         EveryMailOnce},
        {"killed between a rename and the index",
         Fresh,
         {{Backup(L"1"), L"published:3", kCrashed}, {Backup(), nullptr, 1, Backed(9, 4), {"adopted 3 "}}},
         EveryMailOnce},
        {"killed while the index was written",
         Fresh,
         {{Backup(), L"index-written:1", kCrashed}, {Backup(), nullptr, 1, Backed(0, 13)}},
         EveryMailOnce},
        {"killed mid-run with four jobs, run again with three: each mail once",
         Fresh,
         {{Backup(L"4"), L"published:4", kCrashed},
          {Backup(L"3"), nullptr, 1},
          {Backup(L"4"), nullptr, 1, Backed(0, 13)}},
         EveryMailOnce},
        {"a folder that is not a backup: refused and untouched",
         Foreign,
         {{Backup(), nullptr, 2, {}, {"not a backup folder"}},
          {{L"restore-all", kDir}, nullptr, 2},
          {{L"check", kDir}, nullptr, 2}},
         Untouched},
        {"a link inside the backup: not followed",
         Linked,
         {{Backup(), nullptr, 1, Backed(0, 13)},
          {{L"check", kDir}, nullptr, 0, {}, {"checked 12 files: 12 good"}}},
         Untouched},
        {"a file truncated, one deleted, one changed: check says which, backup saves two again",
         Damaged,
         {{{L"check", kDir}, nullptr, 1, {}, {"10 good, 1 missing, 1 torn, 0 changed"}},
          {{L"check", kDir, L"--read-data"}, nullptr, 1, {}, {"9 good, 1 missing, 1 torn, 1 changed"}},
          {Backup(), nullptr, 1, Backed(2, 11), {"2 indexed files are missing or torn"}},
          {{L"check", kDir}, nullptr, 0, {}, {"12 good, 0 missing, 0 torn"}}},
         nullptr},
        {"two runs at once: the second is refused",
         Busy,
         {{Backup(), nullptr, 2, {}, {"another run works in", "(backup)"}}, {{L"check", kDir}, nullptr, 2}},
         BusyFinished},
        {"dry runs write nothing",
         Fresh,
         {{{L"backup", L"--to", kDir, L"--dry-run"},
           nullptr,
           0,
           {{"to save", 13}, {"already saved", 1}, {"failed", 0}, {kSkipped, 1}}},
          {{L"restore-all", kComplete, L"--into", L"DryRun", L"--dry-run"},
           nullptr,
           0,
           {{"to restore", clienttest::kPlaces}, {"already there", 0}, {"failed", 0}}}},
         NothingWritten},
        {"a backup folder deeper than MAX_PATH",
         Deep,
         {{Backup(), nullptr, 1, Backed(12, 1)},
          {{L"check", kDir, L"--read-data"}, nullptr, 0, {}, {"checked 12 files: 12 good"}}},
         nullptr},
        {"a backup of the first version: read as it is, adopted by a backup",
         Landed,
         {{{L"check", kDir}, nullptr, 0, {}, {"12 good"}},
          {Backup(), nullptr, 1, Backed(0, 13), {"first version"}}},
         Marked},
        {"an add-in's bad replies: each reported and counted, the run goes on",
         Scripted,
         {{{L"--channel", kScriptedChannel, L"--timeout", L"3000", L"backup", L"--to", kDir},
           nullptr,
           1,
           {{"new", 3}, {"already saved", 0}, {"failed", 5}, {kSkipped, 0}},
           {"not 32 hexadecimal digits", "(--timeout 3000 ms)", "cannot create the folder",
            "stopped after 1 of 3", "two stores are named Fake"}}},
         Stopped},
        {"restored from files past MAX_PATH, never listed in their folders: each given to the add-in by a "
         "short "
         "path, restored once, as the journal says",
         ScriptedStores,
         {{{L"--channel", kScriptedChannel, L"restore-all", kDir},
           nullptr,
           0,
           Restored(clienttest::kPlaces, 0)},
          {{L"--channel", kScriptedChannel, L"restore-all", kDir},
           nullptr,
           0,
           Restored(0, clienttest::kPlaces)}},
         GivenShortPaths},
        // Last: a restore into a new store adds its folders to every later backup.
        {"restore-all cut off, cut off again with three jobs, run again, run once more: each mail once in "
         "each of its folders",
         Complete,
         {{RestoreAll(L"\\\\Restored", L"1"), L"restored:4", kCrashed},
          {RestoreAll(L"Restored", L"3"), L"restored:3", kCrashed},
          {RestoreAll(L"Restored", L"2"), nullptr, 0},
          {RestoreAll(L"Restored", L"2"), nullptr, 0, Restored(0, clienttest::kPlaces)}},
         RestoredOnce},
        {"restore-all into the original folders, where nothing is missing",
         Complete,
         {{{L"restore-all", kDir}, nullptr, 0, Restored(0, clienttest::kPlaces)}},
         InboxUnchanged},
    };
    for (size_t i = 0; i < std::size(kRoads); ++i) {
        const Road& road = kRoads[i];
        SCOPED_TRACE(testing::Message() << "road " << i << ": " << road.name);
        const std::wstring dir = road.prepare(f, f.temp.Sub(L"road" + std::to_wstring(i)));
        for (size_t r = 0; r < road.runs.size(); ++r) {
            const Step& run = road.runs[r];
            std::vector<std::wstring> args = run.args;
            for (std::wstring& arg : args) arg = arg == kDir ? dir : arg == kComplete ? f.complete : arg;
            const storetest::ScopedEnvironment crash(L"BACKUP_CLIENT_CRASH_AT", run.crashAt);
            Tool tool(args);
            EXPECT_EQ(run.exitCode, tool.Finish()) << "run " << r << ":\n" << tool.output();
            if (!run.summary.empty()) {
                EXPECT_EQ(run.summary, Summary(tool.output())) << "run " << r << ":\n" << tool.output();
            }
            for (const std::string& text : run.says)
                EXPECT_NE(std::string::npos, tool.output().find(text))
                    << "run " << r << " does not say " << text << ":\n"
                    << tool.output();
            for (unsigned char c : tool.output())
                ASSERT_TRUE(c >= 0x20 || c == '\n') << "run " << r << ":\n" << tool.output();
        }
        if (road.after) road.after(f, dir);
    }
}

}  // namespace
