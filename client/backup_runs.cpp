#include "client/backup_runs.h"

#include <windows.h>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "base/boundary.h"
#include "base/scope_exit.h"
#include "client/backup_folder.h"
#include "client/backup_index.h"
#include "client/mail_client.h"

namespace client {
namespace {

enum BackupTally { kNew, kKnown, kBackupFailed, kSkipped, kBackupTallies };
enum RestoreTally { kRestored, kThere, kRestoreFailed, kRestoreTallies };
constexpr wchar_t kSkippedTally[] = L"not mails or unreadable (see the add-in's log)";
// Late replies in a row after which the add-in counts as gone, so that a hung
// Outlook costs a few timeouts, not one per mail.
constexpr unsigned kLateRepliesBeforeGivingUp = 5;

// Folder paths as the add-in compares names: A to Z folded, nothing else.
std::wstring FoldCase(std::wstring text) {
    for (wchar_t& c : text) {
        if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
    }
    return text;
}

// "\\Root" of a folder path.
std::wstring RootPath(const std::wstring& folderPath) {
    return folderPath.substr(0, folderPath.find(L'\\', 2));
}

// The folder list's paths as the add-in reads them back: a backslash after which no
// listed folder ends is part of a name, and is sent as its escape.
std::vector<std::wstring> PathsToSend(const std::vector<std::wstring>& paths,
                                      const std::vector<std::wstring>& all) {
    const std::unordered_set<std::wstring> listed(all.begin(), all.end());
    std::vector<std::wstring> sent;
    sent.reserve(paths.size());
    for (const std::wstring& path : paths) {
        std::wstring& out = sent.emplace_back(path.substr(0, 2));
        for (size_t i = out.size(); i < path.size(); ++i) {
            out += path[i] == L'\\' && !listed.count(path.substr(0, i)) ? std::wstring(L"&#92")
                                                                        : std::wstring(1, path[i]);
        }
    }
    return sent;
}

// The add-in's connection for a long run: made when first needed and again after a
// request failed (the tunnel has closed it then), so that a late reply costs one mail,
// not the run. Workers of one run would each hold one.
class AddinLink {
public:
    enum class Reply { Answered, Late, Gone };

    explicit AddinLink(const Channel& channel) noexcept : channel_(channel) {}

    // One request made by `call` on the connection. Late: it failed, and `failure`
    // says how in words that name --timeout; Gone: no connection can be made, or too
    // many replies in a row were late.
    template <typename Call>
    [[nodiscard]] Reply Ask(Call&& call, std::wstring* failure) {
        if (late_ >= kLateRepliesBeforeGivingUp) {
            *failure = std::to_wstring(late_) +
                       L" replies in a row did not come; run again later, or with a larger --timeout";
            return Reply::Gone;
        }
        if (!client_)
            client_ = MailClient::Connect(channel_.name, channel_.version, channel_.timeoutMs, failure);
        if (!client_) return Reply::Gone;
        if (call(*client_)) {
            late_ = 0;
            return Reply::Answered;
        }
        *failure = client_->error() + L" (--timeout " + std::to_wstring(channel_.timeoutMs) + L" ms)";
        client_.reset();
        ++late_;
        return Reply::Late;
    }

private:
    const Channel& channel_;
    std::unique_ptr<MailClient> client_;
    unsigned late_ = 0;
};

// One of a run's jobs: its connection, and its hold on the run's one lock, which it
// keeps except around its requests and the file work that goes with them.
struct Job {
    AddinLink link;
    std::unique_lock<std::mutex> lock;

    template <typename Work>
    decltype(auto) Unlocked(Work&& work) {
        lock.unlock();
        const base::ScopeExit relock([this] { lock.lock(); });
        return std::forward<Work>(work)();
    }
};

// A run's work shared between its jobs, each a thread with a connection of its own
// (the add-in serves each on a thread of its own): the folders, each listed by one
// job in their order, and the requests each listing leaves, which a job takes before
// it lists another folder, so that at most a few folders' mails wait at any time.
// Every task runs under the run's one lock, so the index, the journal, the tallies and
// the output keep one writer. One job runs on the calling thread, in a single
// connection's order.
class Jobs {
public:
    // A task, under the lock: false when the run cannot go on, the reason in `error`.
    using Task = std::function<bool(Job& job, std::wstring* error)>;
    using Listing = std::function<bool(Job& job, size_t folder, std::wstring* error)>;

