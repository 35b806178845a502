#pragma once

// One file between the steps of its rewrite (Corrector::Begin, Place,
// Finish), held by whoever rewrites it: the corrector for one file, a group
// rewrite for many.

#include "engine/content/ContentHash.h"
#include "engine/rewrite/Corrector.h"
#include "platform/Digest.h"
#include "platform/DurableFile.h"
#include "platform/FileSystem.h"

#include <cstdint>
#include <filesystem>
#include <vector>
#include <optional>

namespace tarnwick {

// One file between the steps of its rewrite: after Begin the corrected content
// is written to the temporary file, not yet flushed, and nothing else has
// changed; after Place it is flushed and the backup stands.
struct StagedRewrite {
    std::filesystem::path file;        // as given
    std::filesystem::path target;      // the file a symbolic link leads to, or the file itself
    std::filesystem::path targetName;  // its name in `folder`
    os::Folder folder;                 // the target's folder, as opened
    std::filesystem::path backupName;  // with backups on: its name in BackupFolder()
    bool hasOldBackup = false;
    bool backupInPlace = false;  // the backup's name already leads to the file that is read
    os::FileInfo before;         // the file as it was opened
    os::FileInfo after;          // the corrected file, as the temporary was made
    os::File in;
    DurableFile corrected;  // the corrected content, under a temporary name in `folder` until it replaces the file
    std::uint64_t replacements = 0;
    std::vector<std::uint64_t> pairCounts;     // with several pairs: each pair's replacements
    ContentHash read;                          // of everything the rewrite read
    os::Sha256 readDigest;                     // ...and, when the run keeps a record for undo, its digest
    os::Sha256 writtenDigest;                  // ...and the digest of everything it wrote
    std::optional<std::size_t> kept;           // the original's entry in the run's undo record
    ContentRules::Findings found;              // what the scan before the rewrite found
    std::optional<Encoding> blocked;           // an occurrence's encoding that has no form of the replace string
    const OccurrenceChoice* choice = nullptr;  // a review's choice of occurrences, if any (set before Begin)
    std::uint64_t left = 0;                    // ...the occurrences it left
    // What placing the backup changed, taken back when the rewrite does not stand.
    struct Placed {
        std::filesystem::path newBackup;  // the content that was read, under a temporary name
        std::filesystem::path kept;       // the old backup, kept under a second name until the end
        bool keptMoved = false;           // kept by renaming (its only name), not by a second link
        bool backup = false;              // the new backup stands at the backup's name
        os::FileInfo backupAs;            // which file that is
    } placed;

    const os::Folder& BackupFolder() const { return folder; }
    // Lets go of the file and takes away the temporary: nothing of it is left.
    void Discard() {
        corrected.Abandon();
        in.Close();
    }
};

}  // namespace tarnwick
