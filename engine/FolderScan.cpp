#include "FolderScan.h"

#include "FileSystem.h"

#include <algorithm>
#include <memory>

namespace tarnwick {

namespace fs = std::filesystem;

namespace {

// Opens the folder of `place`; the failure otherwise.
std::optional<Failure> OpenPlace(const FolderPlace& place, os::Folder& folder) {
    std::error_code ec =
        place.parent ? place.parent->OpenFolder(place.path.filename(), folder) : os::Folder::Open(place.path, folder);
    if (ec == std::errc::too_many_symbolic_link_levels || (ec == std::errc::not_a_directory && place.parent))
        return Failure{FailureKind::BecameLink, place.path, ec};
    if (ec) return Failure{FailureKind::List, place.path, ec, {}};
    os::FileInfo id;
    if ((ec = folder.Info(id))) return Failure{FailureKind::List, place.path, ec, {}};
    if (place.Found() && (id.device != place.device || id.inode != place.inode))
        return Failure{FailureKind::FolderSwapped, place.path};
    return std::nullopt;
}

// The open folder held for a walk where the budget allows, counted while it is held.
std::shared_ptr<const os::Folder> Held(os::Folder&& folder, const FolderBudget* budget) {
    if (!budget) return nullptr;
    auto held = budget->held;
    if (held->fetch_add(1) >= budget->most) {
        --*held;
        return nullptr;
    }
    return std::shared_ptr<const os::Folder>(new os::Folder(std::move(folder)), [held](const os::Folder* f) {
        delete f;
        --*held;
    });
}

}  // namespace

FolderListing ListFolder(const FolderPlace& place, bool subfolders, const FolderBudget* budget, bool hidden) {
    FolderListing listing;
    os::Folder folder;
    if (auto failure = OpenPlace(place, folder)) {
        listing.failure = std::move(failure);
        return listing;
    }
    os::FileInfo id;
    std::vector<os::FolderEntry> entries;
    if (auto ec = folder.Info(id); ec || (ec = folder.List(entries, subfolders, hidden))) {
        listing.failure = Failure{FailureKind::List, place.path, ec, {}};
        return listing;
    }
    listing.device = id.device, listing.inode = id.inode;
    std::sort(entries.begin(), entries.end(),
              [](const os::FolderEntry& a, const os::FolderEntry& b) { return a.name < b.name; });
    listing.open = Held(std::move(folder), budget);
    for (const os::FolderEntry& e : entries) {
        if (e.kind == os::FolderEntry::Kind::Folder) {
            listing.folders.push_back({place.path / e.name, listing.open, e.device, e.inode});
            continue;
        }
        listing.files.push_back(place.path / e.name);
        listing.links.push_back(e.kind == os::FolderEntry::Kind::Link);
    }
    return listing;
}

BackupNames::BackupNames(const std::vector<fs::path>& files, const BackupPolicy& backup)
    : suffix_(1, fs::path::value_type('.')) {
    suffix_ += backup.extension;
    if (backup.extension.empty()) return;
    // In order for a binary search: a listing comes sorted already, and
    // needs no table built before the first check.
    names_.reserve(files.size());
    for (const auto& f : files) names_.push_back(NameOf(f));
    if (!std::is_sorted(names_.begin(), names_.end())) std::sort(names_.begin(), names_.end());
}

bool BackupNames::Holds(const fs::path& file) const {
    if (names_.empty()) return false;
    const Name name = NameOf(file);
    return name.size() > suffix_.size() && name.substr(name.size() - suffix_.size()) == Name(suffix_) &&
           std::binary_search(names_.begin(), names_.end(), name.substr(0, name.size() - suffix_.size()));
}

BackupNames::Name BackupNames::NameOf(const fs::path& file) {
    // Asked for every file listed and checked: a plain loop, where
    // find_last_of would search the separators once a character.
    const Name whole(file.native());
    std::size_t start = whole.size();
    while (start > 0 && whole[start - 1] != '/' && whole[start - 1] != fs::path::preferred_separator) --start;
    return whole.substr(start);
}

}  // namespace tarnwick
