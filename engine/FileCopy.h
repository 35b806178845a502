#pragma once

#include "FileSystem.h"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <system_error>
#include <vector>

namespace tarnwick {

// Copies the first `size` bytes of `in` into a new file `copy` of `folder`,
// gives it the access `like` describes and flushes it; used where a hard link
// cannot be made. Nothing is left under `copy` on failure. `buffer` is grown as needed.
std::error_code CopyInto(os::File& in, std::uint64_t size, const os::FileInfo& like, const os::Folder& folder,
                         const std::filesystem::path& copy, std::vector<char>& buffer);

// Takes this program's lock on `file`, waiting up to `wait` for another run to
// let go (naps growing to 50 ms); false when it did not.
bool LockWaiting(os::File& file, std::chrono::milliseconds wait);

}  // namespace tarnwick
