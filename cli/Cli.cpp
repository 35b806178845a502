#include "cli/Cli.h"
#include "platform/FileSystem.h"

#include "platform/CodePage.h"
#include "cli/CommandLine.h"
#include "cli/Interactive.h"
#include "settings/Options.h"
#include "cli/PairsFile.h"
#include "settings/ProfileStore.h"
#include "cli/Records.h"
#include "cli/StopSignals.h"
#include "cli/Translation.h"
#include "cli/UndoCommands.h"
#include "engine/run/RunSetup.h"
#include "Version.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <deque>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <chrono>
#include <iostream>
#include <istream>
#include <optional>
#include <ostream>

namespace tarnwick::cli {

namespace fs = std::filesystem;

namespace {

// The encodings -E and --legacy may name, in words.
constexpr const char* kSupportedEncodings =
    N_("UTF-8, single-byte code pages and the double-byte CP932, CP936, CP949, CP950, GB18030 and EUC-JP/KR/CN are "
       "supported; stateful ones such as ISO-2022-JP are not");

// Whether a name refused in a list of legacy code pages is UTF-8's.
bool IsUtf8(const std::string& name) {
    const auto named = CodePage::Named(name);
    return named && EncodingLabel(*named) == "utf-8";
}

// A command-line text, given in the system's encoding.
std::optional<UsageError> Decode(const std::string& what, const std::string& text, const CodePage& system,
                                 std::optional<std::u16string>& decoded) {
    decoded = system.Decode(text);
    if (!decoded) return UsageError{Fill(Tr("the {} is not valid {} text"), {what, system.Name()})};
    return std::nullopt;
}

// What is wrong with a pattern or its replacement, in words; `of` names the pair.
std::string PatternProblemText(const PatternProblem& problem, const std::string& of) {
    const std::string at = std::to_string(problem.offset + 1);
    switch (problem.kind) {
    case PatternProblem::Kind::Syntax:
        return Fill(Tr("the pattern{} is not valid at character {}: {}"), {of, at, problem.code.message()});
    case PatternProblem::Kind::NoSuchGroup:
        return Fill(Tr("the replace string{} refers to group '{}', which the pattern does not have"),
                    {of, problem.name});
    case PatternProblem::Kind::OpenReference:
        return Fill(Tr("the replace string{} has '${' without '}' at character {}"), {of, at});
    case PatternProblem::Kind::Unsupported:
        return Fill(Tr("the pattern{} uses {} at character {}, which is not supported (a file is searched in parts, "
                       "and it would match where each begins)"),
                    {of, problem.name, at});
    case PatternProblem::Kind::Backslash:
        return Fill(Tr("the replace string{} has a backslash and a digit at character {}: write $N (or ${N}) for "
                       "group N"),
                    {of, at});
    }
    return Fill(Tr("the pattern{} is not valid"), {of});
}

// What stops a correction before it starts, in words.
std::string SetupMessage(const SetupFailure& failure, const std::string& extension, std::size_t pairs) {
    // With several pairs, which one's string.
    const std::string of = pairs > 1 ? Fill(Tr(" of pair {}"), {std::to_string(failure.pair + 1)}) : "";
    switch (failure.error) {
    case SetupError::EmptySearch: return Fill(Tr("the search string{} is empty"), {of});
    case SetupError::UnusableEncoding:
        return Fill(Tr("the system's encoding {} is a multibyte encoding files cannot be corrected in; name a code "
                       "page with -E"),
                    {failure.encoding});
    case SetupError::SearchNotWritable:
        if (failure.encoding.empty()) return Fill(Tr("the search string{} cannot be written in any encoding"), {of});
        return Fill(Tr("the search string{} cannot be written in {}"), {of, failure.encoding});
    case SetupError::ReplaceNotWritable:
        return Fill(Tr("the replace string{} cannot be written in {}"), {of, failure.encoding});
    case SetupError::UnusableLegacy:
        return Fill(Tr("the legacy code page cannot be {} (name a single- or double-byte code page, such as CP1251 or "
                       "CP932)"),
                    {failure.encoding});
    case SetupError::EmptyBackupExtension: return Tr("the backup extension is empty");
    case SetupError::BadBackupExtension: return Fill(Tr("the backup extension '{}' is not a plain name"), {extension});
    case SetupError::UndoRecords:
        return Fill(
            Tr("{} (--no-undo corrects without a record)"),
            {failure.undo ? UndoProblemText(*failure.undo) : std::string(Tr("the undo records cannot be used"))});
    case SetupError::BadPattern: return failure.pattern ? PatternProblemText(*failure.pattern, of) : Tr("bad pattern");
    case SetupError::CaseOfPattern:
        return Fill(Tr("--preserve-case (a pair's c) is for plain text: a pattern's replacement is written as it "
                       "stands (-e{})"),
                    {of});
    }
    return Tr("cannot correct with these settings");
}

// Why `file` cannot serve as the options file named with --options: the end
// of "options file 'F' ...", or nothing when it can.
std::optional<std::string> OptionsFileProblem(const fs::path& file) {
    std::error_code ec;
    const fs::file_status status = fs::status(file, ec);
    if (status.type() == fs::file_type::not_found) return Tr("not found");
    if (ec) return Tr("cannot be used:") + (' ' + ec.message());
    if (fs::is_directory(status)) return Tr("is a folder");
    if (!fs::is_regular_file(status)) return Tr("is not a regular file (a FIFO, socket or device)");
    if (auto problem = settings::CheckProfileFile(file)) {
        if (problem == std::errc::file_too_large) return Tr("is larger than 16 MiB: no options file");
        return Tr("cannot be used:") + (' ' + problem.message());
    }
    if (!std::ifstream(file, std::ios::binary)) return Tr("cannot be read");
    return std::nullopt;
}

int Usage(std::ostream& err, const std::string& message) {
    err << "tarnwick-cli: " << message << '\n' << Tr("Try 'tarnwick-cli --help' for more information.") << '\n';
    return 2;
}

// The pairs of --pairs, or of several -s and -r, each -s followed by its -r,
// into `pairs`; the exit status when they cannot be had. A single -s and -r
// are left to ReadSettings, which may take either from the options file.
std::optional<int> ReadPairs(const CommandLine& options, const CodePage& arguments, std::ostream& err,
                             std::vector<TextPair>& pairs) {
    if (options.pairsFile) {
        if (!options.strings.empty()) return Usage(err, Tr("--pairs takes the place of -s and -r"));
        std::ifstream in(PathFromText(*options.pairsFile), std::ios::binary);
        if (!in) return Usage(err, Fill(Tr("--pairs: cannot read '{}'"), {*options.pairsFile}));
        std::vector<std::string> warnings;
        auto read = cli::ReadPairs(in, &warnings);
        if (auto* why = std::get_if<std::string>(&read))
            return Usage(err, "--pairs '" + *options.pairsFile + "': " + *why);
        for (const std::string& warning : warnings)
            err << "tarnwick-cli: --pairs '" << *options.pairsFile << "': " << warning << '\n';
        pairs = std::get<std::vector<TextPair>>(std::move(read));
        return std::nullopt;
    }
    const auto& strings = options.strings;
    const auto searches = std::count_if(strings.begin(), strings.end(), [](const auto& s) { return s.first == 's'; });
    if (searches < 2 && strings.size() - static_cast<std::size_t>(searches) < 2) return std::nullopt;
    for (std::size_t i = 0; i < strings.size(); i += 2) {
        const auto& [kind, text] = strings[i];
        if (kind == 'r')
            return Usage(err, Fill(Tr("-r '{}' has no -s before it (each -s is followed by its -r)"), {text}));
        if (i + 1 == strings.size() || strings[i + 1].first != 'r')
            return Usage(err, Fill(Tr("-s '{}' has no -r after it (each -s is followed by its -r)"), {text}));
        std::optional<std::u16string> search16, replace16;
        if (auto error = Decode(Fill(Tr("search string '{}'"), {text}), text, arguments, search16))
            return Usage(err, error->message);
        if (auto error = Decode(Fill(Tr("replace string '{}'"), {strings[i + 1].second}), strings[i + 1].second,
                                arguments, replace16))
            return Usage(err, error->message);
        for (const TextPair& earlier : pairs)
            if (earlier.search == *search16)
                return Usage(err, Fill(Tr("the search string '{}' is given twice"), {text}));
        pairs.push_back({*search16, *replace16});
    }
    return std::nullopt;
}

// The strings as given, before the options file fills in what is missing.
struct GivenStrings {
    bool pairs = false;  // several pairs, or --pairs: the options file's strings are not used
    std::optional<std::u16string> search, replace, extension;
};

// What the options file named with --options adds to what was given: the
// strings, the backup switch and extension, the legacy code page; the exit
// status when it cannot be used.
std::optional<int> ReadOptionsFile(CommandLine& options, const CodePage& files, std::ostream& err, GivenStrings& given,
                                   RunRequest& request) {
    const fs::path optionsFile = PathFromText(*options.optionsFile);
    if (auto problem = OptionsFileProblem(optionsFile))
        return Usage(err, Fill(Tr("options file '{}' {}"), {*options.optionsFile, *problem}));
    const settings::Options stored = settings::LoadOptions(optionsFile, files);
    // A stored value that is no text, or that cannot be read whole, is
    // refused unless given here instead.
    const auto overridden = [&](const std::string& key) {
        return (key == "SearchString" && (given.search || given.pairs)) ||
               (key == "ReplaceString" && (given.replace || given.pairs)) ||
               (key == "BackupExt" && options.backupExtension) || (key == "BackupCopy" && options.backup) ||
               (key == "LegacyCodePage" && (options.legacy || options.encoding)) || key == "Mask";
    };
    const auto refused = [&](const std::string& why) {
        return Usage(err, Fill(Tr("options file '{}': {}"), {*options.optionsFile, why}));
    };
    for (const std::string& key : stored.invalidKeys)
        if (!overridden(key)) return refused(Fill(Tr("the value of {} is not valid {} text"), {key, files.Name()}));
    for (const std::string& key : stored.cutKeys)
        if (!overridden(key))
            return refused(Fill(Tr("the value of {} is longer than 254 characters or holds a NUL character, so it "
                                   "cannot be used whole"),
                                {key}));
    if (!stored.legacyCodePage.empty() && !options.legacy && !options.encoding) {
        const auto list = Utf16ToUtf8(stored.legacyCodePage).value_or("");
        std::string bad;
        auto pages = LegacyCodePages(list, bad);
        if (!pages)
            return refused(
                Fill(Tr("the value of {} {}"),
                     {"LegacyCodePage",
                      "'" + list + (list == bad ? "'" : "': '" + bad + "'") + ' ' +
                          (bad.empty()   ? std::string(Tr("is an empty name"))
                           : IsUtf8(bad) ? std::string(Tr("cannot be the legacy code page (name a single- or "
                                                          "double-byte code page, such as CP1251 or CP932)"))
                                         : Fill(Tr("is no supported code page ({})"), {Tr(kSupportedEncodings)}))}));
        request.legacy = std::move(*pages);
    }
    // The stored search string is a pattern where the file says so.
    // The stored search string is matched as the file says (Regex, IgnoreCase, WholeWord, PreserveCase).
    if (!given.search && !given.pairs) {
        request.patterns = request.patterns || stored.regex;
        options.ignoreCase = options.ignoreCase || stored.ignoreCase;
        options.word = options.word || stored.wholeWord;
        options.preserveCase = options.preserveCase || stored.preserveCase;
    }
    if (!given.search) given.search = stored.searchString;
    if (!given.replace) given.replace = stored.replaceString;
    if (!options.backup) options.backup = stored.backupCopy != 0;
    if (!options.backupExtension) given.extension = stored.backupExt;
    return std::nullopt;
}

// The strings and the backup switch from the command line and the options
// file (values given on the command line win), into `request`; the exit
// status when they cannot be had. `extension` is the backup extension as text.
std::optional<int> ReadSettings(CommandLine& options, const CodePage& files, std::ostream& err, RunRequest& request,
                                std::string& extension) {
    const CodePage arguments = CodePage::Arguments();
    if (auto status = ReadPairs(options, arguments, err, request.pairs)) return status;
    GivenStrings given;
    given.pairs = !request.pairs.empty();
    for (const auto& [kind, text] : options.strings) {
        if (given.pairs) break;
        const bool search = kind == 's';
        if (auto error = Decode(Tr(search ? N_("search string") : N_("replace string")), text, arguments,
                                search ? given.search : given.replace))
            return Usage(err, error->message);
    }
    if (options.optionsFile)
        if (auto status = ReadOptionsFile(options, files, err, given, request)) return status;
    if (!given.pairs) {
        if (!given.search) return Usage(err, Tr("no search string given (-s TEXT)"));
        if (!given.replace) return Usage(err, Tr("no replace string given (-r TEXT)"));
        request.pairs = {{*given.search, *given.replace}};
    }
    extension = options.backupExtension.value_or("bak");
    if (given.extension) {
        const auto native = PathTextFromUtf16(*given.extension, request.system);
        if (!native) return Usage(err, "the backup extension cannot be used as a file name here");
        extension = *native;
    }
    request.backup.enabled = options.backup.value_or(false);
    request.backup.extension = PathFromText(extension).native();
    return std::nullopt;
}

// The files' code page: the system's, or the one named with -E (then that
// one encoding; otherwise every candidate, with --legacy that legacy code page).
std::optional<int> ReadEncoding(const CommandLine& options, std::ostream& err, RunRequest& request) {
    request.system = CodePage::System();
    if (options.encoding && options.legacy)
        return Usage(err,
                     Tr("-E looks in one encoding only, --legacy in one besides UTF-8 and UTF-16: give one of them"));
    if (options.encoding) {
        request.pinned = CodePage::Named(*options.encoding);
        if (request.pinned) return std::nullopt;
        return Usage(
            err, Fill(Tr("unknown or unsupported encoding '{}' ({})"), {*options.encoding, Tr(kSupportedEncodings)}));
    }
    if (!options.legacy) return std::nullopt;
    std::string bad;
    auto pages = LegacyCodePages(*options.legacy, bad);
    if (!pages) {
        if (bad.empty()) return Usage(err, Fill(Tr("a name in the list '{}' of --legacy is empty"), {*options.legacy}));
        if (IsUtf8(bad))
            return Usage(err,
                         Fill(Tr("the legacy code page cannot be {} (name a single- or double-byte code page, such "
                                 "as CP1251 or CP932)"),
                              {"UTF-8"}));
        return Usage(err, Fill(Tr("unknown or unsupported encoding '{}' ({})"), {bad, Tr(kSupportedEncodings)}));
    }
    request.legacy = std::move(*pages);
    return std::nullopt;
}

// The value of -j, when it is a number of files from 1 to 9999.
std::optional<unsigned> Jobs(const std::string& n) {
    if (n.empty() || n.size() > 4 || n.find_first_not_of("0123456789") != std::string::npos || std::stoi(n) == 0)
        return std::nullopt;
    return static_cast<unsigned>(std::stoi(n));
}

// A size such as 10M or 2G (units of 1024), or nothing where it is none.
std::optional<std::uint64_t> Size(const std::string& text) {
    const std::size_t digits = text.find_first_not_of("0123456789");
    if (text.empty() || digits == 0 || (digits != std::string::npos && digits + 1 != text.size())) return std::nullopt;
    std::uint64_t size = 0;
    for (std::size_t i = 0; i < std::min(digits, text.size()); ++i) {
        if (size > (UINT64_MAX - 9) / 10) return std::nullopt;
        size = size * 10 + static_cast<std::uint64_t>(text[i] - '0');
    }
    if (digits == std::string::npos) return size;
    const std::string units = "KMGT";
    const auto unit = units.find(static_cast<char>(std::toupper(static_cast<unsigned char>(text[digits]))));
    if (unit == std::string::npos) return std::nullopt;
    for (std::size_t i = 0; i <= unit; ++i) {
        if (size > UINT64_MAX / 1024) return std::nullopt;
        size *= 1024;
    }
    return size;
}

// The PATHs, -j, --max-filesize and --color.
std::optional<int> CheckRunOptions(const CommandLine& options, bool outIsTerminal, std::ostream& err, bool& color) {
    if (options.paths.empty() && !options.files0From) return Usage(err, Tr("no PATH given"));
    // A PATH that is not there is a mistake in the command; one this user may
    // not look at (inside a folder it may not enter) is a failed file of the run.
    for (const std::string& path : options.paths) {
        std::error_code ec;
        const fs::path named = PathFromText(path);
        if (fs::exists(fs::status(named, ec)) || ec == std::errc::permission_denied) continue;
        // "page.htm/": the name of a file with a folder's ending.
        if (ec == std::errc::not_a_directory && named.has_parent_path() && !named.has_filename() &&
            fs::is_regular_file(named.parent_path(), ec))
            return Usage(err,
                         Fill(Tr("'{}': a file, not a folder (without the trailing / it names the file)"), {path}));
        const bool missing = !ec || ec == std::errc::no_such_file_or_directory || ec == std::errc::not_a_directory;
        return Usage(err, "'" + path + "': " + (missing ? std::string(Tr("no such file or folder")) : ec.message()));
    }
    if (options.jobs && !Jobs(*options.jobs))
        return Usage(err, Fill(Tr("-j needs a number of files at a time from 1 to 9999, not '{}'"), {*options.jobs}));
    if (options.mostFileSize && !Size(*options.mostFileSize))
        return Usage(
            err, Fill(Tr("--max-filesize needs a size such as 500K, 10M or 2G, not '{}'"), {*options.mostFileSize}));
    color = outIsTerminal && !std::getenv("NO_COLOR");
    if (!options.color || *options.color == "auto") return std::nullopt;
    if (*options.color == "always") color = true;
    else if (*options.color == "never") color = false;
    else return Usage(err, Tr("--color takes always, never or auto"));
    return std::nullopt;
}

// The names of --files0-from, each ended by a NUL byte (the last may end
// without), read as the run asks for them. The first few thousand are read
// before the run starts, so that a short list with an empty name is a usage
// error before any file changes; an empty name further on is a failure the
// run tells.
class NameList {
public:
    // The exit status where the list cannot be had.
    std::optional<int> Open(const std::string& from, std::istream* in, std::ostream& err) {
        if (from != "-") {
            file_.open(PathFromText(from), std::ios::binary);
            if (!file_) return Usage(err, Fill(Tr("--files0-from: cannot read '{}'"), {from}));
            in = &file_;
        }
        if (!in) return Usage(err, Tr("--files0-from: no standard input"));
        in_ = in;
        for (fs::path name; ahead_.size() < kAhead && Read(name);) {
            if (name.empty()) return Usage(err, Fill(Tr("--files0-from: name {} is empty"), {std::to_string(read_)}));
            ahead_.push_back(std::move(name));
        }
        if (in_->bad()) return Usage(err, Fill(Tr("--files0-from: cannot read '{}'"), {from}));
        return std::nullopt;
    }
    bool Next(fs::path& name) {
        if (ahead_.empty()) return Read(name);
        name = std::move(ahead_.front());
        ahead_.pop_front();
        return true;
    }

private:
    static constexpr std::size_t kAhead = 4096;
    bool Read(fs::path& name) {
        if (!std::getline(*in_, line_, '\0')) return false;
        ++read_;
        name = PathFromText(line_);
        return true;
    }
    std::ifstream file_;
    std::istream* in_ = nullptr;
    std::deque<fs::path> ahead_;
    std::string line_;
    std::size_t read_ = 0;
};

// Which files of the folders the run takes: -R and the masks.
FileSelection SelectionOf(const CommandLine& options) {
    FileSelection selection;
    selection.subfolders = options.recursive;
    selection.followFileLinks = options.followFileLinks;
    selection.hidden = options.hidden;
    selection.ignoreFiles = !options.noIgnore;
    for (const std::string& masks : options.include) selection.include.Add(PathFromText(masks).native());
    for (const std::string& masks : options.exclude) selection.exclude.Add(PathFromText(masks).native());
    for (const std::string& masks : options.excludeDir) selection.excludeFolders.Add(PathFromText(masks).native());
    return selection;
}

// The command line read: the exit status when the run is not to be made (a
// usage error, --help, --version).
std::optional<int> ReadCommandLine(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
                                   CommandLine& options) {
    if (auto error = Parse(args, options)) return Usage(err, error->message);
    if (options.json && options.null) return Usage(err, Fill(Tr("{} and {} cannot be combined"), {"--json", "-z"}));
    if (options.diff && (options.json || options.null)) return Usage(err, Tr("--diff takes neither --json nor -z"));
    if (options.help) {
        out << Help();
        return 0;
    }
    if (options.version) {
        out << "tarnwick-cli " TARNWICK_VERSION "\n";
        return 0;
    }
    if (options.completions) {
        const auto script = Completions(*options.completions);
        if (!script)
            return Usage(err, Fill(Tr("--completions takes bash, zsh or fish, not '{}'"), {*options.completions}));
        out << *script;
        return 0;
    }
    return std::nullopt;
}

// Files that are not UTF-8 and hold neither string, where the legacy code
// page is only the locale's guess: perhaps they are in another; how to say which.
void ReportLegacyHint(const RunRequest& request, const StringForms& forms, const Records& records, std::ostream& err) {
    const std::size_t files = records.UnknownNotUtf8();
    if (files == 0 || !LegacyIsAGuess(request)) return;
    const std::string legacy = forms.Name(Encoding::Legacy);
    const std::string count = std::to_string(files);
    err << "tarnwick-cli: "
        << (legacy.empty()
                ? Fill(TrN("{} file is not valid UTF-8 and holds neither string; if they are in another code page, "
                           "name it "
                           "with --legacy (e.g. --legacy CP1251) or LegacyCodePage in the options file",
                           "{} files are not valid UTF-8 and hold neither string; if they are in another code page, "
                           "name it with --legacy (e.g. --legacy CP1251) or LegacyCodePage in the options file",
                           files),
                       {count})
                : Fill(TrN("{} file is not valid UTF-8 and holds neither string in {}, the legacy code page of this "
                           "locale; if they are in another code page, name it with --legacy (e.g. --legacy CP1251) or "
                           "LegacyCodePage in the options file",
                           "{} files are not valid UTF-8 and hold neither string in {}, the legacy code page of this "
                           "locale; if they are in another code page, name it with --legacy (e.g. --legacy CP1251) "
                           "or LegacyCodePage in the options file",
                           files),
                       {count, legacy}))
        << '\n';
}

// What of a correcting run cannot be undone, on standard error.
void ReportUndo(const tarnwick::CorrectionRun& run, std::ostream& err) {
    const UndoKeeper* undo = run.Undo();
    if (!undo) return;
    if (auto ec = run.UndoFailure()) {
        err << "tarnwick-cli: "
            << Fill(Tr("the record for undo could not be written ({}): this run cannot be undone"), {ec.message()})
            << '\n';
        return;
    }
    ReportNotKept(*undo, Tr("not undoable"), err);
    if (undo->Written())
        err << "tarnwick-cli: " << Tr("undo this run with:") << " tarnwick-cli --undo " << undo->Record().id << '\n';
}

int RunCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err, bool outIsTerminal,
               std::istream* in, bool inIsTerminal) {
    CommandLine options;
    if (auto status = ReadCommandLine(args, out, err, options)) return *status;
    if (options.history && options.undo)
        return Usage(err, Fill(Tr("{} and {} cannot be combined"), {"--history", "--undo"}));
    if (options.history) return History(options, out, err);
    if (options.undo) return Undo(options, out, err);
    RunRequest request;
    std::string extension;
    if (auto status = ReadEncoding(options, err, request)) return *status;
    if (auto status = ReadSettings(options, request.pinned ? *request.pinned : request.system, err, request, extension))
        return *status;
    bool color = false;
    if (auto status = CheckRunOptions(options, outIsTerminal, err, color)) return *status;
    if (options.interactive) {
        if (options.check || options.diff) return Usage(err, Tr("--interactive corrects: not with --check or --diff"));
        if (options.files0From && *options.files0From == "-")
            return Usage(err, Tr("--interactive reads its answers from standard input: not with --files0-from -"));
        if (!in || !inIsTerminal)
            return Usage(err, Tr("--interactive needs a terminal on standard input for the answers"));
    }
    for (const std::string& path : options.paths) request.paths.push_back(PathFromText(path));
    NameList list;
    if (options.files0From) {
        if (auto status = list.Open(*options.files0From, in, err)) return *status;
        request.names = [&list](fs::path& name) { return list.Next(name); };
        std::error_code ec;
        request.namesFrom = *options.files0From == "-" ? "standard input"
                                                       : PathText(os::Absolute(PathFromText(*options.files0From), ec));
    }
    request.mode = options.diff          ? RunMode::Preview
                   : options.check       ? RunMode::Check
                   : options.interactive ? RunMode::Review
                                         : RunMode::Correct;
    if (options.jobs) request.workers = *Jobs(*options.jobs);
    request.selection = SelectionOf(options);
    request.binaryFiles = options.binary;
    request.keepTimes = options.keepTimes;
    if (options.mostFileSize) request.mostFileSize = Size(*options.mostFileSize);
    request.patterns = request.patterns || options.regex;
    request.ignoreCase = options.ignoreCase;
    request.word = options.word;
    request.preserveCase = options.preserveCase;
    request.keepUndo = !options.noUndo;
    auto prepared = PrepareRun(request);
    if (const auto* failure = std::get_if<SetupFailure>(&prepared))
        return Usage(err, SetupMessage(*failure, extension, request.pairs.size()));

    tarnwick::CorrectionRun& run = std::get<tarnwick::CorrectionRun>(prepared);
    const auto records = PrinterFor(options, out, err, run.Forms(), options.check, color);
    records->Pairs(request.pairs);
    // A run's progress where standard error is a terminal (asked for: anywhere),
    // shown once the run has taken half a second; not while a review asks.
    const bool errIsTerminal = &err == &std::cerr && ProgressLine::ErrorIsTerminal();
    if (options.progress.value_or(errIsTerminal) && !options.interactive)
        records->ShowProgress(std::make_unique<ProgressLine>(err, &out == &std::cout && outIsTerminal ? &out : nullptr,
                                                             std::chrono::milliseconds(options.progress ? 0 : 500)));
    run.StopOn(&StopRequested());
    if (options.interactive) {
        // Shown on standard error, a terminal's colours unless told otherwise.
        const bool shown = options.color ? color : !std::getenv("NO_COLOR");
        records->ForReview();
        // (A stop signal while an answer is awaited stops at once: a read of the terminal would not return.)
        std::function<bool()> wait;
        if (in == &std::cin) wait = WaitForTerminalInput;
        run.Execute(*InteractiveReview(*records, *in, err, shown, wait));
    } else {
        run.Execute(*records);
    }
    records->Summary();
    records->ReportNotInPage();
    ReportLegacyHint(request, run.Forms(), *records, err);
    ReportUndo(run, err);
    if (records->Broken()) return 3;
    if (auto status = StoppedBySignal(err)) return *status;
    return records->AnyFailed() ? 1 : 0;
}

}  // namespace

int Run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err, bool outIsTerminal,
        std::istream* in, bool inIsTerminal) {
    const int status = RunCommand(args, out, err, outIsTerminal, in, inIsTerminal);
    // Whatever the command (--help, --history...), output that could not all
    // be written is no success.
    errno = 0;
    out.flush();
    if (out || status == 3) return status;
    const int reason = errno;
    err << "tarnwick-cli: " << Tr("cannot write the output")
        << (reason ? ": " + std::generic_category().message(reason) : std::string()) << '\n';
    return 3;
}

}  // namespace tarnwick::cli
