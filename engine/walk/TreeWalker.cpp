#include "engine/walk/TreeWalker.h"

#include "engine/walk/IgnoreFiles.h"

#include <algorithm>

namespace tarnwick {

namespace fs = std::filesystem;

namespace {

// A walk takes folders together until it holds this many files, and lists
// this many of the folders next in turn while it checks them.
constexpr std::size_t kBatchFiles = 4096;
constexpr std::size_t kListAhead = 256;
// A walk keeps this many of the folders it has listed open at most, and opens
// their files by name in them.
constexpr std::size_t kOpenFolders = kListAhead + 64;

}  // namespace

TreeWalker::TreeWalker(FileSelection selection, BackupPolicy backup)
    : selection_(std::move(selection)), backup_(std::move(backup)) {}

void TreeWalker::Reset() {
    // A quarter of the files the process may still open, for a walk's folders.
    folderBudget_.most = std::min(kOpenFolders, os::OpenFilesLeft() / 4);
    visited_.clear();
    visited_.insert(avoid_.begin(), avoid_.end());  // as if taken already: never entered
    namedFiles_ = {};
    ignoredFiles_ = {};
    namedFolder_ = {};
    within_.reset();
    confinedFolder_ = {};
    listed_ = 0;
}

void TreeWalker::Walk(const std::vector<fs::path>& paths, WalkVisitor& visitor) {
    Reset();
    // Files given one after another are taken together, as a folder's are.
    std::vector<fs::path> files;
    std::vector<FolderId> folders;  // each one's folder
    const auto takeFiles = [&] {
        if (files.empty()) return;
        WalkBatch batch;
        FillNamed(batch, files, folders);
        if (!visitor.Stopping()) visitor.Visit(batch);
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
        if (!visitor.Stopping()) WalkFolder(path, visitor);
    };
    for (const fs::path& path : paths) {
        if (visitor.Stopping()) break;
        take(path);
    }
    // Names from a list come as they are read: a walk holds a batch of them, not the list.
    for (fs::path name; names_ && !visitor.Stopping() && names_(name);) {
        ++listed_;
        if (!name.empty()) {
            take(name);
            continue;
        }
        takeFiles();
        visitor.PathFailed(Failure{FailureKind::EmptyName, {}, {}, {}, std::to_string(listed_)});
    }
    takeFiles();
}

void TreeWalker::FillNamed(WalkBatch& batch, const std::vector<fs::path>& files, const std::vector<FolderId>& folders) {
    for (const fs::path& file : files) batch.files.push_back(&file);
    batch.homes.assign(files.size(), nullptr);
    batch.places.assign(files.size(), FilePlace{});
    batch.refused.resize(files.size());
    batch.namedIn = folders;
    batch.namedBackup.assign(files.size(), false);
    for (std::size_t k = 0; k < files.size(); ++k) {
        if (!selection_.within.empty()) batch.refused[k] = Confine(files[k], batch.places[k]);
        if (!batch.refused[k] && Avoided(folders[k])) batch.refused[k] = Failure{FailureKind::OwnRecord, files[k]};
    }
    if (!backup_.enabled || backup_.extension.empty()) return;
    fs::path::string_type suffix(1, fs::path::value_type('.'));
    suffix += backup_.extension;
    // Every name of the batch is known by now: X.bak is a backup wherever X comes in it.
    for (std::size_t k = 0; k < files.size(); ++k) {
        const fs::path::string_type name = files[k].filename().native();
        if (!(folders[k].first + folders[k].second) || name.size() <= suffix.size() || !name.ends_with(suffix))
            continue;
        batch.namedBackup[k] = Named(folders[k], name.substr(0, name.size() - suffix.size()));
    }
}

bool TreeWalker::Avoided(const FolderId& folder) const {
    return std::find(avoid_.begin(), avoid_.end(), folder) != avoid_.end();
}

void TreeWalker::WalkFolder(const fs::path& top, WalkVisitor& visitor) {
    // A stack of the folders still to take, the next on top: a folder's
    // subfolders go on in reverse name order once it is listed. Small folders
    // are taken several at a time, and the folders next in turn are listed
    // while a batch is checked.
    std::vector<FolderPlace> stack{
        FolderPlace{top, nullptr, 0, 0, selection_.ignoreFiles ? LevelsAbove(top) : nullptr}};
    Ahead ahead;
    while (!stack.empty() && !visitor.Stopping()) {
        WalkBatch batch;
        Fill(batch, stack, ahead);
        batch.prefetch = Upcoming(stack, ahead.listings);
        batch.listed.resize(batch.prefetch.size());
        batch.heldAhead = ahead.files;
        visitor.Visit(batch);
        for (std::size_t k = 0; k < batch.prefetch.size(); ++k) {
            if (!batch.listed[k]) continue;
            ahead.files += batch.listed[k]->files.size();
            ahead.listings.emplace(batch.prefetch[k].path.native(), std::move(*batch.listed[k]));
        }
    }
}

std::vector<FolderPlace> TreeWalker::Upcoming(const std::vector<FolderPlace>& stack,
                                              const Ahead::Listings& ahead) const {
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
        const auto found = ahead.find(folder.path.native());
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

void TreeWalker::Fill(WalkBatch& batch, std::vector<FolderPlace>& stack, Ahead& ahead) {
    while (!stack.empty() && batch.Size() < kBatchFiles) {
        const auto found = ahead.listings.find(stack.back().path.native());
        // A folder not listed yet ends a batch of enough files: listed here,
        // it would be listed alone while every worker waits; the batch's
        // prefetch lists it and those after it together. (A chain of folders
        // one in another is listed here: a batch a folder would cost more.)
        if (found == ahead.listings.end() && batch.Size() >= kBatchFiles / 8) break;
        FolderPlace place = std::move(stack.back());
        stack.pop_back();
        FolderListing listing;
        if (found != ahead.listings.end()) {
            listing = std::move(found->second);
            ahead.files -= listing.files.size();
            ahead.listings.erase(found);
        } else {
            listing = List(place);
        }
        if (!listing.failure) {
            if (!visited_.insert({listing.device, listing.inode}).second) continue;  // reached before in this walk
            for (auto it = listing.folders.rbegin(); it != listing.folders.rend(); ++it)
                if (!selection_.excludeFolders.Matches(it->path.filename().native())) stack.push_back(std::move(*it));
            listing.folders.clear();  // (the stack holds them, and with them their parent's handle)
        }
        WalkBatch::Folder& folder = batch.folders.emplace_back();
        folder.path = std::move(place.path);
        folder.listing = std::move(listing);
        folder.first = batch.Size();
        if (folder.listing.failure) continue;
        folder.backups.emplace(folder.listing.files, backup_);
        const std::vector<fs::path>& files = folder.listing.files;
        const FolderId id{folder.listing.device, folder.listing.inode};
        const std::vector<char>& ignored = folder.listing.ignored;
        for (std::size_t i = 0; i < files.size(); ++i) {
            if (!ignored.empty() && ignored[i]) {
                ignoredFiles_.Insert(NamedKey(id, files[i].filename().native()));
                continue;
            }
            if (!Selected(files[i])) continue;
            // A file named as a path before is not taken again.
            if (!namedFiles_.Empty() && Named(id, files[i].filename().native())) continue;
            batch.files.push_back(&files[i]);
            batch.homes.push_back(&folder);
            batch.places.push_back(folder.listing.PlaceOf(i));
            ++folder.taken;
        }
    }
}

void TreeWalker::ListAhead(WalkBatch& batch, std::size_t k) const {
    // What is listed ahead is held until its turn: a few batches' worth at most.
    if (batch.heldAhead.load() >= 2 * kBatchFiles) return;
    FolderListing listing = List(batch.prefetch[k]);
    batch.heldAhead += listing.files.size();
    batch.listed[k] = std::move(listing);
}

namespace {

// Whether the link `k` of the listing leads to a file ignore files leave out where it is.
bool LeadsToIgnored(const FolderListing& listing, std::size_t k) {
    fs::path target;
    const std::error_code ec = listing.open ? listing.open->Resolve(listing.files[k].filename(), target)
                                            : os::ResolveLinks(listing.files[k], target);
    return !ec && IgnoredAt(target);
}

}  // namespace

FolderListing TreeWalker::List(const FolderPlace& folder) const {
    // Its files are then opened by name in it, without walking its path again.
    FolderListing listing = ListFolder(folder, selection_.subfolders, &folderBudget_, selection_.hidden);
    if (!selection_.ignoreFiles || listing.failure) return listing;
    const auto read = [&](const fs::path& name, std::string& text) {
        // Never through a link: a project's rules are its own files (but
        // .git/info/exclude is read in the git folder, links and all).
        if (name.has_parent_path() || !listing.open) return ReadPath(folder.path / name, text, name.has_parent_path());
        os::File file;
        if (listing.open->OpenRead(name, file, false)) return false;
        ReadIgnoreFile(file, text);
        return true;
    };
    const std::shared_ptr<const IgnoreLevel> level = FolderLevel(folder.ignores, folder.path, listing.rules, read);
    if (!level) return listing;
    std::erase_if(listing.folders, [&](const FolderPlace& f) { return Ignored(level.get(), f.path, true); });
    for (FolderPlace& f : listing.folders) f.ignores = level;
    for (std::size_t i = 0; i < listing.files.size(); ++i) {
        // A link is left out where it leads to a file the rules there leave out.
        if (!Ignored(level.get(), listing.files[i], false) && !(listing.links[i] && LeadsToIgnored(listing, i)))
            continue;
        listing.ignored.resize(listing.files.size());
        listing.ignored[i] = 1;
    }
    return listing;
}

bool TreeWalker::TakenBefore(const fs::path& file) {
    const fs::path parent = file.has_parent_path() ? file.parent_path() : fs::path(".");
    // Files named one after another mostly share their folder (a window's
    // queue, a list from find): it is looked up once for them.
    if (parent != namedFolder_.first) {
        namedFolder_.first = parent;
        if (os::Stat(parent, namedFolder_.second)) namedFolder_.second = {};
    }
    const FolderId folder{namedFolder_.second.device, namedFolder_.second.inode};
    if (!(folder.first + folder.second)) return false;
    if (!namedFiles_.Insert(NamedKey(folder, file.filename().native()))) return true;
    if (!visited_.count(folder)) return false;
    if (Avoided(folder)) return false;  // (told as skipped)
    // In a folder the walk took: taken when the walk listed it and chose it.
    const FolderListing listing = ListFolder(parent, false, selection_.hidden);
    const auto listed = std::find_if(listing.files.begin(), listing.files.end(),
                                     [&](const fs::path& f) { return f.filename() == file.filename(); });
    return listed != listing.files.end() && Selected(*listed) &&
           !ignoredFiles_.Has(NamedKey(folder, file.filename().native()));
}

bool TreeWalker::Selected(const fs::path& file) const {
    const NameMask& include = selection_.include;
    const NameMask& exclude = selection_.exclude;
    if (include.Empty() && exclude.Empty()) return true;
    const auto name = file.filename().native();
    return (include.Empty() || include.Matches(name)) && !exclude.Matches(name);
}

std::optional<Failure> TreeWalker::Confine(const fs::path& file, FilePlace& place) {
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

bool TreeWalker::Named(const FolderId& folder, const fs::path::string_type& name) const {
    return namedFiles_.Has(NamedKey(folder, name));
}

std::uint64_t TreeWalker::NamedKey(const FolderId& folder, const fs::path::string_type& name) {
    // FNV-1a over the folder's identity and the name: 64 bits a file named,
    // however long the list (two files taking one key: one in 2^64 for a pair).
    std::uint64_t hash = 14695981039346656037ull;
    const auto add = [&](const void* data, std::size_t size) {
        for (std::size_t i = 0; i < size; ++i)
            hash = (hash ^ static_cast<const unsigned char*>(data)[i]) * 1099511628211ull;
    };
    add(&folder.first, sizeof folder.first);
    add(&folder.second, sizeof folder.second);
    add(name.data(), name.size() * sizeof(fs::path::value_type));
    return hash ? hash : 1;
}

bool TreeWalker::KeySet::Insert(std::uint64_t key) {
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

bool TreeWalker::KeySet::Has(std::uint64_t key) const {
    if (slots_.empty()) return false;
    for (std::size_t at = key & (slots_.size() - 1);; at = (at + 1) & (slots_.size() - 1)) {
        if (slots_[at] == key) return true;
        if (slots_[at] == 0) return false;
    }
}

}  // namespace tarnwick
