#include "settings/ProfileStore.h"

#include "platform/FileSystem.h"
#include "platform/DurableFile.h"
#include "platform/Leftovers.h"

#include <vector>

namespace tarnwick::settings {

namespace fs = std::filesystem;

namespace {

// Options files are small; a larger file is no profile file of ours.
constexpr std::uint64_t kMaxProfileSize = 16u << 20;

std::string_view Trim(std::string_view s) {
    const auto first = s.find_first_not_of(" \t");
    if (first == std::string_view::npos) return {};
    const auto last = s.find_last_not_of(" \t");
    return s.substr(first, last - first + 1);
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        auto x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
        if (x >= 'A' && x <= 'Z') x += 'a' - 'A';
        if (y >= 'A' && y <= 'Z') y += 'a' - 'A';
        if (x != y) return false;
    }
    return true;
}

std::error_code ReadWhole(const fs::path& file, std::string& content) {
    os::File in;
    if (auto ec = os::File::OpenRead(file, in)) return ec;
    os::FileInfo info;
    if (auto ec = in.Info(info)) return ec;
    if (!info.regular) return std::make_error_code(std::errc::invalid_argument);
    if (info.size > kMaxProfileSize) return std::make_error_code(std::errc::file_too_large);
    content.clear();
    char buffer[65536];
    for (;;) {
        std::size_t got = 0;
        if (auto ec = in.Read(buffer, sizeof buffer, got)) return ec;
        if (got == 0) return {};
        content.append(buffer, got);
        if (content.size() > kMaxProfileSize) return std::make_error_code(std::errc::file_too_large);
    }
}

// One line of the file, without its line break.
struct Line {
    std::string_view text;
    enum Kind { Other, Section, Entry } kind = Other;
    std::string_view name;  // section name or key
    std::string_view value;
};

std::vector<Line> SplitLines(std::string_view content) {
    std::vector<Line> lines;
    while (!content.empty()) {
        auto end = content.find('\n');
        std::string_view raw = content.substr(0, end);
        content.remove_prefix(end == std::string_view::npos ? content.size() : end + 1);
        if (!raw.empty() && raw.back() == '\r') raw.remove_suffix(1);
        Line line;
        line.text = raw;
        const std::string_view t = Trim(raw);
        if (!t.empty() && t.front() == '[') {
            const auto close = t.find(']');
            if (close != std::string_view::npos) {
                line.kind = Line::Section;
                line.name = Trim(t.substr(1, close - 1));
            }
        } else if (!t.empty() && t.front() != ';') {
            const auto eq = t.find('=');
            if (eq != std::string_view::npos) {
                line.kind = Line::Entry;
                line.name = Trim(t.substr(0, eq));
                line.value = Trim(t.substr(eq + 1));
            }
        }
        lines.push_back(line);
    }
    return lines;
}

// Where the key is, or where it would go, in `lines`.
struct Place {
    std::size_t section = std::string::npos;  // the section's header line
    std::size_t key = std::string::npos;      // the key's line
    std::size_t lastEntry = std::string::npos;
};

Place Find(const std::vector<Line>& lines, std::string_view section, std::string_view key) {
    Place place;
    bool inside = false;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const Line& line = lines[i];
        if (line.kind == Line::Section) {
            if (inside) break;  // the first section of that name counts
            inside = EqualsIgnoringCase(line.name, section);
            if (inside) place.section = i;
        } else if (inside && line.kind == Line::Entry) {
            place.lastEntry = i;
            if (EqualsIgnoringCase(line.name, key) && place.key == std::string::npos) place.key = i;
        }
    }
    return place;
}

bool HasLineBreak(std::string_view s) { return s.find_first_of("\r\n") != std::string_view::npos; }

// Through a handle of the folder, as the engine's rewrite works: a new file
// beside the old one, flushed, renamed over it, the folder flushed (DurableFile).
std::error_code ReplaceFile(const fs::path& file, const std::string& content, const os::FileInfo* existing) {
    os::Folder folder;
    if (auto ec = os::Folder::Open(file.parent_path(), folder)) return ec;
    // What a save that was stopped (killed, a power cut) left here goes first.
    CleanLeftovers(folder, false);
    DurableFile out;
    if (auto ec = out.Create(folder)) return ec;
    os::FileInfo like;
    if (existing) like = *existing;
    else like.mode = os::DefaultNewFileMode();
    std::error_code ec = out.Out().WriteAll(content.data(), content.size());
    if (!ec) ec = out.Out().CopyAccessFrom(like);
    if (!ec) ec = out.Seal(FlushSite::OptionsData);
    if (!ec) ec = out.Place(file.filename());
    if (ec) return ec;
    FlushAt(FlushSite::OptionsFolder, folder);
    return {};
}

}  // namespace