    Jobs(const Channel& channel, unsigned count) {
        for (unsigned i = 0; i < std::max(count, 1u); ++i)
            jobs_.push_back(
                std::make_unique<Job>(Job{AddinLink(channel), std::unique_lock(lock_, std::defer_lock)}));
    }

    // The first job's connection, for the requests made before the work is shared.
    [[nodiscard]] AddinLink& link() noexcept { return jobs_[0]->link; }

    // From a task: a request to make before the next folder is listed.
    void Push(Task task) { requests_.push_back(std::move(task)); }

    // Lists folders 0 to `folders` - 1 with `list` and does what they push, on every
    // job; false with the first reason the run could not go on.
    [[nodiscard]] bool Run(size_t folders, const Listing& list, std::wstring* error) {
        folders_ = folders;
        list_ = &list;
        std::vector<std::thread> threads;
        for (size_t i = 1; i < jobs_.size(); ++i) threads.emplace_back([this, i] { Work(*jobs_[i]); });
        Work(*jobs_[0]);
        for (std::thread& thread : threads) thread.join();
        *error = error_;
        return !stopped_;
    }

private:
    void Work(Job& job) {
        job.lock.lock();
        for (;;) {
            ready_.wait(job.lock, [this] {
                return stopped_ || !requests_.empty() || listed_ < folders_ || busy_ == 0;
            });
            if (stopped_ || (requests_.empty() && listed_ == folders_)) break;
            Task task;
            if (!requests_.empty()) {
                task = std::move(requests_.front());
                requests_.pop_front();
            } else {
                task = [this, folder = listed_++](Job& job, std::wstring* error) {
                    return (*list_)(job, folder, error);
                };
            }
            ++busy_;
            std::wstring error;
            bool goOn = false;
            if (!base::Completes([&] { goOn = task(job, &error); })) error = L"out of memory";
            --busy_;
            if (!goOn && !stopped_) {
                stopped_ = true;
                error_ = error;
            }
            ready_.notify_all();
        }
        ready_.notify_all();
        job.lock.unlock();
    }

    std::mutex lock_;
    std::condition_variable ready_;
    std::vector<std::unique_ptr<Job>> jobs_;
    std::deque<Task> requests_;
    const Listing* list_ = nullptr;
    size_t folders_ = 0;
    size_t listed_ = 0;
    size_t busy_ = 0;
    bool stopped_ = false;
    std::wstring error_;
};

// The runs over a backup folder: only a backup makes one, or starts in an empty one.
enum class Access { Backup, Restore, Check };

// Recognises `folder` and, unless the run only reads (check, dry runs), takes its
// lock; kSucceeded to go on, or the exit status of a refusal or failure, reported.
int Enter(const std::wstring& folder, Access access, bool dryRun, RunLock* lock, Output& output) {
    const auto refuse = [&](const std::wstring& why) {
        output.Error(why);
        return kRefused;
    };
    const FolderState state = Recognise(folder);
    const bool fresh = state == FolderState::Missing || state == FolderState::Empty;
    const std::wstring noMarker = L" (it has no " + std::wstring(kMarkerName) + L")";
    if (state == FolderState::Newer)
        return refuse(folder + L" was written by a later version of backup-client");
    if (state == FolderState::Foreign && access == Access::Backup)
        return refuse(folder + L" is not empty and is not a backup folder" + noMarker +
                      L": back up into a new or empty folder");
    if (state == FolderState::Foreign || (fresh && access != Access::Backup))
        return refuse(state == FolderState::Missing ? folder + L" does not exist"
                                                    : folder + L" is not a backup folder" + noMarker);
    std::wstring error;
    if (dryRun || access == Access::Check) return RunLock::Held(folder, &error) ? refuse(error) : kSucceeded;
    bool held = false;
    const wchar_t* command = access == Access::Backup ? L"backup" : L"restore-all";
    if ((state == FolderState::Missing && !CreateFolders(folder)) ||
        !lock->Take(folder, command, &error, &held)) {
        output.Error(error.empty() ? L"cannot create the backup folder " + folder + L" (" + LastError() + L")"
                                   : error);
        return held ? kRefused : kFailed;
    }
    const FolderState locked = Recognise(folder);  // another run may have come first
    if (access != Access::Backup || locked == FolderState::Backup) return kSucceeded;
    if (locked != FolderState::Empty && locked != FolderState::Landed)
        return refuse(folder + L" changed while this run started");
    if (locked == FolderState::Landed)
        output.Line(
            L"a backup of backup-client's first version: adopted, its index is rewritten in the current "
            L"form");
    if (!WriteMarker(folder, &error)) {
        output.Error(error);
        return kFailed;
    }
    return kSucceeded;
}

// The connection or the backup folder failed: nothing more can be done in this run.
int Stopped(Output& output, const std::wstring& what) {
    output.Error(what);
    output.Error(L"the run stopped; run it again to go on where it stopped");
    return kFailed;
}

class Backup {
public:
    Backup(const Channel& channel, const BackupOptions& options, Output& output)
        : options_(options),
          output_(output),
          jobs_(channel, options.jobs),
          progress_(output, L"items"),
          partialSuffix_(L"." + std::to_wstring(GetCurrentProcessId()) + kPartialExtension) {}

