#pragma once

// Asking before writing (--interactive): each occurrence shown with its line
// before and after the change, and taken or left by the answer typed.

#include "cli/Records.h"

#include <functional>
#include <iosfwd>
#include <memory>

namespace tarnwick::cli {

// A run's sink that shows each file to correct on `show` (a terminal) and
// reads the answers from `in`, one line each; everything else goes to `records`.
// `wait` (where given) waits for an answer to come, false when the run is to stop instead.
std::unique_ptr<RunSink> InteractiveReview(Records& records, std::istream& in, std::ostream& show, bool color,
                                           std::function<bool()> wait = {});

}  // namespace tarnwick::cli
