#include "engine/run/Run.h"

#include "platform/FileSystem.h"
#include "engine/run/Workers.h"

#include <algorithm>
#include <atomic>
#include <chrono>
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
    report.left = result.left;
    return report;
}

}  // namespace

bool RunSink::Listed(const fs::path&, std::size_t) { return true; }
bool RunSink::PathFailed(const Failure&) { return true; }
void RunSink::Read(std::uint64_t) {}
bool RunSink::Preview(const FileReport& report, const ShowCorrection&) { return File(report); }
bool RunSink::Review(const FileReport&, const ShowForReview&, OccurrenceChoice&) { return true; }
bool RunSink::Settled() { return true; }

// What became of one file, until it is told.
struct CorrectionRun::Slot {
    bool backup = false;
    CheckResult check;
    std::optional<ProcessResult> rewrite;  // set when the run tried to rewrite it
    OccurrenceChoice choice;               // review: which occurrences to replace
    std::optional<ProcessResult> shown;    // ...what showing it found (where it was shown)
    const fs::path* reviewedAs = nullptr;  // ...another name of a file reviewed before, reached by a link
};

namespace {

// The slot of a file the run does not take, and why.
CorrectionRun::Slot RefusedSlot(const Failure& why) {
    CorrectionRun::Slot slot;
    slot.check.failure = why;
    return slot;
}

}  // namespace

// The walk's batches taken and told.
class CorrectionRun::Visitor : public WalkVisitor {
public:
    Visitor(CorrectionRun& run, RunSink& sink) : run_(run), sink_(sink) {}
    void Visit(WalkBatch& batch) override {
        if (!batch.namedIn.empty()) run_.ScreenBackups(batch);
        run_.Take(batch, sink_);
    }
    bool PathFailed(const Failure& failure) override {
        if (!sink_.PathFailed(failure)) run_.stopped_.value = true;
        return !run_.stopped_.value;
    }
    bool Stopping() override { return run_.Stopping(); }

private:
    CorrectionRun& run_;
    RunSink& sink_;
};

// The run's workers and their correctors, for a group rewrite.
class CorrectionRun::Crew : public RewriteCrew {
public:
    explicit Crew(CorrectionRun& run) : run_(run) {}
    Corrector& On(unsigned worker) override { return run_.On(worker); }
    Corrector& Caller() override { return run_.corrector_; }
    void Parallel(std::size_t count, unsigned use, const Work& work) override {
        run_.Parallel(count, use, count, work, {});
    }
    unsigned Flushers(unsigned workers) override { return run_.Flushers(workers); }
    unsigned Workers() const override { return run_.workers_; }
    bool Stopping() override { return run_.Stopping(); }

private:
    CorrectionRun& run_;
};

CorrectionRun::CorrectionRun(Corrector corrector, std::vector<fs::path> paths, RunMode mode, unsigned workers,
                             FileSelection selection)
    : corrector_(std::move(corrector)),
      paths_(std::move(paths)),
      mode_(mode),
      workers_(workers ? workers : DefaultWorkers()),
      walker_(std::move(selection), corrector_.Backup()) {
    // Links to files found in folders are followed into the paths given.
    const FileSelection& chosen = walker_.Selection();
    LinkRule links;
    links.any = chosen.followFileLinks;
    std::vector<std::pair<fs::path, fs::path>> roots;  // (what a walk names files under)
    for (const fs::path& path : chosen.within.empty() ? paths_ : std::vector<fs::path>{chosen.within}) {
        std::error_code ec;
        if (fs::path root = fs::canonical(path, ec); !ec) {
            if (fs::is_directory(root, ec)) roots.emplace_back(path, root);
            links.roots.push_back(std::move(root));
        }
    }
    told_.Roots(std::move(roots));
    corrector_.FollowLinks(std::move(links));
}

