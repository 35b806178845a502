#include "platform/Leftovers.h"

#include "platform/FileSystem.h"

#include <optional>
#include <string_view>
#include <vector>

namespace tarnwick {

namespace fs = std::filesystem;

namespace {

using Char = fs::path::value_type;
using Name = std::basic_string_view<Char>;

constexpr std::size_t kNameMax = 255;  // units in one name, on every file system we meet

// A name that leads nowhere but into this folder.
bool IsPlainName(Name name) {
    if (name == Name(fs::path(".").native()) || name == Name(fs::path("..").native())) return false;
    return os::IsPlainNamePart(fs::path::string_type(name));
}

}  // namespace

fs::path KeptBackupName(const fs::path& backupName) {
    fs::path::string_type name = os::TemporaryFileName().native();
    name += Char('~');
    if (name.size() + backupName.native().size() <= kNameMax) name += backupName.native();
    return fs::path(std::move(name));
}

fs::path TemporaryNameFor(const fs::path& fileName) {
    fs::path::string_type name = os::TemporaryFileName().native();
    if (name.size() + 1 + fileName.native().size() > kNameMax) return fs::path(std::move(name));
    name += Char('+');
    name += fileName.native();
    return fs::path(std::move(name));
}

LeftoverCounts CleanLeftovers(const fs::path& folder) {
    os::Folder open;
    if (os::Folder::Open(folder, open)) return {};
    return CleanLeftovers(open);
}

LeftoverCounts CleanLeftovers(const os::Folder& open, bool keptToo) {
    LeftoverCounts counts;
    std::vector<fs::path::string_type> names;
    if (open.ListTemporaries(names) || names.empty()) return counts;
    for (const auto& name : names) {
        const auto parsed = os::ParseTemporaryName(name);
        if (!parsed || !os::IsStoppedRun(*parsed) || (parsed->kept && !keptToo)) continue;
        os::FileInfo info;
        if (open.Stat(name, info, false) || !info.regular) continue;
        if (parsed->kept && info.links < 2) {
            // The old backup's only name: back under its own where that is free.
            if (!IsPlainName(parsed->backupName)) continue;  // unknown: left alone
            const fs::path backupName(parsed->backupName);
            const auto ec = open.RenameNoReplace(name, backupName);
            if (!ec) {
                ++counts.restored;
                continue;
            }
            if (ec != std::errc::file_exists) continue;
        }
        if (!parsed->fileName.empty() && IsPlainName(parsed->fileName)) {
            // New content whose file is gone from its name: back under it.
            const fs::path fileName(parsed->fileName);
            os::FileInfo there;
            const auto gone = open.Stat(fileName, there, false);
            if (gone == std::errc::no_such_file_or_directory) {
                if (!open.RenameNoReplace(name, fileName)) ++counts.restored;
                continue;
            }
            if (gone) continue;  // (cannot tell: left alone)
        }
        // New content never put in place, a second name of a file, a copy
        // that never became the backup, or an old backup already replaced.
        if (const auto ec = open.Remove(name); !ec) ++counts.removed;
        else if (ec != std::errc::no_such_file_or_directory) counts.stuck.push_back({name, info.owner, ec});
    }
    // Not flushed: the folder as it was and as it is now are both states a
    // later run starts from, and a rewrite in it flushes it anyway.
    return counts;
}

}  // namespace tarnwick
