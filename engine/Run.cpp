#include "Run.h"

#include "FileSystem.h"
#include "FlushSites.h"
#include "PendingRewrite.h"
#include "Workers.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <deque>
#include <optional>

namespace tarnwick {

namespace fs = std::filesystem;

namespace {

// Files checked ahead of the one being told, at most, for each worker.
constexpr std::size_t kAheadPerWorker = 64;
// A run that changes nothing lets its sink settle (pass on what it was told)
// after every so many files told, once this long has passed since the last time.
constexpr std::size_t kTellBatch = 32;
constexpr std::chrono::milliseconds kSettleEvery{20};
// The most files rewritten together before their folders are flushed.
constexpr std::size_t kRewriteGroup = 128;
// A correcting run checks this many files of a listing, then rewrites those
// to correct among them in groups.
constexpr std::size_t kCheckChunk = 1024;
// A walk takes folders together until it holds this many files, and lists
// this many of the folders next in turn while it checks them.
constexpr std::size_t kBatchFiles = 4096;
constexpr std::size_t kListAhead = 256;
// A walk keeps this many of the folders it has listed open at most, and opens
// their files by name in them.
constexpr std::size_t kOpenFolders = kListAhead + 64;

// The report of a file the run tried to rewrite.
FileReport ReportOf(const fs::path& file, const ProcessResult& result) {
    if (result.failure) return {file, FileOutcome::Failed, FileVerdict::Unknown, &*result.failure};
    if (!result.sameAs.empty())
        return {file, FileOutcome::SameFile, FileVerdict::ToCorrect, nullptr, {}, 0, &result.sameAs};
    // Corrected meanwhile by someone else, or no longer holding the search string.
    if (!result.Corrected()) return {file, FileOutcome::Checked, result.verdict};
    FileReport report{file,    FileOutcome::Corrected, FileVerdict::ToCorrect,
                      nullptr, result.encodings,       result.replacements,
                      nullptr, result.pairCounts};
    report.page = &result.page;
    return report;
}

}  // namespace

bool RunSink::Listed(const fs::path&, std::size_t) { return true; }
bool RunSink::PathFailed(const Failure&) { return true; }
bool RunSink::Preview(const FileReport& report, const ShowCorrection&) { return File(report); }
bool RunSink::Settled() { return true; }

// What became of one file, until it is told.
struct CorrectionRun::Slot {
    bool backup = false;
    CheckResult check;
    std::optional<ProcessResult> rewrite;  // set when the run tried to rewrite it
};

namespace {

// The slot of a file the run does not take, and why.
CorrectionRun::Slot RefusedSlot(const Failure& why) {
    CorrectionRun::Slot slot;
    slot.check.failure = why;
    return slot;
}

std::uint64_t IdentityKey(std::uint64_t device, std::uint64_t inode) { return device * 0x9E3779B97F4A7C15ull ^ inode; }

bool IsSymlink(const fs::path& file, const FilePlace& place) {
    os::FileInfo name;
    const auto ec = place.folder ? place.folder->Stat(file.filename(), name, false) : os::Stat(file, name, false);
    return !ec && name.symlink;
}

}  // namespace

// The files rewritten together, and what became of each.
struct CorrectionRun::Group {
    Group(std::vector<const fs::path*> names, std::vector<FilePlace> where)
        : files(std::move(names)),
          places(std::move(where)),
          pending(files.size()),
          results(files.size()),
          identity(files.size()),
          twinOf(files.size(), -1),
          earlier(files.size(), 0),
          busy(files.size(), 0),
          begun(files.size(), 0) {}
    std::size_t Size() const { return files.size(); }
    const fs::path& File(std::size_t k) const { return *files[k]; }
    // Rewritten here: not another name of a file held or corrected before, not held by another run.
    bool Own(std::size_t k) const { return twinOf[k] < 0 && !earlier[k]; }

    std::vector<const fs::path*> files;
    std::vector<FilePlace> places;
    std::vector<Corrector::Pending> pending;
    std::vector<std::optional<ProcessResult>> results;
    std::vector<os::FileInfo> identity;  // the file each name leads to
    std::vector<std::ptrdiff_t> twinOf;  // an earlier name of the same file in this group
    std::vector<char> earlier;           // a file an earlier group corrected
    std::vector<char> busy;              // another run held it: done alone, after the group
    std::vector<char> begun;             // its first step is done: it waits for the others
};

CorrectionRun::CorrectionRun(Corrector corrector, std::vector<fs::path> paths, RunMode mode, unsigned workers,
                             FileSelection selection)
    : corrector_(std::move(corrector)),
      paths_(std::move(paths)),
      mode_(mode),
      workers_(workers ? workers : DefaultWorkers()),
      selection_(std::move(selection)) {
    // Links to files found in folders are followed into the paths given.
    LinkRule links;
    links.any = selection_.followFileLinks;
    for (const fs::path& path : selection_.within.empty() ? paths_ : std::vector<fs::path>{selection_.within}) {
        std::error_code ec;
        if (fs::path root = fs::canonical(path, ec); !ec) {
            if (fs::is_directory(root, ec)) roots_.emplace_back(path, root);  // (what a walk names files under)
            links.roots.push_back(std::move(root));
        }
    }
    corrector_.FollowLinks(std::move(links));
}

CorrectionRun::~CorrectionRun() = default;
CorrectionRun::CorrectionRun(CorrectionRun&&) noexcept = default;
CorrectionRun& CorrectionRun::operator=(CorrectionRun&&) noexcept = default;

// Files checked or corrected together: files named as paths, or the files of
// several folders of a walk, each folder told before its first file.
struct CorrectionRun::Batch {
    struct Folder {
        fs::path path;
        FolderListing listing;  // every file of it: the backup rule looks at all names
        std::optional<BackupNames> backups;
        std::size_t first = 0;  // the index of its first file in the batch
        std::size_t taken = 0;  // how many of its files the batch holds
    };
    std::size_t Size() const { return files.size(); }