CorrectionRun::~CorrectionRun() = default;
CorrectionRun::CorrectionRun(CorrectionRun&&) noexcept = default;
CorrectionRun& CorrectionRun::operator=(CorrectionRun&&) noexcept = default;

void CorrectionRun::Reset() {
    stopped_.value = false;
    lockDeadline_.reset();
    told_.Clear();
    reviewed_.clear();
}

bool CorrectionRun::Execute(RunSink& sink) {
    Reset();
    Visitor visitor(*this, sink);
    walker_.Walk(paths_, visitor);
    if (undo_ && walker_.HasNames()) undo_->Listed(walker_.NamesListed());
    if (undo_ && Stopping()) undo_->Stopped();
    if (undo_) undoFailure_ = undo_->Commit();
    if (!stopped_.value && !sink.Settled()) stopped_.value = true;
    return !stopped_.value;
}

void CorrectionRun::KeepUndo(std::shared_ptr<UndoKeeper> keeper) {
    undo_ = std::move(keeper);
    corrector_.KeepOriginals(undo_.get());
    copies_.clear();
    crew_.reset();
}

void CorrectionRun::ScreenBackups(WalkBatch& batch) {
    // X.bak named in an earlier batch, before X, and corrected: X's backup would take its place.
    const BackupPolicy& backup = corrector_.Backup();
    if (!backup.enabled || backup.extension.empty()) return;
    fs::path::string_type suffix(1, fs::path::value_type('.'));
    suffix += backup.extension;
    for (std::size_t k = 0; k < batch.Size(); ++k) {
        const FolderId& folder = batch.namedIn[k];
        if (!(folder.first + folder.second) || batch.refused[k]) continue;
        if (!walker_.Named(folder, batch.files[k]->filename().native() + suffix)) continue;
        const fs::path backupPath = BackupPathOf(*batch.files[k], backup);
        os::FileInfo id;
        if (!os::Stat(backupPath, id, false) && id.regular && told_.Has(id.device, id.inode))
            batch.refused[k] = Failure{FailureKind::BackupIsRunFile, *batch.files[k], {}, backupPath};
    }
}

void CorrectionRun::Take(WalkBatch& batch, RunSink& sink) {
    if (mode_ == RunMode::Correct || mode_ == RunMode::Review) CorrectAll(batch, sink);
    else CheckAll(batch, sink);
    Announce(batch, batch.Size(), sink);
}

void CorrectionRun::Announce(WalkBatch& batch, std::size_t upTo, RunSink& sink) {
    while (batch.announced < batch.folders.size() && batch.folders[batch.announced].first <= upTo) {
        const WalkBatch::Folder& folder = batch.folders[batch.announced++];
        if (stopped_.value) continue;
        const bool more =
            folder.listing.failure ? sink.PathFailed(*folder.listing.failure) : sink.Listed(folder.path, folder.taken);
        if (!more) stopped_.value = true;
    }
}

