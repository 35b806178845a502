#pragma once

// A failure the engine tells, in the command line's words.

#include "engine/Failure.h"

#include <string>

namespace tarnwick::cli {

// The reason without the path: "cannot write the corrected file: File too large".
// With `inWords`, in the user's language (messages, text records); else in
// English, the system's part too (JSON and -z records, a format).
std::string Reason(const Failure& failure, bool inWords = false);
// The whole message: "cannot open a.txt: No such file or directory".
std::string Message(const Failure& failure, bool inWords = false);

}  // namespace tarnwick::cli
