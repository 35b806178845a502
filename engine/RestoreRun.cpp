#include "RestoreRun.h"

#include "ContentHash.h"
#include "FileCopy.h"
#include "FlushSites.h"

#include <chrono>

namespace tarnwick {

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kReadSize = std::size_t{1} << 16;
constexpr std::chrono::milliseconds kLockWait{Corrector::kLockWaitMs};  // as long as a correction waits

// The hash of the whole open file, read from its start.
std::error_code HashOf(os::File& file, std::uint64_t& hash, std::vector<char>& buffer) {
    if (auto ec = file.Rewind()) return ec;
    buffer.resize(std::max(buffer.size(), kReadSize));
    ContentHash h;
    for (;;) {
        std::size_t got = 0;
        if (auto ec = file.Read(buffer.data(), buffer.size(), got)) return ec;
        if (got == 0) break;
        h.Add(buffer.data(), got);
    }
    hash = h.Value();
    return {};
}

}  // namespace

std::variant<RestoreRun, UndoRefusal> RestoreRun::Of(const UndoStore& store, const UndoRecord& target) {
    auto whole = UndoStore::Load(target);
    if (!whole) return UndoRefusal{true, {}};
    UndoRecord mine;
    mine.undoes = target.id;
    mine.paths = target.paths;
    auto keeper = UndoKeeper::Start(store, std::move(mine));
    if (auto* why = std::get_if<std::string>(&keeper)) return UndoRefusal{false, std::move(*why)};
    return RestoreRun(std::move(*whole), std::get<std::shared_ptr<UndoKeeper>>(std::move(keeper)));
}

RestoreRun::RestoreRun(UndoRecord record, std::shared_ptr<UndoKeeper> keeper)
    : record_(std::move(record)), keeper_(std::move(keeper)) {}

bool RestoreRun::Execute(RunSink& sink) {
    bool more = true;
    std::size_t restored = 0;
    for (const UndoEntry& entry : record_.files) {
        Failure failure;
        const FileOutcome outcome = Restore(entry, failure);
        if (outcome == FileOutcome::Restored) ++restored;
        more = sink.File(
                   {entry.path, outcome, FileVerdict::Unknown, outcome == FileOutcome::Failed ? &failure : nullptr}) &&
               sink.Settled();
        if (!more) break;
    }
    if (keeper_) {
        keeper_->SetRestored(restored);
        if (auto ec = keeper_->Commit()) commitFailure_ = ec;
    }
    return more;
}

std::error_code RestoreRun::OpenOriginal(const UndoEntry& entry, os::Folder& folder, fs::path& name, os::File& file) {
    const fs::path path = entry.kept.empty() ? entry.backup : record_.folder / entry.kept;
    name = path.filename();
    if (auto ec = os::Folder::Open(path.parent_path(), folder)) return ec;
    if (auto ec = os::File::OpenRead(path, file)) return ec;
    // A backup may have been changed since; the kept original is checked too.
    std::uint64_t hash = 0;
    os::FileInfo info;
    if (auto ec = file.Info(info)) return ec;
    if (auto ec = HashOf(file, hash, buffer_)) return ec;
    if (!info.regular || info.size != entry.original.size || hash != entry.originalHash)
        return std::make_error_code(std::errc::invalid_argument);
    return {};
}

std::optional<Failure> RestoreRun::PlaceOriginal(const UndoEntry& e, const os::Folder& folder,
                                                 const fs::path& temporary) {
    // A second name of the original kept, where that is on this file system,
    // else a flushed copy.
    os::Folder keptFolder;
    fs::path keptName;
    os::File original;
    if (auto ec = OpenOriginal(e, keptFolder, keptName, original))
        return Failure{FailureKind::OriginalLost, e.path, ec, e.kept.empty() ? e.backup : record_.folder / e.kept};
    // The correction flushed the file before keeping it (a backup, a file an
    // undo replaced, a copy: flushed too), except where files opened for
    // reading cannot be flushed: there a flushed copy takes the name.
    os::FileInfo placed;
    if (os::ReadFilesFlushable() && !folder.LinkFrom(keptFolder, keptName, temporary) &&
        !folder.Stat(temporary, placed) && placed.size == e.original.size)
        return std::nullopt;
    folder.Remove(temporary);
    if (auto ec = CopyInto(original, e.original.size, e.original, folder, temporary, buffer_))
        return Failure{FailureKind::CreateTemporary, e.path, ec};
    return std::nullopt;
}

FileOutcome RestoreRun::Restore(const UndoEntry& e, Failure& failure) {
    const auto failed = [&](FailureKind kind, std::error_code ec, fs::path other = {}) {
        failure = Failure{kind, e.path, ec, std::move(other)};
        return FileOutcome::Failed;
    };
    const fs::path name = e.path.filename();
    os::Folder folder;
    if (auto ec = os::Folder::Open(e.path.parent_path(), folder)) return failed(FailureKind::Open, ec);
    // Never through a path that now leads elsewhere: the entry itself, no link.
    os::FileInfo entry;
    if (auto ec = folder.Stat(name, entry)) {
        if (ec == std::errc::no_such_file_or_directory) return FileOutcome::Changed;
        return failed(FailureKind::Open, ec);
    }
    if (entry.symlink || !entry.regular) return FileOutcome::Changed;
    os::File in;
    os::FileInfo now;
    if (auto ec = os::File::OpenRead(e.path, in)) return failed(FailureKind::Open, ec);
    if (auto ec = in.Info(now)) return failed(FailureKind::Open, ec);
    if (!now.SameFileAs(entry)) return FileOutcome::Changed;
    if (!LockWaiting(in, kLockWait)) return failed(FailureKind::Busy, {});
    std::uint64_t hash = 0;
    if (auto ec = HashOf(in, hash, buffer_)) return failed(FailureKind::Read, ec);
    if (!now.SameVersionAs(e.written) || hash != e.writtenHash) {
        // Put back before (an undo that was stopped half-way): nothing to do.
        if (now.size == e.original.size && hash == e.originalHash) return FileOutcome::Restored;
        return FileOutcome::Changed;
    }
    const fs::path temporary = os::TemporaryFileName();
    if (auto placed = PlaceOriginal(e, folder, temporary)) {
        failure = std::move(*placed);
        return FileOutcome::Failed;
    }
    // What is replaced is kept in this run's record, so the undo can be undone.
    std::optional<std::size_t> kept;
    if (keeper_) kept = keeper_->Keep(e.path, folder, name, now, hash, in, {}, buffer_);
    const auto giveUp = [&] {
        folder.Remove(temporary);
        if (kept) keeper_->Forget(*kept);
    };
    // A write since the check: the file stays as it is now.
    os::FileInfo byHandle, byName;
    if (in.Info(byHandle) || folder.Stat(name, byName) || !byHandle.SameVersionAs(now) || !byName.SameVersionAs(now)) {
        giveUp();
        return FileOutcome::Changed;
    }
    if (!os::OpenFilesReplaceable()) in.Close();
    if (auto ec = folder.Replace(temporary, name)) {
        giveUp();
        return failed(FailureKind::Replace, ec);
    }
    FlushAt(FlushSite::RestoredFolder, folder);
    os::FileInfo restored;
    if (kept && !folder.Stat(name, restored)) {
        keeper_->Replaced(*kept, restored, e.originalHash);
        keeper_->Confirm(*kept);
    }
    return FileOutcome::Restored;
}

}  // namespace tarnwick
