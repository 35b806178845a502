#pragma once

// Undo: a correcting run leaves a record of each file it changed and keeps
// the file's original content (a second name of the very file that was read
// where the record folder is on its file system and no one else can change
// it through another name, else a flushed copy, else the backup). A later run
// puts the files back, each only while it is still exactly what the run wrote
// (RestoreRun).
//
// The records live in one folder of the user's (UndoStore::DefaultFolder),
// one subfolder per run. A run writes each file's line before it replaces the
// file and marks it done once the replacement is on disk, then ends the
// record and names it complete. A run that was stopped (killed, a power cut)
// leaves its record unended: the next look at the store completes it from
// what is there, so its files can still be undone.

#include "engine/rewrite/FileCopy.h"
#include "platform/DurableFile.h"
#include "platform/FileSystem.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <system_error>
#include <variant>
#include <utility>
#include <vector>

namespace tarnwick {

// One file a run changed.
struct UndoEntry {
    std::size_t token = 0;       // its number in the record
    std::filesystem::path path;  // the file itself, links resolved
    os::FileInfo written;        // what the run left there (device, inode, size, time)
    std::string writtenHash;     // the digest of what it wrote (UndoRecord::version says which)
    os::FileInfo original;       // the file before (device, inode, size, mode, owner, group)
    std::string originalHash;
    std::filesystem::path kept;        // the original in the record's folder, or
    std::filesystem::path backup;      // the backup copy that holds it
    std::filesystem::path madeBackup;  // the backup copy the run made of it, if backups were on
    bool madeBackupOver = false;       // ...under a name that stood before the run (UndoKeeper::Original::backupOver)
    // An undo's: the backup copy the run it undid had made, which it removed
    // (a redo makes it again).
    std::filesystem::path removedBackup;
};

// One run's record.
struct UndoRecord {
    // 2: content named by SHA-256 digests; 1 (earlier versions): by a 64-bit
    // hash of the program's own, read and undone still.
    int version = 2;
    std::string id;
    std::int64_t time = 0;                                   // seconds since 1970
    std::string undoes;                                      // for a run that undid another: that one's ID
    std::size_t restored = 0;                                // ...and how many of its files are as before it now
    std::vector<std::pair<std::string, std::string>> pairs;  // the search and replace strings, UTF-8
    bool patterns = false;                                   // ...the search strings were patterns (--regex)
    bool ignoreCase = false, word = false;                   // ...matched in any case, as whole words
    bool preserveCase = false;                               // ...replaced in each occurrence's case shape
    std::size_t notUndoable = 0;  // files it corrected without keeping their originals (named in the record)
    // Whether the run was given `path` (absolute, without links), something
    // inside it, or a folder it is in: by the paths it was given, as written
    // (records of earlier versions hold them as typed, and match when typed so).
    bool Touches(const std::filesystem::path& path) const;
    std::vector<std::string> paths;  // as the run was given them
    // The folders it was given, absolute: an undo reaches the files under one
    // through that path and then through real folders only, as the run did.
    std::vector<std::filesystem::path> roots;
    // The folders where the run began to write, in the order it began (what a
    // run stopped there may have left is cleaned by the undo). Read only
    // with its files (RecordFiles), not in the store's list of records.
    std::vector<std::filesystem::path> folders;
    std::string list;        // a list of names it took too (--files0-from), if any
    std::size_t listed = 0;  // ...and how many names that list held
    // How the names of the backup copies the run made end after their files'
    // names (".bak"); "*" where one is not named after its file.
    std::set<std::string> backupSuffixes;
    std::size_t fileCount = 0;     // the files it changed
    std::uint64_t keptBytes = 0;   // the room the originals kept in its folder take (DiskBytes)
    bool completed = false;        // the run was stopped: ended by itself on a stop, or from what it left
    std::filesystem::path folder;  // where the record and the originals are kept (its files: RecordFiles)