void CorrectionRun::ListAhead(WalkBatch& batch, std::size_t k) {
    if (!Stopping()) walker_.ListAhead(batch, k);
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
    if (!knownBackups_ || !knownBackups_->MayBe(file)) return false;
    const std::vector<MadeBackup> named = knownBackups_->Named(file.filename());
    if (named.empty()) return false;
    os::FileInfo id;
    const auto ec = place.folder ? place.folder->Stat(file.filename(), id, false) : os::Stat(file, id, false);
    if (ec || id.symlink) return false;
    std::lock_guard lock(knownBackupMutex_.value);
    for (const auto& [backup, over] : named) {
        auto [known, added] = knownBackupIds_.try_emplace(backup);
        if (added && os::Stat(backup, known->second, false)) known->second = {};
        if (known->second.regular && known->second.SameFileAs(id)) return true;
    }
    return false;
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
    sink.Read(check.size);
    bool more = true;
    if (slot.backup) {
        more = sink.File({file, FileOutcome::Backup});
    } else if (check.failure) {
        const bool skipped = check.failure->kind == FailureKind::LinkOutside ||
                             check.failure->kind == FailureKind::OwnRecord ||
                             check.failure->kind == FailureKind::TooLarge;
        more = sink.File(
            {file, skipped ? FileOutcome::Skipped : FileOutcome::Failed, FileVerdict::Unknown, &*check.failure});
    } else if (slot.rewrite) {
        more = TellRewritten(file, *slot.rewrite, sink);
    } else if (const std::optional<ToldFiles::Told> told = told_.As(check.device, check.inode);
               told && (told->name == file || told->viaLink || !check.target.empty())) {
        // Another name of a file told before, a link or through one: told once, as that file.
        if (told->name != file)
            more = sink.File({file, FileOutcome::SameFile, FileVerdict::ToCorrect, nullptr, {}, 0, &told->name});
    } else if (mode_ == RunMode::Review && slot.reviewedAs) {
        more = sink.File({file, FileOutcome::SameFile, FileVerdict::ToCorrect, nullptr, {}, 0, slot.reviewedAs});
    } else if (mode_ == RunMode::Review && slot.shown && slot.shown->failure) {
        // Gone or changed since it was checked: as showing it found.
        more = sink.File({file, FileOutcome::Failed, FileVerdict::Unknown, &*slot.shown->failure});
    } else if (mode_ == RunMode::Review && slot.shown && slot.shown->verdict != FileVerdict::ToCorrect) {
        more = sink.File({file, FileOutcome::Checked, slot.shown->verdict});
    } else if (mode_ == RunMode::Review && check.verdict == FileVerdict::ToCorrect) {
        // Reviewed, and none of its occurrences taken.
        FileReport report{file, FileOutcome::Left, check.verdict, nullptr, check.encodings};
        report.page = &check.page;
        report.left = slot.choice.taken.size();
        more = sink.File(report);
    } else if (mode_ != RunMode::Correct && check.verdict == FileVerdict::ToCorrect) {
        more = TellToCorrect(file, check, sink);
    } else {
        FileReport report{file, FileOutcome::Checked, check.verdict, nullptr, check.encodings};
        report.notUtf8 = check.notUtf8;
        report.page = &check.page;
        more = sink.File(report);
    }
    if (!more) stopped_.value = true;
}

bool CorrectionRun::ReviewInto(Slot& slot, const fs::path& file, RunSink& sink) {
    const CheckResult& check = slot.check;
    slot.choice = {};
    // A link to a file reviewed before (or the file a link reviewed before
    // led to) is that file: asked about once, told as another name of it.
    const auto id = std::pair{check.device, check.inode};
    if (const auto earlier = reviewed_.find(id);
        earlier != reviewed_.end() && (!check.target.empty() || earlier->second.second)) {
        slot.reviewedAs = &earlier->second.first;
        slot.choice.kind = OccurrenceChoice::Kind::None;
        return true;
    }
    if (check.device + check.inode) reviewed_.emplace(id, std::pair{file, !check.target.empty()});
    FileReport report{file, FileOutcome::Checked, check.verdict, nullptr, check.encodings};
    report.page = &check.page;
    const ShowForReview show = [&](OccurrenceChoice& shown, std::vector<ShownChange>* changes) {
        slot.shown = corrector_.Show(file, shown, changes);
        return *slot.shown;
    };
    return sink.Review(report, show, slot.choice);
}

