// Benchmark of the mail list (code 1), of saving mails (code 2) and of restoring them
// (code 3), run on demand (not a test):
//   mails_bench.exe PROFILE_FOLDER OUTPUT_FOLDER
// The add-in's work, asked by a backup client of an Outlook stand-in host in a
// second process, beside two baselines measured in this process, the object model in
// its main thread:
// - the stand-in's own cost for the same work, on a thread in an apartment of its own:
//   every Inbox item with its entry ID and the record's properties read through MAPI;
//   the first kSaved mails copied into new message files; those files copied into new
//   messages of one folder, found once;
// - the calls the design prescribes for each mail, made directly, on a thread that
//   enters an apartment for each request as the add-in's worker does, each member's
//   name looked up once as the add-in does: for a listed mail its _MailItem and entry
//   ID, the mail found again by that ID through the application and its namespace, its
//   message, record and digest; for a save the mail found by its ID, its message copied
//   into a new file; for a restore the application, the folder resolved by its path and
//   opened in MAPI, the application again, the file copied into a new message. What the
//   add-in costs beyond these is its own: the tunnel, the request, any call not prescribed.
// Beside the times, the object-model calls a mail costs (members invoked and names
// looked up, each a crossing to the main thread), counted by the object model: the
// add-in's as its host reports them, one host per request kind.
// All on the same profile in the same run (restores change it: give a copy); one
// round each, as a round takes minutes under Wine.
#include <windows.h>
#include <ole2.h>

#include <cstdio>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <imessage.h>
#include <mapiutil.h>

#include "base/com.h"
#include "base/msg_session.h"
#include "bench/bench_util.h"
#include "tests/support/standin_host.h"
#include "mails/mail_record.h"
#include "mails/mail_requests.h"
#include "mails/mail_signature.h"
#include "outlook/application.h"
#include "outlook/object_model.h"
#include "restore/target_folder.h"

