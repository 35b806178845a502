#include "engine/walk/FolderScan.h"

#include "platform/FileSystem.h"

#include <algorithm>
#include <cstdint>
#include <type_traits>
#include <memory>
#include <optional>
#include <system_error>
#include <thread>

namespace tarnwick {

namespace fs = std::filesystem;

namespace {

// Opens the folder of `place`, and tells its identity; the failure otherwise.
std::optional<Failure> OpenPlace(const FolderPlace& place, os::Folder& folder, os::FileInfo& id) {
    std::error_code ec =
        place.parent ? place.parent->OpenFolder(place.path.filename(), folder) : os::Folder::Open(place.path, folder);
    if (ec == std::errc::too_many_symbolic_link_levels || (ec == std::errc::not_a_directory && place.parent))
        return Failure{FailureKind::BecameLink, place.path, ec};
    if (ec) return Failure{FailureKind::List, place.path, ec, {}};
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

constexpr std::size_t kPathsOnTwoThreads = std::size_t{1} << 14;

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

// The first characters of `name` as one number that orders as they do (the
// rest zero): names told apart by it are never compared whole.
std::uint64_t NamePrefix(const fs::path::string_type& name) {
    using Unit = std::make_unsigned_t<fs::path::value_type>;
    constexpr std::size_t kBits = 8 * sizeof(Unit), kUnits = 64 / kBits;
    std::uint64_t key = 0;
    for (std::size_t i = 0; i < kUnits; ++i) key = key << kBits | (i < name.size() ? static_cast<Unit>(name[i]) : 0u);
    return key;
}

// The entries' indices in name order. (A folder may hold a million names:
// numbers are sorted, not the entries, and most comparisons are of numbers.)
std::vector<std::uint32_t> NameOrder(const std::vector<os::FolderEntry>& entries) {
    std::vector<std::pair<std::uint64_t, std::uint32_t>> keys(entries.size());
    for (std::size_t k = 0; k < entries.size(); ++k)
        keys[k] = {NamePrefix(entries[k].name), static_cast<std::uint32_t>(k)};
    std::sort(keys.begin(), keys.end(), [&](const auto& a, const auto& b) {
        return a.first != b.first ? a.first < b.first : entries[a.second].name < entries[b.second].name;
    });
    std::vector<std::uint32_t> order(entries.size());
    for (std::size_t k = 0; k < keys.size(); ++k) order[k] = keys[k].second;
    return order;
}

}  // namespace

FolderListing ListFolder(const FolderPlace& place, bool subfolders, const FolderBudget* budget, bool hidden) {
    FolderListing listing;
    os::Folder folder;
    os::FileInfo id;
    if (auto failure = OpenPlace(place, folder, id)) {
        listing.failure = std::move(failure);
        return listing;
    }
    std::vector<os::FolderEntry> entries;
    if (auto ec = folder.List(entries, subfolders, hidden, &listing.rules)) {
        listing.failure = Failure{FailureKind::List, place.path, ec, {}};
        return listing;
    }
    listing.device = id.device, listing.inode = id.inode;
    listing.open = Held(std::move(folder), budget);
    std::vector<std::uint32_t> files;  // the entries that are files, in order
    files.reserve(entries.size());
    for (const std::uint32_t k : NameOrder(entries)) {
        const os::FolderEntry& e = entries[k];
        if (e.kind == os::FolderEntry::Kind::Folder)
            listing.folders.push_back({Child(place.path, e.name), listing.open, e.device, e.inode, nullptr});
        else files.push_back(k);
    }
    listing.files.resize(files.size());
    listing.links.resize(files.size());
    const auto make = [&](std::size_t from, std::size_t to) {
        for (std::size_t j = from; j < to; ++j) {
            const os::FolderEntry& e = entries[files[j]];
            listing.files[j] = Child(place.path, e.name);
            listing.links[j] = e.kind == os::FolderEntry::Kind::Link;
        }
    };
    // A huge folder's paths are made on two threads (the walk waits for them).
    const std::size_t half = files.size() >= kPathsOnTwoThreads ? files.size() / 2 : files.size();
    std::optional<std::thread> other;
    if (half < files.size()) try {
            other.emplace(make, half, files.size());
        } catch (const std::system_error&) {
            make(half, files.size());
        }
    make(0, half);
    if (other) other->join();
    return listing;
}

}  // namespace tarnwick
