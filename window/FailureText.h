#pragma once

#include "engine/Failure.h"
#include "engine/content/Pattern.h"
#include "engine/undo/RestoreRun.h"
#include "engine/undo/Undo.h"

#include <QString>

namespace tarnwick::window {

// The reason of a failure in the user's language, with the system's own words
// for the cause: "нет права на запись (Operation not permitted)".
QString DescribeFailure(const Failure& failure);
// Why the undo records cannot be used, in the user's language.
QString DescribeUndoProblem(const UndoProblem& problem);
// What is wrong with the regular expression or its replacement, as the status line says it.
QString DescribePatternProblem(const PatternProblem& problem);
// Why an undo cannot begin, as the window's box says it.
QString DescribeUndoRefusal(const UndoRefusal& refusal);

}  // namespace tarnwick::window
