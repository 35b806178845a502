#include "engine/undo/RecordFile.h"
#include "engine/undo/Undo.h"

#include "platform/CodePage.h"
#include "platform/FileSystem.h"

#include <algorithm>

namespace tarnwick {

namespace fs = std::filesystem;
using namespace record;

fs::path UndoStore::DefaultFolder() {
    const fs::path state = os::UserStateFolder("tarnwick");
    return state.empty() ? fs::path() : state / "undo";
}

std::variant<UndoStore, UndoProblem> UndoStore::Open(const fs::path& folder) {
    if (folder.empty()) return UndoProblem{UndoProblem::Kind::NoFolder};
    os::Privacy why = os::Privacy::Private;
    if (auto ec = os::MakePrivateFolder(folder, why)) {
        if (why == os::Privacy::Private) return UndoProblem{UndoProblem::Kind::StoreNotMade, folder, ec};
        return UndoProblem{UndoProblem::Kind::NotPrivate, folder, {}, why};
    }
    return UndoStore(folder);
}

std::shared_ptr<MadeBackups> UndoStore::BackupsMadeIn(const fs::path& folder) {
    std::vector<UndoRecord> records;
    os::Folder store;
    if (!os::Folder::Open(folder, store))
        for (const fs::path name : NamesIn(store)) {
            os::Privacy why;
            if (os::CheckPrivate(folder / name, true, why)) continue;
            if (auto record = ReadRecord(folder / name)) records.push_back(std::move(*record));
        }
    return std::make_shared<MadeBackups>(records);
}

MadeBackups::MadeBackups(const std::vector<UndoRecord>& records) {
    for (const UndoRecord& r : records) {
        if (r.backupSuffixes.empty()) continue;
        sources_.push_back({r.folder, {r.backupSuffixes.begin(), r.backupSuffixes.end()}});
        suffixes_.insert(suffixes_.end(), r.backupSuffixes.begin(), r.backupSuffixes.end());
    }
    std::sort(suffixes_.begin(), suffixes_.end());
    suffixes_.erase(std::unique(suffixes_.begin(), suffixes_.end()), suffixes_.end());
}

namespace {

// Whether `text` ends with the backup suffix, or the suffix is any name.
bool EndsAsBackup(const std::string& text, const std::string& suffix) {
    return suffix == kAnyName ||
           (text.size() > suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0);
}

}  // namespace

bool MadeBackups::MayBe(const fs::path& path) const {
    if (suffixes_.empty()) return false;
#ifdef _WIN32
    const std::string text = PathText(path);
#else
    const std::string& text = path.native();
#endif
    return std::any_of(suffixes_.begin(), suffixes_.end(),
                       [&](const std::string& suffix) { return EndsAsBackup(text, suffix); });
}

std::vector<MadeBackup> MadeBackups::Named(const fs::path& name) const {
    if (suffixes_.empty()) return {};
    const std::string text = PathText(name);
    const auto endsWith = [&](const std::string& suffix) { return EndsAsBackup(text, suffix); };
    // Most names end as no backup's does: no record is read for them.
    if (std::none_of(suffixes_.begin(), suffixes_.end(), endsWith)) return {};
    std::lock_guard lock(mutex_);
    for (Source& source : sources_) {
        if (source.read || std::none_of(source.suffixes.begin(), source.suffixes.end(), endsWith)) continue;
        source.read = true;
        for (MadeBackup& made : BackupsMadeBy(source.folder)) {
            made.path = made.path.lexically_normal();
            byName_.emplace(made.path.filename(), std::move(made));
        }
    }
    std::vector<MadeBackup> named;
    const auto [first, last] = byName_.equal_range(name);
    for (auto it = first; it != last; ++it) named.push_back(it->second);
    return named;
}

std::vector<UndoRecord> UndoStore::Records(std::vector<RefusedRecord>* refused) const {
    std::vector<UndoRecord> records;
    os::Folder store;
    if (os::Folder::Open(folder_, store)) return records;
    for (const fs::path name : NamesIn(store)) {
        const fs::path path = folder_ / name;
        os::FileInfo entry;
        if (store.Stat(name, entry, false)) continue;
        if (entry.symlink) {
            // A record's folder is never a link: another could make one lead to a record of its own.
            os::FileInfo target;
            if (refused && !store.Stat(name, target, true) && target.directory)
                refused->push_back({name.string(), path, os::Privacy::Link});
            continue;
        }
        if (!entry.directory) continue;
        // A folder that never got its name: a stopped run's, once its process is gone.
        if (name.string().rfind(".~tarnwick-", 0) == 0) {
            if (os::IsStoppedRunsName(name.native())) RemoveFolder(path);
            continue;
        }
        // A record another user could have written is not used, as ssh refuses such keys.
        os::Privacy why = os::Privacy::Private;
        const bool hasRecord = Exists(path / kRecordName);
        fs::path wrong = path;
        if (os::CheckPrivate(wrong, true, why) ||
            (hasRecord && os::CheckPrivate(wrong = path / kRecordName, false, why))) {
            if (refused && why != os::Privacy::Private) refused->push_back({name.string(), wrong, why});
            continue;
        }
        if (!hasRecord) {
            const Unfinished what = Exists(path / kFreshName) ? Complete(path) : Unfinished::Leftover;
            if (what == Unfinished::Live) continue;
            if (what == Unfinished::Leftover) {
                // (A folder gets its name only once the file naming its process
                // is written; where that file is empty or missing, a power cut took it.)
                if (!os::ProcessRunning(ProcessOf(path))) RemoveFolder(path);
                continue;
            }
        }
        if (auto record = ReadRecord(path)) records.push_back(std::move(*record));
        // A record this program cannot read (damaged, another version's) is left alone, and told.
        else if (refused) refused->push_back({name.string(), path / kRecordName, os::Privacy::Private, true});
    }
    std::sort(records.begin(), records.end(), [](const UndoRecord& a, const UndoRecord& b) {
        return a.time != b.time ? a.time > b.time : a.id > b.id;
    });
    return records;
}

std::error_code UndoStore::Hold(const UndoRecord& record, os::File& lock) {
    os::Folder folder;
    if (auto ec = os::Folder::Open(record.folder, folder)) return ec;
    if (auto ec = folder.OpenRead(kRecordName, lock, false)) return ec;
    if (!lock.TryLock()) return std::make_error_code(std::errc::device_or_resource_busy);
    return {};
}

std::vector<std::pair<std::uint64_t, std::uint64_t>> UndoStore::FoldersOf(const fs::path& folder) {
    std::vector<std::pair<std::uint64_t, std::uint64_t>> folders;
    os::Folder store;
    os::FileInfo id;
    if (os::Folder::Open(folder, store) || store.Info(id)) return folders;
    folders.emplace_back(id.device, id.inode);
    std::vector<os::FolderEntry> entries;
    if (store.List(entries, true, true)) return folders;
    for (const os::FolderEntry& e : entries)
        if (e.kind == os::FolderEntry::Kind::Folder) folders.emplace_back(e.device, e.inode);
    return folders;
}

UndoState UndoStore::StateOf(const UndoRecord& record, const std::vector<UndoRecord>& all) {
    std::size_t restored = 0;
    for (const UndoRecord& later : all)
        if (later.undoes == record.id && StateOf(later, all) != UndoState::Undone)
            restored = std::max(restored, later.restored);
    if (restored == 0) return UndoState::Undoable;
    return restored >= record.fileCount ? UndoState::Undone : UndoState::Partly;
}

bool UndoRecord::Touches(const fs::path& path) const {
    const auto within = [](const fs::path& inner, const fs::path& outer) {
        auto o = outer.begin(), i = inner.begin();
        for (; o != outer.end() && i != inner.end(); ++o, ++i)
            if (*o != *i) break;
        // ("site/" names what "site" names.)
        return o == outer.end() || (std::next(o) == outer.end() && o->empty());
    };
    const fs::path wanted = path.lexically_normal();
    for (const std::string& text : paths) {
        const fs::path given = PathFromText(text).lexically_normal();
        if (within(wanted, given) || within(given, wanted)) return true;
    }
    return false;
}

const UndoRecord* UndoStore::NewestUndoable(const std::vector<UndoRecord>& all, const fs::path& path) {
    for (const UndoRecord& record : all)
        if (!record.IsUndo() && record.Touches(path) && StateOf(record, all) != UndoState::Undone) return &record;
    return nullptr;
}

const UndoRecord* UndoStore::NewestUndoable(const std::vector<UndoRecord>& all) {
    for (const UndoRecord& record : all)
        if (!record.IsUndo() && StateOf(record, all) != UndoState::Undone) return &record;
    return nullptr;
}

}  // namespace tarnwick