namespace {

constexpr int kRounds = 1;
constexpr size_t kSaved = 300;
constexpr wchar_t kInbox[] = L"\\\\Bench\\Inbox";
constexpr wchar_t kStandinRestored[] = L"\\\\Bench\\Restored by the stand-in";
// The add-in and the prescribed calls restore into one folder, so that both walk the
// same folders to find it.
constexpr wchar_t kRestored[] = L"\\\\Bench\\Restored";
constexpr double kGoal = 1.5;  // the slowest the list and the saves may be beside the stand-in's own work
constexpr double kDirectGoal = 1.2;  // the slowest each request may be beside its prescribed calls
constexpr double kCallsGoal = 1.01;  // no call a mail beyond the prescribed ones, but a request's few once

// One kind of work: its time, how many mails it did, and the object-model calls a mail
// cost (negative when not counted).
struct Phase {
    double seconds = -1;
    size_t done = 0;
    double calls = -1;
};

struct Figures {
    Phase list, save, restore;
};

std::wstring SavedFile(const std::wstring& output, const wchar_t* who, size_t i) {
    return output + L"\\" + who + std::to_wstring(i) + L".msg";
}

// The object model's calls so far, members invoked and names looked up together.
uint64_t CallsSoFar() {
    OutlookStandinCallCounts counts{};
    OutlookStandinGetCallCounts(&counts);
    return counts.invoked + counts.namesLookedUp;
}

// `work` timed, with the calls of this process's object model a mail cost.
Phase Measure(const std::function<size_t()>& work) {
    Phase phase;
    const uint64_t before = CallsSoFar();
    phase.seconds = bench::Median(kRounds, work, phase.done);
    if (phase.done) phase.calls = double(CallsSoFar() - before) / double(phase.done * kRounds);
    return phase;
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

// Each Inbox item in Items order, through `visit`, until it returns false.
void ForEachItem(_NameSpace* nameSpace, const std::function<bool(IDispatch*)>& visit) {
    base::ComPtr<MAPIFolder> inbox;
    base::ComPtr<_Items> items;
    base::ComPtr<IDispatch> item;
    if (FAILED(outlook::GetDefaultFolder(nameSpace, olFolderInbox, inbox)) ||
        FAILED(outlook::GetItems(inbox.get(), items)) || FAILED(outlook::GetFirst(items.get(), item))) {
        return;
    }
    for (; item; static_cast<void>(outlook::GetNext(items.get(), item))) {
        if (!visit(item.get())) return;
    }
}

// Each Inbox mail and its IMessage in Items order, through `visit`, until it returns false.
void ForEachMail(_NameSpace* nameSpace, const std::function<bool(_MailItem*, IMessage*)>& visit) {
    ForEachItem(nameSpace, [&](IDispatch* item) {
        base::ComPtr<_MailItem> mail;
        base::ComPtr<IMessage> message;
        if (FAILED(item->QueryInterface(__uuidof(_MailItem), mail.put_void())) ||
            FAILED(mails::GetMailMessage(mail.get(), message))) {
            return true;
        }
        return visit(mail.get(), message.get());
    });
}

// The folder a restore names, resolved and opened in MAPI.
[[nodiscard]] HRESULT OpenTarget(const wchar_t* path, base::ComPtr<IMAPIFolder>& folder) {
    base::ComPtr<MAPIFolder> target;
    HRESULT hr;
    if (FAILED(hr = restore::getFolder(target, path)) ||
        FAILED(hr = restore::getIMAPIFolder(target.get(), folder)))
        return hr;
    return folder ? S_OK : E_FAIL;
}

// The stand-in's own work.
void MeasureStandin(_NameSpace* nameSpace, const std::wstring& output, Figures& figures) {
    figures.list = Measure([&] {
        size_t listed = 0;
        ForEachMail(nameSpace, [&](_MailItem* mail, IMessage* message) {
            base::UniqueBstr entryId;
            if (SUCCEEDED(outlook::GetEntryID(mail, entryId)) &&
                !mails::BuildMailRecord(message, false).empty())
                ++listed;
            return true;
        });
        return listed;
    });
    figures.save = Measure([&] {
        size_t saved = 0;
        ForEachMail(nameSpace, [&](_MailItem*, IMessage* message) {
            const std::wstring path = SavedFile(output, L"standin", saved);
            if (SUCCEEDED(mails::WriteMessageFile(message, path.c_str()))) ++saved;
            return saved < kSaved;
        });
        return saved;
    });
    base::ComPtr<IMAPIFolder> folder;
    if (FAILED(OpenTarget(kStandinRestored, folder))) return;
    figures.restore = Measure([&] {
        size_t restored = 0;
        for (size_t i = 0; i < figures.save.done; ++i)
            if (SUCCEEDED(CopyIntoFolder(folder.get(), SavedFile(output, L"standin", i)))) ++restored;
        return restored;
    });
}

// A listed mail's prescribed calls: its _MailItem and entry ID, the mail found again by
// that ID, its message's record and digest. Empty when one of them failed.
std::wstring ListDirectly(IDispatch* item, HCRYPTPROV provider) {
    base::ComPtr<_MailItem> mail, found;
    base::UniqueBstr entryId;
    base::ComPtr<IMessage> message;
    if (FAILED(item->QueryInterface(__uuidof(_MailItem), mail.put_void())) ||
        FAILED(outlook::GetEntryID(mail.get(), entryId)) ||
        FAILED(mails::GetMailItemByEntryID(entryId.c_str(), found)) ||
        FAILED(mails::GetMailMessage(found.get(), message))) {
        return std::wstring();
    }
    const std::wstring record = mails::BuildMailRecord(message.get(), false);
    if (mails::ComputeMD5Hex(record.data(), static_cast<long long>(record.size()), provider).empty())
        return std::wstring();
    return entryId.c_str();
}

// A save's prescribed calls: the mail found by its ID, its message copied into a new file.
[[nodiscard]] HRESULT SaveDirectly(const std::wstring& entryId, const std::wstring& path) {
    base::ComPtr<_MailItem> mail;
    base::ComPtr<IMessage> message;
    HRESULT hr;
    DeleteFileW(path.c_str());
    if (FAILED(hr = mails::GetMailItemByEntryID(entryId.c_str(), mail)) ||
        FAILED(hr = mails::GetMailMessage(mail.get(), message))) {
        return hr;
    }
    return mails::WriteMessageFile(message.get(), path.c_str());
}

// A restore's prescribed calls: the application, the folder resolved by its path and
// opened in MAPI, the application again, the file copied into a new message.
[[nodiscard]] HRESULT RestoreDirectly(const std::wstring& file) {
    base::ComPtr<_Application> application, again;
    base::ComPtr<IMAPIFolder> folder;
    outlook::GetOutlookApplication(application);
    if (!application || FAILED(OpenTarget(kRestored, folder))) return E_FAIL;
    outlook::GetOutlookApplication(again);
    if (!again) return E_FAIL;
    return CopyIntoFolder(folder.get(), file);
}

// The prescribed calls, on a thread of its own that enters an apartment for each
// request, as the add-in's worker does: one for the list, one for each save and restore.
void MeasureDirect(const std::wstring& output, Figures& figures) {
    std::thread thread([&] {
        const auto request = [](const auto& work) {
            const base::ScopedComInitializer apartment;
            return work();
        };
        const base::UniqueCryptProv provider = mails::AcquireDigestProvider();
        std::vector<std::wstring> entryIds;
        figures.list = Measure([&] {
            return request([&] {
                base::ComPtr<_Application> application;
                base::ComPtr<_NameSpace> nameSpace;
                outlook::GetOutlookApplication(application);
                entryIds.clear();
                if (!application || FAILED(outlook::GetNamespace(application.get(), L"MAPI", nameSpace)))
                    return size_t{0};
                ForEachItem(nameSpace.get(), [&](IDispatch* item) {
                    std::wstring entryId = ListDirectly(item, provider.get());
                    if (!entryId.empty()) entryIds.push_back(std::move(entryId));
                    return true;
                });
                return entryIds.size();
            });
        });
        figures.save = Measure([&] {
            size_t saved = 0;
            for (size_t i = 0; i < kSaved && i < entryIds.size(); ++i) {
                if (request([&] {
                        return SUCCEEDED(SaveDirectly(entryIds[i], SavedFile(output, L"direct", i)));
                    }))
                    ++saved;
            }
            return saved;
        });
        figures.restore = Measure([&] {
            size_t restored = 0;
            for (size_t i = 0; i < figures.save.done; ++i)
                if (request([&] { return SUCCEEDED(RestoreDirectly(SavedFile(output, L"direct", i))); }))
                    ++restored;
            return restored;
        });
    });
    thread.join();  // nothing calls into this thread's apartment meanwhile
}

// The object-model calls a host served, from its report at its end; stops the host.
uint64_t HostCalls(const testsupport::StandinHost& host) {
    if (host.Stop(testsupport::StandinHost::kTimeoutMs) != 0) return 0;
    unsigned long long invoked = 0, lookedUp = 0;
    const std::string output = host.Output();
    const size_t at = output.find("object-model calls: ");
    if (at == std::string::npos ||
        sscanf(output.c_str() + at, "object-model calls: %llu invoked, %llu names looked up", &invoked,
               &lookedUp) != 2) {
        return 0;
    }
    return invoked + lookedUp;
}

// One kind of request in a host of its own, so that the host's count is the request's
// alone beside `idleCalls`, what a host costs with a warm client that asks nothing more.
Phase MeasureInHost(const std::wstring& profile, uint64_t idleCalls,
                    const std::function<size_t(MailClient&)>& work) {
    Phase phase;
    const testsupport::StandinHost host(profile);
    const std::unique_ptr<MailClient> client = bench::WarmClient(host);
    if (!client) return phase;
    phase.seconds = bench::Median(
        kRounds, [&] { return work(*client); }, phase.done);
    const uint64_t calls = HostCalls(host);
    if (phase.done && calls > idleCalls)
        phase.calls = double(calls - idleCalls) / double(phase.done * kRounds);
    return phase;
}

// The add-in's list, saves and restores through a client of the host.
Figures MeasureAddin(const std::wstring& profile, const std::wstring& output) {
    uint64_t idleCalls = 0;
    {
        const testsupport::StandinHost host(profile);
        if (bench::WarmClient(host)) idleCalls = HostCalls(host);
    }
    Figures figures;
    std::vector<std::wstring> entries;
    figures.list = MeasureInHost(profile, idleCalls, [&](MailClient& client) {
        return client.GetAllMailsFromFolder(kInbox, 0, &entries) ? entries.size() : 0;
    });
    figures.save = MeasureInHost(profile, idleCalls, [&](MailClient& client) {
        size_t saved = 0;
        for (size_t i = 0; i < kSaved && i < entries.size(); ++i) {
            const std::wstring entryId = entries[i].substr(entries[i].find(L"#####") + 5);
            bool ok = false;
            if (client.SaveMailToMSGFile(entryId, SavedFile(output, L"addin", i), &ok) && ok) ++saved;
        }
        return saved;
    });
    figures.restore = MeasureInHost(profile, idleCalls, [&](MailClient& client) {
        size_t restored = 0;
        for (size_t i = 0; i < figures.save.done; ++i) {
            bool ok = false;
            if (client.RestoreMailFromMSGFile(SavedFile(output, L"addin", i), kRestored, &ok) && ok)
                ++restored;
        }
        return restored;
    });
    return figures;
}

// The rows of one request: its time beside each baseline, its calls a mail beside the
// prescribed ones. A count of mails that differs from a baseline's makes the figure
// unmeasured.
void Report(const char* what, const Phase& addin, const Phase& standin, const char* standinWork,
            double standinGoal, const Phase& direct) {
    const std::string figure = std::string(what) + ", " + std::to_string(addin.done) + " mails";
    for (const auto& [baseline, phase] :
         {std::pair{standinWork, &standin}, {"the prescribed calls, made directly", &direct}}) {
        if (addin.done != phase->done) printf("%s: %s did %zu\n", figure.c_str(), baseline, phase->done);
    }
    bench::Row(figure.c_str(), addin.done == standin.done ? addin.seconds : 0, "s", standinWork,
               standin.seconds, standinGoal);
    bench::Row(figure.c_str(), addin.done == direct.done ? addin.seconds : 0, "s",
               "the prescribed calls, made directly", direct.seconds, kDirectGoal);
    const std::string calls = std::string(what) + ": object-model calls a mail";
    bench::Row(calls.c_str(), addin.calls, "calls", "the prescribed calls, made directly", direct.calls,
               kCallsGoal);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) {
        fputs("usage: mails_bench.exe PROFILE_FOLDER OUTPUT_FOLDER\n", stderr);
        return 2;
    }
    Figures standin, direct;
    bench::WithStandinNamespace(argv[1], [&](_NameSpace* nameSpace) {
        MeasureStandin(nameSpace, argv[2], standin);
        MeasureDirect(argv[2], direct);
    });
    const Figures addin = MeasureAddin(argv[1], argv[2]);
    Report("mail list (code 1)", addin.list, standin.list, "the stand-in's own reads", kGoal, direct.list);
    Report("save (code 2)", addin.save, standin.save, "the stand-in's own copies", kGoal, direct.save);
    Report("restore (code 3)", addin.restore, standin.restore, "the stand-in's own copies", 0,
           direct.restore);
    const auto same = [](const Phase& a, const Phase& b) { return a.done == b.done; };
    return same(addin.list, standin.list) && same(addin.list, direct.list) &&
                   same(addin.save, standin.save) && same(addin.save, direct.save) &&
                   same(addin.restore, standin.restore) && same(addin.restore, direct.restore)
               ? 0
               : 1;
}
