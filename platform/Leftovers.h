#pragma once

// What runs that were stopped (killed, a power cut) leave: hidden temporary
// files beside the files they corrected, and an old backup moved aside.

#include "platform/FileSystem.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <vector>

namespace tarnwick {

// A temporary name for an old backup kept aside while its file is corrected:
// it also tells the backup's name, where that fits in a name, so a later run
// can put it back (otherwise it says that the name is unknown).
std::filesystem::path KeptBackupName(const std::filesystem::path& backupName);
// A temporary name for new content that is to take `fileName` in the same
// folder: it tells that name, where it fits, so that a later run can put it
// back should the file's own name be gone.
std::filesystem::path TemporaryNameFor(const std::filesystem::path& fileName);

// A stopped run's temporary file that could not be removed: another user's
// in a folder whose sticky bit keeps it from this one, say.
struct StuckLeftover {
    std::filesystem::path name;  // in the folder cleaned
    std::uint32_t owner = 0;
    std::error_code code;
};

struct LeftoverCounts {
    std::size_t removed = 0;           // temporary files removed
    std::size_t restored = 0;          // old backups and new contents put back under their names
    std::vector<StuckLeftover> stuck;  // what could not be removed
};

// Removes from `folder` the temporary files of runs of the program that no
// longer run: their process is gone from this machine. Those of a live run,
// and those made on another machine or in another process namespace, stay.
// New content whose file's name is gone is put back under that name: a share
// can hide a file that is open elsewhere as it is replaced, and drop before
// the new content takes the name. An old backup a stopped run had moved aside
// (its only name) is put back when the backup's name is free; when the name is taken, the stopped run had
// already placed the backup that replaces it, and it goes. A moved-aside
// backup whose name is unknown is left alone. Best effort: what cannot be
// removed or renamed stays as it is, and what could not be removed is told.
// With `keptToo` false, moved-aside backups are left alone (a folder where
// the program keeps no backups: the options file's).
LeftoverCounts CleanLeftovers(const os::Folder& folder, bool keptToo = true);
LeftoverCounts CleanLeftovers(const std::filesystem::path& folder);

}  // namespace tarnwick
