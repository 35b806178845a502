#pragma once

// A failure the engine tells, in the command line's words.

#include "engine/Failure.h"

#include <string>

namespace tarnwick::cli {

// The reason without the path: "cannot write the corrected file: File too large".
std::string Reason(const Failure& failure);
// The whole message: "cannot open a.txt: No such file or directory".
std::string Message(const Failure& failure);

}  // namespace tarnwick::cli
