#pragma once

#include "platform/FileSystem.h"

#include <cstdint>
#include <filesystem>
#include <system_error>
#include <vector>

namespace tarnwick {

// The step of a copy that failed.
enum class CopyStep : std::uint8_t { Create, Read, Write, Access, Flush };

// Copies the first `size` bytes of `in` into a new file `copy` of `folder`,
// gives it the access `like` describes and flushes it; used where a hard link
// cannot be made. Nothing is left under `copy` on failure; `failedAt` (if
// given) says at which step it failed. `buffer` is grown as needed.
std::error_code CopyInto(os::File& in, std::uint64_t size, const os::FileInfo& like, const os::Folder& folder,
                         const std::filesystem::path& copy, std::vector<char>& buffer, CopyStep* failedAt = nullptr);

}  // namespace tarnwick
