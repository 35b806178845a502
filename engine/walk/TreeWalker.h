#pragma once

// Which files a run takes, and in what order: the files named as paths and
// from a list, and the files of folders walked depth first, handed out in
// ordered batches to a visitor that checks, corrects and tells them.

#include "engine/walk/BackupNames.h"
#include "engine/rewrite/Corrector.h"
#include "engine/Failure.h"
#include "platform/FileSystem.h"
#include "engine/walk/FolderScan.h"
#include "engine/walk/NameMask.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <utility>
#include <unordered_map>
#include <vector>

namespace tarnwick {

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
    // The project's ignore files (.gitignore, .ignore, .git/info/exclude) are
    // heeded in the folders: what they ignore is neither taken nor entered.
    bool ignoreFiles = false;
};

// A folder identified by device and inode.
using FolderId = std::pair<std::uint64_t, std::uint64_t>;

// Files taken together: files named as paths, or the files of several
// folders of a walk, each folder to be told before its first file.
struct WalkBatch {
    struct Folder {
        std::filesystem::path path;
        FolderListing listing;  // every file of it: the backup rule looks at all names
        std::optional<BackupNames> backups;
        std::size_t first = 0;  // the index of its first file in the batch
        std::size_t taken = 0;  // how many of its files the batch holds
    };
    std::size_t Size() const { return files.size(); }

    std::deque<Folder> folders;  // where they stay: the files point into them
    std::vector<const std::filesystem::path*> files;
    std::vector<FilePlace> places;                // where each was found
    std::vector<std::optional<Failure>> refused;  // by file, where not empty: why it cannot be taken
    std::vector<const Folder*> homes;             // each file's folder, if it was listed
    std::vector<bool> namedBackup;                // files named that are backups of another file named
    std::vector<FolderId> namedIn;                // files named: each one's folder
    std::size_t announced = 0;                    // folders told so far
    // Folders next in turn, to be listed while the batch is checked
    // (TreeWalker::ListAhead), and their listings.
    std::vector<FolderPlace> prefetch;
    std::vector<std::optional<FolderListing>> listed;  // empty where the listing was not done
    std::atomic<std::size_t> heldAhead{0};             // files in listings made before their turn

    bool Refused(std::size_t k) const { return !refused.empty() && refused[k]; }
    bool NamedBackup(std::size_t k) const { return k < namedBackup.size() && namedBackup[k]; }
    const BackupNames* BackupsOf(std::size_t k) const {
        return homes[k] && homes[k]->backups ? &*homes[k]->backups : nullptr;
    }
};

// What a walk hands its batches to, in order.
class WalkVisitor {
public:
    virtual ~WalkVisitor() = default;
    // Takes the batch's files (and lists its prefetch meanwhile, TreeWalker::ListAhead).
    virtual void Visit(WalkBatch& batch) = 0;
    // An empty name from the list; false stops the walk.
    virtual bool PathFailed(const Failure& failure) = 0;
    virtual bool Stopping() = 0;
};

class TreeWalker {
public:
    // `backup`: the run's, whose backups of a folder's files are told apart by name.
    TreeWalker(FileSelection selection, BackupPolicy backup);

    const FileSelection& Selection() const { return selection_; }
    // Folders never entered, and whose files named are refused (FailureKind::OwnRecord).
    void AvoidFolders(std::vector<FolderId> folders) { avoid_ = std::move(folders); }
    // After the paths, the names `next` gives, one a call (false at the end).
    void TakeNames(std::function<bool(std::filesystem::path&)> next) { names_ = std::move(next); }
    bool HasNames() const { return static_cast<bool>(names_); }
    // How many names the list gave in the last walk.
    std::size_t NamesListed() const { return listed_; }

    // Hands `visitor` the files of `paths` and then of the names, batch by
    // batch: files named one after another together, a folder's files (with
    // subfolders: then its subfolders', depth first, several small folders to
    // a batch). A folder reached twice, or a file named twice, is taken once.
    void Walk(const std::vector<std::filesystem::path>& paths, WalkVisitor& visitor);

    // Lists the batch's prefetch folder `k` (on a worker), unless enough is held ahead already.
    void ListAhead(WalkBatch& batch, std::size_t k) const;
    // Whether the file `name` of folder `folder` was named as a path in this walk.
    bool Named(const FolderId& folder, const std::filesystem::path::string_type& name) const;
    // How many folders a walk keeps open at most (decided as each walk begins).
    std::size_t FoldersHeld() const { return folderBudget_.most; }

private:
    class KeySet {  // 64-bit keys, open addressing; 0 is free
    public:
        bool Insert(std::uint64_t key);  // false when it was there
        bool Has(std::uint64_t key) const;
        bool Empty() const { return size_ == 0; }

    private:
        std::vector<std::uint64_t> slots_;
        std::size_t size_ = 0;
    };
    // Folders of a walk listed before their turn, and how many files they hold.
    struct Ahead {
        using Listings = std::unordered_map<std::filesystem::path::string_type, FolderListing>;
        Listings listings;  // by path (as text: asked for every folder of the walk)
        std::size_t files = 0;
    };

    void Reset();
    // The folder's files, then (with subfolders) each subfolder's, depth first.
    void WalkFolder(const std::filesystem::path& top, WalkVisitor& visitor);
    // The next folders of a walk into `batch`, listed now or taken from `ahead`.
    void Fill(WalkBatch& batch, std::vector<FolderPlace>& stack, Ahead& ahead);
    // The folders a walk will list next, after those in `ahead`.
    std::vector<FolderPlace> Upcoming(const std::vector<FolderPlace>& stack, const Ahead::Listings& ahead) const;
    // A folder of a walk listed, and kept open for its files while the budget allows.
    FolderListing List(const FolderPlace& folder) const;
    // Whether a file named as a path was taken before in this walk: named
    // before, or listed and chosen in a folder the walk took.
    bool TakenBefore(const std::filesystem::path& file);
    // Whether the selection takes the file of a listed folder.
    bool Selected(const std::filesystem::path& file) const;
    // Where a file named as a path is, within the folder the selection keeps
    // named files to: its folder reached from there through real folders
    // only. The failure where it is not in that folder or cannot be reached so.
    std::optional<Failure> Confine(const std::filesystem::path& file, FilePlace& place);
    // The batch of files named: refuses those in folders avoided, marks the
    // backups of another file named (X.bak beside X), as a folder's are.
    void FillNamed(WalkBatch& batch, const std::vector<std::filesystem::path>& files,
                   const std::vector<FolderId>& folders);
    static std::uint64_t NamedKey(const FolderId& folder, const std::filesystem::path::string_type& name);
    bool Avoided(const FolderId& folder) const;

    FileSelection selection_;
    BackupPolicy backup_;
    std::vector<FolderId> avoid_;
    std::function<bool(std::filesystem::path&)> names_;
    std::size_t listed_ = 0;
    FolderBudget folderBudget_;   // folders a walk keeps open
    std::set<FolderId> visited_;  // folders taken, by identity
    KeySet namedFiles_;           // files named, by their folder's identity and their name
    KeySet ignoredFiles_;         // files of folders taken that ignore files left out, keyed so too
    std::pair<std::filesystem::path, os::FileInfo> namedFolder_;  // the folder of the last file named
    // With `selection_.within`: that folder, and the folder of the last file named in it.
    std::shared_ptr<const os::Folder> within_;
    std::pair<std::filesystem::path, std::shared_ptr<const os::Folder>> confinedFolder_;
};

}  // namespace tarnwick
