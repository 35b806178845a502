#pragma once

#include "engine/rewrite/Corrector.h"

#include <filesystem>
#include <string_view>
#include <vector>

namespace tarnwick {

// Tells backup copies of listed files by their names: a name that is another
// listed name, ".", and the backup extension. Such a file is never checked
// or changed. Holds views of `files`, which must outlive it.
class BackupNames {
public:
    BackupNames(const std::vector<std::filesystem::path>& files, const BackupPolicy& backup);
    bool Holds(const std::filesystem::path& file) const;

private:
    using Name = std::basic_string_view<std::filesystem::path::value_type>;
    static Name NameOf(const std::filesystem::path& file);

    std::vector<Name> names_;
    std::filesystem::path::string_type suffix_;
};

}  // namespace tarnwick
