#pragma once

#include "engine/rewrite/Corrector.h"
#include "engine/Failure.h"
#include "platform/FileSystem.h"

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

namespace tarnwick {

struct IgnoreLevel;

// A folder a run lists: named as a path, or found by a walk in a folder
// listed before, and then reached again only as that very folder.
struct FolderPlace {
    std::filesystem::path path;
    std::shared_ptr<const os::Folder> parent;    // the folder it was found in, where that is held open
    std::uint64_t device = 0, inode = 0;         // which folder it was when found (0: named as a path)
    std::shared_ptr<const IgnoreLevel> ignores;  // the ignore files that apply in it, where a walk heeds them
    bool Found() const { return device + inode != 0; }
};

// The files of one folder, as a run sees them.
struct FolderListing {
    std::vector<std::filesystem::path> files;  // full paths, in name order
    std::vector<char> links;                   // by file: listed as a symbolic link to a file
    std::vector<char> ignored;                 // by file, where a walk heeds ignore files and any is ignored
    std::vector<FolderPlace> folders;          // with subfolders asked for: in name order
    std::optional<Failure> failure;            // set when the folder could not be listed
    std::uint64_t device = 0, inode = 0;       // which folder it is
    std::uint8_t rules = 0;                    // which os::RuleFiles it holds
    std::shared_ptr<const os::Folder> open;    // the folder, where its lister keeps it open for its files
    // Where file `k` was found, for the corrector.
    FilePlace PlaceOf(std::size_t k) const {
        return {open.get(), true, device, inode, links.empty() ? false : links[k] != 0};
    }
};

// Lists the regular files directly in the folder (symbolic links to regular
// files included; subfolders, FIFOs, devices and dangling links left out),
// without hidden ones, sorted by name. Each path is the folder's path / name.
// With `subfolders`, its visible subfolders too (never links to folders). A
// folder a walk found is opened from the folder it was found in, never
// through a link; reached by its path again, it must be the folder found
// there (else a failure: a link or another folder was swapped in). With a
// `budget` that allows it, the folder's handle is kept open in the listing
// (and its subfolders' places) for its files.
struct FolderBudget {
    std::size_t most = 0;  // folders held open at most
    std::shared_ptr<std::atomic<std::size_t>> held = std::make_shared<std::atomic<std::size_t>>(0);
};
// With `hidden`, hidden files and folders are listed too (never those of
// version control, os::Folder::List).
FolderListing ListFolder(const FolderPlace& place, bool subfolders = false, const FolderBudget* budget = nullptr,
                         bool hidden = false);
inline FolderListing ListFolder(const std::filesystem::path& folder, bool subfolders = false, bool hidden = false) {
    return ListFolder(FolderPlace{folder, nullptr, 0, 0, nullptr}, subfolders, nullptr, hidden);
}

}  // namespace tarnwick