    int Run() {
        RunLock lock;
        if (const int refused = Enter(options_.folder, Access::Backup, options_.dryRun, &lock, output_))
            return refused;
        std::wstring error, listError;
        if (!index_.Open(options_.folder, !options_.dryRun, &error)) return Stopped(output_, error);
        ReportIndex();
        const std::wstring partial = index_.FullPath(kPartialFolderName);
        if (!options_.dryRun && !CreateFolders(partial))
            return Stopped(output_, L"cannot create " + partial + L" (" + LastError() + L")");
        // What was adopted is listed at once: a run killed early need not read it again.
        if (!options_.dryRun && index_.adopted() > 0 && !index_.Save(&error)) return Stopped(output_, error);
        const bool finished = BackUpFolders(&error);
        // Also after a failure, so that the next run need not adopt what this one saved.
        const bool listed = options_.dryRun || index_.Save(&listError);
        progress_.Summary(tallies_, kBackupTallies);
        for (const std::wstring& folder : unlisted_) output_.Error(L"not listed completely: " + folder);
        if (!finished || !listed) return Stopped(output_, finished ? listError : error);
        return tallies_[kBackupFailed].count == 0 && unlisted_.empty() && !sharedRoots_ ? kSucceeded
                                                                                        : kFailed;
    }

private:
    void ReportIndex() {
        if (options_.dryRun) output_.Line(L"dry run: nothing is written");
        if (index_.unreadableLines() > 0)
            output_.Error(std::to_wstring(index_.unreadableLines()) +
                          L" lines of the index could not be read; their files are adopted again");
        if (index_.adopted() > 0)
            output_.Line(L"adopted " + std::to_wstring(index_.adopted()) +
                         L" message files that an interrupted run saved but did not list");
        if (index_.damaged() > 0)
            output_.Line(std::to_wstring(index_.damaged()) +
                         L" indexed files are missing or torn: each is saved again when its mail is met");
    }

    // False with the reason when the run cannot go on.
    bool BackUpFolders(std::wstring* error) {
        std::vector<std::wstring> all;
        std::wstring failure;
        if (jobs_.link().Ask(
                [&](MailClient& client) {
                    return client.GetAllFoldersList(&all) &&
                           (options_.allFolders || client.FillFolderTree(&folders_));
                },
                &failure) != AddinLink::Reply::Answered) {
            *error = L"the folder list did not come: " + failure;
            return false;
        }
        if (options_.allFolders) folders_ = all;
        ReportSharedRoots(all);
        sent_ = PathsToSend(folders_, all);
        left_.resize(folders_.size());
        progress_.Begin(folders_.size());
        return jobs_.Run(
            folders_.size(),
            [this](Job& job, size_t folder, std::wstring* error) { return List(job, folder, error); }, error);
    }

