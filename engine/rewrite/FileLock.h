#pragma once

// This program's lock on a file it rewrites, taken with a wait.

#include "platform/FileSystem.h"

#include <atomic>
#include <chrono>

namespace tarnwick {

// Takes this program's lock on `file`, waiting up to `wait` for another run to
// let go (naps growing to 50 ms), or until `stop` is set; false when it did not.
bool LockWaiting(os::File& file, std::chrono::milliseconds wait, const std::atomic<bool>* stop = nullptr);

}  // namespace tarnwick
