#pragma once

// An undo: the files of a run's record put back as they were before that run,
// each only while it is still exactly what the run wrote (the same file, size,
// time and content). What it replaces is kept in a record of its own, so an
// undo can be undone in turn.

#include "Run.h"
#include "Undo.h"

#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace tarnwick {

// Why an undo cannot begin.
struct UndoRefusal {
    bool unreadable = false;  // the record of the run to undo can no longer be read whole
    std::string why;          // otherwise: why a record of the undo's own cannot be begun
};

class RestoreRun {
public:
    // The undo of `target`, a run of `store`, keeping a record of its own
    // (which names `target` as the run it undoes), as both front ends start one.
    static std::variant<RestoreRun, UndoRefusal> Of(const UndoStore& store, const UndoRecord& target);

    // `keeper`: the record of this run (its `undoes` names `record`), or null
    // to keep none.
    RestoreRun(UndoRecord record, std::shared_ptr<UndoKeeper> keeper);

    // Puts each file back, in the record's order, telling `sink`: Restored,
    // Changed (left alone) or Failed. Then writes this run's record. False
    // when the sink stopped it.
    bool Execute(RunSink& sink);

    const UndoRecord& Undone() const { return record_; }
    // Why this run's own record could not be written, if it could not.
    std::error_code RecordFailure() const { return commitFailure_; }
    std::shared_ptr<UndoKeeper> Keeper() const { return keeper_; }

private:
    // What became of one file; the failure where it failed.
    FileOutcome Restore(const UndoEntry& entry, Failure& failure);
    // The original of `entry` in `folder` under `temporary`; the failure where it cannot be.
    std::optional<Failure> PlaceOriginal(const UndoEntry& entry, const os::Folder& folder,
                                         const std::filesystem::path& temporary);
    // Opens the original kept for `entry` and checks it is what was kept.
    std::error_code OpenOriginal(const UndoEntry& entry, os::Folder& folder, std::filesystem::path& name,
                                 os::File& file);

    UndoRecord record_;
    std::shared_ptr<UndoKeeper> keeper_;
    std::vector<char> buffer_;
    std::error_code commitFailure_;
};

}  // namespace tarnwick
