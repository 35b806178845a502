#include "engine/undo/RestoreRun.h"

#include "platform/DurableFile.h"
#include "engine/rewrite/FileCopy.h"
#include "engine/rewrite/FileLock.h"
#include "engine/rewrite/GroupRewrite.h"
#include "platform/FlushSites.h"
#include "platform/Leftovers.h"

#include "engine/run/Workers.h"

#include <atomic>
#include <chrono>
#include <numeric>

namespace tarnwick {

namespace fs = std::filesystem;

namespace {

// Each worker's buffer for reading and copying.
std::vector<char>& Buffer() {
    thread_local std::vector<char> buffer;
    return buffer;
}

}  // namespace

std::variant<RestoreRun, UndoRefusal> RestoreRun::Of(const UndoStore& store, const UndoRecord& target) {
    os::File hold;
    if (auto ec = UndoStore::Hold(target, hold)) {
        if (ec == std::errc::device_or_resource_busy) return UndoRefusal{UndoRefusal::Kind::Busy, target.id};
        return UndoRefusal{UndoRefusal::Kind::Unreadable, target.id};
    }
    auto files = RecordFiles::Open(target);
    if (!files) return UndoRefusal{UndoRefusal::Kind::Unreadable, target.id};
    UndoRecord mine;
    mine.undoes = target.id;
    mine.paths = target.paths;
    mine.roots = target.roots;
    auto keeper = UndoKeeper::Start(store, std::move(mine));
    if (auto* problem = std::get_if<UndoProblem>(&keeper))
        return UndoRefusal{UndoRefusal::Kind::OwnRecord, target.id, *problem};
    RestoreRun run(std::move(*files), std::get<std::shared_ptr<UndoKeeper>>(std::move(keeper)));
    run.hold_ = std::move(hold);
    // What undos of later runs put back: where one put back a copy (another
    // file, with a time of its own), the content this run wrote is known by it.
    for (const UndoRecord& r : store.Records()) {
        if (!r.IsUndo() || r.time < target.time || r.id == target.id) continue;
        auto later = RecordFiles::Open(r);
        for (UndoEntry e; later && later->Next(e);)
            if (e.writtenHash.size() == 64) run.placedLater_.emplace(e.path, e.written);
    }
    return run;
}

RestoreRun::RestoreRun(RecordFiles files, std::shared_ptr<UndoKeeper> keeper)
    : files_(std::move(files)), keeper_(std::move(keeper)) {}

const fs::path* RestoreRun::RootOf(const fs::path& path, std::size_t& depth) const {
    // The deepest folder the run was given.
    const fs::path* root = nullptr;
    depth = 0;
    for (const fs::path& r : Undone().roots) {
        const auto [end, at] = std::mismatch(r.begin(), r.end(), path.begin(), path.end());
        const auto parts = static_cast<std::size_t>(std::distance(r.begin(), r.end()));
        if (end == r.end() && (!root || parts > depth)) root = &r, depth = parts;
    }
    return root;
}

std::error_code RestoreRun::OpenFolder(const fs::path& path, os::Folder& folder) const {
    // Under the deepest folder the run was given, as the run reached it.
    std::size_t depth = 0;
    const fs::path* root = RootOf(path, depth);
    if (!root) return os::Folder::Open(path, folder);  // a file named: its folder as its path leads
    os::Folder at;
    if (auto ec = os::Folder::Open(*root, at)) return ec;
    {
        std::lock_guard lock(*mutex_);
        reached_.insert(*root);
    }
    for (auto part = std::next(path.begin(), static_cast<std::ptrdiff_t>(depth)); part != path.end(); ++part) {
        if (part->empty()) continue;
        os::Folder next;
        if (auto ec = at.OpenFolder(*part, next)) return ec;
        at = std::move(next);
    }
    folder = std::move(at);
    return {};
}

bool RestoreRun::OnShare(const fs::path& file) const {
    os::Folder folder;
    return !OpenFolder(file.parent_path(), folder) && os::WaitsOnServer(folder);
}

bool RestoreRun::RootLost(const fs::path& path) const {
    std::size_t depth = 0;
    const fs::path* root = RootOf(path, depth);
    {
        std::lock_guard lock(*mutex_);
        if (!root || !reached_.contains(*root)) return false;
    }
    os::Folder at;
    return static_cast<bool>(os::Folder::Open(*root, at));
}

void RestoreRun::Clean(const os::Folder& folder) {
    // What a stopped undo or correction left here goes, once a folder.
    os::FileInfo id;
    if (folder.Info(id)) return;
    {
        std::lock_guard lock(*mutex_);
        if (!cleaned_.insert({id.device, id.inode}).second) return;
    }
    CleanLeftovers(folder);
}

bool RestoreRun::Execute(RunSink& sink) {
    // The files a batch at a time, in the record's order, each on a worker of
    // its own: their flushes are in flight together, and each is told in order.
    constexpr std::size_t kBatch = 256;
    const unsigned workers = std::max(workers_, 1u);
    WorkerPool pool(workers);
    struct Done {
        bool begun = false;
        FileOutcome outcome = FileOutcome::Failed;
        Failure failure;
        std::optional<BackupLeft> backupLeft;
    };
    std::vector<UndoEntry> batch;
    std::vector<Done> done;
    std::atomic<bool> stopping{false};
    bool more = true;
    std::size_t restored = 0;
    lockDeadline_.reset();
    while (more) {
        batch.clear();
        for (UndoEntry entry; batch.size() < kBatch && files_.Next(entry);) batch.push_back(std::move(entry));
        if (batch.empty()) break;
        done.assign(batch.size(), {});
        // On a share, the batch's folders in turn (told in that order).
        std::vector<std::size_t> order(batch.size());
        std::iota(order.begin(), order.end(), std::size_t{0});
        if (OnShare(batch.front().path))
            order = FoldersInTurn(batch.size(), [&](std::size_t k) -> const fs::path& { return batch[k].path; });
        pool.Run(
            batch.size(), workers, batch.size(),
            [&](std::size_t i, unsigned) {
                if (stopping.load() || (stop_ && stop_->load())) return;
                const std::size_t k = order[i];
                Done& d = done[k];
                d.begun = true;
                d.outcome = Restore(batch[k], d.failure, d.backupLeft);
            },
            [&](std::size_t i) {
                // Every file begun is told, also past one a stop left unbegun.
                const std::size_t k = order[i];
                const Done& d = done[k];
                if (!d.begun) {
                    more = false;
                    return;
                }
                if (d.outcome == FileOutcome::Restored) ++restored;
                FileReport report{batch[k].path, d.outcome, FileVerdict::Unknown,
                                  d.outcome == FileOutcome::Failed ? &d.failure : nullptr};
                if (d.backupLeft) report.backupLeft = &d.backupLeft->path, report.backupLeftWhy = d.backupLeft->why;
                // (Also after the sink asked to stop: what was done is counted.)
                if (!(sink.File(report) && sink.Settled())) stopping = true, more = false;
            });
        if (stop_ && stop_->load()) more = false;
    }
    if (files_.Failed()) more = false;  // (the record could no longer be read: RecordUnreadable)
    // The folders where the run began to write and changed nothing: what a
    // stop left there goes too.
    for (const fs::path& path : Undone().folders) {
        if (!more) break;
        if (os::Folder folder; !OpenFolder(path, folder)) Clean(folder);
    }
    if (keeper_) {
        keeper_->SetRestored(restored);
        if (!more) keeper_->Stopped();
        if (auto ec = keeper_->Commit()) commitFailure_ = ec;
    }
    hold_.Close();
    return more;
}

std::error_code RestoreRun::OpenOriginal(const UndoEntry& entry, os::Folder& folder, fs::path& name, os::File& file,
                                         std::string& digest) {
    const fs::path path = entry.kept.empty() ? entry.backup : Undone().folder / entry.kept;
    name = path.filename();
    if (auto ec = os::Folder::Open(path.parent_path(), folder)) return ec;
    if (auto ec = folder.OpenRead(name, file, false)) return ec;
    // A backup may have been changed since; the kept original is checked too.
    std::string hash;
    os::FileInfo info;
    if (auto ec = file.Info(info)) return ec;
    if (auto ec = DigestOf(file, Undone().version, hash, Buffer())) return ec;
    if (!info.regular || info.size != entry.original.size || hash != entry.originalHash)
        return std::make_error_code(std::errc::invalid_argument);
    if (Undone().version == 2) digest = std::move(hash);
    else if (auto ec = DigestOf(file, 2, digest, Buffer())) return ec;
    return {};
}

std::optional<Failure> RestoreRun::PlaceOriginal(const UndoEntry& e, const os::Folder& folder, fs::path& temporary,
                                                 os::FileInfo& placed, std::string& digest) {
    os::Folder keptFolder;
    fs::path keptName;
    os::File original;
    if (auto ec = OpenOriginal(e, keptFolder, keptName, original, digest))
        return Failure{FailureKind::OriginalLost, e.path, ec, e.kept.empty() ? e.backup : Undone().folder / e.kept};
    // A second name of the original kept in the record (the correction
    // flushed it), with the access the record names, whatever was done to it
    // since; never a second name of a backup, which the user sees and may
    // edit. Else a flushed copy (also where files opened for reading cannot
    // be flushed).
    if (!e.kept.empty() && os::ReadFilesFlushable() && !folder.LinkFrom(keptFolder, keptName, temporary)) {
        os::File linked;
        if (!folder.OpenRead(temporary, linked, false) && !linked.CopyAccessFrom(e.original) && !linked.Info(placed) &&
            placed.size == e.original.size)
            return std::nullopt;
    }
    folder.Remove(temporary);
    temporary = os::TemporaryFileName();  // (the name removed may outlive it while the original is open)
    if (auto ec = CopyInto(original, e.original.size, e.original, folder, temporary, Buffer()))
        return Failure{FailureKind::CreateTemporary, e.path, ec};
    if (auto ec = folder.Stat(temporary, placed)) return Failure{FailureKind::CreateTemporary, e.path, ec};
    return std::nullopt;
}

FileOutcome RestoreRun::Restore(const UndoEntry& e, Failure& failure, std::optional<BackupLeft>& backupLeft) {
    const auto failed = [&](FailureKind kind, std::error_code ec, fs::path other = {}) {
        failure = Failure{kind, e.path, ec, std::move(other)};
        return FileOutcome::Failed;
    };
    const fs::path name = e.path.filename();
    os::Folder folder;
    if (auto ec = OpenFolder(e.path.parent_path(), folder)) {
        // Its folder is gone (moved away) or a link stands in its place: the
        // file is no longer where the run left it.
        // Not where the folder the run was given went away while this undo
        // went on (a share unmounted as its connection dropped): another
        // undo, once it is back, finds the file as it is.
        if ((ec == std::errc::no_such_file_or_directory || ec == std::errc::not_a_directory ||
             ec == std::errc::too_many_symbolic_link_levels) &&
            !RootLost(e.path))
            return FileOutcome::Changed;
        return failed(FailureKind::Open, ec);
    }
    Clean(folder);
    // Never through a path that now leads elsewhere: the entry itself, no link.
    os::FileInfo entry;
    if (auto ec = folder.Stat(name, entry)) {
        if (ec == std::errc::no_such_file_or_directory) return FileOutcome::Changed;
        return failed(FailureKind::Open, ec);
    }
    if (entry.symlink || !entry.regular) return FileOutcome::Changed;
    // Another file than the one the run wrote is read only where it may be
    // the original put back already (an undo stopped half-way), what it
    // wrote put back by the undo of a later run, or what it wrote under
    // another number (a file system that numbers its files anew, as FUSE
    // does after a remount): its content then decides.
    if (!entry.SameFileAs(e.written) && entry.size != e.original.size && !entry.SameSizeAndTimeAs(e.written) &&
        !PlacedLater(e.path, entry))
        return FileOutcome::Changed;
    os::File in;
    os::FileInfo now;
    if (auto ec = folder.OpenRead(name, in, false)) {
        if (ec == std::errc::too_many_symbolic_link_levels) return FileOutcome::Changed;
        return failed(FailureKind::Open, ec);
    }
    if (auto ec = in.Info(now)) return failed(FailureKind::Open, ec);
    if (!now.SameFileAs(entry)) return FileOutcome::Changed;
    // Files other runs hold are waited for together: one deadline for the whole undo.
    bool locked = in.TryLock();
    if (!locked) {
        const auto start = std::chrono::steady_clock::now();
        std::chrono::steady_clock::time_point deadline;
        {
            std::lock_guard lock(*mutex_);
            if (!lockDeadline_) lockDeadline_ = start + lockWait_;
            deadline = *lockDeadline_;
        }
        const auto left = std::max(deadline - start, std::chrono::steady_clock::duration{});
        locked = LockWaiting(in, std::chrono::duration_cast<std::chrono::milliseconds>(left), stop_);
    }
    if (!locked) {
        const std::uint64_t holder = in.LockHolder();
        failure = Failure{FailureKind::Busy, e.path, {}, {}, holder ? std::to_string(holder) : std::string()};
        return FileOutcome::Failed;
    }
    std::string hash;
    if (auto ec = DigestOf(in, Undone().version, hash, Buffer())) return failed(FailureKind::Read, ec);
    // What the run wrote: the same version, or one of its size and time with its content.
    if (!(now.SameVersionAs(e.written) || now.SameSizeAndTimeAs(e.written) || PlacedLater(e.path, now)) ||
        hash != e.writtenHash) {
        // Put back before (an undo that was stopped half-way): nothing to do
        // but what that undo may not have come to, the backup copy.
        if (now.size == e.original.size && hash == e.originalHash) {
            in.Close();
            if (!e.madeBackup.empty() && !e.madeBackupOver) backupLeft = RemoveBackup(e, std::nullopt);
            return FileOutcome::Restored;
        }
        return FileOutcome::Changed;
    }
    // A folder or file that may not be replaced (append-only, immutable):
    // refused before anything is made there that could not be removed.
    if (auto ec = folder.CheckReplaceable(in, now)) return failed(FailureKind::NotReplaceable, ec);
    return Replace(e, folder, TemporaryNameFor(e.path.filename()), in, now, failure, backupLeft);
}

FileOutcome RestoreRun::Replace(const UndoEntry& e, const os::Folder& folder, fs::path temporary, os::File& in,
                                const os::FileInfo& now, Failure& failure, std::optional<BackupLeft>& backupLeft) {
    const fs::path name = e.path.filename();
    os::FileInfo placed;
    std::string placedDigest, nowDigest;
    if (auto wrong = PlaceOriginal(e, folder, temporary, placed, placedDigest)) {
        failure = std::move(*wrong);
        return FileOutcome::Failed;
    }
    DurableFile original;  // on disk under its temporary name: placed or, failing that, removed
    original.Adopt(folder, temporary);
    // What is replaced is kept in this run's record, so the undo can be undone.
    std::optional<std::size_t> kept;
    std::optional<fs::path> remade;  // a redo: the backup copy the undo removed, made again
    if (keeper_ && !DigestOf(in, 2, nowDigest, Buffer()))
        kept = keeper_->Keep({e.path, folder, name, now, nowDigest, in, {}, now.links > 1}, placed, placedDigest,
                             Buffer());
    // The file being replaced under a second name for the moment: a write
    // that lands in it after the check below can still be put back.
    fs::path hold = os::TemporaryFileName();
    if (!os::OpenFilesReplaceable(folder) || folder.LinkFrom(folder, name, hold)) hold.clear();
    const auto unmake = [&] {
        if (os::Folder at; remade && !OpenFolder(remade->parent_path(), at)) at.Remove(remade->filename());
    };
    const auto giveUp = [&] {
        original.Abandon();
        if (!hold.empty()) folder.Remove(hold);
        if (kept) keeper_->Forget(*kept);
        unmake();
    };
    // Each made line before the file's done line, so that a record cut there holds it.
    // (`known`: whether the file system surely took the original; where not,
    // the name tells no time and the run's backup copy stays.)
    const auto done = [&](bool known = true) {
        if (!kept) return;
        keeper_->Replaced(*kept, known ? &folder : nullptr, name);
        if (remade) keeper_->BackupMade(*kept, *remade);
        if (known && !e.madeBackup.empty() && !e.madeBackupOver) backupLeft = RemoveBackup(e, kept);
        keeper_->Confirm(*kept);
    };
    // A write since the check: the file stays as it is now.
    os::FileInfo byHandle, byName;
    std::error_code ec = in.Info(byHandle);
    if (!ec) ec = folder.Stat(name, byName);
    if (ec && ec != std::errc::no_such_file_or_directory) {
        giveUp();
        failure = Failure{FailureKind::Recheck, e.path, ec};  // (a share that stopped answering)
        return FileOutcome::Failed;
    }
    if (ec || !byHandle.SameVersionAs(now) || !byName.SameVersionAs(now)) {
        giveUp();
        return FileOutcome::Changed;
    }
    if (!e.removedBackup.empty()) remade = RemakeBackup(e, in, now);
    if (!os::OpenFilesReplaceable(folder)) in.Close();
    if (auto ec = original.Place(name, DurableFile::Into::Replace)) {
        failure = Failure{FailureKind::PutBack, e.path, ec};
        failure.outcomeUnknown = os::OutcomeUnknown(ec);
        if (!failure.outcomeUnknown) {
            giveUp();
            return FileOutcome::Failed;
        }
        // The share may have taken it before it stopped answering: what was
        // replaced stays in this undo's record and the run's backup copy
        // stays; another undo tells by the content which the file holds.
        original.Abandon();
        if (!hold.empty()) folder.Remove(hold);
        done(false);
        return FileOutcome::Failed;
    }
    if (os::FileInfo late; in.IsOpen() && !in.Info(late) && !late.SameVersionAs(now)) {
        // Written to just as it was replaced: that content goes back under
        // its name, and the file is as changed as if the write came first.
        if (!hold.empty() && !folder.Rename(hold, name)) {
            if (kept) keeper_->Forget(*kept);
            unmake();
            return FileOutcome::Changed;
        }
        // No second name could be had (no hard links here): the original stays, without that write.
        if (!hold.empty()) folder.Remove(hold);
        done();
        failure = Failure{FailureKind::Changed, e.path};
        failure.late = Failure::Late::Restored;
        return FileOutcome::Failed;
    }
    if (!hold.empty()) folder.Remove(hold);
    FlushAt(FlushSite::RestoredFolder, folder);
    done();
    if (!kept && !e.madeBackup.empty() && !e.madeBackupOver) backupLeft = RemoveBackup(e, std::nullopt);
    return FileOutcome::Restored;
}

bool RestoreRun::PlacedLater(const fs::path& path, const os::FileInfo& file) const {
    const auto [first, last] = placedLater_.equal_range(path);
    return std::any_of(first, last, [&](const auto& placed) { return placed.second.SameVersionAs(file); });
}

std::optional<RestoreRun::BackupLeft> RestoreRun::RemoveBackup(const UndoEntry& e, std::optional<std::size_t> token) {
    os::Folder folder;
    const fs::path name = e.madeBackup.filename();
    const auto gone = [](std::error_code ec) {
        return ec == std::errc::no_such_file_or_directory || ec == std::errc::not_a_directory;
    };
    const auto stays = [&](std::error_code why) { return std::optional<BackupLeft>{BackupLeft{e.madeBackup, why}}; };
    os::FileInfo info, now;
    // Gone already, with its folder or alone: nothing to do.
    if (auto ec = OpenFolder(e.madeBackup.parent_path(), folder))
        return gone(ec) ? std::optional<BackupLeft>() : stays(ec);
    if (auto ec = folder.Stat(name, info, false)) return gone(ec) ? std::optional<BackupLeft>() : stays(ec);
    if (info.symlink || !info.regular || info.size != e.original.size) return stays({});
    os::File in;
    if (auto ec = folder.OpenRead(name, in, false)) return stays(ec);
    if (auto ec = in.Info(now)) return stays(ec);
    if (!now.SameVersionAs(info)) return stays({});
    std::string hash;
    if (auto ec = DigestOf(in, Undone().version, hash, Buffer())) return stays(ec);
    if (hash != e.originalHash) return stays({});
    in.Close();  // (Windows removes no open file at once)
    if (auto ec = folder.Remove(name)) return stays(ec);
    if (token) keeper_->BackupRemoved(*token, e.madeBackup);
    return std::nullopt;
}

std::optional<fs::path> RestoreRun::RemakeBackup(const UndoEntry& e, os::File& in, const os::FileInfo& now) {
    os::Folder folder;
    const fs::path temporary = os::TemporaryFileName();
    if (OpenFolder(e.removedBackup.parent_path(), folder) || CopyInto(in, now.size, now, folder, temporary, Buffer()))
        return std::nullopt;
    if (folder.RenameNoReplace(temporary, e.removedBackup.filename())) {
        folder.Remove(temporary);  // (something stands there now: it stays)
        return std::nullopt;
    }
    return e.removedBackup;
}

}  // namespace tarnwick