    std::deque<Folder> folders;  // where they stay: the files point into them
    std::vector<const fs::path*> files;
    std::vector<FilePlace> places;                // where each was found
    std::vector<std::optional<Failure>> refused;  // by file, where not empty: why it cannot be taken
    std::vector<const Folder*> homes;             // each file's folder, if it was listed
    std::vector<bool> namedBackup;                // files named that are backups of another file named
    std::size_t announced = 0;                    // folders told so far
    // Folders next in turn, listed on the workers meanwhile, and their listings.
    std::vector<FolderPlace> prefetch;
    std::vector<std::optional<FolderListing>> listed;  // empty where the listing was not done
    std::atomic<std::size_t> heldAhead{0};             // files in listings made before their turn
    bool NamedBackup(std::size_t k) const { return k < namedBackup.size() && namedBackup[k]; }
    const BackupNames* BackupsOf(std::size_t k) const {
        return homes[k] && homes[k]->backups ? &*homes[k]->backups : nullptr;
    }
};

// Folders of a walk listed before their turn, and how many files they hold.
struct CorrectionRun::Ahead {
    std::map<fs::path, FolderListing> listings;
    std::size_t files = 0;
};

void CorrectionRun::Reset() {
    stopped_.value = false;
    lockDeadline_.reset();
    // A quarter of the files the process may still open, for a walk's folders.
    folderBudget_.most = std::min(kOpenFolders, os::OpenFilesLeft() / 4);
    told_.clear();
    visitedFolders_.clear();
    visitedFolders_.insert(avoid_.begin(), avoid_.end());  // as if taken already: never entered
    namedFiles_ = {};
    namedFolder_ = {};
    within_.reset();
    confinedFolder_ = {};
}

bool CorrectionRun::Execute(RunSink& sink) {
    Reset();
    // Files given one after another are taken together, as a folder's are.
    std::vector<fs::path> files;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> folders;  // each one's folder, by device and inode
    const auto takeFiles = [&] {
        Batch batch;
        for (const fs::path& file : files) batch.files.push_back(&file);
        batch.homes.assign(files.size(), nullptr);
        batch.places.assign(files.size(), FilePlace{});
        batch.refused.resize(files.size());
        if (!selection_.within.empty())
            for (std::size_t k = 0; k < files.size(); ++k) batch.refused[k] = Confine(files[k], batch.places[k]);
        ScreenNamed(batch, folders);
        if (!files.empty() && !Stopping()) Take(batch, sink);
        files.clear();
        folders.clear();
    };
    const auto take = [&](const fs::path& path) {
        std::error_code ec;
        if (!fs::is_directory(path, ec)) {
            if (!TakenBefore(path)) {
                files.push_back(path);
                folders.emplace_back(namedFolder_.second.device, namedFolder_.second.inode);
            }
            if (files.size() >= kBatchFiles) takeFiles();
            return;
        }
        takeFiles();
        if (!Stopping()) Walk(path, sink);
    };
    for (const fs::path& path : paths_) {
        if (Stopping()) break;
        take(path);
    }
    // Names from a list come as they are read: a run holds a batch of them, not the list.
    listed_ = 0;
    for (fs::path name; names_ && !Stopping() && names_(name);) {
        ++listed_;
        if (!name.empty()) {
            take(name);
            continue;
        }
        takeFiles();
        const Failure empty{FailureKind::EmptyName, {}, {}, {}, std::to_string(listed_)};
        if (!sink.PathFailed(empty)) stopped_.value = true;
    }
    takeFiles();
    if (undo_ && names_) undo_->Listed(listed_);
    if (undo_ && Stopping()) undo_->Stopped();
    if (undo_) undoFailure_ = undo_->Commit();
    if (!stopped_.value && !sink.Settled()) stopped_.value = true;
    return !stopped_.value;
}

void CorrectionRun::KeepUndo(std::shared_ptr<UndoKeeper> keeper) {
    undo_ = std::move(keeper);
    corrector_.undo_ = undo_.get();
    copies_.clear();
    crew_.reset();
}

void CorrectionRun::Walk(const fs::path& top, RunSink& sink) {
    // A stack of the folders still to take, the next on top: a folder's
    // subfolders go on in reverse name order once it is listed. Small folders
    // are taken several at a time, and the folders next in turn are listed
    // while a batch is checked.
    std::vector<FolderPlace> stack{FolderPlace{top, nullptr, 0, 0}};
    Ahead ahead;
    while (!stack.empty() && !Stopping()) {
        Batch batch;
        Fill(batch, stack, ahead);
        batch.prefetch = Upcoming(stack, ahead.listings);
        batch.listed.resize(batch.prefetch.size());
        batch.heldAhead = ahead.files;
        Take(batch, sink);
        for (std::size_t k = 0; k < batch.prefetch.size(); ++k) {
            if (!batch.listed[k]) continue;
            ahead.files += batch.listed[k]->files.size();
            ahead.listings.emplace(batch.prefetch[k].path, std::move(*batch.listed[k]));
        }
    }
}

std::vector<FolderPlace> CorrectionRun::Upcoming(const std::vector<FolderPlace>& stack,
                                                 const std::map<fs::path, FolderListing>& ahead) const {
    // The walk played on from the stack through the folders already listed:
    // the first ones it would have to list.
    std::vector<const FolderPlace*> next;
    for (const FolderPlace& folder : stack) next.push_back(&folder);
    // Enough to fill the next batches, and no more: what is listed ahead is held.
    std::vector<FolderPlace> upcoming;
    std::size_t held = 0;
    while (!next.empty() && upcoming.size() < kListAhead && held < 2 * kBatchFiles) {
        const FolderPlace& folder = *next.back();
        next.pop_back();
        const auto found = ahead.find(folder.path);
        if (found == ahead.end()) {
            upcoming.push_back(folder);
            continue;
        }
        held += found->second.files.size();
        const std::vector<FolderPlace>& inner = found->second.folders;
        for (auto it = inner.rbegin(); it != inner.rend(); ++it)
            if (!selection_.excludeFolders.Matches(it->path.filename().native())) next.push_back(&*it);
    }
    return upcoming;
}

void CorrectionRun::Fill(Batch& batch, std::vector<FolderPlace>& stack, Ahead& ahead) {
    while (!stack.empty() && batch.Size() < kBatchFiles) {
        FolderPlace place = std::move(stack.back());
        stack.pop_back();
        const auto found = ahead.listings.find(place.path);
        FolderListing listing;
        if (found != ahead.listings.end()) {
            listing = std::move(found->second);
            ahead.files -= listing.files.size();
            ahead.listings.erase(found);
        } else {
            listing = List(place);
        }
        if (!listing.failure) {
            if (!visitedFolders_.insert({listing.device, listing.inode}).second)
                continue;  // reached before in this run
            for (auto it = listing.folders.rbegin(); it != listing.folders.rend(); ++it)
                if (!selection_.excludeFolders.Matches(it->path.filename().native())) stack.push_back(std::move(*it));
            listing.folders.clear();  // (the stack holds them, and with them their parent's handle)
        }
        Batch::Folder& folder = batch.folders.emplace_back();
        folder.path = std::move(place.path);
        folder.listing = std::move(listing);
        folder.first = batch.Size();
        if (folder.listing.failure) continue;
        folder.backups.emplace(folder.listing.files, corrector_.Backup());
        const std::vector<fs::path>& files = folder.listing.files;
        for (std::size_t i = 0; i < files.size(); ++i) {
            if (!Selected(files[i])) continue;
            // A file named as a path before is not taken again.
            if (!namedFiles_.Empty() &&
                namedFiles_.Has(NamedKey(folder.listing.device, folder.listing.inode, files[i].filename().native())))
                continue;
            batch.files.push_back(&files[i]);
            batch.homes.push_back(&folder);
            batch.places.push_back(folder.listing.PlaceOf(i));
            ++folder.taken;
        }
    }
}

bool CorrectionRun::TakenBefore(const fs::path& file) {
    const fs::path parent = file.has_parent_path() ? file.parent_path() : fs::path(".");
    // Files named one after another mostly share their folder (a window's
    // queue, a list from find): it is looked up once for them.
    if (parent != namedFolder_.first) {
        namedFolder_.first = parent;
        if (os::Stat(parent, namedFolder_.second)) namedFolder_.second = {};
    }
    const os::FileInfo& folder = namedFolder_.second;
    if (!(folder.device + folder.inode)) return false;
    if (!namedFiles_.Insert(NamedKey(folder.device, folder.inode, file.filename().native()))) return true;
    if (!visitedFolders_.count({folder.device, folder.inode})) return false;
    if (std::find(avoid_.begin(), avoid_.end(), std::pair{folder.device, folder.inode}) != avoid_.end())
        return false;  // (told as skipped)
    // In a folder the walk took: taken when the walk listed it and chose it.
    const FolderListing listing = ListFolder(parent, false, selection_.hidden);
    const auto listed = std::find_if(listing.files.begin(), listing.files.end(),
                                     [&](const fs::path& f) { return f.filename() == file.filename(); });
    return listed != listing.files.end() && Selected(*listed);
}

void CorrectionRun::ScreenNamed(Batch& batch, const std::vector<std::pair<std::uint64_t, std::uint64_t>>& folders) {
    batch.namedBackup.assign(batch.Size(), false);
    for (std::size_t k = 0; k < batch.Size(); ++k)
        if (!batch.refused[k] && std::find(avoid_.begin(), avoid_.end(), folders[k]) != avoid_.end())
            batch.refused[k] = Failure{FailureKind::OwnRecord, *batch.files[k]};
    const BackupPolicy& backup = corrector_.Backup();
    if (!backup.enabled || backup.extension.empty()) return;
    fs::path::string_type suffix(1, fs::path::value_type('.'));
    suffix += backup.extension;
    const auto key = [&](std::size_t k, const fs::path::string_type& name) {
        return NamedKey(folders[k].first, folders[k].second, name);
    };
    // Every name of the batch is known by now: X.bak is a backup wherever X comes in it.
    for (std::size_t k = 0; k < batch.Size(); ++k) {
        const fs::path::string_type name = batch.files[k]->filename().native();
        if (!(folders[k].first + folders[k].second) || name.size() <= suffix.size() || !name.ends_with(suffix))
            continue;
        batch.namedBackup[k] = namedFiles_.Has(key(k, name.substr(0, name.size() - suffix.size())));
    }
    // X.bak named in an earlier batch, before X, and corrected: X's backup would take its place.
    for (std::size_t k = 0; k < batch.Size(); ++k) {
        if (!(folders[k].first + folders[k].second) || batch.refused[k]) continue;
        if (!namedFiles_.Has(key(k, batch.files[k]->filename().native() + suffix))) continue;
        const fs::path backupPath = BackupPathOf(*batch.files[k], backup);
        os::FileInfo id;
        if (!os::Stat(backupPath, id, false) && id.regular && ToldAs(id.device, id.inode))
            batch.refused[k] = Failure{FailureKind::BackupIsRunFile, *batch.files[k], {}, backupPath};
    }
}

std::optional<Failure> CorrectionRun::Confine(const fs::path& file, FilePlace& place) {
    const fs::path& root = selection_.within;
    if (!within_) {
        auto folder = std::make_shared<os::Folder>();
        if (auto ec = os::Folder::Open(root, *folder)) return Failure{FailureKind::List, root, ec};
        within_ = std::move(folder);
    }
    const fs::path relative = file.lexically_relative(root);
    if (relative.empty() || *relative.begin() == ".." || !relative.has_filename())
        return Failure{FailureKind::LinkOutside, file, {}, file};
    const fs::path parent = relative.parent_path();
    if (parent != confinedFolder_.first || !confinedFolder_.second) {
        // Each folder on the way from the root's handle, never through a link.
        std::shared_ptr<const os::Folder> at = within_;
        for (const fs::path& part : parent) {
            auto next = std::make_shared<os::Folder>();
            if (auto ec = at->OpenFolder(part, *next))
                return Failure{
                    ec == std::errc::too_many_symbolic_link_levels ? FailureKind::BecameLink : FailureKind::Open, file,
                    ec};
            at = std::move(next);
        }
        confinedFolder_ = {parent, std::move(at)};
    }
    os::FileInfo id;
    if (auto ec = confinedFolder_.second->Info(id)) return Failure{FailureKind::Open, file, ec};
    // A link there is followed as a walk follows one: into the root only.
    place = {confinedFolder_.second.get(), true, id.device, id.inode, true};
    return std::nullopt;
}

std::uint64_t CorrectionRun::NamedKey(std::uint64_t device, std::uint64_t inode, const fs::path::string_type& name) {
    // FNV-1a over the folder's identity and the name: 64 bits a file named,
    // however long the list (two files taking one key: one in 2^64 for a pair).
    std::uint64_t hash = 14695981039346656037ull;
    const auto add = [&](const void* data, std::size_t size) {
        for (std::size_t i = 0; i < size; ++i)
            hash = (hash ^ static_cast<const unsigned char*>(data)[i]) * 1099511628211ull;
    };
    add(&device, sizeof device);
    add(&inode, sizeof inode);
    add(name.data(), name.size() * sizeof(fs::path::value_type));
    return hash ? hash : 1;
}

bool CorrectionRun::KeySet::Insert(std::uint64_t key) {
    if ((size_ + 1) * 2 > slots_.size()) {
        std::vector<std::uint64_t> old(std::max<std::size_t>(64, slots_.size() * 2), 0);
        old.swap(slots_);
        size_ = 0;
        for (const std::uint64_t k : old)
            if (k) Insert(k);
    }
    for (std::size_t at = key & (slots_.size() - 1);; at = (at + 1) & (slots_.size() - 1)) {
        if (slots_[at] == key) return false;
        if (slots_[at] == 0) {
            slots_[at] = key;
            ++size_;
            return true;
        }
    }
}

bool CorrectionRun::KeySet::Has(std::uint64_t key) const {
    if (slots_.empty()) return false;
    for (std::size_t at = key & (slots_.size() - 1);; at = (at + 1) & (slots_.size() - 1)) {
        if (slots_[at] == key) return true;
        if (slots_[at] == 0) return false;
    }
}

bool CorrectionRun::Selected(const fs::path& file) const {
    const NameMask& include = selection_.include;
    const NameMask& exclude = selection_.exclude;
    if (include.Empty() && exclude.Empty()) return true;
    const auto name = file.filename().native();
    return (include.Empty() || include.Matches(name)) && !exclude.Matches(name);
}

void CorrectionRun::Take(Batch& batch, RunSink& sink) {
    if (mode_ == RunMode::Correct) CorrectAll(batch, sink);
    else CheckAll(batch, sink);
    Announce(batch, batch.Size(), sink);
}

void CorrectionRun::Announce(Batch& batch, std::size_t upTo, RunSink& sink) {
    while (batch.announced < batch.folders.size() && batch.folders[batch.announced].first <= upTo) {
        const Batch::Folder& folder = batch.folders[batch.announced++];
        if (stopped_.value) continue;
        const bool more =
            folder.listing.failure ? sink.PathFailed(*folder.listing.failure) : sink.Listed(folder.path, folder.taken);
        if (!more) stopped_.value = true;
    }
}

void CorrectionRun::KnownBackups(std::set<fs::path> paths) {
    knownBackups_.clear();
    knownBackupIds_.clear();
    for (const fs::path& path : paths) knownBackups_.emplace(path.filename(), path);
}

void CorrectionRun::TellStuck(const LeftoverCounts& cleaned, const fs::path& file, RunSink& sink) {
    const fs::path folder = file.has_parent_path() ? file.parent_path() : fs::path();
    for (const StuckLeftover& left : cleaned.stuck) {
        const fs::path path = folder / left.name;
        const Failure why{FailureKind::LeftoverStuck, path, left.code, {}, std::to_string(left.owner)};
        if (!sink.File({path, FileOutcome::Leftover, FileVerdict::Unknown, &why})) stopped_.value = true;
    }
}

bool CorrectionRun::IsKnownBackup(const fs::path& file, const FilePlace& place) {
    // Most files are told apart by name alone; a file of a known backup's
    // name is one when it is the very file (by identity, whatever path led there).
    const auto [first, last] = knownBackups_.equal_range(file.filename());
    if (first == last) return false;
    os::FileInfo id;
    const auto ec = place.folder ? place.folder->Stat(file.filename(), id, false) : os::Stat(file, id, false);
    if (ec || id.symlink) return false;
    std::lock_guard lock(knownBackupMutex_.value);
    for (auto it = first; it != last; ++it) {
        auto [known, added] = knownBackupIds_.try_emplace(it->second);
        if (added && os::Stat(it->second, known->second, false)) known->second = {};
        if (known->second.regular && known->second.SameFileAs(id)) return true;
    }
    return false;
}

FolderListing CorrectionRun::List(const FolderPlace& folder) const {
    // Its files are then opened by name in it, without walking its path again.
    return ListFolder(folder, selection_.subfolders, &folderBudget_, selection_.hidden);
}

void CorrectionRun::CheckInto(Slot& slot, const fs::path& file, const BackupNames* backups, const FilePlace& place,
                              unsigned worker, bool namedBackup) {
    slot.rewrite.reset();
    slot.backup = namedBackup || (backups && backups->Holds(file)) || IsKnownBackup(file, place);
    slot.check = slot.backup ? CheckResult{} : On(worker).CheckFile(file, place);
}

void CorrectionRun::Tell(const fs::path& file, Slot& slot, RunSink& sink) {
    if (Stopping() && !slot.rewrite) return;
    const CheckResult& check = slot.check;
    bool more = true;
    if (slot.backup) {
        more = sink.File({file, FileOutcome::Backup});
    } else if (check.failure) {
        const bool skipped =
            check.failure->kind == FailureKind::LinkOutside || check.failure->kind == FailureKind::OwnRecord;
        more = sink.File(
            {file, skipped ? FileOutcome::Skipped : FileOutcome::Failed, FileVerdict::Unknown, &*check.failure});
    } else if (slot.rewrite) {
        more = TellRewritten(file, *slot.rewrite, sink);
    } else if (const Told* told = ToldAs(check.device, check.inode);
               told && (told->name == file || told->viaLink || !check.target.empty())) {
        // Another name of a file told before, a link or through one: told once, as that file.
        if (told->name != file)
            more = sink.File({file, FileOutcome::SameFile, FileVerdict::ToCorrect, nullptr, {}, 0, &told->name});
    } else if (mode_ != RunMode::Correct && check.verdict == FileVerdict::ToCorrect) {
        // Changing nothing, a file to correct is told once whatever symbolic
        // links lead to it; reached through one, as its target, and the link
        // after it. (A second hard link of a file told is a file of its own:
        // the run corrects each name, the first one's correction leaving the
        // others as they were.)
        const Told named{check.target.empty() ? file : TargetName(check.target), !check.target.empty()};
        const auto [at, added] = told_.try_emplace(IdentityKey(check.device, check.inode), named);
        const Told& as = added ? at->second : named;
        FileReport report{as.name, FileOutcome::Checked, check.verdict, nullptr, check.encodings};
        report.page = &check.page;
        const ShowCorrection show = [&](const Corrector::Keep& keep, const Corrector::Swap& swap) {
            return corrector_.Preview(file, keep, swap);
        };
        more = mode_ == RunMode::Preview ? sink.Preview(report, show) : sink.File(report);
        if (more && as.name != file)
            more = sink.File({file, FileOutcome::SameFile, FileVerdict::ToCorrect, nullptr, {}, 0, &as.name});
    } else {
        FileReport report{file, FileOutcome::Checked, check.verdict, nullptr, check.encodings};
        report.notUtf8 = check.notUtf8;
        report.page = &check.page;
        more = sink.File(report);
    }
    if (!more) stopped_.value = true;
}

void CorrectionRun::Parallel(std::size_t count, unsigned use, std::size_t ahead, const WorkerPool::Work& work,
                             const WorkerPool::Deliver& deliver) {
    if (crew_ && use > 1) return crew_->Run(count, use, ahead, work, deliver);
    for (std::size_t i = 0; i < count; ++i) {
        work(i, 0);
        if (deliver) deliver(i);
    }
}

void CorrectionRun::ListAhead(Batch& batch, std::size_t k) {
    // What is listed ahead is held until its turn: a few batches' worth at most.
    if (Stopping() || batch.heldAhead.load() >= 2 * kBatchFiles) return;
    FolderListing listing = List(batch.prefetch[k]);
    batch.heldAhead += listing.files.size();
    batch.listed[k] = std::move(listing);
}

void CorrectionRun::CheckAll(Batch& b, RunSink& sink) {
    // Files are checked on the workers and told in order, at most `ahead` of
    // them checked and not yet told; the folders listed ahead come first.
    const std::size_t lists = b.prefetch.size();
    const auto workers = static_cast<unsigned>(std::min<std::size_t>(workers_, lists + b.Size()));
    Hire(workers);
    const std::size_t ahead = kAheadPerWorker * std::max(workers, 1u);
    std::vector<Slot> slots(std::min(ahead, b.Size()));
    std::size_t told = 0;
    auto settled = std::chrono::steady_clock::now();
    const auto settle = [&] {
        const auto now = std::chrono::steady_clock::now();
        if (now - settled < kSettleEvery) return;
        settled = now;
        if (!sink.Settled()) stopped_.value = true;
    };
    Parallel(
        lists + b.Size(), workers, ahead,
        [&](std::size_t i, unsigned worker) {
            if (i < lists) return ListAhead(b, i);
            const std::size_t k = i - lists;
            if (Stopping()) return;
            Slot& slot = slots[k % slots.size()];
            if (!b.refused.empty() && b.refused[k]) slot = RefusedSlot(*b.refused[k]);
            else CheckInto(slot, *b.files[k], b.BackupsOf(k), b.places[k], worker, b.NamedBackup(k));
        },
        [&](std::size_t i) {
            if (i < lists || stopped_.value) return;
            const std::size_t k = i - lists;
            Announce(b, k, sink);
            Tell(*b.files[k], slots[k % slots.size()], sink);
            if (++told % kTellBatch == 0 && !stopped_.value) settle();
        });
}

void CorrectionRun::CorrectAll(Batch& b, RunSink& sink) {
    // A share of the files is checked, then those to correct in it are
    // rewritten group by group; each group's files are told, with those
    // before them, once the group is done.
    const auto workers = static_cast<unsigned>(std::min<std::size_t>(workers_, b.Size()));
    Hire(std::max(workers, Flushers(workers)));
    std::vector<Slot> slots;
    const std::size_t lists = b.prefetch.size();
    for (std::size_t first = 0; first < b.Size() && !Stopping(); first += kCheckChunk) {
        const std::size_t count = std::min(kCheckChunk, b.Size() - first), listing = first == 0 ? lists : 0;
        slots.clear();
        slots.resize(count);
        // What stopped runs left in these folders goes first, also where nothing is left to correct.
        for (std::size_t k = first; k < first + count && !Stopping(); ++k)
            if (b.refused.empty() || !b.refused[k])
                TellStuck(corrector_.CleanFolderOf(*b.files[k], b.places[k]), *b.files[k], sink);
        Parallel(listing + count, workers, listing + count,
                 [&](std::size_t i, unsigned worker) {
                     if (i < listing) return ListAhead(b, i);
                     if (Stopping()) return;
                     const std::size_t k = first + i - listing;
                     if (!b.refused.empty() && b.refused[k]) {
                         slots[i - listing] = RefusedSlot(*b.refused[k]);
                         return;
                     }
                     CheckInto(slots[i - listing], *b.files[k], b.BackupsOf(k), b.places[k], worker, b.NamedBackup(k));
                 },
                 {});
        RewriteChunk(b, first, slots, workers, sink);
    }
}

void CorrectionRun::RewriteChunk(Batch& b, std::size_t first, std::vector<Slot>& slots, unsigned workers,
                                 RunSink& sink) {
    std::vector<std::size_t> toCorrect;
    for (std::size_t i = 0; i < slots.size(); ++i)
        if (!slots[i].backup && !slots[i].check.failure && slots[i].check.verdict == FileVerdict::ToCorrect)
            toCorrect.push_back(i);
    std::size_t told = 0;
    const auto tellUpTo = [&](std::size_t end) {
        for (; told < end; ++told) {
            Announce(b, first + told, sink);
            Tell(*b.files[first + told], slots[told], sink);
        }
    };
    for (std::size_t from = 0; from < toCorrect.size() && !Stopping(); from += GroupSize()) {
        const std::size_t end = std::min(from + GroupSize(), toCorrect.size());
        std::vector<const fs::path*> names;
        std::vector<FilePlace> places;
        for (std::size_t k = from; k < end; ++k) {
            names.push_back(b.files[first + toCorrect[k]]);
            places.push_back(b.places[first + toCorrect[k]]);
        }
        Group group(std::move(names), std::move(places));
        RewriteGroup(group, workers);
        Settle(group);
        for (std::size_t k = from; k < end; ++k) slots[toCorrect[k]].rewrite = std::move(group.results[k - from]);
        tellUpTo(toCorrect[end - 1] + 1);
        if (!stopped_.value && !sink.Settled()) stopped_.value = true;
    }
    if (!stopped_.value) tellUpTo(slots.size());
}

void CorrectionRun::RewriteGroup(Group& g, unsigned workers) {
    // The group's new contents are written first and their writeback started
    // together, so that the flushes that follow share the file system's
    // commits instead of paying for one each.
    workers = static_cast<unsigned>(std::min<std::size_t>(workers, g.Size()));
    const auto parallel = [&](unsigned use, const WorkerPool::Work& work) {
        Parallel(g.Size(), use, g.Size(), work, {});
    };
    // The same file under two names is held once: a later name of a file
    // this run already corrected, or that this group holds, waits for it.
    for (std::size_t k = 0; k < g.Size(); ++k) {
        const os::FileInfo& id = g.identity[k];
        const os::Folder* folder = g.places[k].folder;
        const auto ec =
            folder ? folder->Stat(g.File(k).filename(), g.identity[k], true) : os::Stat(g.File(k), g.identity[k]);
        if (ec || !(id.device + id.inode)) continue;
        if (ToldAs(id.device, id.inode)) g.earlier[k] = 1;
        for (std::size_t j = 0; j < k && g.Own(k); ++j)
            if (g.Own(j) && g.identity[j].SameFileAs(id)) g.twinOf[k] = static_cast<std::ptrdiff_t>(j);
    }
    // A file another run holds is not waited for while this group holds
    // others (the two runs could wait for each other): it comes after.
    parallel(workers, [&](std::size_t k, unsigned worker) {
        if (!g.Own(k) || Stopping()) return;
        Corrector::Begun begun = On(worker).Begin(g.File(k), g.places[k], g.pending[k], false);
        if (auto* done = std::get_if<ProcessResult>(&begun)) g.results[k] = std::move(*done);
        else if (std::holds_alternative<Corrector::Busy>(begun)) g.busy[k] = 1;
        else g.pending[k].out.StartFlush(), g.begun[k] = 1;
    });
    const auto ready = [&](std::size_t k) { return g.begun[k] && !g.results[k]; };
    parallel(Flushers(workers), [&](std::size_t k, unsigned worker) {
        if (ready(k)) g.results[k] = On(worker).Place(g.pending[k]);
    });
    // The backups' names are on disk before any file's goes to its new
    // content: a power cut never leaves a corrected file without its backup.
    std::vector<const os::Folder*> backupFolders;
    for (std::size_t k = 0; k < g.Size(); ++k)
        if (ready(k) && g.pending[k].placed.backup) AddFolder(backupFolders, g.pending[k].BackupFolder());
    FlushAll(backupFolders, FlushSite::BackupFolder);
    parallel(Flushers(workers), [&](std::size_t k, unsigned worker) {
        if (ready(k)) g.results[k] = On(worker).Finish(g.pending[k]);
    });
    WaitForHeld(g, workers);
}

void CorrectionRun::WaitForHeld(Group& g, unsigned workers) {
    // Files another run holds are waited for now, at once, and all waits of
    // the run together end at one deadline: a stopped run holding many files
    // costs the wait once, not once a file.
    std::vector<std::size_t> held;
    for (std::size_t k = 0; k < g.Size(); ++k)
        if (g.busy[k]) held.push_back(k);
    if (held.empty() || Stopping()) return;
    using Clock = std::chrono::steady_clock;
    if (!lockDeadline_) lockDeadline_ = Clock::now() + corrector_.LockWait();
    Parallel(held.size(), static_cast<unsigned>(std::min<std::size_t>(Flushers(workers), held.size())), held.size(),
             [&](std::size_t i, unsigned worker) {
                 if (Stopping()) return;
                 Corrector& corrector = On(worker);
                 const auto left = std::max(Clock::duration::zero(), *lockDeadline_ - Clock::now());
                 corrector.SetLockWait(std::chrono::duration_cast<std::chrono::milliseconds>(left));
                 g.results[held[i]] = corrector.ProcessFile(g.File(held[i]), g.places[held[i]]);
             },
             {});
}

void CorrectionRun::Settle(Group& g) {
    // The group's folders are flushed once, after its renames, before its results are told.
    std::vector<const os::Folder*> touched;
    const auto touch = [&](const os::Folder& folder) { AddFolder(touched, folder); };
    for (std::size_t k = 0; k < g.Size(); ++k) {
        if (g.twinOf[k] >= 0) {
            const auto twin = static_cast<std::size_t>(g.twinOf[k]);
            if (!g.results[twin]) continue;  // (a stop came before it was begun)
            const ProcessResult& first = *g.results[twin];
            const Told* told = first.Corrected() ? ToldAs(first.device, first.inode) : nullptr;
            g.results[k] =
                told ? OtherName(g.File(k), g.places[k], *told) : corrector_.ProcessFile(g.File(k), g.places[k]);
        } else if (!g.results[k] && !g.earlier[k]) {
            continue;
        } else if (g.earlier[k]) {
            g.results[k] = OtherName(g.File(k), g.places[k], *ToldAs(g.identity[k].device, g.identity[k].inode));
        } else if (const ProcessResult& r = *g.results[k]; r.Corrected()) {
            // What the run corrected, by identity, for later names of the same file.
            const Corrector::Pending& p = g.pending[k];
            if (p.kept) undo_->Confirm(*p.kept);  // in the run's order
            if (r.device + r.inode)
                told_.try_emplace(IdentityKey(r.device, r.inode),
                                  Told{r.target.empty() ? g.File(k) : TargetName(r.target), !r.target.empty()});
            touch(p.folder);
        }
    }
    FlushAll(touched, FlushSite::GroupFolders);
}

void CorrectionRun::AddFolder(std::vector<const os::Folder*>& folders, const os::Folder& folder) {
    for (const os::Folder* f : folders)
        if (f->Location() == folder.Location()) return;
    folders.push_back(&folder);
}

void CorrectionRun::FlushAll(const std::vector<const os::Folder*>& folders, FlushSite site) {
    // Flushed together, so that the file system commits them at once.
    Parallel(folders.size(), Flushers(workers_), folders.size(),
             [&](std::size_t k, unsigned) { FlushAt(site, *folders[k]); }, {});
}

const CorrectionRun::Told* CorrectionRun::ToldAs(std::uint64_t device, std::uint64_t inode) const {
    if (!(device + inode)) return nullptr;
    const auto found = told_.find(IdentityKey(device, inode));
    return found == told_.end() ? nullptr : &found->second;
}

fs::path CorrectionRun::TargetName(const fs::path& target) const {
    // Under the path given that holds it (the deepest), as a walk of it names its files.
    const std::pair<fs::path, fs::path>* best = nullptr;
    std::size_t depth = 0;
    for (const auto& root : roots_) {
        const auto [end, at] = std::mismatch(root.second.begin(), root.second.end(), target.begin(), target.end());
        const auto parts = static_cast<std::size_t>(std::distance(root.second.begin(), root.second.end()));
        if (end == root.second.end() && (!best || parts > depth)) best = &root, depth = parts;
    }
    if (!best) return target;
    fs::path name = best->first;
    for (auto part = std::next(target.begin(), static_cast<std::ptrdiff_t>(depth)); part != target.end(); ++part)
        name /= *part;
    return name;
}

bool CorrectionRun::TellRewritten(const fs::path& file, const ProcessResult& result, RunSink& sink) {
    if (result.toldBefore) return true;
    if (!result.Corrected() || result.target.empty()) return sink.File(ReportOf(file, result));
    // Reached through a link: corrected as its target, told so, then the link as another name of it.
    const Told* told = ToldAs(result.device, result.inode);
    const fs::path name = told ? told->name : TargetName(result.target);
    const fs::path* same = told ? &told->name : &name;
    return sink.File(ReportOf(name, result)) &&
           sink.File({file, FileOutcome::SameFile, FileVerdict::ToCorrect, nullptr, {}, 0, same});
}

ProcessResult CorrectionRun::OtherName(const fs::path& file, const FilePlace& place, const Told& told) {
    // The name told before is not told again; a link, or a name beside one
    // that led to the file, is told as another name of it; a second hard link
    // is corrected now, and then holds the corrected content too.
    ProcessResult result;
    if (told.name == file) {
        result.toldBefore = true;
        return result;
    }
    if (told.viaLink || place.link || IsSymlink(file, place)) {
        result.sameAs = told.name;
        return result;
    }
    return corrector_.ProcessFile(file, place);
}

void CorrectionRun::Hire(unsigned threads) {
    if (threads <= 1 || (crew_ && crew_->Workers() >= threads)) return;
    crew_ = std::make_unique<WorkerPool>(threads);
    copies_.assign(threads, corrector_);
}

std::size_t CorrectionRun::GroupSize() {
    // Asked once: the program's own open files do not change during a run.
    if (groupSize_) return groupSize_;
    // Each file of a group holds the file, its temporary, its folder and the
    // backup's folder open, and one more while a backup is copied; the
    // workers' own files, the walk's folders and the program's come first. A
    // limit that lets one file be corrected corrects every file, one at a time.
    constexpr std::size_t kHeldPerFile = 5, kProgramReserve = 16;
    const std::size_t left = os::OpenFilesLeft(), budget = left - std::min(left, folderBudget_.most);
    const std::size_t reserve = kProgramReserve + workers_;
    groupSize_ = std::clamp<std::size_t>(budget > reserve ? (budget - reserve) / kHeldPerFile : 1, 1, kRewriteGroup);
    return groupSize_;
}

unsigned CorrectionRun::Flushers(unsigned workers) {
    // Flushing mostly waits for the disk: more flushes at once let the file
    // system commit them together.
    const std::size_t size = GroupSize();
    workers = static_cast<unsigned>(std::min<std::size_t>(workers, size));
    return workers > 1 ? static_cast<unsigned>(std::min<std::size_t>(size, std::size_t{workers} * 8)) : 1;
}

}  // namespace tarnwick
