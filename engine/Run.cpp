#include "Run.h"

#include "FileSystem.h"
#include "PendingRewrite.h"
#include "Workers.h"

#include <algorithm>
#include <optional>

namespace tarnwick {

namespace fs = std::filesystem;

namespace {

// Files checked ahead of the one being told, at most, for each worker.
constexpr std::size_t kAheadPerWorker = 64;
// A run that changes nothing lets its sink settle after this many files told.
constexpr std::size_t kTellBatch = 32;
// The most files rewritten together before their folders are flushed.
constexpr std::size_t kRewriteGroup = 32;
// A correcting run checks this many files of a listing, then rewrites those
// to correct among them in groups.
constexpr std::size_t kCheckChunk = 1024;

// The report of a file the run tried to rewrite.
FileReport ReportOf(const fs::path& file, const ProcessResult& result) {
    if (result.failure) return {file, FileOutcome::Failed, FileVerdict::Unknown, &*result.failure};
    if (!result.sameAs.empty())
        return {file, FileOutcome::SameFile, FileVerdict::ToCorrect, nullptr, {}, 0, &result.sameAs};
    // Corrected meanwhile by someone else, or no longer holding the search string.
    if (!result.Corrected()) return {file, FileOutcome::Checked, result.verdict};
    return {file, FileOutcome::Corrected, FileVerdict::ToCorrect, nullptr, result.encodings, result.replacements};
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

// The files rewritten together, and what became of each.
struct CorrectionRun::Group {
    explicit Group(std::vector<const fs::path*> names)
        : files(std::move(names)),
          pending(files.size()),
          results(files.size()),
          identity(files.size()),
          twinOf(files.size(), -1),
          earlier(files.size(), 0),
          busy(files.size(), 0) {}
    std::size_t Size() const { return files.size(); }
    const fs::path& File(std::size_t k) const { return *files[k]; }
    // Rewritten here: not another name of a file held or corrected before, not held by another run.
    bool Own(std::size_t k) const { return twinOf[k] < 0 && !earlier[k]; }

    std::vector<const fs::path*> files;
    std::vector<Corrector::Pending> pending;
    std::vector<std::optional<ProcessResult>> results;
    std::vector<os::FileInfo> identity;  // the file each name leads to
    std::vector<std::ptrdiff_t> twinOf;  // an earlier name of the same file in this group
    std::vector<char> earlier;           // a file an earlier group corrected
    std::vector<char> busy;              // another run held it: done alone, after the group
};

CorrectionRun::CorrectionRun(Corrector corrector, std::vector<fs::path> paths, RunMode mode, unsigned workers,
                             FileSelection selection)
    : corrector_(std::move(corrector)),
      paths_(std::move(paths)),
      mode_(mode),
      workers_(workers ? workers : DefaultWorkers()),
      selection_(std::move(selection)) {}

CorrectionRun::~CorrectionRun() = default;
CorrectionRun::CorrectionRun(CorrectionRun&&) noexcept = default;
CorrectionRun& CorrectionRun::operator=(CorrectionRun&&) noexcept = default;

bool CorrectionRun::Execute(RunSink& sink) {
    stopped_.value = false;
    correctedNames_.clear();
    visitedFolders_.clear();
    // Files given one after another are taken together, as a folder's are.
    std::vector<fs::path> files;
    const auto takeFiles = [&] {
        if (!files.empty() && !stopped_.value) Files(files, nullptr, sink);
        files.clear();
    };
    for (const fs::path& path : paths_) {
        if (stopped_.value) break;
        std::error_code ec;
        if (!fs::is_directory(path, ec)) {
            files.push_back(path);
            continue;
        }
        takeFiles();
        if (!stopped_.value) Folder(path, sink);
    }
    takeFiles();
    if (!stopped_.value && !sink.Settled()) stopped_.value = true;
    return !stopped_.value;
}

void CorrectionRun::Folder(const fs::path& top, RunSink& sink) {
    // A stack of the folders still to take, the next on top: a folder's
    // subfolders go on in reverse name order once its files are told.
    std::vector<fs::path> stack{top};
    while (!stack.empty() && !stopped_.value) {
        const fs::path folder = std::move(stack.back());
        stack.pop_back();
        FolderListing listing = ListFolder(folder, selection_.subfolders);
        if (listing.failure) {
            if (!sink.PathFailed(*listing.failure)) stopped_.value = true;
            continue;
        }
        os::FileInfo id;
        if (!os::Stat(folder, id) && (id.device + id.inode) && !visitedFolders_.insert({id.device, id.inode}).second)
            continue;  // reached before in this run
        const BackupNames backups(listing.files, corrector_.Backup());
        const std::vector<fs::path> files = Selected(listing.files);
        if (!sink.Listed(folder, files.size())) {
            stopped_.value = true;
            return;
        }
        Files(files, &backups, sink);
        for (auto it = listing.folders.rbegin(); it != listing.folders.rend(); ++it)
            if (!selection_.excludeFolders.Matches(it->filename().native())) stack.push_back(std::move(*it));
    }
}

std::vector<fs::path> CorrectionRun::Selected(std::vector<fs::path> files) const {
    const NameMask& include = selection_.include;
    const NameMask& exclude = selection_.exclude;
    if (include.Empty() && exclude.Empty()) return files;
    std::erase_if(files, [&](const fs::path& file) {
        const auto name = file.filename().native();
        return (!include.Empty() && !include.Matches(name)) || exclude.Matches(name);
    });
    return files;
}

void CorrectionRun::Files(const std::vector<fs::path>& files, const BackupNames* backups, RunSink& sink) {
    if (mode_ == RunMode::Correct) CorrectAll(files, backups, sink);
    else CheckAll(files, backups, sink);
}

void CorrectionRun::CheckInto(Slot& slot, const fs::path& file, const BackupNames* backups, unsigned worker) {
    slot.rewrite.reset();
    slot.backup = backups && backups->Holds(file);
    slot.check = slot.backup ? CheckResult{} : On(worker).CheckFile(file);
}

void CorrectionRun::Tell(const fs::path& file, Slot& slot, RunSink& sink) {
    if (stopped_.value && !slot.rewrite) return;
    const CheckResult& check = slot.check;
    bool more = true;
    if (slot.backup) {
        more = sink.File({file, FileOutcome::Backup});
    } else if (check.failure) {
        more = sink.File({file, FileOutcome::Failed, FileVerdict::Unknown, &*check.failure});
    } else if (slot.rewrite) {
        more = sink.File(ReportOf(file, *slot.rewrite));
    } else if (mode_ == RunMode::Preview && check.verdict == FileVerdict::ToCorrect) {
        const ShowCorrection show = [&](const Corrector::Keep& keep, const Corrector::Swap& swap) {
            return corrector_.Preview(file, keep, swap);
        };
        more = sink.Preview({file, FileOutcome::Checked, check.verdict, nullptr, check.encodings}, show);
    } else {
        more = sink.File({file, FileOutcome::Checked, check.verdict, nullptr, check.encodings});
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

void CorrectionRun::CheckAll(const std::vector<fs::path>& files, const BackupNames* backups, RunSink& sink) {
    // Files are checked on the workers and told in listing order, at most
    // `ahead` of them checked and not yet told.
    const auto workers = static_cast<unsigned>(std::min<std::size_t>(workers_, files.size()));
    Hire(workers);
    const std::size_t ahead = kAheadPerWorker * std::max(workers, 1u);
    std::vector<Slot> slots(std::min(ahead, files.size()));
    std::size_t told = 0;
    Parallel(
        files.size(), workers, ahead,
        [&](std::size_t i, unsigned worker) {
            if (!stopped_.value) CheckInto(slots[i % slots.size()], files[i], backups, worker);
        },
        [&](std::size_t i) {
            if (stopped_.value) return;
            Tell(files[i], slots[i % slots.size()], sink);
            if (++told % kTellBatch == 0 && !stopped_.value && !sink.Settled()) stopped_.value = true;
        });
}

void CorrectionRun::CorrectAll(const std::vector<fs::path>& files, const BackupNames* backups, RunSink& sink) {
    // A share of the listing is checked, then the files to correct in it are
    // rewritten group by group; each group's files are told, with those
    // before them, once the group is done.
    const auto workers = static_cast<unsigned>(std::min<std::size_t>(workers_, files.size()));
    Hire(std::max(workers, Flushers(workers)));
    std::vector<Slot> slots;
    for (std::size_t first = 0; first < files.size() && !stopped_.value; first += kCheckChunk) {
        const std::size_t count = std::min(kCheckChunk, files.size() - first);
        slots.clear();
        slots.resize(count);
        Parallel(count, workers, count,
                 [&](std::size_t i, unsigned worker) { CheckInto(slots[i], files[first + i], backups, worker); }, {});
        std::vector<std::size_t> toCorrect;
        for (std::size_t i = 0; i < count; ++i)
            if (!slots[i].backup && !slots[i].check.failure && slots[i].check.verdict == FileVerdict::ToCorrect)
                toCorrect.push_back(i);
        std::size_t told = 0;
        for (std::size_t from = 0; from < toCorrect.size() && !stopped_.value; from += GroupSize()) {
            const std::size_t end = std::min(from + GroupSize(), toCorrect.size());
            std::vector<const fs::path*> names;
            for (std::size_t k = from; k < end; ++k) names.push_back(&files[first + toCorrect[k]]);
            Group group(std::move(names));
            RewriteGroup(group, workers);
            Settle(group);
            for (std::size_t k = from; k < end; ++k) slots[toCorrect[k]].rewrite = std::move(group.results[k - from]);
            for (; told <= toCorrect[end - 1]; ++told) Tell(files[first + told], slots[told], sink);
            if (!stopped_.value && !sink.Settled()) stopped_.value = true;
        }
        for (; told < count && !stopped_.value; ++told) Tell(files[first + told], slots[told], sink);
    }
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
        corrector_.CleanFolderOf(g.File(k));
        const os::FileInfo& id = g.identity[k];
        if (os::Stat(g.File(k), g.identity[k]) || !(id.device + id.inode)) continue;
        if (correctedNames_.count({id.device, id.inode})) g.earlier[k] = 1;
        for (std::size_t j = 0; j < k && g.Own(k); ++j)
            if (g.Own(j) && g.identity[j].SameFileAs(id)) g.twinOf[k] = static_cast<std::ptrdiff_t>(j);
    }
    // A file another run holds is not waited for while this group holds
    // others (the two runs could wait for each other): it comes after.
    parallel(workers, [&](std::size_t k, unsigned worker) {
        if (!g.Own(k)) return;
        Corrector::Begun begun = On(worker).Begin(g.File(k), g.pending[k], false);
        if (auto* done = std::get_if<ProcessResult>(&begun)) g.results[k] = std::move(*done);
        else if (std::holds_alternative<Corrector::Busy>(begun)) g.busy[k] = 1;
        else g.pending[k].out.StartFlush();
    });
    parallel(Flushers(workers), [&](std::size_t k, unsigned worker) {
        if (g.Own(k) && !g.results[k] && !g.busy[k]) g.results[k] = On(worker).Finish(g.pending[k]);
    });
    for (std::size_t k = 0; k < g.Size(); ++k)
        if (g.busy[k]) g.results[k] = corrector_.ProcessFile(g.File(k));
}

void CorrectionRun::Settle(Group& g) {
    // The group's folders are flushed once, after its renames, before its results are told.
    std::vector<const os::Folder*> touched;
    const auto touch = [&](const os::Folder& folder) {
        for (const os::Folder* f : touched)
            if (f->Location() == folder.Location()) return;
        touched.push_back(&folder);
    };
    for (std::size_t k = 0; k < g.Size(); ++k) {
        if (g.twinOf[k] >= 0) {
            const auto twin = static_cast<std::size_t>(g.twinOf[k]);
            const Corrector::Pending& p = g.pending[twin];
            g.results[k] = g.results[twin]->Corrected() ? SecondName(g.File(k), p.file, p.target != p.file)
                                                        : corrector_.ProcessFile(g.File(k));
        } else if (g.earlier[k]) {
            const auto& [path, viaLink] = correctedNames_.at({g.identity[k].device, g.identity[k].inode});
            g.results[k] = SecondName(g.File(k), path, viaLink);
        } else if (g.results[k]->Corrected()) {
            // What the run corrected, by identity, for later names of the same file.
            const Corrector::Pending& p = g.pending[k];
            if (p.after.device + p.after.inode)
                correctedNames_.try_emplace({p.after.device, p.after.inode}, p.file, p.target != p.file);
            touch(p.folder);
            if (p.ownBackupFolder.IsOpen()) touch(p.ownBackupFolder);
        }
    }
    for (const os::Folder* folder : touched) folder->Flush();
}

ProcessResult CorrectionRun::SecondName(const fs::path& file, const fs::path& corrected, bool correctedViaLink) {
    // A symbolic link beside the file, or the file beside a link that led to
    // it, is reported as such; a second hard link is corrected now, and then
    // holds the corrected content.
    os::FileInfo name;
    if (correctedViaLink || (!os::Stat(file, name, false) && name.symlink)) {
        ProcessResult same;
        same.sameAs = corrected;
        return same;
    }
    return corrector_.ProcessFile(file);
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
    // workers' own files and the program's come first. A limit that lets one
    // file be corrected corrects every file, one at a time.
    constexpr std::size_t kHeldPerFile = 5, kProgramReserve = 16;
    const std::size_t budget = os::OpenFilesLeft();
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
