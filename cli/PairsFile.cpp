#include "cli/PairsFile.h"
#include "cli/Translation.h"

#include "platform/CodePage.h"

#include <map>
#include <optional>

namespace tarnwick::cli {

namespace {

// `text` with its escapes undone, or nothing (and `error`) for an unknown one.
std::optional<std::string> Unescape(const std::string& text, std::string& error) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            out += text[i];
            continue;
        }
        const char next = i + 1 < text.size() ? text[i + 1] : '\0';
        if (next == 't') out += '\t';
        else if (next == 'n') out += '\n';
        else if (next == 'r') out += '\r';
        else if (next == '\\') out += '\\';
        else if (next == '#') out += '#';
        else {
            error = i + 1 < text.size() ? Fill(Tr("unknown escape '\\{}'"), {std::string(1, next)})
                                        : std::string(Tr("a '\\' at the end"));
            error += Tr(" (known: \\t, \\n, \\r, \\# and \\\\)");
            return std::nullopt;
        }
        ++i;
    }
    return out;
}

}  // namespace

std::variant<std::vector<TextPair>, std::string> ReadPairs(std::istream& in, std::vector<std::string>* warnings) {
    std::vector<TextPair> pairs;
    std::map<std::u16string, std::size_t> lineOf;  // each search string's line
    std::string line;
    for (std::size_t number = 1; std::getline(in, line); ++number) {
        const auto at = [&](const std::string& what) {
            return Fill(Tr("line {}: {}"), {std::to_string(number), what});
        };
        if (number == 1 && line.rfind("\xEF\xBB\xBF", 0) == 0) line.erase(0, 3);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) continue;
        if (line[0] == '#') {
            // A colour or an anchor that starts with '#' would be taken for a comment.
            if (warnings && line.find('\t') != std::string::npos)
                warnings->push_back(
                    at(Tr("a comment holding a TAB is skipped; to replace a string that starts with "
                          "'#', write '\\#'")));
            continue;
        }
        const std::size_t tab = line.find('\t');
        if (tab == std::string::npos) return at(Tr("no TAB between the search and the replace string"));
        // After a second TAB, the pair's own switches: i (any case), w (whole
        // words), c (each replacement in its occurrence's case shape).
        const std::size_t second = line.find('\t', tab + 1);
        TextPair pair;
        if (second != std::string::npos) {
            const std::string flags = line.substr(second + 1);
            if (flags.find('\t') != std::string::npos)
                return at(Tr("more than two TABs (a TAB inside a string is written \\t)"));
            for (const char flag : flags) {
                bool& on = flag == 'i' ? pair.ignoreCase : flag == 'c' ? pair.preserveCase : pair.word;
                if ((flag != 'i' && flag != 'w' && flag != 'c') || on)
                    return at(Fill(Tr("'{}' after the second TAB: the switches are i (any case), w (whole words) and "
                                      "c (keep the case), each once"),
                                   {flags}));
                on = true;
            }
            line.erase(second);
        }
        std::string error;
        const auto search = Unescape(line.substr(0, tab), error);
        const auto replace = search ? Unescape(line.substr(tab + 1), error) : std::nullopt;
        if (!replace) return at(error);
        const auto search16 = Utf8ToUtf16(*search), replace16 = Utf8ToUtf16(*replace);
        if (!search16 || !replace16) return at(Tr("not valid UTF-8 text"));
        if (search16->empty()) return at(Tr("the search string is empty"));
        const auto [earlier, added] = lineOf.emplace(*search16, number);
        if (!added) return at(Fill(Tr("the search string of line {} again"), {std::to_string(earlier->second)}));
        pair.search = *search16;
        pair.replace = *replace16;
        pairs.push_back(std::move(pair));
    }
    if (in.bad()) return std::string(Tr("cannot be read"));
    if (pairs.empty()) return std::string(Tr("holds no pair"));
    return pairs;
}

}  // namespace tarnwick::cli