    // The add-in finds a store by its root's name: of two with the same name it reaches one.
    void ReportSharedRoots(const std::vector<std::wstring>& all) {
        std::unordered_map<std::wstring, size_t> roots;
        for (const std::wstring& path : all) {
            if (path.find(L'\\', 2) == std::wstring::npos && ++roots[path] == 2) {
                ++sharedRoots_;
                output_.Error(L"two stores are named " + path.substr(2) +
                              L": the add-in reaches only one of them by that name, so the other's mails are "
                              L"not backed up; give one of them another name");
            }
        }
    }

    // Folder `folder`'s mail list, each mail decided on; false when the run cannot go on.
    bool List(Job& job, size_t folder, std::wstring* error) {
        std::vector<MailListEntry> entries;
        uint32_t announced = 0;
        std::wstring failure;
        const AddinLink::Reply reply = job.Unlocked([&] {
            return job.link.Ask(
                [&](MailClient& client) {
                    return client.GetAllMailsFromFolder(sent_[folder], 0, &entries, &announced);
                },
                &failure);
        });
        if (reply == AddinLink::Reply::Gone) {
            *error = L"the mail list of " + folders_[folder] + L" did not come: " + failure;
            return false;
        }
        if (reply == AddinLink::Reply::Late) {
            // What came is backed up; the entries that did not are failures.
            output_.Error(L"the mail list of " + folders_[folder] +
                          (announced ? L" stopped after " + std::to_wstring(entries.size()) + L" of " +
                                           std::to_wstring(announced) + L" entries: "
                                     : std::wstring(L" did not come: ")) +
                          failure + L"; going on");
            unlisted_.push_back(folders_[folder]);
            tallies_[kBackupFailed].count += announced > entries.size() ? announced - entries.size() : 0;
        }
        left_[folder] = {entries.size(), entries.size() + 1};  // the list's own share: done below
        for (MailListEntry& entry : entries) Decide(folder, std::move(entry));
        Left(folder);
        return true;
    }

    // A mail known already, skipped or failed is done; one to save is a request for a
    // job, unless another job is saving it: then it is decided once that save ends.
    void Decide(size_t folder, MailListEntry entry) {
        if (!entry.mail()) {
            ++tallies_[kSkipped].count;
        } else if (!IsSignature(entry.signature)) {
            Failed(L"the add-in sent the mail " + entry.entryId + L" of " + sent_[folder] +
                   L" with the signature \"" + entry.signature + L"\", not 32 hexadecimal digits: not saved");
        } else if (std::wstring key = MailKey(entry.signature, entry.entryId); saving_.count(key)) {
            saving_[key].push_back({folder, std::move(entry)});
            return;
        } else if (index_.Met(key, entry.entryId, sent_[folder])) {
            ++tallies_[kKnown].count;
        } else if (options_.dryRun) {
            ++tallies_[toSave_.insert(key).second ? kNew : kKnown].count;
        } else {
            saving_[key];
            jobs_.Push([this, folder, entry = std::move(entry), key = std::move(key)](Job& job,
                                                                                      std::wstring* error) {
                if (!Save(job, sent_[folder], entry, key, error)) return false;
                Done(folder);
                // The same mail met meanwhile in other folders: known now, or saved again if this save
                // failed.
                const auto waiting = saving_.extract(key);
                for (auto& [other, met] : waiting.mapped()) Decide(other, std::move(met));
                return true;
            });
            return;
        }
        Done(folder);
    }

    // One mail of `folder` handled.
    void Done(size_t folder) {
        progress_.Step();
        Left(folder);
    }
    void Left(size_t folder) {
        if (--left_[folder].left == 0)
            progress_.FolderDone(folders_[folder], left_[folder].items, tallies_, kBackupTallies);
    }

    void Failed(const std::wstring& what) {
        ++tallies_[kBackupFailed].count;
        output_.Error(what + L"; going on");
    }

    // Whether `directory` exists or was made; a directory that cannot be made is
    // reported once, and each mail it should hold counts as failed.
    bool MakeDirectory(const std::wstring& directory, const std::wstring& folder) {
        if (made_.count(directory)) return true;
        if (refused_.count(directory)) return false;
        if (CreateFolders(directory)) return made_.insert(directory), true;
        output_.Error(L"cannot create the folder " + directory + L" for the mails of " + folder + L" (" +
                      LastError() + L"): they are not saved");
        refused_.insert(directory);
        return false;
    }

