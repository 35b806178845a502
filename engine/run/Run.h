#pragma once

// A correction run: files and folders checked, corrected or previewed with one
// corrector, on one crew of worker threads, and each file told to a sink in
// listing order. The run conducts: the walker (TreeWalker) says which files
// and in what order, the corrector checks them, a group rewrite (GroupRewrite)
// corrects them, the sink is told. The front ends only say what to run and
// put what they are told into words.

#include "engine/rewrite/Corrector.h"
#include "platform/FileSystem.h"
#include "engine/rewrite/GroupRewrite.h"
#include "engine/walk/TreeWalker.h"
#include "engine/undo/Undo.h"
#include "engine/run/Workers.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <span>
#include <tuple>
#include <unordered_map>
#include <utility>
#include <vector>

namespace tarnwick {

enum class RunMode {
    Check,    // every file classified; nothing changes
    Correct,  // every file that holds the search string rewritten
    Preview,  // as Check, and the correction of each such file shown to the sink
    Review,   // as Correct, each file to correct shown to the sink first, which chooses the occurrences replaced
};

// A stop asked of a run from outside it (a signal handler may set it): the
// files in flight are finished, no other is started.
using StopRequest = std::atomic<bool>;

// What became of one file.
enum class FileOutcome {
    Checked,    // `verdict` says what it holds; nothing was changed
    Corrected,  // rewritten: `replacements`, `encodings`
    SameFile,   // another name of `sameAs`, which this run corrected under that name
    Failed,     // could not be checked or corrected: `failure`; left as it was
    Backup,     // a backup copy of another file of its folder: never checked, never changed
    Restored,   // undo: the file holds its content from before the run that is undone
    Changed,    // undo: the file is no longer what that run left; left alone
    Skipped,    // not taken, as the run's rules say (`failure` tells why): a link leading outside its paths
    Leftover,   // no file of the run: what a stopped run left in a folder and could not be removed (`failure`)
    Left,       // review: a file to correct of which no occurrence was taken (`left` of them); unchanged
};

struct FileReport {
    const std::filesystem::path& path;
    FileOutcome outcome;
    FileVerdict verdict = FileVerdict::Unknown;
    const Failure* failure = nullptr;
    EncodingSet encodings = {};  // of the search string's occurrences
    std::uint64_t replacements = 0;
    const std::filesystem::path* sameAs = nullptr;
    std::span<const std::uint64_t> pairCounts = {};  // with several pairs of strings: each pair's replacements
    bool notUtf8 = false;                            // a checked file read whole and found not to be valid UTF-8
    const FilePage* page = nullptr;                  // the legacy code page it was read in, where not the run's
    std::uint64_t left = 0;                          // review: occurrences left as they were (Corrected, Left)
    // An undo: the backup copy the run made of the file is left, as it was
    // changed since or, with `backupLeftWhy`, could not be looked at or removed.
    const std::filesystem::path* backupLeft = nullptr;
    std::error_code backupLeftWhy = {};
};

// Streams the correction of the file being told, changing nothing: the bytes
// that stay and each occurrence with what takes its place (Corrector::Preview);
// may be called more than once.
using ShowCorrection = std::function<ProcessResult(const Corrector::Keep&, const Corrector::Swap&)>;
// In a review, the file's occurrences (Corrector::Show): they become its
// choice, every one taken, and each is told as text in `changes` (when given).
using ShowForReview = std::function<ProcessResult(OccurrenceChoice& choice, std::vector<ShownChange>* changes)>;

// What a run tells, on the thread that runs it, in listing order. An answer
// of false stops the run: no file is checked or changed after it, and only
// files already rewritten are still told.
class RunSink {
public:
    virtual ~RunSink() = default;
    // A folder listed: `files` of its files will be told.
    virtual bool Listed(const std::filesystem::path& folder, std::size_t files);
    // A path that could not be listed.
    virtual bool PathFailed(const Failure& failure);
    // The file told next was read: `bytes` of it (for a rate of progress).
    virtual void Read(std::uint64_t bytes);
    virtual bool File(const FileReport& report) = 0;
    // In a preview, a file to correct; `show` streams its correction.
    virtual bool Preview(const FileReport& report, const ShowCorrection& show);
    // In a review, a file to correct, before it is rewritten, in listing
    // order (the files after it may be checked meanwhile): `choice` says
    // which occurrences to replace (every one unless changed; `show` streams
    // them and makes it a choice to narrow). False stops the run: this file
    // and those after it are not changed, those chosen before it are.
    virtual bool Review(const FileReport& report, const ShowForReview& show, OccurrenceChoice& choice);
    // Whether Review waits for a person: then each file is rewritten as soon
    // as it is answered (what was answered is written whatever comes next),
    // else files are rewritten in groups as in any run.
    virtual bool ReviewAsks() const { return true; }
    // Every file changed so far has been told: after each group of rewrites,
    // and every few milliseconds in a run that changes nothing; at the end. A moment to
    // pass on what was told (to flush an output).
    virtual bool Settled();
};

// A sink of functions, for callers that want only some of the calls.
struct RunCallbacks : RunSink {
    std::function<bool(const std::filesystem::path& folder, std::size_t files)> listed;
    std::function<bool(const Failure& failure)> pathFailed;
    std::function<bool(const FileReport& report)> file;

