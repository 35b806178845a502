#pragma once

#include "Corrector.h"
#include "Failure.h"
#include "FileSystem.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string_view>
#include <vector>

namespace tarnwick {

// The files of one folder, as a run sees them.
struct FolderListing {
    std::vector<std::filesystem::path> files;    // full paths, in name order
    std::vector<std::filesystem::path> folders;  // with subfolders asked for: full paths, in name order
    std::optional<Failure> failure;              // set when the folder could not be listed
    std::uint64_t device = 0, inode = 0;         // which folder it is, where that can be known
    os::Folder open;                             // the folder, where its lister keeps it open for its files
};

// Lists the regular files directly in `folder` (symbolic links to regular
// files included; subfolders, FIFOs, devices and dangling links left out),
// without hidden ones, sorted by name. Each path is `folder` / name. With
// `subfolders`, its visible subfolders too (never links to folders).
FolderListing ListFolder(const std::filesystem::path& folder, bool subfolders = false);

// Tells backup copies of listed files by their names: a name that is another
// listed name, ".", and the backup extension. Such a file is never checked
// or changed. Holds views of `files`, which must outlive it.
class BackupNames {
public:
    BackupNames(const std::vector<std::filesystem::path>& files, const BackupPolicy& backup);
    bool Holds(const std::filesystem::path& file) const;

private:
    using Name = std::basic_string_view<std::filesystem::path::value_type>;
    static Name NameOf(const std::filesystem::path& file);

    std::vector<Name> names_;
    std::filesystem::path::string_type suffix_;
};

}  // namespace tarnwick
