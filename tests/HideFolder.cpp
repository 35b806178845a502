#include "HideFolder.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace tarnwick::test {

void HideFolder(const std::filesystem::path& folder) {
#ifdef _WIN32
    SetFileAttributesW(folder.c_str(), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_DIRECTORY);
#else
    (void)folder;  // a name starting with "." is hidden already
#endif
}

}  // namespace tarnwick::test