    // Into a partial file first, renamed to its final name once it is a whole message
    // file, flushed: a file under a final name is always a whole mail. The request and
    // the file work run without the lock. False when the run cannot go on.
    bool Save(Job& job, const std::wstring& folder, const MailListEntry& entry, const std::wstring& key,
              std::wstring* error) {
        const SavedMail* held = index_.Find(key);  // a damaged file is saved again where it was
        const std::wstring file = held ? held->file : FolderDirectory(folder) + L"\\" + key + kMailExtension;
        const std::wstring final = index_.FullPath(file);
        if (!MakeDirectory(final.substr(0, final.find_last_of(L'\\')), folder)) {
            ++tallies_[kBackupFailed].count;
            return true;
        }
        const std::wstring partial =
            index_.FullPath(std::wstring(kPartialFolderName) + L"\\" + key + partialSuffix_);
        const std::wstring what = L"the mail " + entry.entryId + L" of " + folder;
        std::wstring failure, problem;
        FileFacts facts;
        const AddinLink::Reply reply = job.Unlocked([&] {
            bool saved = false;
            const AddinLink::Reply reply = job.link.Ask(
                [&](MailClient& client) {
                    return client.SaveMailToMSGFile(entry.entryId, SystemPath(partial), &saved);
                },
                &failure);
            if (reply == AddinLink::Reply::Answered) problem = Publish(partial, final, saved, what, &facts);
            return reply;
        });
        switch (reply) {
        case AddinLink::Reply::Gone:
            *error = L"saving " + what + L" did not finish: " + failure;
            return false;
        case AddinLink::Reply::Late:
            Failed(L"saving " + what + L" did not finish: " + failure);
            return true;
        case AddinLink::Reply::Answered:
            break;
        }
        if (!problem.empty()) {
            Failed(problem);
            return true;
        }
        index_.Add({entry.signature, entry.entryId, file, facts.size, facts.sha256, {folder}});
        ++tallies_[kNew].count;
        return !index_.SaveDue() || index_.Save(error);
    }

    // The partial file the add-in answered for, checked, flushed and renamed to `final`;
    // what went wrong, or nothing.
    static std::wstring Publish(const std::wstring& partial, const std::wstring& final, bool saved,
                                const std::wstring& what, FileFacts* facts) {
        if (!saved || !IsMessageFile(partial) || !ReadFacts(partial, true, facts)) {
            DeleteFileW(SystemPath(partial).c_str());
            return saved ? L"the add-in saved " + what + L", but not as a whole message file"
                         : L"the add-in could not save " + what + L" (its log says why)";
        }
        CrashPoint(L"saved");
        if (!MoveFileExW(SystemPath(partial).c_str(), SystemPath(final).c_str(),
                         MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
            std::wstring problem = L"cannot rename " + partial + L" to " + final + L" (" + LastError() + L")";
            DeleteFileW(SystemPath(partial).c_str());
            return problem;
        }
        CrashPoint(L"published");
        return {};
    }

    struct FolderWork {
        size_t items = 0;  // entries listed
        size_t left = 0;   // entries not yet done, and the list itself
    };

    const BackupOptions& options_;
    Output& output_;
    Jobs jobs_;
    Progress progress_;
    BackupIndex index_;
    const std::wstring partialSuffix_;
    std::vector<std::wstring> folders_, sent_;
    std::vector<FolderWork> left_;
    std::unordered_map<std::wstring, std::vector<std::pair<size_t, MailListEntry>>>
        saving_;                                       // keys being saved: the same mail met meanwhile
    std::unordered_set<std::wstring> made_, refused_;  // directories
    std::unordered_set<std::wstring> toSave_;          // keys a dry run would save
    std::vector<std::wstring> unlisted_;
    size_t sharedRoots_ = 0;
    Tally tallies_[kBackupTallies] = {
        {options_.dryRun ? L"to save" : L"new"}, {L"already saved"}, {L"failed"}, {kSkippedTally}};
};

class RestoreAll {
public:
    RestoreAll(const Channel& channel, const RestoreOptions& options, Output& output)
        : options_(options), output_(output), jobs_(channel, options.jobs), progress_(output, L"mails") {}