    bool Listed(const std::filesystem::path& folder, std::size_t files) override {
        return !listed || listed(folder, files);
    }
    bool PathFailed(const Failure& failure) override { return !pathFailed || pathFailed(failure); }
    bool File(const FileReport& report) override { return !file || file(report); }
};

class CorrectionRun {
public:
    // `paths`: files, and folders whose files are taken in name order (with
    // `selection`: then their subfolders', depth first), backup copies of
    // listed files left alone. A folder reached twice is taken once.
    CorrectionRun(Corrector corrector, std::vector<std::filesystem::path> paths, RunMode mode, unsigned workers = 0,
                  FileSelection selection = {});
    ~CorrectionRun();
    CorrectionRun(CorrectionRun&&) noexcept;
    CorrectionRun& operator=(CorrectionRun&&) noexcept;

    const Corrector& Checker() const { return corrector_; }
    const StringForms& Forms() const { return corrector_.Forms(); }
    RunMode Mode() const { return mode_; }
    const std::vector<std::filesystem::path>& Paths() const { return paths_; }
    // How many files are read at once; one per CPU the process may use by default.
    unsigned Workers() const { return workers_; }

    // The backup copies earlier runs made: never checked or changed, told as backups.
    void KnownBackups(std::shared_ptr<const MadeBackups> made) { knownBackups_ = std::move(made); }

    // After the paths, the names `next` gives, one a call (false at the end),
    // each taken as a path is: a file named, or a folder. They are read as the
    // run goes, a batch at a time, never all at once. An empty name is told
    // as a failed path (FailureKind::EmptyName).
    void TakeNames(std::function<bool(std::filesystem::path&)> next) { walker_.TakeNames(std::move(next)); }

    // Stops the run when `stop` is set, as a sink's false answer does.
    void StopOn(const StopRequest* stop) { stopRequest_ = stop; }

    // Folders the run never takes files from, by device and inode (the
    // program's own undo records): a walk does not enter them, a file named
    // in one is skipped.
    void AvoidFolders(std::vector<FolderId> folders) { walker_.AvoidFolders(std::move(folders)); }

    // Keeps a record of what a correcting run changes, for undo; written when the run ends.
    void KeepUndo(std::shared_ptr<UndoKeeper> keeper);
    UndoKeeper* Undo() const { return undo_.get(); }
    // Why the record for undo could not be written, if it could not.
    std::error_code UndoFailure() const { return undoFailure_; }

    // Carries the run out, telling `sink`; false when the sink stopped it.
    // Each call is a run of its own.
    // Files are read and rewritten on the workers, each with its own copy of
    // the corrector; a group of rewrites has its flushes started together.
    bool Execute(RunSink& sink);

