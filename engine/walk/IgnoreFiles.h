#pragma once

// The files a project marks as not its own: .gitignore, .ignore and
// .git/info/exclude, read as git reads them (the last matching line decides;
// "!" takes back; a "/" at the start or in the middle ties a line to its
// file's folder; "**" spans folders; a trailing "/" matches folders only).
// .gitignore and .git/info/exclude count inside a git repository only (a
// folder with a .git at or above it); .ignore counts anywhere. Deeper files
// decide before those above them; .ignore before .gitignore before
// .git/info/exclude.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace tarnwick {

namespace os {
class File;
}

// The lines of one ignore file.
class IgnoreFile {
public:
    enum class Verdict : std::uint8_t { None, Ignore, Take };

    void Parse(std::string_view text);
    bool Empty() const { return rules_.empty(); }
    // What the last line that matches says of `path` ('/'-separated, relative
    // to the file's folder; `name` its last part), a folder with `folder`.
    Verdict Decide(std::string_view path, std::string_view name, bool folder) const;

private:
    struct Rule {
        std::string glob;
        bool negated = false;
        bool foldersOnly = false;
        bool anchored = false;  // matched against the whole relative path, not the name alone
    };
    struct Hash {
        using is_transparent = void;
        std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
    };
    using Index = std::unordered_map<std::string, std::vector<std::uint32_t>, Hash, std::equal_to<>>;

    std::vector<Rule> rules_;
    // Lines without wildcards, and "*.ext" lines, found by a lookup; the rest tried in turn.
    Index names_, paths_, extensions_;
    std::vector<std::uint32_t> globs_;
};

// Whether `text` ('/'-separated) matches the gitignore pattern `glob` as git's
// wildmatch does with pathnames: "*" and "?" never match "/", "[...]" a
// class, "\" quotes, "**" between slashes any number of folders.
bool GitGlob(std::string_view glob, std::string_view text);

// The ignore files that apply in a folder of a walk: its own, and through
// `up` those of the folders above it.
struct IgnoreLevel {
    std::shared_ptr<const IgnoreLevel> up;
    // A path the walk gives, made relative to this folder: `lead`, then the
    // path after its first `cut` characters.
    std::string lead;
    std::size_t cut = 0;
    IgnoreFile ignore, git, exclude;  // .ignore, .gitignore, .git/info/exclude
    bool repository = false;          // in a git repository: .gitignore counts here
    bool repositoryTop = false;       // a repository's top: .gitignore files above stop here
};

// The level of `folder` (a walk's path to it) below `up`, from the ignore files
// `marks` says it holds (os::RuleFiles), read through `read` (a name in the folder to its
// text; false when it cannot be read). `up` itself where the folder adds nothing.
std::shared_ptr<const IgnoreLevel> FolderLevel(
    std::shared_ptr<const IgnoreLevel> up, const std::filesystem::path& folder, std::uint8_t marks,
    const std::function<bool(const std::filesystem::path&, std::string&)>& read);
// The levels of the folders above `top` (a folder named to a walk): .ignore
// files up to the root, .gitignore files up to the repository's top and its
// .git/info/exclude, where `top` is inside a repository that starts above it.
std::shared_ptr<const IgnoreLevel> LevelsAbove(const std::filesystem::path& top);
// The text of an ignore file opened: what can be read of its first 16 MiB.
void ReadIgnoreFile(os::File& file, std::string& text);
// The same of the file at `path`, not followed where it is a link (unless
// `linkToo`); false when there is none to read.
bool ReadPath(const std::filesystem::path& path, std::string& text, bool linkToo = false);
// Whether the file at `file`, wherever it is, is ignored by the rules a walk
// from the root would meet on its way there (its folders' and those above,
// its folders themselves included): for the target of a link a walk found.
bool IgnoredAt(const std::filesystem::path& file);
// Whether `path` (a file of a walk, or a folder with `folder`) is ignored at `level`.
bool Ignored(const IgnoreLevel* level, const std::filesystem::path& path, bool folder);

}  // namespace tarnwick
