#include "engine/undo/RecordFile.h"
#include "engine/undo/Undo.h"

#include "engine/content/ContentHash.h"
#include "engine/rewrite/FileCopy.h"
#include "platform/Digest.h"
#include "platform/DurableFile.h"
#include "platform/FlushSites.h"

#include <algorithm>
#include <ctime>

namespace tarnwick {

namespace fs = std::filesystem;
using namespace record;

std::error_code DigestOf(os::File& file, int version, std::string& digest, std::vector<char>& buffer) {
    constexpr std::size_t kReadSize = std::size_t{1} << 16;
    os::Sha256 sha;
    ContentHash fast;
    const auto ec = ReadFromStart(file, buffer, kReadSize, [&](const char* data, std::size_t size) {
        if (version == 1) fast.Add(data, size);
        else sha.Add(data, size);
        return true;
    });
    if (ec) return ec;
    digest = version == 1 ? std::to_string(fast.Value()) : sha.Hex();
    return {};
}

std::variant<std::shared_ptr<UndoKeeper>, UndoProblem> UndoKeeper::Start(const UndoStore& store, UndoRecord record,
                                                                         UndoBudget budget) {
    std::vector<UndoRecord> older = store.Records();
    auto backupsMade = std::make_shared<MadeBackups>(older);
    std::reverse(older.begin(), older.end());  // oldest first
    // The run an undo puts back is never made room for: its originals are in
    // use. They still count: an undo keeps what it replaces within the budget too.
    std::uint64_t undone = 0;
    std::erase_if(older, [&](const UndoRecord& r) {
        const bool it = !record.undoes.empty() && r.id == record.undoes;
        if (it) undone = r.keptBytes;
        return it;
    });
    record.id = NewRecordFolder(store.Folder());
    if (record.id.empty()) return UndoProblem{UndoProblem::Kind::NoRecordFolder, store.Folder()};
    std::uint64_t used = undone;
    for (const UndoRecord& r : older) used += r.keptBytes;
    record.folder = store.Folder() / record.id;
    record.time = static_cast<std::int64_t>(std::time(nullptr));
    record.version = kVersion;
    std::shared_ptr<UndoKeeper> keeper(new UndoKeeper(std::move(record), budget, used, std::move(older)));
    // Room for this run among the runs kept.
    keeper->RemoveOlder([&] { return keeper->older_.size() + 1 > budget.most; }, false);
    keeper->backupsMadeBefore_ = std::move(backupsMade);
    // The record is written as the run goes, under another name until it is
    // complete, held so that no one completes it while the run lives.
    const auto failed = [&](std::error_code ec) {
        return UndoProblem{UndoProblem::Kind::RecordNotWritten, keeper->record_.folder, ec};
    };
    if (auto ec = os::Folder::Open(keeper->record_.folder, keeper->folder_)) return failed(ec);
    if (os::FileInfo info; !keeper->folder_.Info(info)) keeper->device_ = info.device;
    if (auto ec = keeper->out_.CreateAs(keeper->folder_, kFreshName)) return failed(ec);
    keeper->out_.Out().TryLock();
    const std::string header = HeaderText(keeper->record_);
    if (auto ec = keeper->out_.Out().WriteAll(header.data(), header.size())) return failed(ec);
    return keeper;
}

UndoKeeper::UndoKeeper(UndoRecord record, UndoBudget budget, std::uint64_t used, std::vector<UndoRecord> older)
    : record_(std::move(record)), budget_(budget), used_(used), older_(std::move(older)) {}

UndoKeeper::~UndoKeeper() {
    out_.Release();  // a record never ended stays, for the next look at the store to complete
}

bool UndoKeeper::MakeRoom(std::uint64_t size) {
    // What could never fit, even with every older record gone, takes nobody's
    // room: this run's own originals stay.
    std::uint64_t older = 0;
    for (const UndoRecord& r : older_) older += r.keptBytes;
    const std::uint64_t own = used_ - std::min(used_, older);
    if (size > budget_.bytes || own + size > budget_.bytes) return false;
    RemoveOlder([&] { return used_ + size > budget_.bytes; }, true);
    return used_ + size <= budget_.bytes;
}

void UndoKeeper::RemoveOlder(const std::function<bool()>& more, bool evenKeptLongest) {
    // The last runs and the young ones are kept longest; a record another
    // process holds (an undo of it under way) stays.
    const auto now = static_cast<std::int64_t>(std::time(nullptr));
    const std::size_t last = budget_.runs > 0 ? budget_.runs - 1 : 0;  // (this run is one of them)
    std::set<std::string> keptLongest;
    for (std::size_t i = 0; i < older_.size(); ++i)
        if (i + last >= older_.size() || now - older_[i].time < budget_.young) keptLongest.insert(older_[i].id);
    for (const bool longest : {false, true})
        for (auto it = older_.begin(); it != older_.end() && more() && (!longest || evenKeptLongest);) {
            if (keptLongest.count(it->id) != static_cast<std::size_t>(longest) || !RemoveRecord(it->folder)) {
                ++it;
                continue;
            }
            used_ -= std::min(used_, it->keptBytes);
            it = older_.erase(it);
        }
}

std::error_code UndoKeeper::KeepInFolder(const Original& o, fs::path& name, std::vector<char>& buffer, CopyStep& step,
                                         bool& linked) {
    // A second name of the very file that was read, where no other name of it
    // could change it (and it is on the record's file system); else a copy.
    os::FileInfo made;
    if (o.copy) return CopyInto(o.in, o.before.size, o.before, folder_, name, buffer, &step);
    if (!folder_.LinkFrom(o.folder, o.name, name) && !folder_.Stat(name, made) && made.SameFileAs(o.before))
        return linked = true, std::error_code();
    // The copy under a name of its own: a name made that is not the file
    // read may outlive its removal while that file is open (Wine across drives).
    folder_.Remove(name);
    name += "c";
    return CopyInto(o.in, o.before.size, o.before, folder_, name, buffer, &step);
}

std::optional<std::size_t> UndoKeeper::Keep(const Original& o, const os::FileInfo& written,
                                            const std::string& writtenHash, std::vector<char>& buffer) {
    Held held;
    UndoEntry& entry = held.entry;
    entry.path = o.file;
    entry.original = o.before;
    entry.originalHash = o.hash;
    entry.written = written;
    entry.writtenHash = writtenHash;
    entry.madeBackup = o.backup;
    entry.madeBackupOver = o.backupOver;
    bool room = false;
    {
        std::lock_guard lock(mutex_);
        room = MakeRoom(DiskBytes(o.before.size));
        if (room) used_ += DiskBytes(o.before.size);
        entry.token = ++counter_;
    }
    std::string keptName = std::to_string(entry.token);
    keptName.insert(keptName.begin(), 'f');  // (GCC 12 warns wrongly about "f" + to_string)
    entry.kept = keptName;
    LostOriginal lost{o.file, {}};
    if (room) lost.code = KeepInFolder(o, entry.kept, buffer, lost.step, held.linked);
    std::lock_guard lock(mutex_);
    if (!room || lost.code) {
        if (room) used_ -= DiskBytes(o.before.size);
        entry.kept.clear();
        if (o.backup.empty()) {
            notUndoable_.push_back(std::move(lost));
            Append(LostLine(o.file));
            return std::nullopt;
        }
        entry.backup = o.backup;  // (checked by its digest when it is used)
    }
    Append(EntryLine(entry));
    const std::size_t token = entry.token;
    held_.emplace(token, std::move(held));
    return token;
}

bool UndoKeeper::OriginalIsLink(std::size_t kept) const {
    std::lock_guard lock(mutex_);
    const auto found = held_.find(kept);
    return found != held_.end() && found->second.linked;
}

bool UndoKeeper::LinkOriginal(std::size_t kept, const os::Folder& folder, const fs::path& name) const {
    fs::path keptName;
    {
        std::lock_guard lock(mutex_);
        const auto found = held_.find(kept);
        if (found == held_.end() || !found->second.linked) return false;
        keptName = found->second.entry.kept;
    }
    return !folder.LinkFrom(folder_, keptName, name);
}

void UndoKeeper::Began(const fs::path& folder) {
    std::lock_guard lock(mutex_);
    if (began_.insert(folder).second) Append(FolderLine(folder));
}

void UndoKeeper::Replaced(std::size_t kept, const os::Folder* folder, const fs::path& name) {
    std::optional<std::int64_t> placedTime;
    if (folder && !os::OpenFilesReplaceable(*folder)) {
        std::int64_t written = 0;
        {
            std::lock_guard lock(mutex_);
            written = held_.at(kept).entry.written.modifiedNs;
        }
        // (Another program's write since has another content: an undo tells it by the digest.)
        if (os::FileInfo placed; !folder->Stat(name, placed, false) && placed.modifiedNs != written)
            placedTime = placed.modifiedNs;
    }
    std::lock_guard lock(mutex_);
    Held& held = held_.at(kept);
    held.replaced = true;
    held.placedTime = placedTime;
}

void UndoKeeper::Confirm(std::size_t kept) {
    std::lock_guard lock(mutex_);
    const auto found = held_.find(kept);
    if (found == held_.end()) return;
    if (found->second.replaced) {
        const auto& time = found->second.placedTime;
        Append("done " + std::to_string(kept) + (time ? " " + std::to_string(*time) : std::string()) + "\n");
        ++files_;
    }
    held_.erase(found);
}

void UndoKeeper::BackupRemoved(std::size_t kept, const fs::path& backup) {
    std::lock_guard lock(mutex_);
    Append(RemovedLine(kept, backup));
}

void UndoKeeper::BackupMade(std::size_t kept, const fs::path& backup) {
    std::lock_guard lock(mutex_);
    Append(MadeLine(kept, backup));
}

void UndoKeeper::Forget(std::size_t kept) {
    std::lock_guard lock(mutex_);
    const auto found = held_.find(kept);
    if (found == held_.end()) return;
    const UndoEntry& e = found->second.entry;
    Append("drop " + std::to_string(kept) + "\n");
    if (!e.kept.empty()) {
        folder_.Remove(e.kept);
        used_ -= std::min(used_, DiskBytes(e.original.size));
    }
    held_.erase(found);
}

void UndoKeeper::Append(const std::string& line) {
    if (!writeFailure_) writeFailure_ = out_.Out().WriteAll(line.data(), line.size());
}

std::error_code UndoKeeper::Commit() {
    std::vector<std::size_t> left;
    {
        std::lock_guard lock(mutex_);
        for (const auto& [token, held] : held_) left.push_back(token);
    }
    for (const std::size_t token : left) {
        const bool replaced = [&] {
            std::lock_guard lock(mutex_);
            return held_.at(token).replaced;
        }();
        replaced ? Confirm(token) : Forget(token);
    }
    std::lock_guard lock(mutex_);
    if (files_ == 0 && !record_.IsUndo()) {
        // Nothing was changed: nothing to undo. (On Windows an open folder cannot be removed.)
        out_.Release();
        folder_ = os::Folder();
        RemoveFolder(record_.folder);
        return {};
    }
    // Complete, flushed, then named: a record is whole or absent.
    std::error_code ec = writeFailure_;
    const std::string end = (record_.IsUndo() ? "restored " + std::to_string(record_.restored) + "\n" : "") +
                            (record_.list.empty() ? "" : "listed " + std::to_string(record_.listed) + "\n") +
                            (record_.completed ? "stopped\n" : "") + "end\n";
    if (!ec) ec = out_.Out().WriteAll(end.data(), end.size());
    if (!ec) ec = out_.Seal(FlushSite::RecordData);
    if (!ec) ec = out_.Place(kRecordName);
    if (ec) {
        out_.Release();  // (left unended: the next look at the store completes it)
        return ec;
    }
    FlushAt(FlushSite::RecordFolder, folder_);
    // The record folder's own name, given when the run began.
    if (os::Folder store; !os::Folder::Open(record_.folder.parent_path(), store))
        FlushAt(FlushSite::RecordStore, store);
    folder_.Remove(kProcessName);
    record_.fileCount = files_;
    written_ = true;
    ReadRecord(record_.folder);  // (its summary written, for the next runs' starts)
    return {};
}

std::vector<LostOriginal> UndoKeeper::NotUndoable() const {
    std::lock_guard lock(mutex_);
    return notUndoable_;
}

}  // namespace tarnwick
