#include "engine/walk/IgnoreFiles.h"

#include "platform/FileSystem.h"

#include <algorithm>
#include <cctype>

namespace tarnwick {

namespace fs = std::filesystem;

namespace {

// An ignore file larger than this is read only this far.
constexpr std::size_t kMostRead = 16u << 20;

bool HasWildcard(std::string_view glob) { return glob.find_first_of("*?[\\") != std::string_view::npos; }

// Matches the class at `p` ("[" just passed) against `c`; `p` ends after its "]".
// False also for an unclosed class, which then matches nothing.
bool ClassMatches(std::string_view glob, std::size_t& p, unsigned char c) {
    bool negated = false;
    if (p < glob.size() && (glob[p] == '!' || glob[p] == '^')) {
        negated = true;
        ++p;
    }
    bool matched = false;
    for (bool first = true; p < glob.size() && (first || glob[p] != ']'); first = false) {
        if (glob[p] == '[' && p + 1 < glob.size() && glob[p + 1] == ':') {
            const std::size_t end = glob.find(":]", p + 2);
            if (end != std::string_view::npos) {
                const std::string_view name = glob.substr(p + 2, end - p - 2);
                const int i = c;
                matched |= (name == "alpha" && std::isalpha(i)) || (name == "digit" && std::isdigit(i)) ||
                           (name == "alnum" && std::isalnum(i)) || (name == "space" && std::isspace(i)) ||
                           (name == "upper" && std::isupper(i)) || (name == "lower" && std::islower(i)) ||
                           (name == "punct" && std::ispunct(i)) || (name == "xdigit" && std::isxdigit(i)) ||
                           (name == "blank" && (c == ' ' || c == '\t')) || (name == "cntrl" && std::iscntrl(i)) ||
                           (name == "graph" && std::isgraph(i)) || (name == "print" && std::isprint(i));
                p = end + 2;
                continue;
            }
        }
        unsigned char low = static_cast<unsigned char>(glob[p]);
        if (low == '\\' && p + 1 < glob.size()) low = static_cast<unsigned char>(glob[++p]);
        ++p;
        unsigned char high = low;
        if (p + 1 < glob.size() && glob[p] == '-' && glob[p + 1] != ']') {
            high = static_cast<unsigned char>(glob[p + 1]);
            if (high == '\\' && p + 2 < glob.size()) high = static_cast<unsigned char>(glob[++p + 1]);
            p += 2;
        }
        matched |= c >= low && c <= high;
    }
    if (p >= glob.size()) return false;  // no "]"
    ++p;
    return matched != negated;
}

// A glob against a text. Each place a "*" or "**" may stop at is tried once
// at most for each place in the text (the failures are remembered), so the
// time grows with the glob's length times the text's, never exponentially
// ("*a*a*a*a*a*a*a*a*x" against a long name of a's).
class GlobMatch {
public:
    GlobMatch(std::string_view glob, std::string_view text) : glob_(glob), text_(text) {}
    bool From(std::size_t p, std::size_t t);

private:
    // Whether the rest matches from (p, t), where a star may stop: remembered when not.
    bool Branch(std::size_t p, std::size_t t) {
        const std::size_t at = p * (text_.size() + 1) + t;
        if (failed_.empty()) failed_.assign((glob_.size() + 1) * (text_.size() + 1), 0);
        if (failed_[at]) return false;
        if (From(p, t)) return true;
        failed_[at] = 1;
        return false;
    }