std::error_code CheckProfileFile(const fs::path& file) {
    os::FileInfo info;
    if (auto ec = os::Stat(file, info)) return ec;
    if (!info.regular) return std::make_error_code(std::errc::invalid_argument);
    if (info.size > kMaxProfileSize) return std::make_error_code(std::errc::file_too_large);
    return {};
}

std::vector<std::optional<std::string>> ReadProfileValues(const fs::path& file, std::string_view section,
                                                          const std::vector<std::string>& keys, bool* utf8,
                                                          std::vector<bool>* endedByNul) {
    std::vector<std::optional<std::string>> values(keys.size());
    if (utf8) *utf8 = false;
    if (endedByNul) endedByNul->assign(keys.size(), false);
    std::string content;
    if (file.empty() || ReadWhole(file, content)) return values;
    std::string_view text = content;
    constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
    if (text.substr(0, kByteOrderMark.size()) == kByteOrderMark) {
        text.remove_prefix(kByteOrderMark.size());
        if (utf8) *utf8 = true;
    }
    const std::vector<Line> lines = SplitLines(text);
    for (std::size_t i = 0; i < keys.size(); ++i) {
        const Place place = Find(lines, section, keys[i]);
        if (place.key == std::string::npos) continue;
        std::string_view value = lines[place.key].value;
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"') value = value.substr(1, value.size() - 2);
        const auto nul = value.find('\0');
        if (endedByNul) (*endedByNul)[i] = nul != std::string_view::npos;
        values[i] = std::string(value.substr(0, nul));
    }
    return values;
}

std::optional<std::string> ReadProfileValue(const fs::path& file, std::string_view section, std::string_view key,
                                            bool* utf8) {
    return ReadProfileValues(file, section, {std::string(key)}, utf8)[0];
}

namespace {

bool IsValidEntry(std::string_view section, const ProfileEntry& entry) {
    const std::string_view key = entry.key;
    return !section.empty() && !key.empty() && !HasLineBreak(section) && !HasLineBreak(key) &&
           !HasLineBreak(entry.value) && section.find(']') == std::string_view::npos &&
           key.find('=') == std::string_view::npos && Trim(key) == key && Trim(section) == section &&
           key.front() != '[' && key.front() != ';';
}

// `content` with `key` in `section` set to `value`, by the rules of WriteProfileValue.
std::string WithValue(std::string_view content, std::string_view section, const ProfileEntry& entry,
                      std::string_view eol) {
    const std::vector<Line> lines = SplitLines(content);
    const Place place = Find(lines, section, entry.key);
    std::string line, header;
    const std::string_view value = entry.value;
    const bool quoted =
        !value.empty() && (Trim(value) != value || (value.size() >= 2 && value.front() == '"' && value.back() == '"'));
    line.append(entry.key).append("=");
    if (quoted) line.append("\"").append(value).append("\"");
    else line.append(value);
    header.append("[").append(section).append("]");
    std::vector<std::string_view> out;
    out.reserve(lines.size() + 2);
    for (const Line& l : lines) out.push_back(l.text);
    if (place.key != std::string::npos) {
        out[place.key] = line;
    } else if (place.section != std::string::npos) {
        const std::size_t after = place.lastEntry != std::string::npos ? place.lastEntry : place.section;
        out.insert(out.begin() + static_cast<std::ptrdiff_t>(after) + 1, line);
    } else {
        out.push_back(header);
        out.push_back(line);
    }
    std::string result;
    for (const auto& l : out) result.append(l).append(eol);
    return result;
}

}  // namespace

std::error_code WriteProfileValues(const fs::path& file, std::string_view section,
                                   const std::vector<ProfileEntry>& entries, bool onlyThese) {
    if (file.empty()) return std::make_error_code(std::errc::invalid_argument);
    for (const ProfileEntry& entry : entries)
        if (!IsValidEntry(section, entry)) return std::make_error_code(std::errc::invalid_argument);

    std::string content;
    os::FileInfo info;
    const bool exists = !os::Stat(file, info);
    if (exists && !onlyThese) {
        if (auto ec = ReadWhole(file, content)) return ec;
    }
    // Keep the file's own line breaks; new files get the platform's.
    const auto firstBreak = content.find('\n');
    std::string_view eol = os::NewLine();
    if (firstBreak != std::string::npos) eol = firstBreak > 0 && content[firstBreak - 1] == '\r' ? "\r\n" : "\n";

    for (const ProfileEntry& entry : entries) content = WithValue(content, section, entry, eol);
    return ReplaceFile(file, content, exists ? &info : nullptr);
}

std::error_code WriteProfileValue(const fs::path& file, std::string_view section, std::string_view key,
                                  std::string_view value) {
    return WriteProfileValues(file, section, {ProfileEntry{std::string(key), std::string(value)}});
}

}  // namespace tarnwick::settings
