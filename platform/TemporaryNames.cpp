// What the names of temporary files say, the same on every system.

#include "platform/FileSystem.h"

#include <cstdint>
#include <iterator>

namespace tarnwick::os {

namespace {

using Char = Path::value_type;

}  // namespace

std::optional<TemporaryName> ParseTemporaryName(Name name) {
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
    if (name[0] == '+' && name.size() > 1) {
        parsed.fileName = name.substr(1);
        return parsed;
    }
    if (name[0] != '~') return std::nullopt;
    parsed.kept = true;
    parsed.backupName = name.substr(1);
    return parsed;
}

bool IsStoppedRun(const TemporaryName& name) {
    return name.machine == Name(MachineTag()) && !ProcessRunning(name.process);
}

bool IsStoppedRunsName(Name name) {
    const auto parsed = ParseTemporaryName(name);
    return parsed && IsStoppedRun(*parsed);
}

bool IsTemporaryName(Name name) {
    static const Path prefix(".~tarnwick-");
    return name.substr(0, prefix.native().size()) == prefix.native();
}

bool IsVersionControlName(Name name, bool folder) {
    // Where names are told apart without case (Windows), .GIT is .git.
    const auto same = [&](std::string_view vcs) {
        if (name.size() != vcs.size()) return false;
        for (std::size_t i = 0; i < vcs.size(); ++i) {
            auto c = static_cast<std::uint32_t>(name[i]);
            auto v = static_cast<std::uint32_t>(static_cast<unsigned char>(vcs[i]));
#ifdef _WIN32
            if (c >= 'A' && c <= 'Z') c += 'a' - 'A';
            if (v >= 'A' && v <= 'Z') v += 'a' - 'A';
#endif
            if (c != v) return false;
        }
        return true;
    };
    if (!folder) return same(".git");
    for (const std::string_view vcs : {".git", ".svn", ".hg", ".bzr", "_darcs", "CVS"})
        if (same(vcs)) return true;
    return false;
}

}  // namespace tarnwick::os