bool CorrectionRun::TellToCorrect(const fs::path& file, const CheckResult& check, RunSink& sink) {
    // Changing nothing, a file to correct is told once whatever symbolic
    // links lead to it; reached through one, as its target, and the link
    // after it. (A second hard link of a file told is a file of its own: the
    // run corrects each name, the first one's correction leaving the others
    // as they were.)
    const fs::path targetName = check.target.empty() ? fs::path() : told_.TargetName(check.target);
    const fs::path& name = check.target.empty() ? file : targetName;
    told_.Add(check.device, check.inode, name, !check.target.empty());
    FileReport report{name, FileOutcome::Checked, check.verdict, nullptr, check.encodings};
    report.page = &check.page;
    const ShowCorrection show = [&](const Corrector::Keep& keep, const Corrector::Swap& swap) {
        return corrector_.Preview(file, keep, swap);
    };
    bool more = mode_ == RunMode::Preview ? sink.Preview(report, show) : sink.File(report);
    if (more && !check.target.empty() && name != file)
        more = sink.File({file, FileOutcome::SameFile, FileVerdict::ToCorrect, nullptr, {}, 0, &name});
    return more;
}

bool CorrectionRun::TellRewritten(const fs::path& file, const ProcessResult& result, RunSink& sink) {
    if (result.toldBefore) return true;
    if (!result.Corrected() || result.target.empty()) return sink.File(ReportOf(file, result));
    // Reached through a link: corrected as its target, told so, then the link as another name of it.
    const std::optional<ToldFiles::Told> told = told_.As(result.device, result.inode);
    const fs::path name = told ? told->name : told_.TargetName(result.target);
    const fs::path* same = told ? &told->name : &name;
    return sink.File(ReportOf(name, result)) &&
           sink.File({file, FileOutcome::SameFile, FileVerdict::ToCorrect, nullptr, {}, 0, same});
}

void CorrectionRun::Parallel(std::size_t count, unsigned use, std::size_t ahead, const WorkerPool::Work& work,
                             const WorkerPool::Deliver& deliver) {
    if (crew_ && use > 1) return crew_->Run(count, use, ahead, work, deliver);
    for (std::size_t i = 0; i < count; ++i) {
        work(i, 0);
        if (deliver) deliver(i);
    }
}