    bool IsUndo() const { return !undoes.empty(); }
};

enum class UndoState { Undoable, Partly, Undone };

// How much the store keeps: originals up to `bytes` (linked originals count:
// they keep their disk blocks alive), and at most `most` runs. To stay within
// those, the oldest records go first, but the last `runs` runs and every run
// younger than `young` seconds only once no other is left.
// The room an original of `size` bytes takes in the store, as the disk counts
// it: whole blocks of 4 KiB, one at least (a small file costs a block, not its bytes).
constexpr std::uint64_t DiskBytes(std::uint64_t size) {
    constexpr std::uint64_t kBlock = 4096;
    return size == 0 ? kBlock : (size + kBlock - 1) / kBlock * kBlock;
}

struct UndoBudget {
    std::uint64_t bytes = std::uint64_t{1} << 30;
    std::size_t runs = 100;
    std::int64_t young = 7 * 24 * 3600;
    std::size_t most = 1000;
};

// A record in the store that is not used, and why.
struct RefusedRecord {
    std::string id;              // the run's, as its folder is named
    std::filesystem::path path;  // the record's folder or file that is not the user's alone
    os::Privacy why = os::Privacy::Private;
    bool unreadable = false;  // ...or the record that cannot be read whole (damaged, or another version's)
};

// The backup copies the store's runs made, for a run to leave alone: a
// record's list is read only once the run asks about a file whose name ends
// as that record's backups' names do, so a run's start does not grow with the
// store. May be asked from several threads.
struct MadeBackup {
    std::filesystem::path path;
    bool over = false;  // under a name that stood before its run (UndoEntry::madeBackupOver)
};
class MadeBackups {
public:
    MadeBackups() = default;
    explicit MadeBackups(const std::vector<UndoRecord>& records);
    // The backup copies made whose file name is `name` (absolute paths).
    std::vector<MadeBackup> Named(const std::filesystem::path& name) const;
    // Whether the file at `path` may be one of them: its path ends as a
    // backup's name does. (Asked of every file, before its name is taken apart.)
    bool MayBe(const std::filesystem::path& path) const;

private:
    struct Source {
        std::filesystem::path folder;       // the record's
        std::vector<std::string> suffixes;  // UndoRecord::backupSuffixes
        bool read = false;
    };
    std::vector<std::string> suffixes_;  // every record's, once
    mutable std::mutex mutex_;
    mutable std::vector<Source> sources_;
    mutable std::multimap<std::filesystem::path, MadeBackup> byName_;  // the lists read, by file name
};

// Why the store cannot be used, or a record not begun in it.
struct UndoProblem {
    enum class Kind : std::uint8_t {
        NoFolder,          // neither XDG_STATE_HOME nor HOME is set
        StoreNotMade,      // `path` cannot be made: `code`
        NotPrivate,        // `path` is not the user's alone: `privacy`
        NoRecordFolder,    // no record folder can be made in the store at `path`
        RecordNotWritten,  // the record in `path` cannot be written: `code`
    };
    Kind kind;
    std::filesystem::path path = {};
    std::error_code code = {};
    os::Privacy privacy = os::Privacy::Private;
};

class UndoStore {
public:
    // The user's record folder: $XDG_STATE_HOME/tarnwick/undo (or
    // ~/.local/state/tarnwick/undo), %LOCALAPPDATA%\Tarnwick\undo on Windows.
    static std::filesystem::path DefaultFolder();
    // The store at `folder`, made when missing; the reason it may not be used instead.
    static std::variant<UndoStore, UndoProblem> Open(const std::filesystem::path& folder);

