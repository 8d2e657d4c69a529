// backup-client.exe's backup and restore-all, in a process of its own with its output
// in a pipe, against the add-in in the Outlook stand-in host: a backup, one killed
// part-way and run again, an incremental run that finds nothing new, and everything
// restored into a new store, compared property by property with what was backed up.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <regex>

#include "base/unique_resource.h"
#include "client/backup_index.h"
#include "client/backup_runs.h"
#include "tests/addin/plugin.h"
#include "tests/client/client_profile.h"
#include "tests/restore/same_message.h"
#include "tests/standin/msg/msg_test_util.h"
#include "tests/standin/store/mapi_test_util.h"
#include "tests/support/standin_host.h"

namespace {

using testsupport::StandinHost;

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
    void Kill() { process_->Kill(); }
    [[nodiscard]] const std::string& output() const { return output_; }

private:
    base::UniqueHandle read_;
    std::unique_ptr<testsupport::Program> process_;
    std::string output_;
};

// The summary's counts by name, from its line "done in H:MM:SS: 3 new, 1 failed".
std::map<std::string, size_t> Summary(const std::string& output) {
    std::map<std::string, size_t> counts;
    const size_t start = output.rfind("done in ");
    if (start == std::string::npos) return counts;
    const std::string line = output.substr(start, output.find('\n', start) - start);
    const std::regex count(R"(([0-9]+) ([a-z ]+))");
    for (std::sregex_iterator at(line.begin() + line.find(": "), line.end(), count), end; at != end; ++at)
        counts[(*at)[2]] = std::stoul((*at)[1]);
    return counts;
}

void ExpectPlainLines(const std::string& output) {
    for (size_t i = 0; i < output.size(); ++i) {
        const unsigned char c = output[i];
        ASSERT_TRUE(c >= 0x20 || c == '\n') << "byte " << i << " is 0x" << std::hex << int(c) << " in\n"
                                            << output;
    }
}

// Files below `folder`, by extension.
size_t CountFiles(const std::wstring& folder, const wchar_t* extension) {
    namespace fs = std::filesystem;
    return std::count_if(
        fs::recursive_directory_iterator(folder), fs::recursive_directory_iterator(),
        [&](const fs::directory_entry& file) { return file.path().extension() == extension; });
}

std::vector<std::wstring> Backup(const std::wstring& folder) { return {L"backup", L"--to", folder}; }

TEST(BackupClient, BackupKilledRerunIncrementalAndRestoreAll) {
    ASSERT_EQ(S_OK, addintest::RegisterPlugin());
    const storetest::TempFolder temp;
    const std::wstring profile = temp.Sub(L"profile"), backup = temp.Sub(L"backup");
    ASSERT_EQ(0u, storetest::GenerateProfile(clienttest::kProfile, profile));
    StandinHost host(profile);
    const auto client = host.Connect();
    ASSERT_NE(nullptr, client) << "the add-in's channel never appeared";

    // Killed once the Inbox is saved, before its folder line and the index that follows it.
    {
        Tool killed(Backup(backup));
        std::string line;
        while (killed.ReadLine(&line) && line.find("Refused") == std::string::npos &&
               line.find("Inbox:") == std::string::npos) {
        }
        killed.Kill();
        ExpectPlainLines(killed.output());
    }
    const size_t savedBeforeKill = CountFiles(backup, L".msg");
    EXPECT_EQ(4u, savedBeforeKill);
    const std::wstring leftover = backup + L"\\Mailbox\\Inbox\\leftover.1.partial";
    storetest::WriteText(leftover, "half a mail");

    struct Run {
        std::map<std::string, size_t> summary;
        DWORD exitCode;
    };
    const size_t notMails = 1, failed = 1;
    const Run kRuns[] = {
        {{{"new", clienttest::kSaveable - savedBeforeKill},
          {"already saved", savedBeforeKill},
          {"not mails", notMails},
          {"failed", failed}},
         1},
        {{{"new", 0}, {"already saved", clienttest::kSaveable}, {"not mails", notMails}, {"failed", failed}},
         1},
    };
    for (size_t i = 0; i < std::size(kRuns); ++i) {
        Tool tool(Backup(backup));
        EXPECT_EQ(kRuns[i].exitCode, tool.Finish()) << "run " << i << ":\n" << tool.output();
        EXPECT_EQ(kRuns[i].summary, Summary(tool.output())) << "run " << i << ":\n" << tool.output();
        ExpectPlainLines(tool.output());
        EXPECT_EQ(clienttest::kSaveable, CountFiles(backup, L".msg")) << "run " << i;
        EXPECT_EQ(0u, CountFiles(backup, L".partial")) << "run " << i;
    }
    client::BackupIndex index;
    std::wstring error;
    ASSERT_TRUE(index.Open(backup, &error)) << testing::PrintToString(error);
    EXPECT_EQ(0u, index.adopted());
    ASSERT_EQ(clienttest::kSaveable, index.mails().size());

    Tool restore({L"restore-all", backup, L"--into", L"Restored"});
    EXPECT_EQ(0u, restore.Finish()) << restore.output();
    EXPECT_EQ((std::map<std::string, size_t>{{"restored", clienttest::kSaveable}, {"failed", 0}}),
              Summary(restore.output()))
        << restore.output();

    // Each restored folder holds the mails backed up from its original, and each saved
    // again holds what the backup's file holds.
    std::map<std::wstring, size_t> perFolder;
    for (const client::SavedMail& mail : index.mails()) {
        ++perFolder[mail.folderPath];
        EXPECT_FALSE(mail.entryId.empty()) << "an adopted file never got its entry ID";
    }
    size_t compared = 0;
    for (const auto& [folder, count] : perFolder) {
        SCOPED_TRACE(testing::PrintToString(folder));
        std::vector<MailListEntry> entries;
        ASSERT_TRUE(client->GetAllMailsFromFolder(client::ReplaceRoot(folder, L"Restored"), 0, &entries));
        ASSERT_EQ(count, entries.size());
        for (const MailListEntry& entry : entries) {
            const client::SavedMail* original = index.Find(entry.signature);
            ASSERT_NE(nullptr, original) << "a restored mail that was not backed up";
            EXPECT_EQ(folder, original->folderPath);
            const std::wstring again = temp.Sub(L"again" + std::to_wstring(compared++) + L".msg");
            bool saved = false;
            ASSERT_TRUE(client->SaveMailToMSGFile(entry.entryId, again, &saved));
            ASSERT_TRUE(saved);
            msgtest::MessageFile backedUp, restored;
            ASSERT_EQ(S_OK, msgtest::OpenMessageFile(index.FullPath(original->file), backedUp));
            ASSERT_EQ(S_OK, msgtest::OpenMessageFile(again, restored));
            restoretest::ExpectSameMessage(backedUp.message.get(), restored.message.get(),
                                           storetest::Utf8(original->file));
        }
    }
    EXPECT_EQ(clienttest::kSaveable, compared);
}

}  // namespace