void CorrectionRun::CheckAll(WalkBatch& b, RunSink& sink) {
    // Files are checked on the workers and told in order, at most `ahead` of
    // them checked and not yet told; the folders listed ahead come first.
    const std::size_t lists = b.prefetch.size();
    const auto workers = static_cast<unsigned>(std::min<std::size_t>(Readers(b), lists + b.Size()));
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
            if (b.Refused(k)) slot = RefusedSlot(*b.refused[k]);
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

void CorrectionRun::CorrectAll(WalkBatch& b, RunSink& sink) {
    // A share of the files is checked, then those to correct in it are
    // rewritten group by group; each group's files are told, with those
    // before them, once the group is done.
    const auto workers = static_cast<unsigned>(std::min<std::size_t>(workers_, b.Size()));
    const auto readers = static_cast<unsigned>(std::min<std::size_t>(Readers(b), b.Size()));
    Hire(std::max({workers, readers, Flushers(workers)}));
    std::vector<Slot> slots;
    const std::size_t lists = b.prefetch.size();
    for (std::size_t first = 0; first < b.Size() && !Stopping(); first += kCheckChunk) {
        const std::size_t count = std::min(kCheckChunk, b.Size() - first), listing = first == 0 ? lists : 0;
        slots.clear();
        slots.resize(count);
        // What stopped runs left in these folders goes first, also where nothing is left to correct.
        for (std::size_t k = first; k < first + count && !Stopping(); ++k)
            if (!b.Refused(k)) TellStuck(corrector_.CleanFolderOf(*b.files[k], b.places[k]), *b.files[k], sink);
        Parallel(listing + count, readers, listing + count,
                 [&](std::size_t i, unsigned worker) {
                     if (i < listing) return ListAhead(b, i);
                     if (Stopping()) return;
                     const std::size_t k = first + i - listing;
                     if (b.Refused(k)) slots[i - listing] = RefusedSlot(*b.refused[k]);
                     else
                         CheckInto(slots[i - listing], *b.files[k], b.BackupsOf(k), b.places[k], worker,
                                   b.NamedBackup(k));
                 },
                 {});
        RewriteChunk(b, first, slots, workers, sink);
    }
}

void CorrectionRun::RewriteChunk(WalkBatch& b, std::size_t first, std::vector<Slot>& slots, unsigned workers,
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
    Crew crew(*this);
    // (A person's answers are written file by file: nothing answered waits on the next question.)
    const std::size_t groupSize = mode_ == RunMode::Review && sink.ReviewAsks() ? 1 : GroupSize();
    for (std::size_t from = 0; from < toCorrect.size() && !Stopping(); from += groupSize) {
        std::size_t end = std::min(from + groupSize, toCorrect.size());
        // Reviewed first, in order: the files whose occurrences are all left are not rewritten.
        bool stopAfter = false;
        std::vector<std::size_t> chosen;
        for (std::size_t k = from; k < end; ++k) {
            if (mode_ != RunMode::Review) {
                chosen.push_back(toCorrect[k]);
                continue;
            }
            Slot& slot = slots[toCorrect[k]];
            if (!ReviewInto(slot, *b.files[first + toCorrect[k]], sink)) {
                stopAfter = true;
                end = k;
                break;
            }
            // (Shown and no longer to correct, or failed: told as showing found it.)
            const bool stillToCorrect =
                !slot.shown || (!slot.shown->failure && slot.shown->verdict == FileVerdict::ToCorrect);
            if (slot.choice.Any() && stillToCorrect) chosen.push_back(toCorrect[k]);
        }
        std::vector<const fs::path*> names;
        std::vector<FilePlace> places;
        std::vector<const OccurrenceChoice*> choices;
        for (const std::size_t i : chosen) {
            names.push_back(b.files[first + i]);
            places.push_back(b.places[first + i]);
            choices.push_back(&slots[i].choice);
        }
        GroupRewrite group(std::move(names), std::move(places));
        group.Choose(choices);
        group.Run(crew, workers, told_, lockDeadline_);
        for (std::size_t k = 0; k < chosen.size(); ++k) slots[chosen[k]].rewrite = std::move(group.Result(k));
        if (stopAfter) {
            // Everything before the file the stop came at is told; nothing after it.
            tellUpTo(toCorrect[end]);
            stopped_.value = true;
            break;
        }
        tellUpTo(toCorrect[end - 1] + 1);
        if (!stopped_.value && !sink.Settled()) stopped_.value = true;
    }
    if (!stopped_.value) tellUpTo(slots.size());
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
    const std::size_t left = os::OpenFilesLeft(), budget = left - std::min(left, walker_.FoldersHeld());
    const std::size_t reserve = kProgramReserve + workers_;
    groupSize_ = std::clamp<std::size_t>(budget > reserve ? (budget - reserve) / kHeldPerFile : 1, 1, kRewriteGroup);
    return groupSize_;
}

unsigned CorrectionRun::Readers(const WalkBatch& b) {
    // Reading a file on a share mostly waits on the server: many files read
    // at once let their round trips overlap. (Asked of the batch's first
    // folder: a batch holds files of a few folders, next to each other.)
    const auto first = std::find_if(b.places.begin(), b.places.end(), [](const FilePlace& p) { return p.folder; });
    if (workers_ <= 1 || first == b.places.end() || !os::WaitsOnServer(*first->folder)) return workers_;
    return static_cast<unsigned>(std::min<std::size_t>(std::size_t{workers_} * kReadersPerCoreOnShares, GroupSize()));
}

unsigned CorrectionRun::Flushers(unsigned workers) {
    // Flushing mostly waits for the disk: more flushes at once let the file
    // system commit them together.
    const std::size_t size = GroupSize();
    workers = static_cast<unsigned>(std::min<std::size_t>(workers, size));
    return workers > 1 ? static_cast<unsigned>(std::min<std::size_t>(size, std::size_t{workers} * 8)) : 1;
}

}  // namespace tarnwick
