#include "cli/CommandLine.h"

#include "cli/Translation.h"

#include <algorithm>
#include <array>

namespace tarnwick::cli {

namespace {

// What an option takes after its name.
enum class Takes : std::uint8_t {
    Nothing,
    Value,     // -s TEXT, -sTEXT, --search TEXT, --search=TEXT
    Attached,  // only attached, and only if given: -bEXT, --backup=EXT
};

// One option: its names, what it takes, its lines in --help, what it sets.
struct Option {
    char shortName;             // 0: none
    std::string_view longName;  // without the dashes
    Takes takes;
    std::string_view shown;  // its value as --help shows it: " TEXT", "=WHEN", "[=EXT]"
    std::string_view help;   // the lines beside it, '\n' between them
    void (*set)(CommandLine& options, const std::string* value);
};

// Every option, in the order --help lists them.
constexpr Option kOptions[] = {
    {'s', "search", Takes::Value, N_(" TEXT"), N_("the text to find (not empty)"),
     [](CommandLine& o, const std::string* v) { o.strings.emplace_back('s', *v); }},
    {'r', "replace", Takes::Value, N_(" TEXT"),
     N_("the text to put in its place (may be empty); several\n"
        "pairs: each -s followed by its -r (see below)"),
     [](CommandLine& o, const std::string* v) { o.strings.emplace_back('r', *v); }},
    {'e', "regex", Takes::Nothing, "",
     N_("take each search string as a regular expression\n"
        "(Perl-compatible, matched on the text in the file's\n"
        "encoding); the replace string may use $1..$99,\n"
        "${1}, ${name}, $0 (the whole match) and $$ for $"),
     [](CommandLine& o, const std::string*) { o.regex = true; }},
    {'i', "ignore-case", Takes::Nothing, "",
     N_("letters match in any case (Unicode's case folding,\n"
        "every script and encoding); the replace string is\n"
        "looked for in any case too"),
     [](CommandLine& o, const std::string*) { o.ignoreCase = true; }},
    {'w', "word", Takes::Nothing, "",
     N_("only whole words: no letter, digit or underscore of\n"
        "any script just before or after an occurrence"),
     [](CommandLine& o, const std::string*) { o.word = true; }},
    {0, "preserve-case", Takes::Nothing, "",
     N_("letters match in any case (as -i), and each\n"
        "replacement takes its occurrence's case: москва,\n"
        "Москва, МОСКВА, foo_bar, fooBar (not with -e)"),
     [](CommandLine& o, const std::string*) { o.preserveCase = true; }},
    {0, "pairs", Takes::Value, N_(" FILE"),
     N_("the pairs from FILE instead, one a line as\n"
        "SEARCH<TAB>REPLACE in UTF-8, with the escapes \\t,\n"
        "\\n, \\r, \\# and \\\\; empty lines and lines\n"
        "starting with # are skipped"),
     [](CommandLine& o, const std::string* v) { o.pairsFile = *v; }},
    {'n', "check", Takes::Nothing, "", N_("classify the files only; change nothing"),
     [](CommandLine& o, const std::string*) { o.check = true; }},
    {'I', "interactive", Takes::Nothing, "",
     N_("show each occurrence (its line before and after)\n"
        "and ask: y take it, n leave it, a/d take/leave the\n"
        "rest of the file, A take all the rest, q stop; a\n"
        "file is written once, with what was taken"),
     [](CommandLine& o, const std::string*) { o.interactive = true; }},
    {0, "diff", Takes::Nothing, "",
     N_("change nothing; print the correction as a unified\n"
        "diff (a/PATH, b/PATH, 3 lines of context) that\n"
        "'patch -p1' applies; a file with NUL bytes in a\n"
        "changed line or lines over 64 KiB (UTF-16 files):\n"
        "one line 'Binary file PATH: N replacements', the\n"
        "file named on standard error, and exit status 1"),
     [](CommandLine& o, const std::string*) { o.diff = true; }},
    {0, "color", Takes::Value, N_("=WHEN"),
     N_("colour the diff: always, never, auto (default:\n"
        "when the output is a terminal and NO_COLOR is unset)"),
     [](CommandLine& o, const std::string* v) { o.color = *v; }},
    {'b', "backup", Takes::Attached, N_("[=EXT]"), N_("keep the old content as PATH.EXT (EXT: bak)"),
     [](CommandLine& o, const std::string* v) {
         o.backup = true;
         if (v) o.backupExtension = *v;
     }},
    {0, "no-backup", Takes::Nothing, "", N_("keep no backup copy (the default)"),
     [](CommandLine& o, const std::string*) { o.backup = false; }},
    {'E', "encoding", Takes::Value, N_(" NAME"),
     N_("look in this one encoding only: UTF-8, a\n"
        "single-byte code page such as CP1251 or a\n"
        "double-byte one such as CP932 or GB18030\n"
        "(default: every encoding below)"),
     [](CommandLine& o, const std::string* v) { o.encoding = *v; }},
    {0, "legacy", Takes::Value, N_(" LIST"),
     N_("the legacy code pages files are in, preferred in\n"
        "this order (CP1251 or CP1251,CP932...), in place of\n"
        "the one the system gives (see below)"),
     [](CommandLine& o, const std::string* v) { o.legacy = *v; }},
    {0, "json", Takes::Nothing, "",
     N_("write JSON Lines instead: one object per file, then\n"
        "one with the counts (see below)"),
     [](CommandLine& o, const std::string*) { o.json = true; }},
    {'z', "null", Takes::Nothing, "",
     N_("end each field with a NUL byte instead of a tab or\n"
        "newline, and write paths exactly as they are"),
     [](CommandLine& o, const std::string*) { o.null = true; }},
    {'j', "jobs", Takes::Value, N_(" N"),
     N_("check and correct N files at a time (default: one\n"
        "per CPU it may use); the output is the same for\n"
        "every N"),
     [](CommandLine& o, const std::string* v) { o.jobs = *v; }},
    {'R', "recursive", Takes::Nothing, "",
     N_("take folders' subfolders too, at any depth: a\n"
        "folder's files in name order, then its subfolders\n"
        "in name order; hidden files and folders are left\n"
        "out (see --hidden) and links to folders are not\n"
        "followed"),
     [](CommandLine& o, const std::string*) { o.recursive = true; }},
    {0, "hidden", Takes::Nothing, "",
     N_("take hidden files and folders too (.htaccess,\n"
        ".well-known/); the folders of version control\n"
        "(.git, .svn, .hg, .bzr, _darcs, CVS) never"),
     [](CommandLine& o, const std::string*) { o.hidden = true; }},
    {0, "no-ignore", Takes::Nothing, "",
     N_("take the files that .gitignore, .ignore and\n"
        ".git/info/exclude leave out (by default they are\n"
        "left out of folders, as git leaves them; .gitignore\n"
        "inside a git repository only)"),
     [](CommandLine& o, const std::string*) { o.noIgnore = true; }},
    {0, "follow-file-links", Takes::Nothing, "",
     N_("follow links to files in the folders wherever\n"
        "they lead; by default only links into the PATHs\n"
        "given are followed, the others are skipped"),
     [](CommandLine& o, const std::string*) { o.followFileLinks = true; }},
    {0, "include", Takes::Value, N_(" MASKS"),
     N_("only files whose names match MASKS: ';'-separated\n"
        "patterns with * and ? ('*.htm;*.html'); ASCII\n"
        "letters match in either case, '*.*' every name"),
     [](CommandLine& o, const std::string* v) { o.include.push_back(*v); }},
    {0, "exclude", Takes::Value, N_(" MASKS"), N_("leave out files whose names match MASKS"),
     [](CommandLine& o, const std::string* v) { o.exclude.push_back(*v); }},
    {0, "exclude-dir", Takes::Value, N_(" MASKS"),
     N_("do not enter folders whose names match MASKS\n"
        "(the three may be repeated; they choose among the\n"
        "files of folders, a file named as PATH is taken)"),
     [](CommandLine& o, const std::string* v) { o.excludeDir.push_back(*v); }},
    {0, "no-undo", Takes::Nothing, "", N_("keep no record of the run for --undo"),
     [](CommandLine& o, const std::string*) { o.noUndo = true; }},
    {0, "history", Takes::Nothing, N_(" [PATH]"),
     N_("list the runs that can be undone, newest first: ID,\n"
        "time, state (undoable, partly, undone), files, what;\n"
        "with PATH, the runs given it, a file or folder in\n"
        "it, or a folder it is in"),
     [](CommandLine& o, const std::string*) { o.history = true; }},
    {0, "undo", Takes::Nothing, N_(" [ID|PATH]"),
     N_("put back the files run ID corrected (default: the\n"
        "newest run no later run undid; with a PATH, the\n"
        "newest such run that touched it), each only while\n"
        "it is still exactly what the run wrote; an undo can\n"
        "be undone in turn (records: restored, changed,\n"
        "failed)"),
     [](CommandLine& o, const std::string*) { o.undo = true; }},
    {0, "binary", Takes::Nothing, "",
     N_("correct binary files too (a NUL byte anywhere and\n"
        "no UTF-16 byte-order mark), byte for byte; without\n"
        "it they are left alone"),
     [](CommandLine& o, const std::string*) { o.binary = true; }},
    {0, "keep-times", Takes::Nothing, "",
     N_("a corrected file keeps its modification time (on\n"
        "Windows its creation time too); a later change is\n"
        "still told by content, not by time"),
     [](CommandLine& o, const std::string*) { o.keepTimes = true; }},
    {0, "max-filesize", Takes::Value, N_(" SIZE"),
     N_("leave alone files larger than SIZE bytes (with K,\n"
        "M, G or T: 10M, 2G, in units of 1024), each one\n"
        "recorded as 'skipped PATH too large'"),
     [](CommandLine& o, const std::string* v) { o.mostFileSize = *v; }},
    {0, "progress", Takes::Nothing, "",
     N_("a line on standard error telling how the run goes\n"
        "(the default where standard error is a terminal)"),
     [](CommandLine& o, const std::string*) { o.progress = true; }},
    {0, "no-progress", Takes::Nothing, "", N_("no such line"),
     [](CommandLine& o, const std::string*) { o.progress = false; }},
    {0, "completions", Takes::Value, N_(" SHELL"),
     N_("print the completions of these options for SHELL\n"
        "(bash, zsh or fish) and end"),
     [](CommandLine& o, const std::string* v) { o.completions = *v; }},
    {0, "files0-from", Takes::Value, N_(" FILE"),
     N_("take the paths from FILE (- for standard input),\n"
        "each ended by a NUL byte, as find -print0 writes"),
     [](CommandLine& o, const std::string* v) { o.files0From = *v; }},
    {0, "options", Takes::Value, N_(" FILE"),
     N_("take the search and replace strings, the backup\n"
        "switch and extension from an options file;\n"
        "options given here win"),
     [](CommandLine& o, const std::string* v) { o.optionsFile = *v; }},
    {'h', "help", Takes::Nothing, "", N_("show this help"), [](CommandLine& o, const std::string*) { o.help = true; }},
    {'V', "version", Takes::Nothing, "", N_("show the version"),
     [](CommandLine& o, const std::string*) { o.version = true; }},
};

// Where the lines beside the options start.
constexpr std::size_t kHelpColumn = 25;

const char* const kUsage =
    N_("Usage: tarnwick-cli [OPTION]... -s TEXT -r TEXT [-s TEXT -r TEXT]... PATH...\n"
       "  or:  tarnwick-cli [OPTION]... --pairs FILE PATH...\n"
       "  or:  tarnwick-cli [OPTION]... -s TEXT -r TEXT --files0-from FILE\n"
       "  or:  tarnwick-cli --history [--json] [PATH]\n"
       "  or:  tarnwick-cli --undo [ID|PATH] [--json|-z]\n"
       "\n"
       "Corrects text files in place: replaces every occurrence of the search string\n"
       "with the replace string in each PATH, a file or every file directly in a\n"
       "folder (with -R: in the folder and all its subfolders), in the order given.\n"
       "Only files that hold the search string are changed.\n"
       "\n");

const char* const kMore =
    N_("\n"
       "Encodings: the strings are looked for in UTF-8, in the file's legacy code\n"
       "page and, in files starting with a UTF-16 byte-order mark, in that UTF-16.\n"
       "A file that is not valid UTF-8 is in a legacy code page, decided per file:\n"
       "of the pages --legacy or LegacyCodePage in the options file name, the one a\n"
       "search string shows in, the one detected or the first its bytes fit; else\n"
       "the page detected where it holds 32 or more bytes outside ASCII; else the\n"
       "page where a search string shows in its bytes; else, as a guess, the\n"
       "system's (or the one Windows uses for the locale's language, e.g.\n"
       "windows-1251 for Russian). A file that may be in a double-byte page where\n"
       "an ASCII search string would fall inside a character fails, left as it was,\n"
       "naming the pages. A file that is mostly UTF-8 (a stray byte) is UTF-8.\n"
       "Legacy forms count only in files that are not valid UTF-8, and in a\n"
       "double-byte code page (CP932, CP936, CP949, CP950, GB18030, EUC) only where\n"
       "a character starts.\n"
       "Records name the page a file was read in. Each occurrence is replaced in\n"
       "its own encoding; an ASCII search string takes the file's: UTF-8 for a UTF-8\n"
       "byte-order mark or valid UTF-8 with non-ASCII text, the legacy code page for\n"
       "other non-ASCII files, the system's for ASCII files. A file where the replace\n"
       "string has no form in the occurrence's encoding fails and is left as it was.\n"
       "\n"
       "Several pairs are applied together, in one pass: at each place the longest\n"
       "search string that starts there is replaced, and replaced text is never\n"
       "searched again (-s a -r b -s b -r a swaps a and b). A file is to correct when\n"
       "any search string occurs in it, already corrected when none does and a\n"
       "replace string does.\n"
       "\n"
       "Output, one line per file, fields separated by a tab:\n"
       "  to-correct PATH ENC         holds the search string (--check)\n"
       "  corrected PATH N ENC        N occurrences replaced (of all pairs)\n"
       "  already-corrected PATH      holds only the replace string\n"
       "  unknown PATH                holds neither; left alone\n"
       "  binary PATH                 a binary file; left alone (see --binary)\n"
       "  skipped PATH REASON         not taken: a link in a folder leading elsewhere\n"
       "  leftover PATH REASON        a stopped run's temporary file it cannot remove\n"
       "  backup PATH                 a backup copy of another file; left alone\n"
       "  same-file PATH OTHER        another name of OTHER, corrected under that name\n"
       "  restored PATH               --undo: the file holds its old content again\n"
       "  changed PATH                --undo: changed since the run; left alone\n"
       "  failed PATH REASON          could not be checked or corrected; left as it was\n"
       "ENC names the encodings the occurrences are in, e.g. utf-8,windows-1251.\n"
       "\n"
       "A path or reason holding a control character (a newline, a tab) or starting\n"
       "with a double quote is written in double quotes with C escapes (\\n, \\t,\n"
       "\\\", \\\\, \\ooo); with -z nothing is quoted.\n"
       "\n"
       "With --json each line is an object: {\"path\":P, \"result\":KIND} with, where\n"
       "they apply, \"replacements\":N, \"encodings\":[ENC...], \"reason\":TEXT,\n"
       "\"reason_path\":P (the backup a reason names), \"other\":P (same-file) and,\n"
       "with several pairs, \"pairs\":[N...] (each pair's replacements, in order);\n"
       "a path that is not UTF-8 is {\"bytes\":\"BASE64\"}.\n"
       "The last line is {\"summary\":{\"files\":N, ...the counts by KIND...}}.\n"
       "\n"
       "Exit status: 0 no file failed, 1 some file failed (or --diff could not show\n"
       "one as text), 2 usage error, 3 the output could not be written (nothing more\n"
       "was changed after that).\n");

// The options' lines of --help, from the table.
std::string OptionLines() {
    std::string lines;
    for (const Option& option : kOptions) {
        std::string line = "  ";
        line += option.shortName ? std::string{'-', option.shortName, ',', ' '} : std::string(4, ' ');
        line += "--" + std::string(option.longName) + (option.shown.empty() ? "" : Tr(option.shown.data()));
        // The column counts characters: a translation's letters take several bytes.
        const auto width = static_cast<std::size_t>(std::count_if(
            line.begin(), line.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
        line += width < kHelpColumn ? std::string(kHelpColumn - width, ' ') : std::string(2, ' ');
        // (Each help is a literal of the table, whole.)
        const std::string_view help = Tr(option.help.data());
        for (std::size_t from = 0; from <= help.size();) {
            const std::size_t end = std::min(help.find('\n', from), help.size());
            if (from) line += std::string(kHelpColumn, ' ');
            line += std::string(help.substr(from, end - from)) + '\n';
            from = end + 1;
        }
        lines += line;
    }
    return lines;
}

const Option* Short(char name) {
    const auto found = std::find_if(std::begin(kOptions), std::end(kOptions),
                                    [&](const Option& option) { return option.shortName == name; });
    return found == std::end(kOptions) ? nullptr : found;
}

// The edits that make `a` into `b` (Levenshtein distance).
std::size_t Distance(std::string_view a, std::string_view b) {
    std::vector<std::size_t> row(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        std::size_t diagonal = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
            diagonal = above;
        }
    }
    return row[b.size()];
}

// The long option `name` names (the whole name, or the start of only one),
// or why none.
std::variant<const Option*, UsageError> Long(std::string_view name, const std::string& arg) {
    std::vector<const Option*> starting;
    for (const Option& option : kOptions) {
        if (option.longName == name) return &option;
        if (!name.empty() && option.longName.starts_with(name)) starting.push_back(&option);
    }
    if (starting.size() == 1) return starting.front();
    if (starting.size() > 1) {
        std::string names;
        for (const Option* option : starting) names += (names.empty() ? "--" : ", --") + std::string(option->longName);
        return UsageError{Fill(Tr("option '{}' is ambiguous: {}"), {arg, names})};
    }
    const Option* nearest = nullptr;
    std::size_t best = 3;  // at most two edits away
    for (const Option& option : kOptions)
        if (const std::size_t d = Distance(name, option.longName); d < best) best = d, nearest = &option;
    if (!nearest) return UsageError{Fill(Tr("unknown option '{}'"), {arg})};
    return UsageError{Fill(Tr("unknown option '{}' (did you mean --{}?)"), {arg, nearest->longName})};
}

// Reads the value of `option`: attached, or the next argument.
std::optional<UsageError> Take(const Option& option, std::optional<std::string> attached, const std::string& shownName,
                               const std::vector<std::string>& args, std::size_t& i, CommandLine& options) {
    if (option.takes == Takes::Nothing) {
        if (attached) return UsageError{Fill(Tr("option {} takes no value"), {shownName})};
        option.set(options, nullptr);
        return std::nullopt;
    }
    if (option.takes == Takes::Value && !attached) {
        if (i + 1 == args.size()) return UsageError{Fill(Tr("option {} needs a value"), {shownName})};
        attached = args[++i];
    }
    option.set(options, attached ? &*attached : nullptr);
    return std::nullopt;
}

// Whether `letters` are all short options, the last of them perhaps one that
// takes a value ("-nR", "-Rs"): so that "-bR" is -b -R while "-borig" names
// the backup's extension.
bool Bundle(std::string_view letters) {
    for (std::size_t k = 0; k < letters.size(); ++k) {
        const Option* option = Short(letters[k]);
        if (!option || option->takes == Takes::Attached) return false;
        if (option->takes == Takes::Value) return true;  // the rest is its value
    }
    return true;
}

// "-nR", "-sTEXT", "-ns TEXT", "-bEXT".
std::optional<UsageError> ShortOptions(const std::vector<std::string>& args, std::size_t& i, CommandLine& options) {
    const std::string& arg = args[i];
    for (std::size_t k = 1; k < arg.size(); ++k) {
        const Option* option = Short(arg[k]);
        const std::string name{'-', arg[k]};
        if (!option) return UsageError{Fill(Tr("unknown option '{}'"), {k == 1 ? arg : name})};
        const std::string rest = arg.substr(k + 1);
        if (option->takes == Takes::Nothing) {
            option->set(options, nullptr);
            continue;
        }
        if (option->takes == Takes::Attached && (rest.empty() || Bundle(rest))) {
            option->set(options, nullptr);
            continue;
        }
        return Take(*option, rest.empty() ? std::nullopt : std::optional<std::string>(rest), name, args, i, options);
    }
    return std::nullopt;
}

}  // namespace

std::string Help() { return Tr(kUsage) + OptionLines() + Tr(kMore); }

namespace {

// What a shell offers after an option: files, a word of a list, or nothing
// (free text such as a search string).
enum class Offers : std::uint8_t { Nothing, Files, Words };

Offers OffersFor(const Option& option, std::string_view& words) {
    words = {};
    if (option.takes != Takes::Value) return Offers::Nothing;
    if (option.shown == " FILE") return Offers::Files;
    if (option.shown == "=WHEN") return words = "auto always never", Offers::Words;
    if (option.shown == " SHELL") return words = "bash zsh fish", Offers::Words;
    return Offers::Nothing;
}

// An option's help up to the end of its first clause (a ';' or '('), on
// one line and at most 60 characters, as a description in single quotes; for
// zsh, its own characters escaped.
std::string Described(const Option& option, bool zsh = false) {
    std::string line(Tr(option.help.data()));
    std::replace(line.begin(), line.end(), '\n', ' ');
    line.erase(std::min(line.find_first_of(";("), line.size()));
    // (Counted in characters: a translation's letters take several bytes.)
    std::size_t characters = 0, cut = line.size(), lastSpace = 0;
    for (std::size_t i = 0; i < line.size(); ++i) {
        if ((static_cast<unsigned char>(line[i]) & 0xC0) == 0x80) continue;
        if (line[i] == ' ') lastSpace = i;
        if (++characters > 60) {
            cut = lastSpace ? lastSpace : i;
            break;
        }
    }
    line.erase(cut);
    while (!line.empty() && (line.back() == ' ' || line.back() == ',' || line.back() == ':' || line.back() == '\''))
        line.pop_back();
    std::string described;
    for (const char c : line) {
        if (c == '\'') continue;
        if (zsh && (c == '[' || c == ']' || c == ':' || c == '\\')) described += '\\';
        described += c;
    }
    return described;
}

std::string BashCompletions() {
    std::string all, files, free, worded;
    for (const Option& o : kOptions) {
        std::string names = "--" + std::string(o.longName);
        if (o.shortName) names += "|-" + std::string(1, o.shortName);
        all += (all.empty() ? "" : " ") + ("--" + std::string(o.longName)) +
               (o.shortName ? " -" + std::string(1, o.shortName) : "");
        std::string_view words;
        switch (OffersFor(o, words)) {
        case Offers::Files: files += (files.empty() ? "" : "|") + names; break;
        case Offers::Words:
            worded += "        " + names + ") COMPREPLY=($(compgen -W '" + std::string(words) +
                      "' -- \"$cur\")); return ;;\n";
            break;
        case Offers::Nothing:
            if (o.takes == Takes::Value) free += (free.empty() ? "" : "|") + names;
            break;
        }
    }
    return "# bash completion for tarnwick-cli (made by: tarnwick-cli --completions bash)\n"
           "_tarnwick_cli() {\n"
           "    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}\n"
           "    case $prev in\n"
           "        " +
           free +
           ") return ;;\n"
           "        " +
           files + ") COMPREPLY=($(compgen -f -- \"$cur\")); return ;;\n" + worded +
           "    esac\n"
           "    if [[ $cur == -* ]]; then\n"
           "        COMPREPLY=($(compgen -W '" +
           all +
           "' -- \"$cur\"))\n"
           "        return\n"
           "    fi\n"
           "    COMPREPLY=($(compgen -f -- \"$cur\"))\n"
           "}\n"
           "complete -o filenames -o bashdefault -F _tarnwick_cli tarnwick-cli\n";
}

std::string ZshCompletions() {
    std::string specs;
    for (const Option& o : kOptions) {
        std::string_view words;
        const Offers offers = OffersFor(o, words);
        std::string value;
        if (o.takes == Takes::Value) {
            const std::string name(o.shown.substr(1));
            value = offers == Offers::Files   ? ":" + name + ":_files"
                    : offers == Offers::Words ? ":" + name + ":(" + std::string(words) + ")"
                                              : ":" + name + ": ";
        }
        // (Built up, not as "[" + a temporary: GCC 12 warns wrongly about that.)
        std::string described(1, '[');
        described += Described(o, true);
        described += ']';
        const std::string longSpec = "--" + std::string(o.longName) + (o.takes == Takes::Attached ? "=-" : "") +
                                     (o.takes == Takes::Value && o.shown[0] == '=' ? "=" : "");
        specs += "    '" + longSpec + described + value + "'\n";
        if (o.shortName) specs += "    '-" + std::string(1, o.shortName) + described + value + "'\n";
    }
    return "#compdef tarnwick-cli\n"
           "# zsh completion for tarnwick-cli (made by: tarnwick-cli --completions zsh)\n"
           "_arguments -s -S \\\n" +
           [&] {
               std::string lines;
               std::size_t start = 0;
               for (std::size_t end; (end = specs.find('\n', start)) != std::string::npos; start = end + 1)
                   lines += specs.substr(start, end - start) + " \\\n";
               return lines;
           }() +
           "    '*:PATH:_files'\n";
}

std::string FishCompletions() {
    std::string out = "# fish completion for tarnwick-cli (made by: tarnwick-cli --completions fish)\n";
    for (const Option& o : kOptions) {
        std::string line = "complete -c tarnwick-cli";
        if (o.shortName) line += " -s " + std::string(1, o.shortName);
        line += " -l " + std::string(o.longName);
        std::string_view words;
        switch (OffersFor(o, words)) {
        case Offers::Files: line += " -r -F"; break;
        case Offers::Words: line += " -x -a '" + std::string(words) + "'"; break;
        case Offers::Nothing:
            if (o.takes == Takes::Value) line += " -x";
            break;
        }
        out += line + " -d '" + Described(o) + "'\n";
    }
    return out;
}

}  // namespace

std::optional<std::string> Completions(std::string_view shell) {
    if (shell == "bash") return BashCompletions();
    if (shell == "zsh") return ZshCompletions();
    if (shell == "fish") return FishCompletions();
    return std::nullopt;
}

std::optional<UsageError> Parse(const std::vector<std::string>& args, CommandLine& options) {
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--") {
            options.paths.insert(options.paths.end(), args.begin() + static_cast<std::ptrdiff_t>(i) + 1, args.end());
            break;
        }
        if (arg.size() < 2 || arg[0] != '-') {
            options.paths.push_back(arg);
            continue;
        }
        if (arg[1] != '-') {
            if (auto error = ShortOptions(args, i, options)) return error;
            continue;
        }
        // "--search TEXT", "--search=TEXT", "--sea=TEXT".
        const std::size_t eq = arg.find('=');
        const std::string name = arg.substr(2, eq == std::string::npos ? std::string::npos : eq - 2);
        auto option = Long(name, eq == std::string::npos ? arg : arg.substr(0, eq));
        if (auto* error = std::get_if<UsageError>(&option)) return *error;
        const Option& found = *std::get<const Option*>(option);
        std::optional<std::string> value;
        if (eq != std::string::npos) value = arg.substr(eq + 1);
        if (auto error = Take(found, value, "--" + std::string(found.longName), args, i, options)) return error;
    }
    // --undo's operand is a run's ID, not a PATH.
    if (options.undo) options.runIds = std::exchange(options.paths, {});
    // Modes that exclude each other.
    if (options.check && options.diff)
        return UsageError{Fill(Tr("{} and {} cannot be combined"), {"--check (-n)", "--diff"})};
    // (An undo changes files: asked to change nothing, it does nothing.)
    if (options.check && options.undo)
        return UsageError{Fill(Tr("{} and {} cannot be combined"), {"--check (-n)", "--undo"})};
    if (options.diff && (options.undo || options.history))
        return UsageError{Fill(Tr("{} and {} cannot be combined"), {options.undo ? "--undo" : "--history", "--diff"})};
    return std::nullopt;
}

}  // namespace tarnwick::cli