    int Run() {
        RunLock lock;
        if (const int refused = Enter(options_.folder, Access::Restore, options_.dryRun, &lock, output_))
            return refused;
        std::wstring error;
        if (!index_.Open(options_.folder, false, &error) || !journal_.Read(options_.folder, &error))
            return Stopped(output_, error);
        if (index_.mails().empty())
            return Stopped(output_, L"the backup folder " + options_.folder + L" holds no mails");
        if (options_.dryRun) output_.Line(L"dry run: nothing is written");
        Plan();
        const bool finished = RestoreFolders(&error);
        progress_.Summary(tallies_, kRestoreTallies);
        if (!finished) return Stopped(output_, error);
        return tallies_[kRestoreFailed].count == 0 ? kSucceeded : kFailed;
    }

private:
    // Folder by folder, in the order the backup met them; a mail into each of its places,
    // once where two places have one target (--into).
    void Plan() {
        for (const SavedMail& mail : index_.mails()) {
            std::vector<std::wstring> planned;
            for (const std::wstring& place : mail.places) {
                const std::wstring target = options_.root.empty() ? place : ReplaceRoot(place, options_.root);
                if (std::find(planned.begin(), planned.end(), target) != planned.end()) continue;
                planned.push_back(target);
                auto& mails = byTarget_[target];
                if (mails.empty()) targets_.push_back(target);
                mails.push_back(&mail);
            }
        }
    }

    // False with the reason when the run cannot go on.
    bool RestoreFolders(std::wstring* error) {
        // A path whose root names no store is looked up in the default store: a target
        // is listed only once its root exists, else the default store's mails would
        // look as if they were there.
        std::vector<std::wstring> all;
        std::wstring failure;
        if (jobs_.link().Ask([&](MailClient& client) { return client.GetAllFoldersList(&all); }, &failure) !=
            AddinLink::Reply::Answered) {
            *error = L"the folder list did not come: " + failure;
            return false;
        }
        for (const std::wstring& path : all) existing_.insert(FoldCase(path));
        left_.resize(targets_.size());
        progress_.Begin(targets_.size());
        return jobs_.Run(
            targets_.size(),
            [this](Job& job, size_t target, std::wstring* error) { return List(job, target, error); }, error);
    }

    // What target `target` holds already, then each of its mails decided on; false when
    // the run cannot go on.
    bool List(Job& job, size_t target, std::wstring* error) {
        const std::wstring& path = targets_[target];
        const std::vector<const SavedMail*>& mails = byTarget_[path];
        left_[target] = mails.size() + 1;  // the list's own share: done below
        std::unordered_set<std::wstring> there;
        if (existing_.count(FoldCase(RootPath(path)))) {
            std::vector<MailListEntry> entries;
            std::wstring failure;
            switch (job.Unlocked([&] {
                return job.link.Ask(
                    [&](MailClient& client) { return client.GetAllMailsFromFolder(path, 0, &entries); },
                    &failure);
            })) {
            case AddinLink::Reply::Gone:
                *error = L"the mail list of " + path + L" did not come: " + failure;
                return false;
            case AddinLink::Reply::Late:
                tallies_[kRestoreFailed].count += mails.size();
                output_.Error(L"the mail list of " + path + L" did not come: " + failure +
                              L"; its mails are not restored, so that none is doubled; going on");
                progress_.FolderDone(path, mails.size(), tallies_, kRestoreTallies);
                return true;
            case AddinLink::Reply::Answered:
                break;
            }
            for (const MailListEntry& entry : entries) there.insert(entry.signature);
        }
        for (const SavedMail* mail : mails) {
            if ((!mail->signature.empty() && there.count(mail->signature)) ||
                journal_.Holds(KeyOf(*mail), path)) {
                ++tallies_[kThere].count;
                Done(target);
            } else {
                Decide(target, mail);
            }
        }
        Left(target);
        return true;
    }

