#pragma once

// This program's lock on a file it rewrites, taken with a wait.

#include "platform/FileSystem.h"

#include <chrono>

namespace tarnwick {

// Takes this program's lock on `file`, waiting up to `wait` for another run to
// let go (naps growing to 50 ms); false when it did not.
bool LockWaiting(os::File& file, std::chrono::milliseconds wait);

}  // namespace tarnwick
