#pragma once

#include "Failure.h"
#include "Undo.h"

#include <QString>

namespace tarnwick::window {

// The reason of a failure in the user's language, with the system's own words
// for the cause: "нет права на запись (Operation not permitted)".
QString DescribeFailure(const Failure& failure);
// Why the undo records cannot be used, in the user's language.
QString DescribeUndoProblem(const UndoProblem& problem);

}  // namespace tarnwick::window