    struct Slot;  // (what became of one file, until it is told)

private:
    class Visitor;  // takes the walk's batches
    class Crew;     // the workers a group rewrite runs on
    void Reset();
    // Of a batch of files named: refuses a file whose backup name is a file
    // named and corrected before it (the backup would take its place).
    void ScreenBackups(WalkBatch& batch);
    // Tells the leftovers of stopped runs that cleaning the folder of `file` could not remove.
    void TellStuck(const LeftoverCounts& cleaned, const std::filesystem::path& file, RunSink& sink);
    // Whether `file` is a backup an earlier run made (KnownBackups).
    bool IsKnownBackup(const std::filesystem::path& file, const FilePlace& place);
    // Checks, corrects or previews the batch's files and tells each.
    void Take(WalkBatch& batch, RunSink& sink);
    // Tells the batch's folders whose files start at or before file `upTo`.
    void Announce(WalkBatch& batch, std::size_t upTo, RunSink& sink);
    // The batch's prefetch folder `k` listed, unless the run stops.
    void ListAhead(WalkBatch& batch, std::size_t k);
    void CheckAll(WalkBatch& batch, RunSink& sink);
    void CorrectAll(WalkBatch& batch, RunSink& sink);
    // The files to correct among the checked `slots` (from file `first` on), rewritten in groups, and all told.
    void RewriteChunk(WalkBatch& batch, std::size_t first, std::vector<Slot>& slots, unsigned workers, RunSink& sink);
    // One slot's check, on worker `worker`; `place`: where the file was found;
    // `namedBackup`: a file named that is the backup of another file named.
    void CheckInto(Slot& slot, const std::filesystem::path& file, const BackupNames* backups, const FilePlace& place,
                   unsigned worker, bool namedBackup = false);
    // Tells what became of a file; after a stop, only a file that was rewritten.
    void Tell(const std::filesystem::path& file, Slot& slot, RunSink& sink);
    // A file to correct, in a run that changes nothing: told once whatever names lead to it.
    bool TellToCorrect(const std::filesystem::path& file, const CheckResult& check, RunSink& sink);
    // Tells a file the run tried to rewrite.
    bool TellRewritten(const std::filesystem::path& file, const ProcessResult& result, RunSink& sink);
    // Files reviewed in this run, by identity: the name reviewed, and whether a link led there.
    std::map<std::pair<std::uint64_t, std::uint64_t>, std::pair<std::filesystem::path, bool>> reviewed_;
    // A file to correct shown to the sink for review: its choice in `slot`; false when the sink stops the run.
    bool ReviewInto(Slot& slot, const std::filesystem::path& file, RunSink& sink);

    // A crew of at least `threads` workers (none for one), each with a copy of the corrector.
    void Hire(unsigned threads);
    Corrector& On(unsigned worker) { return crew_ ? copies_[worker] : corrector_; }
    // How many files are rewritten together: fewer where the process may open few files.
    std::size_t GroupSize();
    // How many flushes are waited for at once, with `workers` writing.
    unsigned Flushers(unsigned workers);
    // How many of the batch's files are read at once: more than the workers on a share.
    static constexpr unsigned kReadersPerCoreOnShares = 16;
    unsigned Readers(const WalkBatch& b);
    // `work` for each of `count` items on `use` workers of the crew, told in order (WorkerPool::Run).
    void Parallel(std::size_t count, unsigned use, std::size_t ahead, const WorkerPool::Work& work,
                  const WorkerPool::Deliver& deliver);

    Corrector corrector_;
    std::vector<std::filesystem::path> paths_;
    RunMode mode_;
    unsigned workers_;
    TreeWalker walker_;
    // Set on the calling thread, read by the workers, which then start nothing new.
    struct StopFlag {
        std::atomic<bool> value{false};
        StopFlag() = default;
        StopFlag(StopFlag&& other) noexcept : value(other.value.load()) {}
        StopFlag& operator=(StopFlag&& other) noexcept {
            value = other.value.load();
            return *this;
        }
    } stopped_;
    const StopRequest* stopRequest_ = nullptr;
    // Whether the run is to stop: its sink said so, or a stop was requested.
    bool Stopping() {
        if (stopRequest_ && stopRequest_->load()) stopped_.value = true;
        return stopped_.value;
    }
    // Backups earlier runs made, by name, and each one's identity once asked.
    std::shared_ptr<const MadeBackups> knownBackups_;
    std::map<std::filesystem::path, os::FileInfo> knownBackupIds_;
    struct Mutex {  // (a run moves; its lock is never held then)
        std::mutex value;
        Mutex() = default;
        Mutex(Mutex&&) noexcept {}
        Mutex& operator=(Mutex&&) noexcept { return *this; }
    } knownBackupMutex_;
    std::shared_ptr<UndoKeeper> undo_;
    std::error_code undoFailure_;
    std::unique_ptr<WorkerPool> crew_;
    std::vector<Corrector> copies_;  // one a worker of the crew
    std::size_t groupSize_ = 0;      // GroupSize's answer, once asked
    // When the run's waits for files other runs hold end, once one began.
    std::optional<std::chrono::steady_clock::time_point> lockDeadline_;
    ToldFiles told_;
};

}  // namespace tarnwick
