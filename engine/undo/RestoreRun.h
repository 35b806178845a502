#pragma once

// An undo: the files of a run's record put back as they were before that run,
// each only while it is still exactly what the run wrote (the same file, size,
// time and content). What it replaces is kept in a record of its own, so an
// undo can be undone in turn.

#include "engine/run/Run.h"
#include "engine/undo/Undo.h"

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace tarnwick {

// Why an undo cannot begin.
struct UndoRefusal {
    enum class Kind : std::uint8_t {
        Store,          // the record store cannot be used: `problem`
        NothingToUndo,  // no run asked for, and none is left to undo
        NoSuchRun,      // no record of run `id`
        NotUsed,        // the record of run `id` is not used: `notUsed` says where and why
        Unreadable,     // the record of run `id` can no longer be read whole
        Busy,           // another undo of run `id` is under way
        OwnRecord,      // no record of the undo's own can be begun: `problem`
        Declined,       // the undo of run `id` was not confirmed (UndoRequest::confirm)
        Dropped,        // the record of run `id` was removed at `when` to stay within the budget
    };
    Kind kind;
    std::string id = {};
    std::optional<UndoProblem> problem = {};
    std::optional<RefusedRecord> notUsed = {};
    std::int64_t when = 0;  // Dropped: seconds since 1970
};

class RestoreRun {
public:
    // The undo of `target`, a run of `store`, keeping a record of its own
    // (which names `target` as the run it undoes), as both front ends start
    // one. The target's record is held until the undo ends: no second undo
    // of it runs meanwhile and no other run removes it.
    static std::variant<RestoreRun, UndoRefusal> Of(const UndoStore& store, const UndoRecord& target);

    // `keeper`: the record of this run (its `undoes` names the record of
    // `files`), or null to keep none.
    RestoreRun(RecordFiles files, std::shared_ptr<UndoKeeper> keeper);

    // Stops the run when `stop` is set (from a signal handler, say): the file
    // in flight is finished, no other is started, and the record is written.
    void StopOn(const StopRequest* stop) { stop_ = stop; }
    // How long the run waits, all told, for files other runs hold (as long as a correction, unless set).
    void SetLockWait(std::chrono::milliseconds wait) { lockWait_ = wait; }
    // How many files are put back at once (one at a time with 1). Mostly
    // waiting for the disk: many at once let the file system commit their
    // flushes together.
    static constexpr unsigned kWorkers = 16;
    void SetWorkers(unsigned workers) { workers_ = workers; }

    // Puts each file back, in the record's order, telling `sink`: Restored,
    // Changed (left alone) or Failed. Then writes this run's record. False
    // when the sink or a stop request stopped it.
    bool Execute(RunSink& sink);

    const UndoRecord& Undone() const { return files_.Record(); }
    // The record undone could no longer be read to its end: the undo stopped there.
    bool RecordUnreadable() const { return files_.Failed(); }
    // Why this run's own record could not be written, if it could not.
    std::error_code RecordFailure() const { return commitFailure_; }
    std::shared_ptr<UndoKeeper> Keeper() const { return keeper_; }

private:
    struct BackupLeft {
        std::filesystem::path path;
        std::error_code why;
    };
    // What became of one file; the failure where it failed; its backup where
    // it was changed since and left.
    FileOutcome Restore(const UndoEntry& entry, Failure& failure, std::optional<BackupLeft>& backupLeft);
    // The original of `entry` in `folder` under `temporary` (renamed for a copy), with the access
    // the record names (`placed`: which file it is, `digest`: its SHA-256);
    // the failure where it cannot be.
    std::optional<Failure> PlaceOriginal(const UndoEntry& entry, const os::Folder& folder,
                                         std::filesystem::path& temporary, os::FileInfo& placed, std::string& digest);
    // Opens the original kept for `entry` and checks it is what was kept; its SHA-256 in `digest`.
    std::error_code OpenOriginal(const UndoEntry& entry, os::Folder& folder, std::filesystem::path& name,
                                 os::File& file, std::string& digest);
    // The replacement of `name` by `temporary`, and the check just after it
    // that no write landed in the replaced file (`in`, as `now`): where one
    // did, the replaced file goes back under its name.
    FileOutcome Replace(const UndoEntry& entry, const os::Folder& folder, std::filesystem::path temporary, os::File& in,
                        const os::FileInfo& now, Failure& failure, std::optional<BackupLeft>& backupLeft);

    // After `e`'s file was put back: the backup copy its run made goes, where
    // it still holds exactly what the run put there (`token`: the file in this
    // undo's record, which says so). Where it stays: its path, and why where
    // it could not be looked at or removed (else it was changed since).
    std::optional<BackupLeft> RemoveBackup(const UndoEntry& e, std::optional<std::size_t> token);
    // Before `e`'s file is replaced (a redo): the backup copy the undo removed,
    // made again from `in` (as `now`), never over a file that stands there now.
    // Its path where it was made.
    std::optional<std::filesystem::path> RemakeBackup(const UndoEntry& e, os::File& in, const os::FileInfo& now);

    // The folder at `path` as the run reached it: through the folder it was
    // given that holds it, then through real folders only (ELOOP where a link
    // stands in one's place now); a folder outside those, as its path leads.
    std::error_code OpenFolder(const std::filesystem::path& path, os::Folder& folder) const;
    // The deepest folder the run was given that holds `path` (`depth`: its parts); none for a file named.
    const std::filesystem::path* RootOf(const std::filesystem::path& path, std::size_t& depth) const;
    // Whether `file`'s folder waits on a server (a share).
    bool OnShare(const std::filesystem::path& file) const;
    // Whether the folder the run was given that holds `path` was reached by
    // this undo and cannot be opened now.
    bool RootLost(const std::filesystem::path& path) const;
    // Removes what stopped runs left in `folder`, once a folder.
    void Clean(const os::Folder& folder);

    RecordFiles files_;  // the record undone, read as its files are put back
    // When the waits for files other runs hold end, once one began.
    std::optional<std::chrono::steady_clock::time_point> lockDeadline_;
    std::chrono::milliseconds lockWait_{Corrector::kLockWaitMs};
    std::shared_ptr<UndoKeeper> keeper_;
    os::File hold_;  // the record being undone, held
    std::error_code commitFailure_;
    const StopRequest* stop_ = nullptr;
    std::set<std::pair<std::uint64_t, std::uint64_t>> cleaned_;  // folders whose leftovers were cleaned
    unsigned workers_ = kWorkers;
    // The files undos of later runs put back, as they left them, by path (the
    // content this run wrote, when its digest matches).
    std::multimap<std::filesystem::path, os::FileInfo> placedLater_;
    bool PlacedLater(const std::filesystem::path& path, const os::FileInfo& file) const;
    mutable std::set<std::filesystem::path> reached_;                     // the folders given this undo has opened
    std::unique_ptr<std::mutex> mutex_ = std::make_unique<std::mutex>();  // the deadline, the folders cleaned, reached
};

}  // namespace tarnwick
