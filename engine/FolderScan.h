#pragma once

#include "Corrector.h"
#include "Failure.h"

#include <cstddef>
#include <filesystem>
#include <functional>
#include <optional>
#include <vector>

namespace tarnwick {

// The files of one folder, as a scan sees them.
struct FolderListing {
    std::vector<std::filesystem::path> files;  // full paths, in name order
    std::optional<Failure> failure;            // set when the folder could not be listed
};

// Lists the regular files directly in `folder` (symbolic links to regular
// files included; subfolders, FIFOs, devices and dangling links left out),
// without hidden ones, sorted by name. Each path is `folder` / name.
FolderListing ListFolder(const std::filesystem::path& folder);

enum class ScanOutcome {
    Checked,  // the verdict stands in `verdict`
    Failed,   // could not be read: `failure`, verdict Unknown
    Backup,   // a backup copy of another listed file: not checked, never queued
};

struct ScanEntry {
    const std::filesystem::path& path;
    ScanOutcome outcome;
    FileVerdict verdict;
    const Failure* failure;      // only with ScanOutcome::Failed
    EncodingSet encodings = {};  // of the search string's occurrences
};

struct ScanCallbacks {
    // Before what became of file `index` (0-based) of `count` is told.
    std::function<void(std::size_t index, std::size_t count)> progress;
    // After each file, with what became of it.
    std::function<void(const ScanEntry& entry)> checked;
};

struct ScanResult {
    std::size_t listed = 0;                    // files in the listing
    std::vector<std::filesystem::path> queue;  // the verdict-1 files, in listing order
    std::vector<Failure> failures;             // files that could not be checked
    std::optional<Failure> listFailure;        // the folder itself could not be listed
};

// Checks each file of a listing with `corrector` and queues those that hold
// the search string. Backup copies of other listed files are never queued.
// The files are read on the corrector's workers; the callbacks come on the
// calling thread, in listing order.
ScanResult ScanFiles(const std::vector<std::filesystem::path>& files, Corrector& corrector,
                     const ScanCallbacks& callbacks = {});

// ListFolder, then ScanFiles.
ScanResult ScanFolder(const std::filesystem::path& folder, Corrector& corrector, const ScanCallbacks& callbacks = {});

}  // namespace tarnwick
