#include "engine/walk/BackupNames.h"

#include <algorithm>

namespace tarnwick {

namespace fs = std::filesystem;

BackupNames::BackupNames(const std::vector<fs::path>& files, const BackupPolicy& backup)
    : suffix_(1, fs::path::value_type('.')) {
    suffix_ += backup.extension;
    if (backup.extension.empty()) return;
    // Only a folder that holds a name with the extension has a backup to
    // tell: most hold none, and need no table at all.
    const auto withSuffix = [&](const fs::path& f) {
        const auto& whole = f.native();
        return whole.size() > suffix_.size() &&
               whole.compare(whole.size() - suffix_.size(), suffix_.size(), suffix_) == 0;
    };
    if (std::none_of(files.begin(), files.end(), withSuffix)) return;
    // In order for a binary search: a listing comes sorted already, and
    // needs no table built before the first check.
    names_.reserve(files.size());
    for (const auto& f : files) names_.push_back(NameOf(f));
    if (!std::is_sorted(names_.begin(), names_.end())) std::sort(names_.begin(), names_.end());
}

bool BackupNames::Holds(const fs::path& file) const {
    if (names_.empty()) return false;
    const Name name = NameOf(file);
    return name.size() > suffix_.size() && name.substr(name.size() - suffix_.size()) == Name(suffix_) &&
           std::binary_search(names_.begin(), names_.end(), name.substr(0, name.size() - suffix_.size()));
}

BackupNames::Name BackupNames::NameOf(const fs::path& file) {
    // Asked for every file listed and checked: a plain loop, where
    // find_last_of would search the separators once a character.
    const Name whole(file.native());
    std::size_t start = whole.size();
    while (start > 0 && whole[start - 1] != '/' && whole[start - 1] != fs::path::preferred_separator) --start;
    return whole.substr(start);
}

}  // namespace tarnwick
