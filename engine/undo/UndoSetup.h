#pragma once

// An undo set up by the same rules for every front end: from what the user
// asked (the store, the run) to a ready RestoreRun, or the one reason there
// can be none, which the front end puts into words (as PrepareRun for a run).

#include "engine/undo/RestoreRun.h"
#include "engine/undo/Undo.h"

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace tarnwick {

struct UndoRequest {
    std::filesystem::path store = {};  // the record store (empty: the user's, UndoStore::DefaultFolder)
    std::optional<std::string> run =
        {};  // the run's ID (empty: the newest not wholly undone, UndoStore::NewestUndoable)
    // Asked once the run to undo is chosen, before anything is held or begun
    // (a question to the user): false leaves everything as it was.
    std::function<bool(const UndoRecord& target)> confirm = {};
    // In place of `run`: the newest run not wholly undone that touched this
    // path (absolute; UndoRecord::Touches).
    std::optional<std::filesystem::path> touching = {};
};

// The undo the request asks for, holding the record of the run it undoes
// (RestoreRun::Of), or why there can be none; `notUsed` (where given) gets
// the records not used either way.
std::variant<RestoreRun, UndoRefusal> PrepareUndo(const UndoRequest& request,
                                                  std::vector<RefusedRecord>* notUsed = nullptr);

}  // namespace tarnwick
