#pragma once

#include <filesystem>

namespace tarnwick::test {

// Makes a folder whose name starts with "." hidden on every system: on
// Windows by its attribute (the name alone hides it elsewhere).
void HideFolder(const std::filesystem::path& folder);

}  // namespace tarnwick::test
