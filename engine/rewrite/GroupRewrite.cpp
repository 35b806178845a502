#include "engine/rewrite/GroupRewrite.h"

#include <algorithm>
#include <map>
#include <numeric>
#include <iterator>

namespace tarnwick {

namespace fs = std::filesystem;

namespace {

// The slot a file's identity starts looking at, of a table of 2^bits: the top bits of a multiplicative hash.
std::size_t SlotOf(std::uint64_t device, std::uint64_t inode, std::size_t mask) {
    const std::uint64_t key = (device * 0x9E3779B97F4A7C15ull ^ inode) * 0xBF58476D1CE4E5B9ull;
    return static_cast<std::size_t>(key ^ key >> 31) & mask;
}

bool IsSymlink(const fs::path& file, const FilePlace& place) {
    os::FileInfo name;
    const auto ec = place.folder ? place.folder->Stat(file.filename(), name, false) : os::Stat(file, name, false);
    return !ec && name.symlink;
}

}  // namespace

const ToldFiles::Held* ToldFiles::Find(std::uint64_t device, std::uint64_t inode) const {
    if (slots_.empty() || !(device + inode)) return nullptr;
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t at = SlotOf(device, inode, mask);; at = (at + 1) & mask) {
        const std::uint32_t entry = slots_[at];
        if (entry == 0) return nullptr;
        const Held& held = held_[entry - 1];
        if (held.device == device && held.inode == inode) return &held;
    }
}

void ToldFiles::Place(std::size_t k) {
    const std::size_t mask = slots_.size() - 1;
    std::size_t at = SlotOf(held_[k].device, held_[k].inode, mask);
    while (slots_[at] != 0) at = (at + 1) & mask;
    slots_[at] = static_cast<std::uint32_t>(k + 1);
}

std::optional<ToldFiles::Told> ToldFiles::As(std::uint64_t device, std::uint64_t inode) const {
    const Held* held = Find(device, inode);
    if (!held) return std::nullopt;
    return Told{held->name, held->viaLink};
}

bool ToldFiles::Has(std::uint64_t device, std::uint64_t inode) const { return Find(device, inode) != nullptr; }

void ToldFiles::Add(std::uint64_t device, std::uint64_t inode, const fs::path& name, bool viaLink) {
    if (!(device + inode) || Find(device, inode)) return;
    held_.push_back({device, inode, name.native(), viaLink});
    if (held_.size() * 2 <= slots_.size()) return Place(held_.size() - 1);
    // Grown: every entry placed again.
    slots_.assign(slots_.empty() ? 1024 : slots_.size() * 2, 0);
    for (std::size_t k = 0; k < held_.size(); ++k) Place(k);
}

