// Benchmark of the mail list (code 1), of saving mails (code 2) and of restoring them
// (code 3), run on demand (not a test):
//   mails_bench.exe PROFILE_FOLDER OUTPUT_FOLDER
// The add-in's work, asked by a backup client of an Outlook stand-in host in a
// second process, beside the stand-in's own cost for the same work in this process
// without the add-in and its tunnel: every Inbox item with its entry ID and the
// record's properties read through MAPI; the first kSaved mails copied into new
// message files; those files copied into new messages of one folder, found once.
// Both on the same profile in the same run (restores change it: give a copy); one
// round each, as a round takes minutes under Wine.
#include <windows.h>
#include <ole2.h>

#include <cstdio>
#include <string>
#include <vector>

#include <imessage.h>
#include <mapiutil.h>

#include "base/com.h"
#include "base/msg_session.h"
#include "bench/bench_util.h"
#include "tests/support/standin_host.h"
#include "mails/mail_record.h"
#include "mails/mail_requests.h"
#include "outlook/object_model.h"
#include "restore/target_folder.h"

namespace {

constexpr int kRounds = 1;
constexpr size_t kSaved = 500;
constexpr wchar_t kInbox[] = L"\\\\Bench\\Inbox";
constexpr wchar_t kStandinRestored[] = L"\\\\Bench\\Restored by the stand-in";
constexpr wchar_t kAddinRestored[] = L"\\\\Bench\\Restored by the add-in";
constexpr double kGoal = 1.5;  // the slowest the list and the saves may be beside the baselines

struct Figures {
    double list = -1, save = -1, restore = -1;
    size_t listed = 0, saved = 0, restored = 0;
};

std::wstring SavedFile(const std::wstring& output, const wchar_t* who, size_t i) {
    return output + L"\\" + who + std::to_wstring(i) + L".msg";
}

// The stand-in's own copy of a message file into a new message of `folder`.
[[nodiscard]] HRESULT CopyIntoFolder(IMAPIFolder* folder, const std::wstring& file) {
    base::ComPtr<IMessage> created;
    base::ComPtr<IStorage> storage;
    base::MessageOnStorage source;
    HRESULT hr;
    if (FAILED(hr = folder->CreateMessage(nullptr, 0, created.put())) ||
        FAILED(hr = StgOpenStorage(file.c_str(), nullptr,
                                   STGM_TRANSACTED | STGM_SHARE_EXCLUSIVE | STGM_READWRITE, nullptr, 0,
                                   storage.put())) ||
        FAILED(hr = source.Open(storage.get())) ||
        FAILED(
            hr = source->CopyTo(0, nullptr, nullptr, 0, nullptr, &IID_IMessage, created.get(), 0, nullptr))) {
        return hr;
    }
    return created->SaveChanges(KEEP_OPEN_READWRITE);
}

// Each Inbox mail's IMessage in Items order, through `visit`, until it returns false.
void ForEachMail(_NameSpace* nameSpace, const std::function<bool(_MailItem*, IMessage*)>& visit) {
    base::ComPtr<MAPIFolder> inbox;
    base::ComPtr<_Items> items;
    base::ComPtr<IDispatch> item;
    if (FAILED(outlook::GetDefaultFolder(nameSpace, olFolderInbox, inbox)) ||
        FAILED(outlook::GetItems(inbox.get(), items)) || FAILED(outlook::GetFirst(items.get(), item))) {
        return;
    }
    for (; item; static_cast<void>(outlook::GetNext(items.get(), item))) {
        base::ComPtr<_MailItem> mail;
        base::ComPtr<IMessage> message;
        if (FAILED(item.As(mail)) || FAILED(mails::GetMailMessage(mail.get(), message))) continue;
        if (!visit(mail.get(), message.get())) return;
    }
}

// The stand-in's own work, on a thread of its own apartment, as a request runs.
Figures MeasureStandin(const std::wstring& profile, const std::wstring& output) {
    Figures figures;
    bench::WithStandinNamespace(profile, [&](_NameSpace* nameSpace) {
        figures.list = bench::Median(
            kRounds,
            [&] {
                size_t listed = 0;
                ForEachMail(nameSpace, [&](_MailItem* mail, IMessage* message) {
                    base::UniqueBstr entryId;
                    if (SUCCEEDED(outlook::GetEntryID(mail, entryId)) &&
                        !mails::BuildMailRecord(message, false).empty()) {
                        ++listed;
                    }
                    return true;
                });
                return listed;
            },
            figures.listed);
        figures.save = bench::Median(
            kRounds,
            [&] {
                size_t saved = 0;
                ForEachMail(nameSpace, [&](_MailItem*, IMessage* message) {
                    const std::wstring path = SavedFile(output, L"standin", saved);
                    if (SUCCEEDED(mails::WriteMessageFile(message, path.c_str()))) ++saved;
                    return saved < kSaved;
                });
                return saved;
            },
            figures.saved);
        base::ComPtr<MAPIFolder> target;
        base::ComPtr<IMAPIFolder> folder;
        if (FAILED(restore::getFolder(target, kStandinRestored)) ||
            FAILED(restore::getIMAPIFolder(target.get(), folder)) || !folder) {
            return;
        }
        figures.restore = bench::Median(
            kRounds,
            [&] {
                size_t restored = 0;
                for (size_t i = 0; i < figures.saved; ++i)
                    if (SUCCEEDED(CopyIntoFolder(folder.get(), SavedFile(output, L"standin", i)))) ++restored;
                return restored;
            },
            figures.restored);
    });
    return figures;
}

// The add-in's list and saves through a client of the host.
Figures MeasureAddin(const std::wstring& profile, const std::wstring& output) {
    Figures figures;
    const testsupport::StandinHost host(profile);
    const std::unique_ptr<MailClient> client = host.Connect(2, bench::kReplyTimeoutMs);
    std::vector<std::wstring> entries;
    if (!client) return figures;
    figures.list = bench::Median(
        kRounds, [&] { return client->GetAllMailsFromFolder(kInbox, 0, &entries) ? entries.size() : 0; },
        figures.listed);
    figures.save = bench::Median(
        kRounds,
        [&] {
            size_t saved = 0;
            for (size_t i = 0; i < kSaved && i < entries.size(); ++i) {
                const std::wstring entryId = entries[i].substr(entries[i].find(L"#####") + 5);
                const std::wstring path = SavedFile(output, L"addin", i);
                bool ok = false;
                if (client->SaveMailToMSGFile(entryId, path, &ok) && ok) ++saved;
            }
            return saved;
        },
        figures.saved);
    figures.restore = bench::Median(
        kRounds,
        [&] {
            size_t restored = 0;
            for (size_t i = 0; i < figures.saved; ++i) {
                bool ok = false;
                if (client->RestoreMailFromMSGFile(SavedFile(output, L"addin", i), kAddinRestored, &ok) && ok)
                    ++restored;
            }
            return restored;
        },
        figures.restored);
    return figures;
}

// One row; a count that differs from the baseline's makes the figure unmeasured.
void Report(const char* what, double addin, size_t addinCount, const char* baseline, double standin,
            size_t standinCount, double goal) {
    const std::string figure = std::string(what) + ", " + std::to_string(addinCount) + " mails";
    if (addinCount != standinCount) printf("%s: the baseline did %zu\n", figure.c_str(), standinCount);
    bench::Row(figure.c_str(), addinCount == standinCount ? addin : 0, "s", baseline, standin, goal);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) {
        fputs("usage: mails_bench.exe PROFILE_FOLDER OUTPUT_FOLDER\n", stderr);
        return 2;
    }
    const Figures standin = MeasureStandin(argv[1], argv[2]);
    const Figures addin = MeasureAddin(argv[1], argv[2]);
    Report("mail list (code 1)", addin.list, addin.listed, "the stand-in's own reads", standin.list,
           standin.listed, kGoal);
    Report("save (code 2)", addin.save, addin.saved, "the stand-in's own copies", standin.save, standin.saved,
           kGoal);
    Report("restore (code 3)", addin.restore, addin.restored, "the stand-in's own copies", standin.restore,
           standin.restored, 0);
    return addin.listed == standin.listed && addin.saved == standin.saved &&
                   addin.restored == standin.restored
               ? 0
               : 1;
}
