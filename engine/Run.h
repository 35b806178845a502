#pragma once

// A correction run: files and folders checked, corrected or previewed with one
// corrector, on one crew of worker threads, and each file told to a sink in
// listing order. The front ends only say what to run and put what they are
// told into words.

#include "Corrector.h"
#include "FileSystem.h"
#include "FlushSites.h"
#include "BackupNames.h"
#include "FolderScan.h"
#include "NameMask.h"
#include "Undo.h"
#include "Workers.h"

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
};

// Which files of the folders a run takes; a file named as a path is always taken.
struct FileSelection {
    bool subfolders = false;  // folders' subfolders too, at any depth, each after its folder's files
    // Symbolic links to files in the folders are followed wherever they lead;
    // by default only into the paths given (others are told as skipped).
    bool followFileLinks = false;
    // Hidden files and folders are taken too (never the folders of version control).
    bool hidden = false;
    // When set: files named as paths are taken only inside this folder, and
    // reached from it through real folders only, as a walk of it reaches
    // them (a window's queue of the files a scan of the folder found).
    std::filesystem::path within;
    NameMask include;         // when not empty: only files whose names match it
    NameMask exclude;         // files whose names match are left out
    NameMask excludeFolders;  // subfolders whose names match are not entered
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
};

// Streams the correction of the file being told, changing nothing: the bytes
// that stay and each occurrence with what takes its place (Corrector::Preview);
// may be called more than once.
using ShowCorrection = std::function<ProcessResult(const Corrector::Keep&, const Corrector::Swap&)>;

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
    virtual bool File(const FileReport& report) = 0;
    // In a preview, a file to correct; `show` streams its correction.
    virtual bool Preview(const FileReport& report, const ShowCorrection& show);
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

    // Files at these paths (absolute) are backup copies earlier runs made:
    // never checked or changed, told as backups.
    void KnownBackups(std::set<std::filesystem::path> paths);

    // After the paths, the names `next` gives, one a call (false at the end),
    // each taken as a path is: a file named, or a folder. They are read as the
    // run goes, a batch at a time, never all at once. An empty name is told
    // as a failed path (FailureKind::EmptyName).
    void TakeNames(std::function<bool(std::filesystem::path&)> next) { names_ = std::move(next); }

    // Stops the run when `stop` is set, as a sink's false answer does.
    void StopOn(const StopRequest* stop) { stopRequest_ = stop; }

    // Folders the run never takes files from, by device and inode (the
    // program's own undo records): a walk does not enter them, a file named
    // in one is skipped.
    void AvoidFolders(std::vector<std::pair<std::uint64_t, std::uint64_t>> folders) { avoid_ = std::move(folders); }

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
    // Everything an earlier execution left, cleared.
    void Reset();
    struct Group;
    struct Batch;
    // The folder's files, then (with subfolders) each subfolder's, depth first.
    void Walk(const std::filesystem::path& top, RunSink& sink);
    // The next folders of a walk into `batch`, listed now or taken from `ahead`.
    struct Ahead;
    void Fill(Batch& batch, std::vector<FolderPlace>& stack, Ahead& ahead);
    // The folders a walk will list next, after those in `ahead`.
    std::vector<FolderPlace> Upcoming(const std::vector<FolderPlace>& stack,
                                      const std::map<std::filesystem::path, FolderListing>& ahead) const;
    // Whether a file named as a path was taken before in this run: named
    // before, or listed and chosen in a folder the walk took.
    bool TakenBefore(const std::filesystem::path& file);
    // Where a file named as a path is, within the folder the selection keeps
    // named files to: its folder reached from there through real folders
    // only. The failure where it is not in that folder or cannot be reached so.
    std::optional<Failure> Confine(const std::filesystem::path& file, FilePlace& place);
    // Tells the leftovers of stopped runs that cleaning the folder of `file` could not remove.
    void TellStuck(const LeftoverCounts& cleaned, const std::filesystem::path& file, RunSink& sink);
    // Whether `file` is a backup an earlier run made (KnownBackups).
    bool IsKnownBackup(const std::filesystem::path& file, const FilePlace& place);
    // Whether the selection takes the file of a listed folder.
    bool Selected(const std::filesystem::path& file) const;
    // Checks, corrects or previews the batch's files and tells each.
    void Take(Batch& batch, RunSink& sink);
    // Tells the batch's folders whose files start at or before file `upTo`.
    void Announce(Batch& batch, std::size_t upTo, RunSink& sink);
    void ListAhead(Batch& batch, std::size_t k);
    void CheckAll(Batch& batch, RunSink& sink);
    void CorrectAll(Batch& batch, RunSink& sink);
    // The files to correct among the checked `slots` (from file `first` on), rewritten in groups, and all told.
    void RewriteChunk(Batch& batch, std::size_t first, std::vector<Slot>& slots, unsigned workers, RunSink& sink);
    // A folder of a walk listed, and kept open for its files while the budget allows.
    FolderListing List(const FolderPlace& folder) const;
    // One slot's check, on worker `worker`; `place`: where the file was found;
    // `namedBackup`: a file named that is the backup of another file named.
    void CheckInto(Slot& slot, const std::filesystem::path& file, const BackupNames* backups, const FilePlace& place,
                   unsigned worker, bool namedBackup = false);
    // Tells what became of a file; after a stop, only a file that was rewritten.
    void Tell(const std::filesystem::path& file, Slot& slot, RunSink& sink);
    // Both steps of the rewrite for every file of the group, on the crew.
    void RewriteGroup(Group& group, unsigned workers);
    // The group's files other runs held, waited for together until the run's one deadline.
    void WaitForHeld(Group& group, unsigned workers);
    // The other names' results, what the run corrected remembered, the folders flushed.
    void Settle(Group& group);
    // `folder` among `folders`, unless one there is the same folder.
    static void AddFolder(std::vector<const os::Folder*>& folders, const os::Folder& folder);
    // Each of `folders` flushed, at once on the crew.
    void FlushAll(const std::vector<const os::Folder*>& folders, FlushSite site);

    // A crew of at least `threads` workers (none for one), each with a copy of the corrector.
    void Hire(unsigned threads);
    Corrector& On(unsigned worker) { return crew_ ? copies_[worker] : corrector_; }
    // How many files are rewritten together: fewer where the process may open few files.
    std::size_t GroupSize();
    // How many flushes are waited for at once, with `workers` writing.
    unsigned Flushers(unsigned workers);
    // `work` for each of `count` items on `use` workers of the crew, told in order (WorkerPool::Run).
    void Parallel(std::size_t count, unsigned use, std::size_t ahead, const WorkerPool::Work& work,
                  const WorkerPool::Deliver& deliver);

    Corrector corrector_;
    std::vector<std::filesystem::path> paths_;
    RunMode mode_;
    unsigned workers_;
    FileSelection selection_;
    std::set<std::pair<std::uint64_t, std::uint64_t>> visitedFolders_;  // by device and inode
    std::vector<std::pair<std::uint64_t, std::uint64_t>> avoid_;        // AvoidFolders
    // The files named as paths, by a key of their folder's device and inode and their name.
    class KeySet {
    public:
        bool Insert(std::uint64_t key);  // false when it was there
        bool Has(std::uint64_t key) const;
        bool Empty() const { return size_ == 0; }

    private:
        std::vector<std::uint64_t> slots_;  // open addressing; 0 is free
        std::size_t size_ = 0;
    };
    static std::uint64_t NamedKey(std::uint64_t device, std::uint64_t inode,
                                  const std::filesystem::path::string_type& name);
    KeySet namedFiles_;
    // Of a batch of files named (each one's folder in `folders`): refuses the
    // files in folders the run avoids, and a file whose backup name is a file
    // named and corrected before it; marks those that are backups of another
    // file named (X.bak beside X), as a folder's are.
    void ScreenNamed(Batch& batch, const std::vector<std::pair<std::uint64_t, std::uint64_t>>& folders);
    // Names from a list, after the paths (TakeNames), and how many were read.
    std::function<bool(std::filesystem::path&)> names_;
    std::size_t listed_ = 0;
    std::pair<std::filesystem::path, os::FileInfo> namedFolder_;  // the folder of the last file named
    // With `selection_.within`: that folder, and the folder of the last file named in it.
    std::shared_ptr<const os::Folder> within_;
    std::pair<std::filesystem::path, std::shared_ptr<const os::Folder>> confinedFolder_;
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
    std::multimap<std::filesystem::path, std::filesystem::path> knownBackups_;
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
    FolderBudget folderBudget_;  // folders a walk keeps open
    // The files this run told as corrected (changing nothing: as to correct),
    // by identity (of the new file): the name told, and whether a link led
    // there. Every other name of such a file, wherever it comes in the run, is
    // told as another name of it; the name told is not told again.
    struct Told {
        std::filesystem::path name;
        bool viaLink = false;
    };
    std::unordered_map<std::uint64_t, Told> told_;
    const Told* ToldAs(std::uint64_t device, std::uint64_t inode) const;
    // The paths given and where they lead: a link's target is named as a walk of them names it.
    std::vector<std::pair<std::filesystem::path, std::filesystem::path>> roots_;
    std::filesystem::path TargetName(const std::filesystem::path& target) const;
    // Tells a file the run tried to rewrite.
    bool TellRewritten(const std::filesystem::path& file, const ProcessResult& result, RunSink& sink);
    // What becomes of a second name `file` of a file told before as `told`.
    ProcessResult OtherName(const std::filesystem::path& file, const FilePlace& place, const Told& told);
};

}  // namespace tarnwick