    // A mail to restore is a request for a job, unless a job is at work on the same mail
    // (the add-in opens its file alone: a second open would fail), or on the folder it
    // goes into while that folder, or one above it, is missing (one restore makes it, so
    // that two jobs never make the same folder or store): it then waits for that one.
    void Decide(size_t target, const SavedMail* mail) {
        if (options_.dryRun) {
            ++tallies_[kRestored].count;
            Done(target);
            return;
        }
        const std::wstring key = KeyOf(*mail), missing = FirstMissing(targets_[target]);
        for (const std::wstring& busy : {key, missing}) {
            if (const auto waiting = busy_.find(busy); waiting != busy_.end()) {
                waiting->second.push_back({target, mail});
                return;
            }
        }
        busy_[key];
        if (!missing.empty()) busy_[missing];
        jobs_.Push([this, target, mail, key, missing](Job& job, std::wstring* error) {
            if (!Restore(job, *mail, targets_[target], error)) return false;
            Done(target);
            for (const std::wstring& busy : {key, missing}) {
                const auto waiting = busy_.extract(busy);
                if (!waiting) continue;
                for (const auto& [other, met] : waiting.mapped()) Decide(other, met);
            }
            return true;
        });
    }

    // The first folder of `path`, from its root down, that is not known to exist; empty
    // when all are.
    std::wstring FirstMissing(const std::wstring& path) const {
        for (size_t end = path.find(L'\\', 2);; end = path.find(L'\\', end + 1)) {
            const std::wstring folder = path.substr(0, end);
            if (!existing_.count(FoldCase(folder))) return folder;
            if (end == std::wstring::npos) return {};
        }
    }

    // One mail of `target` handled.
    void Done(size_t target) {
        progress_.Step();
        Left(target);
    }
    void Left(size_t target) {
        if (--left_[target] == 0)
            progress_.FolderDone(targets_[target], byTarget_[targets_[target]].size(), tallies_,
                                 kRestoreTallies);
    }

    // The request runs without the lock. False when the run cannot go on; a mail that
    // was not restored is counted and reported.
    bool Restore(Job& job, const SavedMail& mail, const std::wstring& target, std::wstring* error) {
        const std::wstring key = KeyOf(mail);
        const std::wstring file = index_.FullPath(mail.file);
        bool restored = false;
        std::wstring failure;
        // Staged under the thread's ID, which no other thread or process has meanwhile:
        // two jobs may restore one mail into two folders at once.
        const AddinLink::Reply reply = job.Unlocked([&] {
            const StagedFile staged(
                file, index_.FullPath(std::wstring(kPartialFolderName) + L"\\" + key + L"." +
                                      std::to_wstring(GetCurrentThreadId()) + kPartialExtension));
            return job.link.Ask(
                [&](MailClient& client) {
                    return client.RestoreMailFromMSGFile(staged.path(), target, &restored);
                },
                &failure);
        });
        switch (reply) {
        case AddinLink::Reply::Gone:
            *error = L"restoring " + file + L" did not finish: " + failure;
            return false;
        case AddinLink::Reply::Late:
            ++tallies_[kRestoreFailed].count;
            output_.Error(L"restoring " + file + L" into " + target + L" did not finish: " + failure +
                          L"; if it arrives later, the next run finds it there; going on");
            return true;
        case AddinLink::Reply::Answered:
            break;
        }
        if (!restored) {
            ++tallies_[kRestoreFailed].count;
            output_.Error(L"the add-in could not restore " + file + L" into " + target +
                          L" (its log says why); going on");
            return true;
        }
        CrashPoint(L"restored");
        if (!journal_.Record(key, target, error)) return false;
        // The add-in made the folder, and the store and folders above it, if they were missing.
        for (size_t end = target.find(L'\\', 2);; end = target.find(L'\\', end + 1)) {
            existing_.insert(FoldCase(target.substr(0, end)));
            if (end == std::wstring::npos) break;
        }
        ++tallies_[kRestored].count;
        return true;
    }

    // A message file as the add-in is given it: where it is while its path fits
    // MAX_PATH; else a link to it (a copy where links cannot be made) under the
    // backup folder's short partial folder, removed afterwards.
    class StagedFile {
    public:
        StagedFile(const std::wstring& file, const std::wstring& stage) {
            if (SystemPath(file) == file || SystemPath(stage) != stage ||
                !CreateFolders(stage.substr(0, stage.find_last_of(L'\\'))) ||
                (!CreateHardLinkW(stage.c_str(), SystemPath(file).c_str(), nullptr) &&
                 !CopyFileW(SystemPath(file).c_str(), stage.c_str(), FALSE))) {
                path_ = SystemPath(file);
            } else {
                path_ = stage_ = stage;
            }
        }
        ~StagedFile() {
            if (!stage_.empty()) DeleteFileW(stage_.c_str());
        }
        StagedFile(const StagedFile&) = delete;
        StagedFile& operator=(const StagedFile&) = delete;
        [[nodiscard]] const std::wstring& path() const noexcept { return path_; }