fs::path ToldFiles::TargetName(const fs::path& target) const {
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

GroupRewrite::GroupRewrite(std::vector<const fs::path*> files, std::vector<FilePlace> places)
    : files_(std::move(files)),
      places_(std::move(places)),
      staged_(files_.size()),
      results_(files_.size()),
      identity_(files_.size()),
      twinOf_(files_.size(), -1),
      earlier_(files_.size(), 0),
      busy_(files_.size(), 0),
      begun_(files_.size(), 0) {}

void GroupRewrite::Run(RewriteCrew& crew, unsigned workers, ToldFiles& told,
                       std::optional<Clock::time_point>& deadline) {
    workers = static_cast<unsigned>(std::min<std::size_t>(workers, Size()));
    FindTwins(told);
    Steps(crew, workers);
    WaitForHeld(crew, workers, deadline);
    Settle(crew, told);
}

void GroupRewrite::Choose(std::span<const OccurrenceChoice* const> choices) {
    for (std::size_t k = 0; k < Size() && k < choices.size(); ++k) staged_[k].choice = choices[k];
}

void GroupRewrite::FindTwins(const ToldFiles& told) {
    // The same file under two names is held once: a later name of a file
    // the run already corrected, or that this group holds, waits for it.
    for (std::size_t k = 0; k < Size(); ++k) {
        const os::FileInfo& id = identity_[k];
        const os::Folder* folder = places_[k].folder;
        const auto ec = folder ? folder->Stat(File(k).filename(), identity_[k], true) : os::Stat(File(k), identity_[k]);
        if (ec || !(id.device + id.inode)) continue;
        if (told.Has(id.device, id.inode)) earlier_[k] = 1;
        for (std::size_t j = 0; j < k && Own(k); ++j)
            if (Own(j) && identity_[j].SameFileAs(id)) twinOf_[k] = static_cast<std::ptrdiff_t>(j);
    }
}

void GroupRewrite::Steps(RewriteCrew& crew, unsigned workers) {
    // The new contents are written first and their writeback started
    // together. A file another run holds is not waited for while this group
    // holds others (the two runs could wait for each other): it comes after.
    // On a share each step waits for the server: as many files at once as
    // are flushed at once, so that their round trips overlap.
    const unsigned flushers = crew.Flushers(workers);
    // (Asked once per folder: a group's files mostly share one.)
    const os::Folder* asked = nullptr;
    const bool remote = std::any_of(places_.begin(), places_.end(), [&](const FilePlace& p) {
        if (!p.folder || p.folder == asked) return false;
        asked = p.folder;
        return os::WaitsOnServer(*p.folder);
    });
    // On a share, the files are taken from the group's folders in turn.
    std::vector<std::size_t> order(Size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    if (remote) order = FoldersInTurn(Size(), [&](std::size_t k) -> const fs::path& { return File(k); });
    crew.Parallel(Size(), remote ? flushers : workers, [&](std::size_t i, unsigned worker) {
        const std::size_t k = order[i];
        if (!Own(k) || crew.Stopping()) return;
        Corrector::Begun begun = crew.On(worker).Begin(File(k), places_[k], staged_[k], false);
        if (auto* done = std::get_if<ProcessResult>(&begun)) results_[k] = std::move(*done);
        else if (std::holds_alternative<Corrector::Busy>(begun)) busy_[k] = 1;
        else staged_[k].corrected.Out().StartFlush(), begun_[k] = 1;
    });
    crew.Parallel(Size(), flushers, [&](std::size_t i, unsigned worker) {
        if (const std::size_t k = order[i]; Ready(k)) results_[k] = crew.On(worker).Place(staged_[k]);
    });
    // The backups' names are on disk before any file's goes to its new
    // content: a power cut never leaves a corrected file without its backup.
    std::vector<const os::Folder*> backupFolders;
    for (std::size_t k = 0; k < Size(); ++k)
        if (Ready(k) && staged_[k].placed.backup) AddFolder(backupFolders, staged_[k].BackupFolder());
    FlushAll(crew, backupFolders, FlushSite::BackupFolder);
    crew.Parallel(Size(), flushers, [&](std::size_t i, unsigned worker) {
        if (const std::size_t k = order[i]; Ready(k)) results_[k] = crew.On(worker).Finish(staged_[k]);
    });
}

std::vector<std::size_t> FoldersInTurn(std::size_t count,
                                       const std::function<const std::filesystem::path&(std::size_t)>& fileOf) {
    // The files of each folder in their order, then one of each folder in turn.
    std::vector<std::vector<std::size_t>> folders;
    std::map<fs::path, std::size_t> of;
    for (std::size_t k = 0; k < count; ++k) {
        const auto [at, added] = of.try_emplace(fileOf(k).parent_path(), folders.size());
        if (added) folders.emplace_back();
        folders[at->second].push_back(k);
    }
    std::vector<std::size_t> order;
    order.reserve(count);
    for (std::size_t round = 0; order.size() < count; ++round)
        for (const auto& files : folders)
            if (round < files.size()) order.push_back(files[round]);
    return order;
}

void GroupRewrite::WaitForHeld(RewriteCrew& crew, unsigned workers, std::optional<Clock::time_point>& deadline) {
    // Files another run holds are waited for now, at once, and all waits of
    // the run together end at one deadline: a stopped run holding many files
    // costs the wait once, not once a file.
    std::vector<std::size_t> held;
    for (std::size_t k = 0; k < Size(); ++k)
        if (busy_[k]) held.push_back(k);
    if (held.empty() || crew.Stopping()) return;
    if (!deadline) deadline = Clock::now() + crew.Caller().LockWait();
    const auto use = static_cast<unsigned>(std::min<std::size_t>(crew.Flushers(workers), held.size()));
    crew.Parallel(held.size(), use, [&](std::size_t i, unsigned worker) {
        if (crew.Stopping()) return;
        Corrector& corrector = crew.On(worker);
        const auto left = std::max(Clock::duration::zero(), *deadline - Clock::now());
        corrector.SetLockWait(std::chrono::duration_cast<std::chrono::milliseconds>(left));
        results_[held[i]] = corrector.ProcessFile(File(held[i]), places_[held[i]], staged_[held[i]].choice);
    });
}

void GroupRewrite::Settle(RewriteCrew& crew, ToldFiles& told) {
    // The group's folders are flushed once, after its renames, before its results are told.
    Corrector& corrector = crew.Caller();
    std::vector<const os::Folder*> touched;
    for (std::size_t k = 0; k < Size(); ++k) {
        if (twinOf_[k] >= 0) {
            const auto twin = static_cast<std::size_t>(twinOf_[k]);
            if (!results_[twin]) continue;  // (a stop came before it was begun)
            const ProcessResult& first = *results_[twin];
            const std::optional<ToldFiles::Told> as =
                first.Corrected() ? told.As(first.device, first.inode) : std::nullopt;
            // (A review's choice for this name holds for it as for any file.)
            results_[k] = as ? OtherName(corrector, File(k), places_[k], *as, staged_[k].choice)
                             : corrector.ProcessFile(File(k), places_[k], staged_[k].choice);
        } else if (!results_[k] && !earlier_[k]) {
            continue;
        } else if (earlier_[k]) {
            const std::optional<ToldFiles::Told> as = told.As(identity_[k].device, identity_[k].inode);
            results_[k] = OtherName(corrector, File(k), places_[k], *as, staged_[k].choice);
        } else if (const ProcessResult& r = *results_[k]; r.Corrected()) {
            // What the run corrected, by identity, for later names of the same file.
            corrector.ConfirmKept(staged_[k]);  // in the run's order
            if (r.device + r.inode)
                told.Add(r.device, r.inode, r.target.empty() ? File(k) : told.TargetName(r.target), !r.target.empty());
            AddFolder(touched, staged_[k].folder);
        }
    }
    FlushAll(crew, touched, FlushSite::GroupFolders);
}

ProcessResult GroupRewrite::OtherName(Corrector& corrector, const fs::path& file, const FilePlace& place,
                                      const ToldFiles::Told& told, const OccurrenceChoice* choice) {
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
    return corrector.ProcessFile(file, place, choice);
}

void GroupRewrite::AddFolder(std::vector<const os::Folder*>& folders, const os::Folder& folder) {
    for (const os::Folder* f : folders)
        if (f->Location() == folder.Location()) return;
    folders.push_back(&folder);
}

void GroupRewrite::FlushAll(RewriteCrew& crew, const std::vector<const os::Folder*>& folders, FlushSite site) {
    // Flushed together, so that the file system commits them at once.
    crew.Parallel(folders.size(), crew.Flushers(crew.Workers()),
                  [&](std::size_t k, unsigned) { FlushAt(site, *folders[k]); });
}

}  // namespace tarnwick
