#pragma once

// tarnwick-cli --history and --undo: the runs kept for undo, and putting one back.

#include "cli/CommandLine.h"
#include "engine/undo/Undo.h"

#include <iosfwd>
#include <string>
#include <string_view>

namespace tarnwick::cli {

// Why the undo records cannot be used, in words.
std::string UndoProblemText(const UndoProblem& problem);
// The files whose originals `keeper` could not keep, on standard error, each
// `what` ("not undoable") and why: the first few, then how many more.
void ReportNotKept(const UndoKeeper& keeper, std::string_view what, std::ostream& err);
// Lists the runs kept for undo, newest first; 0, or 2 when the records may not be read.
int History(const CommandLine& options, std::ostream& out, std::ostream& err);
// Undoes the run named as the one PATH, or the newest run no later run undid:
// 0 when every file came back, 1 otherwise, 2 when there is none to undo.
int Undo(const CommandLine& options, std::ostream& out, std::ostream& err);

}  // namespace tarnwick::cli