    private:
        std::wstring path_;
        std::wstring stage_;
    };

    const RestoreOptions& options_;
    Output& output_;
    Jobs jobs_;
    Progress progress_;
    BackupIndex index_;
    RestoreJournal journal_;
    std::vector<std::wstring> targets_;
    std::unordered_map<std::wstring, std::vector<const SavedMail*>> byTarget_;
    std::vector<size_t> left_;                   // per target: mails not yet done, and its list
    std::unordered_set<std::wstring> existing_;  // folder paths that exist, case folded
    std::unordered_map<std::wstring, std::vector<std::pair<size_t, const SavedMail*>>>
        busy_;  // keys of mails being restored, missing folders being made: the mails waiting for each
    Tally tallies_[kRestoreTallies] = {
        {options_.dryRun ? L"to restore" : L"restored"}, {L"already there"}, {L"failed"}};
};

}  // namespace

int RunBackup(const Channel& channel, const BackupOptions& options, Output& output) {
    return Backup(channel, options, output).Run();
}

int RunRestoreAll(const Channel& channel, const RestoreOptions& options, Output& output) {
    return RestoreAll(channel, options, output).Run();
}

int RunCheck(const CheckOptions& options, Output& output) {
    RunLock none;
    if (const int refused = Enter(options.folder, Access::Check, false, &none, output)) return refused;
    BackupIndex index;
    std::wstring error;
    if (!index.Open(options.folder, false, &error)) return Stopped(output, error);
    enum { kGood, kMissing, kTorn, kChanged, kNotIndexed, kCheckTallies };
    Tally tallies[kCheckTallies] = {
        {L"good"}, {L"missing"}, {L"torn"}, {L"changed"}, {L"not yet in the index"}};
    const auto problem = [&](size_t tally, const std::wstring& what) {
        ++tallies[tally].count;
        output.Line(std::wstring(tallies[tally].name) + L": " + what);
    };
    for (const SavedMail& mail : index.mails()) {
        const std::wstring file = index.FullPath(mail.file);
        WIN32_FILE_ATTRIBUTE_DATA data{};
        FileFacts facts;
        if (mail.adopted) {
            ++tallies[kNotIndexed].count;
        } else if (!GetFileAttributesExW(SystemPath(file).c_str(), GetFileExInfoStandard, &data)) {
            problem(kMissing, file);
        } else if (!mail.sha256.empty() &&
                   ((uint64_t(data.nFileSizeHigh) << 32) | data.nFileSizeLow) != mail.size) {
            problem(kTorn, file + L" is not of the size it was saved with");
        } else if (!IsMessageFile(file)) {
            problem(kTorn, file + L" is not a whole message file");
        } else if (options.readData && !mail.sha256.empty() &&
                   (!ReadFacts(file, false, &facts) || facts.sha256 != mail.sha256)) {
            problem(kChanged, file + L" does not hold what was saved (its SHA-256 differs)");
        } else {
            ++tallies[kGood].count;
        }
    }
    output.Line(L"checked " + std::to_wstring(index.mails().size()) + L" files: " +
                Tallies(tallies, kCheckTallies));
    if (tallies[kMissing].count + tallies[kTorn].count + tallies[kChanged].count == 0) return kSucceeded;
    output.Line(
        L"the next backup saves again what is missing or torn while its mail is in the mailbox; "
        L"delete a changed file to have it saved again");
    return kFailed;
}

std::wstring ReplaceRoot(const std::wstring& folderPath, const std::wstring& root) {
    const size_t start = folderPath.starts_with(L"\\\\") ? 2 : 0;
    const size_t separator = folderPath.find(L'\\', start);
    return L"\\\\" + root + (separator == std::wstring::npos ? L"" : folderPath.substr(separator));
}

}  // namespace client