    std::string_view glob_, text_;
    std::vector<char> failed_;
};

bool GlobMatch::From(std::size_t p, std::size_t t) {
    const std::string_view glob = glob_, text = text_;
    while (p < glob.size()) {
        const char g = glob[p];
        if (g == '*') {
            const bool alone = (p == 0 || glob[p - 1] == '/');
            if (p + 1 < glob.size() && glob[p + 1] == '*' && alone && (p + 2 == glob.size() || glob[p + 2] == '/')) {
                // "**" as a whole part: at the end, everything below; "**/", no
                // folder or any number of them.
                if (p + 2 == glob.size()) return true;
                for (std::size_t at = t;;) {
                    if (Branch(p + 3, at)) return true;
                    const std::size_t slash = text.find('/', at);
                    if (slash == std::string_view::npos) return false;
                    at = slash + 1;
                }
            }
            while (p < glob.size() && glob[p] == '*') ++p;
            if (p == glob.size()) return text.find('/', t) == std::string_view::npos;
            // (After the last star each try ends without branching again: nothing to remember.)
            const bool last = glob.find('*', p) == std::string_view::npos;
            for (std::size_t at = t; at <= text.size(); ++at) {
                if (last ? From(p, at) : Branch(p, at)) return true;
                if (at < text.size() && text[at] == '/') return false;
            }
            return false;
        }
        if (t == text.size()) return false;
        if (g == '?') {
            if (text[t] == '/') return false;
            ++p, ++t;
        } else if (g == '[') {
            ++p;
            if (text[t] == '/' || !ClassMatches(glob, p, static_cast<unsigned char>(text[t]))) return false;
            ++t;
        } else {
            if (g == '\\' && ++p == glob.size()) return false;  // a "\" at the end matches nothing
            if (glob[p] != text[t]) return false;
            ++p, ++t;
        }
    }
    return t == text.size();
}

std::string_view NameOf(std::string_view path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

// `path` made relative to `level`'s folder; `buffer` holds it where it has to be made.
std::string_view RelativeText(const IgnoreLevel& level, const fs::path& path, std::string& buffer) {
    const fs::path::string_type& native = path.native();
    const std::size_t cut = std::min(level.cut, native.size());
#ifdef _WIN32
    buffer = level.lead;
    const std::u8string rest = fs::path(native.substr(cut)).generic_u8string();
    buffer.append(reinterpret_cast<const char*>(rest.data()), rest.size());
    return buffer;
#else
    if (level.lead.empty()) return std::string_view(native).substr(cut);
    buffer = level.lead;
    buffer.append(native, cut);
    return buffer;
#endif
}

// The first line of `text`, without its line end and the spaces after it.
std::string FirstLine(const std::string& text) {
    std::string line = text.substr(0, text.find('\n'));
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
    return line;
}

// The exclude file of the repository whose top is `folder`: .git/info/exclude,
// or, where .git is a file (a worktree's, a submodule's, a separate git
// folder's: "gitdir: PATH"), that git folder's, or for a worktree its main
// repository's (the git folder's "commondir").
bool ReadExclude(const fs::path& folder, const std::function<bool(const fs::path&, std::string&)>& read,
                 std::string& text) {
    if (read(fs::path(".git") / "info" / "exclude", text)) return true;
    std::string pointer;
    if (!read(".git", pointer)) return false;
    const std::string line = FirstLine(pointer);
    if (!line.starts_with("gitdir:")) return false;
    std::string named = line.substr(7);
    while (!named.empty() && named.front() == ' ') named.erase(0, 1);
    if (named.empty()) return false;
    fs::path gitFolder = fs::path(std::u8string(named.begin(), named.end()));
    if (gitFolder.is_relative()) gitFolder = folder / gitFolder;
    std::string common;
    if (ReadPath(gitFolder / "commondir", common, true) && !FirstLine(common).empty()) {
        const std::string shared = FirstLine(common);
        fs::path commonFolder = fs::path(std::u8string(shared.begin(), shared.end()));
        if (commonFolder.is_relative()) commonFolder = gitFolder / commonFolder;
        return ReadPath(commonFolder / "info" / "exclude", text, true);
    }
    return ReadPath(gitFolder / "info" / "exclude", text, true);
}

std::shared_ptr<const IgnoreLevel> MakeLevel(std::shared_ptr<const IgnoreLevel> up, std::string lead, std::size_t cut,
                                             std::uint8_t marks, const fs::path& folder,
                                             const std::function<bool(const fs::path&, std::string&)>& read) {
    const bool repositoryAbove = up && up->repository;
    const bool top = (marks & os::kHasRepository) != 0;
    auto level = std::make_shared<IgnoreLevel>();
    level->lead = std::move(lead);
    level->cut = cut;
    level->repository = top || repositoryAbove;
    level->repositoryTop = top;
    std::string text;
    if ((marks & os::kHasIgnore) && read(".ignore", text)) level->ignore.Parse(text);
    if (level->repository && (marks & os::kHasGitIgnore) && read(".gitignore", text)) level->git.Parse(text);
    if (top && ReadExclude(folder, read, text)) level->exclude.Parse(text);
    if (level->ignore.Empty() && level->git.Empty() && level->exclude.Empty() && !top &&
        level->repository == repositoryAbove)
        return up;
    level->up = std::move(up);
    return level;
}

}  // namespace

bool GitGlob(std::string_view glob, std::string_view text) { return GlobMatch(glob, text).From(0, 0); }

bool ReadPath(const fs::path& path, std::string& text, bool linkToo) {
    os::FileInfo info;
    if (!linkToo && (os::Stat(path, info, false) || info.symlink)) return false;
    os::File file;
    if (os::File::OpenRead(path, file)) return false;
    ReadIgnoreFile(file, text);
    return true;
}

void ReadIgnoreFile(os::File& file, std::string& text) {
    text.clear();
    char chunk[16384];
    for (std::size_t got = 0; text.size() < kMostRead; text.append(chunk, got))
        if (file.Read(chunk, sizeof chunk, got) || got == 0) break;
}

void IgnoreFile::Parse(std::string_view text) {
    // A byte-order mark, as editors on Windows write one, is no part of the first line.
    if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
    while (!text.empty()) {
        const std::size_t end = std::min(text.find('\n'), text.size());
        std::string_view line = text.substr(0, end);
        text.remove_prefix(std::min(end + 1, text.size()));
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        // Trailing spaces go, unless quoted with "\".
        while (!line.empty() && line.back() == ' ') {
            std::size_t slashes = 0;
            while (slashes + 1 < line.size() && line[line.size() - 2 - slashes] == '\\') ++slashes;
            if (slashes % 2) break;
            line.remove_suffix(1);
        }
        if (line.empty() || line[0] == '#') continue;
        Rule rule;
        if (line[0] == '!') {
            rule.negated = true;
            line.remove_prefix(1);
        }
        if (!line.empty() && line.back() == '/') {
            rule.foldersOnly = true;
            line.remove_suffix(1);
        }
        if (line.empty()) continue;
        // "\#" and "\!" at the start are themselves; every other "\" quotes in the glob.
        if (line.size() > 1 && line[0] == '\\' && (line[1] == '#' || line[1] == '!')) line.remove_prefix(1);
        rule.anchored = line.find('/') != std::string_view::npos;
        if (line[0] == '/') line.remove_prefix(1);
        if (line.empty()) continue;
        rule.glob = line;
        const auto index = static_cast<std::uint32_t>(rules_.size());
        if (!HasWildcard(line)) {
            (rule.anchored ? paths_ : names_)[rule.glob].push_back(index);
        } else if (!rule.anchored && line.size() > 2 && line.starts_with("*.") && !HasWildcard(line.substr(2)) &&
                   line.find('.', 2) == std::string_view::npos) {
            extensions_[std::string(line.substr(2))].push_back(index);
        } else {
            globs_.push_back(index);
        }
        rules_.push_back(std::move(rule));
    }
}

IgnoreFile::Verdict IgnoreFile::Decide(std::string_view path, std::string_view name, bool folder) const {
    if (rules_.empty()) return Verdict::None;
    // The last line that matches decides: the lookups give the last of theirs,
    // then only the globs after it are tried.
    std::int64_t last = -1;
    const auto lookup = [&](const Index& index, std::string_view key) {
        const auto found = index.find(key);
        if (found == index.end()) return;
        for (const std::uint32_t i : found->second)
            if (!rules_[i].foldersOnly || folder) last = std::max<std::int64_t>(last, i);
    };
    lookup(names_, name);
    if (!paths_.empty()) lookup(paths_, path);
    if (!extensions_.empty()) {
        const std::size_t dot = name.rfind('.');
        if (dot != std::string_view::npos) lookup(extensions_, name.substr(dot + 1));
    }
    for (auto it = globs_.rbegin(); it != globs_.rend() && *it > last; ++it) {
        const Rule& rule = rules_[*it];
        if ((!rule.foldersOnly || folder) && GitGlob(rule.glob, rule.anchored ? path : name)) {
            last = *it;
            break;
        }
    }
    if (last < 0) return Verdict::None;
    return rules_[static_cast<std::size_t>(last)].negated ? Verdict::Take : Verdict::Ignore;
}

std::shared_ptr<const IgnoreLevel> FolderLevel(std::shared_ptr<const IgnoreLevel> up, const fs::path& folder,
                                               std::uint8_t marks,
                                               const std::function<bool(const fs::path&, std::string&)>& read) {
    if (!marks) return up;
    return MakeLevel(std::move(up), {}, (folder / "").native().size(), marks, folder, read);
}

std::shared_ptr<const IgnoreLevel> LevelsAbove(const fs::path& top) {
    std::error_code ec;
    fs::path absolute = os::Absolute(top, ec);
    if (ec) return nullptr;
    if (!absolute.has_filename()) absolute = absolute.parent_path();
    std::vector<fs::path> above;  // innermost first
    for (fs::path folder = absolute.parent_path(); !folder.empty(); folder = folder.parent_path()) {
        above.push_back(folder);
        if (folder == folder.parent_path()) break;
    }
    const auto hasGit = [](const fs::path& folder) {
        os::FileInfo info;
        return !os::Stat(folder / ".git", info, false);
    };
    // The repository `top` is in, where it starts above `top`.
    std::size_t repository = above.size();
    if (!hasGit(absolute))
        for (std::size_t i = 0; i < above.size() && repository == above.size(); ++i)
            if (hasGit(above[i])) repository = i;
    std::shared_ptr<const IgnoreLevel> level;
    const std::size_t cut = (top / "").native().size();
    for (std::size_t i = above.size(); i-- > 0;) {
        std::uint8_t marks = os::kHasIgnore;
        if (i <= repository && repository < above.size()) marks |= os::kHasGitIgnore;
        if (i == repository) marks |= os::kHasRepository;
        const std::u8string lead = (absolute.lexically_relative(above[i]) / "").generic_u8string();
        level = MakeLevel(std::move(level), std::string(lead.begin(), lead.end()), cut, marks, above[i],
                          [&](const fs::path& name, std::string& text) { return ReadPath(above[i] / name, text); });
    }
    return level;
}

bool IgnoredAt(const fs::path& file) {
    std::error_code ec;
    const fs::path absolute = os::Absolute(file, ec);
    if (ec || !absolute.has_filename()) return false;
    // The rules in a folder: those above it and its own.
    const auto rulesIn = [](const fs::path& folder) {
        std::uint8_t marks = 0;
        os::FileInfo info;
        if (!os::Stat(folder / ".gitignore", info, false)) marks |= os::kHasGitIgnore;
        if (!os::Stat(folder / ".ignore", info, false)) marks |= os::kHasIgnore;
        if (!os::Stat(folder / ".git", info, false)) marks |= os::kHasRepository;
        return FolderLevel(LevelsAbove(folder), folder, marks,
                           [&](const fs::path& name, std::string& text) { return ReadPath(folder / name, text); });
    };
    // Each folder on the way from the root, as a walk of the root would meet it, then the file.
    std::vector<fs::path> chain;
    for (fs::path folder = absolute.parent_path();; folder = folder.parent_path()) {
        chain.push_back(folder);
        if (folder == folder.parent_path() || chain.size() > 4096) break;
    }
    std::reverse(chain.begin(), chain.end());
    for (std::size_t k = 0; k + 1 < chain.size(); ++k)
        if (Ignored(rulesIn(chain[k]).get(), chain[k + 1], true)) return true;
    return Ignored(rulesIn(chain.back()).get(), absolute, false);
}

bool Ignored(const IgnoreLevel* level, const fs::path& path, bool folder) {
    std::string buffer;
    const auto decide = [&](const IgnoreLevel& at, const IgnoreFile& file) {
        const std::string_view relative = RelativeText(at, path, buffer);
        return file.Decide(relative, NameOf(relative), folder);
    };
    using Verdict = IgnoreFile::Verdict;
    for (const IgnoreLevel* at = level; at; at = at->up.get())
        if (!at->ignore.Empty())
            if (const Verdict v = decide(*at, at->ignore); v != Verdict::None) return v == Verdict::Ignore;
    for (const IgnoreLevel* at = level; at && at->repository; at = at->up.get()) {
        if (!at->git.Empty())
            if (const Verdict v = decide(*at, at->git); v != Verdict::None) return v == Verdict::Ignore;
        if (!at->repositoryTop) continue;
        if (!at->exclude.Empty())
            if (const Verdict v = decide(*at, at->exclude); v != Verdict::None) return v == Verdict::Ignore;
        break;
    }
    return false;
}

}  // namespace tarnwick