    const std::filesystem::path& Folder() const { return folder_; }
    // The complete records, newest first, without their files. A record a
    // stopped run left unended is completed first; a record folder or file
    // that is not the user's alone is not used (`refused` names it, with why).
    std::vector<UndoRecord> Records(std::vector<RefusedRecord>* refused = nullptr) const;
    // The backup copies the runs recorded in `folder` made, read without
    // making or changing any record (a record's summary may be written);
    // none when there is no store.
    static std::shared_ptr<MadeBackups> BackupsMadeIn(const std::filesystem::path& folder);
    // Which folders the store at `folder` is (device and inode): the store's
    // own and each record's; none when there is no store.
    static std::vector<std::pair<std::uint64_t, std::uint64_t>> FoldersOf(const std::filesystem::path& folder);
    // Holds `record` for this process (an undo of it): no other process
    // undoes it or removes it meanwhile. device_or_resource_busy while
    // another holds it.
    static std::error_code Hold(const UndoRecord& record, os::File& lock);
    // What became of `record`'s files: undone by a later run that is not undone itself.
    static UndoState StateOf(const UndoRecord& record, const std::vector<UndoRecord>& all);
    // The run `--undo` takes without an ID: the newest correcting run that is
    // not wholly undone (one partly undone is gone on with); nothing when there is none.
    static const UndoRecord* NewestUndoable(const std::vector<UndoRecord>& all);
    // ...of those that touched `path` (UndoRecord::Touches).
    static const UndoRecord* NewestUndoable(const std::vector<UndoRecord>& all, const std::filesystem::path& path);

private:
    explicit UndoStore(std::filesystem::path folder) : folder_(std::move(folder)) {}
    std::filesystem::path folder_;
};

// A file a run corrected without keeping its original, and why.
struct LostOriginal {
    std::filesystem::path file;
    std::error_code code;              // the system's reason the copy failed; none: no room within the budget
    CopyStep step = CopyStep::Create;  // ...and the step that failed
};

// The files of a record, read from it as they are taken, in the run's order:
// a record of any length is undone in little memory.
class RecordFiles {
public:
    // The files of `record`; nothing when the record cannot be read to its end.
    static std::optional<RecordFiles> Open(const UndoRecord& record);
    RecordFiles(RecordFiles&&) noexcept;
    RecordFiles& operator=(RecordFiles&&) noexcept;
    ~RecordFiles();

    // The record as read through, without its files.
    const UndoRecord& Record() const { return record_; }
    // The next file; false after the last, or where the record could no
    // longer be read (Failed).
    bool Next(UndoEntry& entry);
    bool Failed() const { return failed_; }

private:
    RecordFiles() = default;
    struct Reader;
    std::unique_ptr<Reader> reader_;
    UndoRecord record_;
    bool failed_ = false;
};

// The record of one correcting run in the making; its methods may be called
// from several threads.
class UndoKeeper {
public:
    // Opens a record folder for a new run in `store`, removing the oldest
    // records beyond the budget of runs (never one another process holds).
    static std::variant<std::shared_ptr<UndoKeeper>, UndoProblem> Start(const UndoStore& store, UndoRecord record,
                                                                        UndoBudget budget = {});
    ~UndoKeeper();

