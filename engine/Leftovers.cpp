#include "Leftovers.h"

#include "FileSystem.h"

#include <optional>
#include <string_view>
#include <vector>

namespace tarnwick {

namespace fs = std::filesystem;

namespace {

using Char = fs::path::value_type;
using Name = std::basic_string_view<Char>;

constexpr std::size_t kNameMax = 255;  // units in one name, on every file system we meet

// What a temporary name says: ".~tarnwick-PID-MACHINE-SALT-N", and for a
// kept backup "~" and the backup's name (nothing after "~" when unknown).
struct TemporaryName {
    std::uint64_t process = 0;
    Name machine;
    bool kept = false;
    Name backupName;
};

std::optional<TemporaryName> Parse(Name name) {
    static constexpr Char kPrefix[] = {'.', '~', 't', 'a', 'r', 'n', 'w', 'i', 'c', 'k', '-'};
    if (name.substr(0, std::size(kPrefix)) != Name(kPrefix, std::size(kPrefix))) return std::nullopt;
    name.remove_prefix(std::size(kPrefix));
    const auto field = [&](bool hex) -> std::optional<Name> {
        std::size_t n = 0;
        while (n < name.size() && ((name[n] >= '0' && name[n] <= '9') || (hex && name[n] >= 'a' && name[n] <= 'f')))
            ++n;
        if (n == 0 || n > 20) return std::nullopt;
        const Name value = name.substr(0, n);
        name.remove_prefix(n);
        return value;
    };
    TemporaryName parsed;
    const auto process = field(false);
    if (!process || name.empty() || name[0] != '-') return std::nullopt;
    for (const Char c : *process) parsed.process = parsed.process * 10 + static_cast<unsigned>(c - '0');
    name.remove_prefix(1);
    const auto machine = field(true);
    if (!machine || machine->size() != 8 || name.empty() || name[0] != '-') return std::nullopt;
    parsed.machine = *machine;
    name.remove_prefix(1);
    if (!field(true) || name.empty() || name[0] != '-') return std::nullopt;
    name.remove_prefix(1);
    if (!field(false)) return std::nullopt;
    if (name.empty()) return parsed;
    if (name[0] != '~') return std::nullopt;
    parsed.kept = true;
    parsed.backupName = name.substr(1);
    return parsed;
}

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

bool IsStoppedRunsName(const fs::path& name) {
    const auto parsed = Parse(name.native());
    return parsed && parsed->machine == Name(os::MachineTag()) && !os::ProcessRunning(parsed->process);
}

LeftoverCounts CleanLeftovers(const fs::path& folder) {
    LeftoverCounts counts;
    std::vector<fs::path::string_type> names;
    os::Folder open;
    if (os::ListTemporaries(folder, names) || names.empty() || os::Folder::Open(folder, open)) return counts;
    for (const auto& name : names) {
        const auto parsed = Parse(name);
        if (!parsed || parsed->machine != Name(os::MachineTag()) || os::ProcessRunning(parsed->process)) continue;
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
        // New content never put in place, a second name of a file, a copy
        // that never became the backup, or an old backup already replaced.
        if (!open.Remove(name)) ++counts.removed;
    }
    // Not flushed: the folder as it was and as it is now are both states a
    // later run starts from, and a rewrite in it flushes it anyway.
    return counts;
}

}  // namespace tarnwick
