#pragma once

// Files rewritten together: each step of the rewrite (Corrector::Begin,
// Place, Finish) taken for every file of the group at once on a crew of
// workers, so that their flushes share the file system's commits instead of
// paying for one each; the backups' folders flushed before any file is
// replaced, the files' folders once after.

#include "engine/rewrite/Corrector.h"
#include "platform/FileSystem.h"
#include "platform/FlushSites.h"
#include "engine/rewrite/StagedRewrite.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <utility>
#include <vector>

namespace tarnwick {

// The files a run told as corrected (changing nothing: as to correct), by
// identity (of the new file): the name told, and whether a link led there.
// Every other name of such a file, wherever it comes in the run, is told as
// another name of it; the name told is not told again.
class ToldFiles {
public:
    struct Told {
        std::filesystem::path name;
        bool viaLink = false;
    };
    // The paths given and where they lead (absolute, without links).
    void Roots(std::vector<std::pair<std::filesystem::path, std::filesystem::path>> roots) {
        roots_ = std::move(roots);
    }
    void Clear() {
        held_.clear();
        slots_.clear();
    }
    std::optional<Told> As(std::uint64_t device, std::uint64_t inode) const;
    // Whether the file was told (without making its name a path again).
    bool Has(std::uint64_t device, std::uint64_t inode) const;
    // The file remembered as `name` (`viaLink`: told as a link's target), unless it was told before.
    void Add(std::uint64_t device, std::uint64_t inode, const std::filesystem::path& name, bool viaLink);
    // A link's target named as a walk of the path given that holds it names it.
    std::filesystem::path TargetName(const std::filesystem::path& target) const;

private:
    // Every file told, for later names of it: held as plain text, not as paths
    // with their parts (a run may tell hundreds of thousands).
    struct Held {
        std::uint64_t device = 0, inode = 0;
        std::filesystem::path::string_type name;
        bool viaLink = false;
    };
    const Held* Find(std::uint64_t device, std::uint64_t inode) const;
    // Puts entry `k` of `held_` in its slot.
    void Place(std::size_t k);
    // Asked of every file a run tells, most of them not there: a table of
    // open addressing (a power of two slots, at most half of them taken),
    // each slot the number of its entry in `held_` plus one, 0 where free.
    std::deque<Held> held_;
    std::vector<std::uint32_t> slots_;
    std::vector<std::pair<std::filesystem::path, std::filesystem::path>> roots_;
};

// What a group is rewritten on.
class RewriteCrew {
public:
    using Work = std::function<void(std::size_t item, unsigned worker)>;
    virtual ~RewriteCrew() = default;
    // The corrector of worker `worker`; of the calling thread: Caller().
    virtual Corrector& On(unsigned worker) = 0;
    virtual Corrector& Caller() = 0;
    // `work` for each of `count` items on `use` workers at once.
    virtual void Parallel(std::size_t count, unsigned use, const Work& work) = 0;
    // How many flushes are waited for at once, with `workers` writing; the crew's own workers.
    virtual unsigned Flushers(unsigned workers) = 0;
    virtual unsigned Workers() const = 0;
    virtual bool Stopping() = 0;
};

// The files 0 .. count-1 (`fileOf`: the path of each) in the order that takes
// their folders in turn, one file of each, each folder's files in their order.
// On a share the kernel makes and renames the files of one folder one at a
// time, each a round trip; other folders' files go on beside them.
std::vector<std::size_t> FoldersInTurn(std::size_t count,
                                       const std::function<const std::filesystem::path&(std::size_t)>& fileOf);

class GroupRewrite {
public:
    using Clock = std::chrono::steady_clock;

    GroupRewrite(std::vector<const std::filesystem::path*> files, std::vector<FilePlace> places);
    std::size_t Size() const { return files_.size(); }
    // Each file's choice of occurrences (a review's), in order; null: every one. Held, not copied.
    void Choose(std::span<const OccurrenceChoice* const> choices);

    // Rewrites every file of the group on `workers` of the crew. A later name
    // of a file told before or held in the group is told as that file (or
    // corrected again, a second hard link). Files other runs hold are waited
    // for at the end, all waits of the run ending at `deadline` (set as the
    // first begins). What the run corrected is added to `told`.
    void Run(RewriteCrew& crew, unsigned workers, ToldFiles& told, std::optional<Clock::time_point>& deadline);
    // What became of file `k`; empty where a stop came before it was begun.
    std::optional<ProcessResult>& Result(std::size_t k) { return results_[k]; }

private:
    const std::filesystem::path& File(std::size_t k) const { return *files_[k]; }
    // Rewritten here: not another name of a file held or corrected before, not held by another run.
    bool Own(std::size_t k) const { return twinOf_[k] < 0 && !earlier_[k]; }
    bool Ready(std::size_t k) const { return begun_[k] && !results_[k]; }
    // Which names lead to one file, or to a file the run told before.
    void FindTwins(const ToldFiles& told);
    // The three steps, each for every file at once.
    void Steps(RewriteCrew& crew, unsigned workers);
    // The group's files other runs held, waited for together until the run's one deadline.
    void WaitForHeld(RewriteCrew& crew, unsigned workers, std::optional<Clock::time_point>& deadline);
    // The other names' results, what the run corrected remembered, the folders flushed.
    void Settle(RewriteCrew& crew, ToldFiles& told);
    // What becomes of a second name `file` of a file told before as `told`.
    static ProcessResult OtherName(Corrector& corrector, const std::filesystem::path& file, const FilePlace& place,
                                   const ToldFiles::Told& told, const OccurrenceChoice* choice);
    // `folder` among `folders`, unless one there is the same folder.
    static void AddFolder(std::vector<const os::Folder*>& folders, const os::Folder& folder);
    // Each of `folders` flushed, at once on the crew.
    static void FlushAll(RewriteCrew& crew, const std::vector<const os::Folder*>& folders, FlushSite site);

    std::vector<const std::filesystem::path*> files_;
    std::vector<FilePlace> places_;
    std::vector<StagedRewrite> staged_;
    std::vector<std::optional<ProcessResult>> results_;
    std::vector<os::FileInfo> identity_;  // the file each name leads to
    std::vector<std::ptrdiff_t> twinOf_;  // an earlier name of the same file in this group
    std::vector<char> earlier_;           // a file an earlier group corrected
    std::vector<char> busy_;              // another run held it: done alone, after the group
    std::vector<char> begun_;             // its first step is done: it waits for the others
};

}  // namespace tarnwick