    // The file about to be replaced: the entry `name` of `folder` that was
    // read (`before`, its digest `hash`, open as `in`), and the backup that
    // holds it, if any.
    struct Original {
        std::filesystem::path file;  // its path, for the record
        const os::Folder& folder;
        std::filesystem::path name;
        os::FileInfo before;
        std::string hash;
        os::File& in;
        std::filesystem::path backup;
        // A second name of the file would not be the record's alone (the
        // backup is one, or the file has other names): keep a copy.
        bool copy = false;
        // The backup took a name that stood before the run (an older backup,
        // another name of the file): an undo leaves it.
        bool backupOver = false;
    };
    // Keeps the original of a file about to be replaced by what `written`
    // describes (digest `writtenHash`): a second name of it, else a copy,
    // else the backup that holds it; its line goes to the record now, before
    // the replacement. Records beyond the budget go first, oldest first. A
    // token for the calls below, or nothing when it cannot be kept.
    std::optional<std::size_t> Keep(const Original& original, const os::FileInfo& written,
                                    const std::string& writtenHash, std::vector<char>& buffer);
    // The run is about to write in `folder` (absolute): the record names it
    // first, once, so that what a stop leaves there can be found.
    void Began(const std::filesystem::path& folder);
    // The file was replaced: what the run wrote now has `name` in `folder`.
    // Where a file system gives a file its time only once it is closed or
    // named (an SMB share through FUSE), that time is the one an undo will
    // see: the record takes it too. (No `folder`: it may have been replaced,
    // and its name is not looked at.)
    void Replaced(std::size_t kept, const os::Folder* folder, const std::filesystem::path& name);
    // The replacement is on disk: the file is done, next in the run's order.
    void Confirm(std::size_t kept);
    // An undo: the backup copy the run it undid made of the file `kept` was removed.
    void BackupRemoved(std::size_t kept, const std::filesystem::path& backup);
    // A redo: that backup copy was made again.
    void BackupMade(std::size_t kept, const std::filesystem::path& backup);
    // The replacement did not happen: the kept original goes.
    void Forget(std::size_t kept);
    // Where the original of `kept` is a second name of the very file that was
    // read (not a copy, not the backup), makes `name` in `folder` one more
    // and says true: the file can go back under its name from it.
    bool LinkOriginal(std::size_t kept, const os::Folder& folder, const std::filesystem::path& name) const;
    bool OriginalIsLink(std::size_t kept) const;
    // Whether the original of a file on `device` may be kept as a second name
    // of it (the record's folder is there too), not as a copy.
    bool MayLink(std::uint64_t device) const { return !device_ || *device_ == device; }
    // For an undo: how many files of the run it undid are as before that run now.
    void SetRestored(std::size_t count) { record_.restored = count; }
    // The run was stopped before its end: the record says so.
    void Stopped() { record_.completed = true; }
    // How many names the run took from its list (UndoRecord::list).
    void Listed(std::size_t names) { record_.listed = names; }
    // Writes the record's end: from now on the run can be undone.
    std::error_code Commit();
    // The files whose originals could not be kept, in the order they came.
    std::vector<LostOriginal> NotUndoable() const;
    const UndoRecord& Record() const { return record_; }
    // The backup copies the store's runs had made when this one started (as UndoStore::BackupsMadeIn).
    const std::shared_ptr<MadeBackups>& BackupsMadeBefore() const { return backupsMadeBefore_; }
    // The record was written: the run can be undone.
    bool Written() const { return written_; }

private:
    UndoKeeper(UndoRecord record, UndoBudget budget, std::uint64_t used, std::vector<UndoRecord> older);
    // Room for `size` more bytes, removing the oldest other records as needed
    // (none for a size that could never fit).
    bool MakeRoom(std::uint64_t size);
    // The original kept in the record's folder under `name` (which a copy
    // changes; `linked` when it is a second name of the file read); why not
    // where it could not be.
    std::error_code KeepInFolder(const Original& original, std::filesystem::path& name, std::vector<char>& buffer,
                                 CopyStep& step, bool& linked);

    // A file's original kept, until its replacement is confirmed or forgotten.
    struct Held {
        UndoEntry entry;
        bool replaced = false;
        bool linked = false;                     // the original kept as a second name of the file read
        std::optional<std::int64_t> placedTime;  // the time the file system gave what was written, when another
    };
    // Adds a line to the record.
    void Append(const std::string& line);

    mutable std::mutex mutex_;
    UndoRecord record_;                 // what the run is; its files go to the record as they are kept
    std::map<std::size_t, Held> held_;  // by token
    DurableFile out_;                   // the record being written, held against others completing it
    std::error_code writeFailure_;
    std::size_t files_ = 0;  // files done
    UndoBudget budget_;
    os::Folder folder_;
    std::optional<std::uint64_t> device_;  // the record folder's file system, where known
    std::uint64_t used_;                   // bytes of originals held by all records
    std::vector<UndoRecord> older_;        // the other records, oldest first
    // Removes older records, oldest first, while `more` says so; those kept
    // longest (UndoBudget) last, and only `evenKeptLongest`.
    void RemoveOlder(const std::function<bool()>& more, bool evenKeptLongest);
    std::shared_ptr<MadeBackups> backupsMadeBefore_;
    std::vector<LostOriginal> notUndoable_;
    std::set<std::filesystem::path> began_;  // the folders named so far
    std::size_t counter_ = 0;
    bool written_ = false;
};

// The digest of the whole open file, read from its start, as records of
// `version` name content (UndoRecord::version).
std::error_code DigestOf(os::File& file, int version, std::string& digest, std::vector<char>& buffer);

}  // namespace tarnwick
