#include "CommandLine.h"

namespace tarnwick::cli {

const std::string_view kHelp =
    "Usage: tarnwick-cli [OPTION]... -s TEXT -r TEXT [-s TEXT -r TEXT]... PATH...\n"
    "  or:  tarnwick-cli [OPTION]... --pairs FILE PATH...\n"
    "  or:  tarnwick-cli [OPTION]... -s TEXT -r TEXT --files0-from FILE\n"
    "  or:  tarnwick-cli --history [--json]\n"
    "  or:  tarnwick-cli --undo [ID] [--json|-z]\n"
    "\n"
    "Corrects text files in place: replaces every occurrence of the search string\n"
    "with the replace string in each PATH, a file or every file directly in a\n"
    "folder (with -R: in the folder and all its subfolders), in the order given.\n"
    "Only files that hold the search string are changed.\n"
    "\n"
    "  -s, --search TEXT      the text to find (not empty)\n"
    "  -r, --replace TEXT     the text to put in its place (may be empty); several\n"
    "                         pairs: each -s followed by its -r (see below)\n"
    "      --pairs FILE       the pairs from FILE instead, one a line as\n"
    "                         SEARCH<TAB>REPLACE in UTF-8, with the escapes \\t,\n"
    "                         \\n, \\r, \\# and \\\\; empty lines and lines\n"
    "                         starting with # are skipped\n"
    "  -n, --check            classify the files only; change nothing\n"
    "      --diff             change nothing; print the correction as a unified\n"
    "                         diff (a/PATH, b/PATH, 3 lines of context) that\n"
    "                         'patch -p1' applies; a file with NUL bytes in a\n"
    "                         changed line or lines over 64 KiB (UTF-16 files):\n"
    "                         one line 'Binary file PATH: N replacements', the\n"
    "                         file named on standard error, and exit status 1\n"
    "      --color=WHEN       colour the diff: always, never, auto (default:\n"
    "                         when the output is a terminal and NO_COLOR is unset)\n"
    "  -b, --backup[=EXT]     keep the old content as PATH.EXT (EXT: bak)\n"
    "      --no-backup        keep no backup copy (the default)\n"
    "  -E, --encoding NAME    look in this one encoding only: UTF-8, a\n"
    "                         single-byte code page such as CP1251 or a\n"
    "                         double-byte one such as CP932 or GB18030\n"
    "                         (default: every encoding below)\n"
    "      --legacy LIST      the legacy code pages files are in, preferred in\n"
    "                         this order (CP1251 or CP1251,CP932...), in place of\n"
    "                         the one the system gives (see below)\n"
    "      --json             write JSON Lines instead: one object per file, then\n"
    "                         one with the counts (see below)\n"
    "  -z, --null             end each field with a NUL byte instead of a tab or\n"
    "                         newline, and write paths exactly as they are\n"
    "  -j, --jobs N           check and correct N files at a time (default: one\n"
    "                         per CPU it may use); the output is the same for\n"
    "                         every N\n"
    "  -R, --recursive        take folders' subfolders too, at any depth: a\n"
    "                         folder's files in name order, then its subfolders\n"
    "                         in name order; hidden files and folders are left\n"
    "                         out (see --hidden) and links to folders are not\n"
    "                         followed\n"
    "      --hidden           take hidden files and folders too (.htaccess,\n"
    "                         .well-known/); the folders of version control\n"
    "                         (.git, .svn, .hg, .bzr, _darcs, CVS) never\n"
    "      --follow-file-links  follow links to files in the folders wherever\n"
    "                         they lead; by default only links into the PATHs\n"
    "                         given are followed, the others are skipped\n"
    "      --include MASKS    only files whose names match MASKS: ';'-separated\n"
    "                         patterns with * and ? ('*.htm;*.html'); ASCII\n"
    "                         letters match in either case, '*.*' every name\n"
    "      --exclude MASKS    leave out files whose names match MASKS\n"
    "      --exclude-dir MASKS  do not enter folders whose names match MASKS\n"
    "                         (the three may be repeated; they choose among the\n"
    "                         files of folders, a file named as PATH is taken)\n"
    "      --no-undo          keep no record of the run for --undo\n"
    "      --history          list the runs that can be undone, newest first: ID,\n"
    "                         time, state (undoable, partly, undone), files, what\n"
    "      --undo [ID]        put back the files run ID corrected (default: the\n"
    "                         newest run no later run undid), each only while it\n"
    "                         is still exactly what the run wrote; an undo can be\n"
    "                         undone in turn (records: restored, changed, failed)\n"
    "      --binary           correct binary files too (a NUL byte anywhere and\n"
    "                         no UTF-16 byte-order mark), byte for byte; without\n"
    "                         it they are left alone\n"
    "      --files0-from FILE take the paths from FILE (- for standard input),\n"
    "                         each ended by a NUL byte, as find -print0 writes\n"
    "      --options FILE     take the search and replace strings, the backup\n"
    "                         switch and extension from an options file;\n"
    "                         options given here win\n"
    "  -h, --help             show this help\n"
    "  -V, --version          show the version\n"
    "\n"
    "Encodings: the strings are looked for in UTF-8, in the file's legacy code\n"
    "page and, in files starting with a UTF-16 byte-order mark, in that UTF-16.\n"
    "A file that is not valid UTF-8 is in a legacy code page, decided per file:\n"
    "the page where a search string shows in its bytes; else, of the pages\n"
    "--legacy or LegacyCodePage in the options file name, the one detected or\n"
    "the first its bytes fit; else the page detected where it holds 32 or more\n"
    "bytes outside ASCII; else, as a guess, the system's (or the one Windows\n"
    "uses for the locale's language, e.g. windows-1251 for Russian). A file\n"
    "that may be in a double-byte page where an ASCII search string would fall\n"
    "inside a character fails, left as it was, naming the pages. Legacy forms\n"
    "count only in files that are not valid UTF-8, and in a double-byte code page\n"
    "(CP932, CP936, CP949, CP950, GB18030, EUC) only where a character starts.\n"
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
    "was changed after that).\n";

namespace {

// Where the value of an option that takes one goes; nothing for other names.
std::optional<std::string>* ValueOf(CommandLine& options, const std::string& name) {
    if (name == "--pairs") return &options.pairsFile;
    if (name == "-E" || name == "--encoding") return &options.encoding;
    if (name == "--legacy") return &options.legacy;
    if (name == "--options") return &options.optionsFile;
    if (name == "-j" || name == "--jobs") return &options.jobs;
    if (name == "--color") return &options.color;
    if (name == "--files0-from") return &options.files0From;
    return nullptr;
}

// Where the values of an option that may be repeated go; nothing for other names.
std::vector<std::string>* ValuesOf(CommandLine& options, const std::string& name) {
    if (name == "--include") return &options.include;
    if (name == "--exclude") return &options.exclude;
    if (name == "--exclude-dir") return &options.excludeDir;
    return nullptr;
}

// Sets the switch `name`; false for a name that is none.
bool SetFlag(CommandLine& options, const std::string& name) {
    if (name == "-n" || name == "--check") options.check = true;
    else if (name == "--no-backup") options.backup = false;
    else if (name == "-z" || name == "--null") options.null = true;
    else if (name == "--json") options.json = true;
    else if (name == "--diff") options.diff = true;
    else if (name == "-R" || name == "--recursive") options.recursive = true;
    else if (name == "--follow-file-links") options.followFileLinks = true;
    else if (name == "--hidden") options.hidden = true;
    else if (name == "--binary") options.binary = true;
    else if (name == "--no-undo") options.noUndo = true;
    else if (name == "--history") options.history = true;
    else if (name == "--undo") options.undo = true;
    else if (name == "-h" || name == "--help") options.help = true;
    else if (name == "-V" || name == "--version") options.version = true;
    else return false;
    return true;
}

}  // namespace

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
        // Options with a value: "-s TEXT", "-sTEXT", "--search TEXT", "--search=TEXT".
        std::optional<std::string>* valued;
        std::string name = arg;
        std::optional<std::string> inlineValue;
        if (arg.rfind("--", 0) == 0) {
            const auto eq = arg.find('=');
            if (eq != std::string::npos) {
                name = arg.substr(0, eq);
                inlineValue = arg.substr(eq + 1);
            }
        } else if (arg.size() > 2) {
            name = arg.substr(0, 2);
            inlineValue = arg.substr(2);
        }
        const char string = name == "-s" || name == "--search" ? 's' : name == "-r" || name == "--replace" ? 'r' : 0;
        std::vector<std::string>* repeated = ValuesOf(options, name);
        if ((valued = ValueOf(options, name)) || repeated || string) {
            if (!inlineValue) {
                if (i + 1 == args.size()) return UsageError{"option " + name + " needs a value"};
                inlineValue = args[++i];
            }
            if (string) options.strings.emplace_back(string, *inlineValue);
            else if (repeated) repeated->push_back(*inlineValue);
            else *valued = *inlineValue;
            continue;
        }
        if (name == "-b" || name == "--backup") {
            options.backup = true;
            if (inlineValue) options.backupExtension = *inlineValue;
            continue;
        }
        if (inlineValue || !SetFlag(options, name)) return UsageError{"unknown option '" + arg + "'"};
    }
    return std::nullopt;
}

}  // namespace tarnwick::cli
