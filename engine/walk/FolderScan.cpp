#include "engine/walk/FolderScan.h"

#include "platform/FileSystem.h"

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

// `folder / name`, as the operator makes it. (Made for every file listed:
// where the operator copies the folder's parts and then appends, this puts
// one string together and splits it once.)
fs::path Child(const fs::path& folder, const fs::path::string_type& name) {
#ifdef _WIN32
    return folder / name;
#else
    const fs::path::string_type& base = folder.native();
    fs::path::string_type whole;
    whole.reserve(base.size() + 1 + name.size());
    whole += base;
    if (!base.empty() && base.back() != '/') whole += '/';
    whole += name;
    return fs::path(std::move(whole));
#endif
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
    if (auto ec = folder.Info(id); ec || (ec = folder.List(entries, subfolders, hidden, &listing.rules))) {
        listing.failure = Failure{FailureKind::List, place.path, ec, {}};
        return listing;
    }
    listing.device = id.device, listing.inode = id.inode;
    std::sort(entries.begin(), entries.end(),
              [](const os::FolderEntry& a, const os::FolderEntry& b) { return a.name < b.name; });
    listing.open = Held(std::move(folder), budget);
    listing.files.reserve(entries.size());
    listing.links.reserve(entries.size());
    for (const os::FolderEntry& e : entries) {
        if (e.kind == os::FolderEntry::Kind::Folder) {
            listing.folders.push_back({Child(place.path, e.name), listing.open, e.device, e.inode, nullptr});
            continue;
        }
        listing.files.push_back(Child(place.path, e.name));
        listing.links.push_back(e.kind == os::FolderEntry::Kind::Link);
    }
    return listing;
}

}  // namespace tarnwick
