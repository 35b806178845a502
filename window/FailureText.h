#pragma once

#include "Failure.h"
#include "Undo.h"

#include <QString>
#include <filesystem>

namespace tarnwick::window {

// The reason of a failure in the user's language, with the system's own words
// for the cause: "нет права на запись (Operation not permitted)".
QString DescribeFailure(const Failure& failure);
// Why the undo records cannot be used, in the user's language.
QString DescribeUndoProblem(const UndoProblem& problem);

// Paths between Qt text and the file system's native form. On POSIX a byte
// that is no text in the locale's encoding is kept as the lone surrogate
// U+DC00 + byte, so that every path goes back to its own bytes.
std::filesystem::path ToPath(const QString& text);
QString FromPath(const std::filesystem::path& path);

}  // namespace tarnwick::window
