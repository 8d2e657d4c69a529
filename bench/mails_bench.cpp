// Benchmark of the mail list (code 1) and of saving mails (code 2), run on demand
// (not a test):
//   mails_bench.exe PROFILE_FOLDER OUTPUT_FOLDER
// The add-in's work, asked by a backup client of an Outlook stand-in host in a
// second process, beside the stand-in's own cost for the same work in this process
// without the add-in and its tunnel: every Inbox item with its entry ID and the
// record's properties read through MAPI; the first kSaved mails copied into new
// message files. Both on the same profile in the same run; one round each, as a
// round takes minutes under Wine.
#include <windows.h>
#include <ole2.h>

#include <cstdio>
#include <string>
#include <vector>

#include "base/com.h"
#include "bench/bench_util.h"
#include "mails/mail_record.h"
#include "mails/mail_requests.h"
#include "outlook/object_model.h"

namespace {

constexpr int kRounds = 1;
constexpr size_t kSaved = 1000;
constexpr wchar_t kInbox[] = L"\\\\Bench\\Inbox";

struct Figures {
    double list = -1, save = -1;
    size_t listed = 0, saved = 0;
};

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
                    const std::wstring path = output + L"\\standin" + std::to_wstring(saved) + L".msg";
                    if (SUCCEEDED(mails::WriteMessageFile(message, path.c_str()))) ++saved;
                    return saved < kSaved;
                });
                return saved;
            },
            figures.saved);
    });
    return figures;
}

// The add-in's list and saves through a client of the host.
Figures MeasureAddin(const std::wstring& profile, const std::wstring& output) {
    Figures figures;
    const bench::StandinHost host(profile);
    const std::unique_ptr<MailClient> client = host.Connect();
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
                const std::wstring path = output + L"\\addin" + std::to_wstring(i) + L".msg";
                bool ok = false;
                if (client->SaveMailToMSGFile(entryId, path, &ok) && ok) ++saved;
            }
            return saved;
        },
        figures.saved);
    return figures;
}

void Report(const wchar_t* what, double standin, size_t standinCount, double addin, size_t addinCount) {
    wprintf(L"%ls:\n", what);
    wprintf(L"  the stand-in's own work:   %8.1f ms, %zu mails, %.2f ms a mail\n", standin * 1000,
            standinCount, standin * 1000 / double(standinCount));
    wprintf(L"  the add-in, over the wire: %8.1f ms, %zu mails, %.2f ms a mail\n", addin * 1000, addinCount,
            addin * 1000 / double(addinCount));
    wprintf(L"  ratio: %.2fx (goal: at most 1.5x)\n", addin / standin);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) {
        fputs("usage: mails_bench.exe PROFILE_FOLDER OUTPUT_FOLDER\n", stderr);
        return 2;
    }
    const Figures standin = MeasureStandin(argv[1], argv[2]);
    const Figures addin = MeasureAddin(argv[1], argv[2]);
    Report(L"mail list of the Inbox (code 1)", standin.list, standin.listed, addin.list, addin.listed);
    Report(L"saving mails to message files (code 2)", standin.save, standin.saved, addin.save, addin.saved);
    return standin.list > 0 && addin.list > 0 && standin.listed == addin.listed &&
                   standin.saved == addin.saved
               ? 0
               : 1;
}
