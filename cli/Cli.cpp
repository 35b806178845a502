#include "Cli.h"

#include "CodePage.h"
#include "UnifiedDiff.h"
#include "Version.h"
#include "Corrector.h"
#include "FolderScan.h"
#include "Options.h"
#include "RunSetup.h"
#include "ProfileStore.h"

#include <algorithm>
#include <cstdlib>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <ostream>
#include <string_view>

namespace tarnwick::cli {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kHelp =
    "Usage: tarnwick-cli [-n|--check|--diff] -s|--search TEXT -r|--replace TEXT\n"
    "                    [-b|--backup[=EXT]] [-E|--encoding NAME] [-j N] [-z] PATH\n"
    "\n"
    "Corrects text files in place: replaces every occurrence of the search string\n"
    "with the replace string in PATH, one file or every file directly in one folder.\n"
    "Only files that hold the search string are changed.\n"
    "\n"
    "  -s, --search TEXT      the text to find (not empty)\n"
    "  -r, --replace TEXT     the text to put in its place (may be empty)\n"
    "  -n, --check            classify the files only; change nothing\n"
    "      --diff             change nothing; print the correction as a unified\n"
    "                         diff (a/PATH, b/PATH, 3 lines of context) that\n"
    "                         'patch -p1' applies; a file with NUL bytes in a\n"
    "                         changed line or lines over 64 KiB: one line\n"
    "                         'Binary file PATH: N replacements'\n"
    "      --color=WHEN       colour the diff: always, never, auto (default:\n"
    "                         when the output is a terminal and NO_COLOR is unset)\n"
    "  -b, --backup[=EXT]     keep the old content as PATH.EXT (EXT: bak)\n"
    "      --no-backup        keep no backup copy (the default)\n"
    "  -E, --encoding NAME    look in this one encoding only: UTF-8 or a\n"
    "                         single-byte code page such as CP1251 (default:\n"
    "                         every encoding below)\n"
    "      --json             write JSON Lines instead: one object per file, then\n"
    "                         one with the counts (see below)\n"
    "  -z, --null             end each field with a NUL byte instead of a tab or\n"
    "                         newline, and write paths exactly as they are\n"
    "  -j, --jobs N           check and correct N files at a time (default: one\n"
    "                         per CPU it may use); the output is the same for\n"
    "                         every N\n"
    "      --options FILE     take the search and replace strings, the backup\n"
    "                         switch and extension from an options file;\n"
    "                         options given here win\n"
    "  -h, --help             show this help\n"
    "  -V, --version          show the version\n"
    "\n"
    "Encodings: the strings are looked for in UTF-8, in the legacy code page (the\n"
    "system's, or the one Windows uses for the locale's language, e.g.\n"
    "windows-1251 for Russian) and, in files starting with a UTF-16 byte-order\n"
    "mark, in that UTF-16. Legacy forms count only in files that are not valid\n"
    "UTF-8. Each occurrence is replaced in its own encoding; an ASCII search\n"
    "string takes the file's: UTF-8 for a UTF-8 byte-order mark or valid UTF-8\n"
    "with non-ASCII text, the legacy code page for other non-ASCII files, the\n"
    "system's for ASCII files. A file where the replace string has no form in the\n"
    "occurrence's encoding fails and is left as it was.\n"
    "\n"
    "Output, one line per file, fields separated by a tab:\n"
    "  to-correct PATH ENC         holds the search string (--check)\n"
    "  corrected PATH N ENC        N occurrences replaced\n"
    "  already-corrected PATH      holds only the replace string\n"
    "  unknown PATH                holds neither; left alone\n"
    "  backup PATH                 a backup copy of another file; left alone\n"
    "  same-file PATH OTHER        another name of OTHER, corrected under that name\n"
    "  failed PATH REASON          could not be checked or corrected; left as it was\n"
    "ENC names the encodings the occurrences are in, e.g. utf-8,windows-1251.\n"
    "\n"
    "A path or reason holding a control character (a newline, a tab) or starting\n"
    "with a double quote is written in double quotes with C escapes (\\n, \\t,\n"
    "\\\", \\\\, \\ooo); with -z nothing is quoted.\n"
    "\n"
    "With --json each line is an object: {\"path\":P, \"result\":KIND} with, where\n"
    "they apply, \"replacements\":N, \"encodings\":[ENC...], \"reason\":TEXT,\n"
    "\"reason_path\":P (the backup a reason names) and \"other\":P (same-file);\n"
    "a path that is not UTF-8 is {\"bytes\":\"BASE64\"}.\n"
    "The last line is {\"summary\":{\"files\":N, ...the counts by KIND...}}.\n"
    "\n"
    "Exit status: 0 no file failed, 1 some file failed, 2 usage error, 3 the output\n"
    "could not be written (nothing more was changed after that).\n";

// The parsed command line.
struct CommandLine {
    bool check = false;
    std::optional<std::string> search;
    std::optional<std::string> replace;
    std::optional<bool> backup;
    std::optional<std::string> backupExtension;
    std::optional<std::string> encoding;
    std::optional<std::string> optionsFile;
    std::optional<std::string> jobs;
    std::optional<std::string> path;
    bool null = false;
    bool json = false;
    bool diff = false;
    std::optional<std::string> color;
    bool help = false;
    bool version = false;
};

struct UsageError {
    std::string message;
};

// Parses the arguments; a UsageError names the first problem.
// Where the value of an option that takes one goes; nothing for other names.
std::optional<std::string>* ValueOf(CommandLine& options, const std::string& name) {
    if (name == "-s" || name == "--search") return &options.search;
    if (name == "-r" || name == "--replace") return &options.replace;
    if (name == "-E" || name == "--encoding") return &options.encoding;
    if (name == "--options") return &options.optionsFile;
    if (name == "-j" || name == "--jobs") return &options.jobs;
    if (name == "--color") return &options.color;
    return nullptr;
}

// Sets the switch `name`; false for a name that is none.
bool SetFlag(CommandLine& options, const std::string& name) {
    if (name == "-n" || name == "--check") options.check = true;
    else if (name == "--no-backup") options.backup = false;
    else if (name == "-z" || name == "--null") options.null = true;
    else if (name == "--json") options.json = true;
    else if (name == "--diff") options.diff = true;
    else if (name == "-h" || name == "--help") options.help = true;
    else if (name == "-V" || name == "--version") options.version = true;
    else return false;
    return true;
}

std::optional<UsageError> Parse(const std::vector<std::string>& args, CommandLine& options) {
    const auto setPath = [&](const std::string& arg) -> std::optional<UsageError> {
        if (options.path) return UsageError{"only one PATH may be given (also got '" + arg + "')"};
        options.path = arg;
        return std::nullopt;
    };
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--") {
            for (++i; i < args.size(); ++i)
                if (auto error = setPath(args[i])) return error;
            break;
        }
        if (arg.size() < 2 || arg[0] != '-') {
            if (auto error = setPath(arg)) return error;
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
        if ((valued = ValueOf(options, name))) {
            if (!inlineValue) {
                if (i + 1 == args.size()) return UsageError{"option " + name + " needs a value"};
                inlineValue = args[++i];
            }
            *valued = *inlineValue;
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

// A command-line text, given in the system's encoding.
std::optional<UsageError> Decode(const std::string& what, const std::string& text, const CodePage& system,
                                 std::optional<std::u16string>& decoded) {
    decoded = system.Decode(text);
    if (!decoded) return UsageError{"the " + what + " is not valid " + system.Name() + " text"};
    return std::nullopt;
}

// What stops a correction before it starts, in words.
std::string SetupMessage(const SetupFailure& failure, const std::string& extension) {
    switch (failure.error) {
    case SetupError::EmptySearch: return "the search string is empty";
    case SetupError::UnusableEncoding:
        return "the system's encoding " + failure.encoding +
               " is a multibyte encoding that cannot be corrected byte for byte; name a code page with -E";
    case SetupError::SearchNotWritable:
        if (failure.encoding.empty()) return "the search string cannot be written in any encoding";
        return "the search string cannot be written in " + failure.encoding;
    case SetupError::ReplaceNotWritable: return "the replace string cannot be written in " + failure.encoding;
    case SetupError::EmptyBackupExtension: return "the backup extension is empty";
    case SetupError::BadBackupExtension: return "the backup extension '" + extension + "' is not a plain name";
    }
    return "cannot correct with these settings";
}

struct Tally {
    std::size_t files = 0, toCorrect = 0, corrected = 0, already = 0, unknown = 0, backups = 0, sameFile = 0,
                failed = 0;
    std::uint64_t replacements = 0;
};

// A field of a record as written without -z: a text with a control character
// (a newline or tab that would end or shift the record) or a leading double
// quote is written in double quotes with C escapes, as git writes such paths.
std::string Field(std::string_view text) {
    const bool plain = (text.empty() || text.front() != '"') && std::none_of(text.begin(), text.end(), [](char c) {
                           return static_cast<unsigned char>(c) < 0x20 || c == 0x7F;
                       });
    if (plain) return std::string(text);
    std::string quoted = "\"";
    for (const char c : text) {
        switch (c) {
        case '"': quoted += "\\\""; break;
        case '\\': quoted += "\\\\"; break;
        case '\n': quoted += "\\n"; break;
        case '\t': quoted += "\\t"; break;
        case '\r': quoted += "\\r"; break;
        default:
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
                const auto b = static_cast<unsigned char>(c);
                quoted += '\\';
                quoted += static_cast<char>('0' + (b >> 6));
                quoted += static_cast<char>('0' + ((b >> 3) & 7));
                quoted += static_cast<char>('0' + (b & 7));
            } else {
                quoted += c;
            }
        }
    }
    return quoted += '"';
}

// A path as a JSON value: a string when it is UTF-8 text, else its bytes in
// base64, as {"bytes":"..."}.
std::string JsonPath(const std::string& bytes);
// `text` as a JSON string (valid UTF-8 assumed; control characters escaped).
std::string JsonString(std::string_view text);

// Text records, NUL-ended fields, JSON Lines, or (with --diff) only the
// failures, as messages.
enum class Style { Text, Null, Json, Diff };

// One extra field of a record: a name for JSON, a text, and how JSON writes it.
struct Extra {
    const char* name;
    std::string text;
    enum { String, Number, List, Path } kind = String;
};

class Reporter {
public:
    Reporter(std::ostream& out, const StringForms& forms, bool check, Style style)
        : out_(out), forms_(forms), check_(check), style_(style) {}

    void Failed(const fs::path& path, const Failure& failure) {
        ++tally_.failed;
        // The reason quotes a second path by its name; JSON gives that path
        // whole as well, as paths are given, since the reason's text cannot
        // carry bytes that are no UTF-8.
        if (style_ == Style::Json && !failure.other.empty())
            Record("failed", path,
                   {{"reason", failure.Reason()}, {"reason_path", PathText(failure.other), Extra::Path}});
        else Record("failed", path, {{"reason", failure.Reason()}});
    }

    // A checked file; one to correct is reported by Corrected or Failed instead
    // unless this is a check run.
    void Checked(const fs::path& path, FileVerdict verdict, const std::string& encodings) {
        switch (verdict) {
        case FileVerdict::Unknown:
            ++tally_.unknown;
            Record("unknown", path, {});
            return;
        case FileVerdict::AlreadyCorrected:
            ++tally_.already;
            Record("already-corrected", path, {});
            return;
        case FileVerdict::ToCorrect:
            ++tally_.toCorrect;
            Record("to-correct", path, {{"encodings", encodings, Extra::List}});
            return;
        }
    }

    void Corrected(const fs::path& path, const ProcessResult& done) {
        if (done.failure) return Failed(path, *done.failure);
        if (!done.sameAs.empty()) {
            ++tally_.sameFile;
            Record("same-file", path, {{"other", PathText(done.sameAs), Extra::Path}});
            return;
        }
        // Corrected meanwhile by someone else, or no longer holding the search string.
        if (!done.Corrected()) return Checked(path, done.verdict, {});
        ++tally_.corrected;
        tally_.replacements += done.replacements;
        Record("corrected", path,
               {{"replacements", std::to_string(done.replacements), Extra::Number},
                {"encodings", forms_.Names(done.encodings), Extra::List}});
    }

    void Backup(const fs::path& path) {
        ++tally_.backups;
        Record("backup", path, {});
    }

    void CountFile() { ++tally_.files; }

    // The counts: a line on standard error, and with JSON a last object on the output.
    void Summary(std::ostream& err) const {
        const Tally& t = tally_;
        if (style_ == Style::Json) {
            out_ << "{\"summary\":{\"files\":" << t.files << (check_ ? ",\"to-correct\":" : ",\"corrected\":")
                 << (check_ ? t.toCorrect : t.corrected) << ",\"replacements\":" << t.replacements
                 << ",\"already-corrected\":" << t.already << ",\"unknown\":" << t.unknown
                 << ",\"backup\":" << t.backups << ",\"same-file\":" << t.sameFile << ",\"failed\":" << t.failed
                 << "}}\n";
            out_.flush();
        }
        err << "tarnwick-cli: " << t.files << (t.files == 1 ? " file: " : " files: ");
        if (check_) err << t.toCorrect << " to correct, ";
        else err << t.corrected << " corrected (" << t.replacements << " replacements), ";
        err << t.already << " already corrected, " << t.unknown << " unknown, ";
        if (t.backups) err << t.backups << " backup copies left alone, ";
        if (t.sameFile) err << t.sameFile << " other names of corrected files, ";
        err << t.failed << " failed\n";
    }

    bool AnyFailed() const { return tally_.failed != 0; }

private:
    // Text: fields end with a tab and the record with a newline; with -z each
    // field ends with a NUL and is written as it is. JSON: one object a line.
    void Record(const char* kind, const fs::path& path, std::initializer_list<Extra> extras) {
        if (style_ == Style::Diff) {
            if (std::string_view(kind) == "failed")
                out_ << "tarnwick-cli: " << PathText(path) << ": " << extras.begin()->text << '\n';
            return;
        }
        if (style_ == Style::Json) {
            out_ << "{\"path\":" << JsonPath(PathText(path)) << ",\"result\":\"" << kind << '"';
            for (const Extra& e : extras) {
                out_ << ",\"" << e.name << "\":";
                if (e.kind == Extra::Number) {
                    out_ << e.text;
                } else if (e.kind == Extra::List) {
                    out_ << '[';
                    for (std::size_t from = 0; from < e.text.size();) {
                        const std::size_t comma = std::min(e.text.find(',', from), e.text.size());
                        out_ << (from ? "," : "") << JsonString(e.text.substr(from, comma - from));
                        from = comma + 1;
                    }
                    out_ << ']';
                } else {
                    out_ << (e.kind == Extra::Path ? JsonPath(e.text) : JsonString(e.text));
                }
            }
            out_ << "}\n";
            return;
        }
        const std::string first[] = {kind, PathText(path)};
        std::size_t left = 2 + extras.size();
        const auto field = [&](const std::string& text) {
            if (style_ == Style::Null) out_ << text << '\0';
            else out_ << Field(text) << (--left ? '\t' : '\n');
        };
        for (const std::string& text : first) field(text);
        for (const Extra& e : extras) field(e.text);
    }

    std::ostream& out_;
    const StringForms& forms_;
    bool check_;
    Style style_;
    Tally tally_;
};

std::string JsonString(std::string_view text) {
    std::string out = "\"";
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        const auto b = static_cast<unsigned char>(c);
        if (b >= 0x80) {
            // A whole UTF-8 character as it is; a byte that begins none (a
            // reason may quote a file name) as U+FFFD, so the line stays JSON.
            std::size_t n = 2;
            while (n <= 4 && !(i + n <= text.size() && Utf8ToUtf16(text.substr(i, n)))) ++n;
            if (n <= 4) {
                out.append(text, i, n);
                i += n - 1;
            } else {
                out += "\\ufffd";
            }
        } else if (c == '"' || c == '\\') out += '\\', out += c;
        else if (b < 0x20 || b == 0x7F) {
            static const char kHex[] = "0123456789abcdef";
            out += "\\u00";
            out += kHex[b >> 4];
            out += kHex[b & 15];
        } else out += c;
    }
    return out += '"';
}

std::string JsonPath(const std::string& bytes) {
    if (Utf8ToUtf16(bytes)) return JsonString(bytes);
    static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string base64;
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        const std::size_t n = std::min<std::size_t>(3, bytes.size() - i);
        std::uint32_t v = 0;
        for (std::size_t k = 0; k < 3; ++k) v = v << 8 | (k < n ? static_cast<unsigned char>(bytes[i + k]) : 0u);
        for (std::size_t k = 0; k < 4; ++k) base64 += k <= n ? kAlphabet[v >> (18 - 6 * k) & 63] : '=';
    }
    return "{\"bytes\":\"" + base64 + "\"}";
}

// Makes sure the records so far reached the output; false after telling why.
bool Delivered(std::ostream& out, std::ostream& err) {
    errno = 0;
    out.flush();
    if (out) return true;
    const int reason = errno;
    err << "tarnwick-cli: cannot write the output"
        << (reason ? ": " + std::generic_category().message(reason) : std::string()) << "; stopped\n";
    return false;
}

// Why `file` cannot serve as the options file named with --options: the end
// of "options file 'F' ...", or nothing when it can.
std::optional<std::string> OptionsFileProblem(const fs::path& file) {
    std::error_code ec;
    const fs::file_status status = fs::status(file, ec);
    if (status.type() == fs::file_type::not_found) return "not found";
    if (ec) return "cannot be used: " + ec.message();
    if (fs::is_directory(status)) return "is a folder";
    if (!fs::is_regular_file(status)) return "is not a regular file (a FIFO, socket or device)";
    if (auto problem = settings::CheckProfileFile(file)) {
        if (problem == std::errc::file_too_large) return "is larger than 16 MiB: no options file";
        return "cannot be used: " + problem.message();
    }
    if (!std::ifstream(file, std::ios::binary)) return "cannot be read";
    return std::nullopt;
}

int Usage(std::ostream& err, const std::string& message) {
    err << "tarnwick-cli: " << message << "\nTry 'tarnwick-cli --help' for more information.\n";
    return 2;
}

// The strings and the backup switch from the command line and the options
// file (values given on the command line win), into `request`; the exit
// status when they cannot be had. `extension` is the backup extension as text.
std::optional<int> ReadSettings(CommandLine& options, const CodePage& files, std::ostream& err, RunRequest& request,
                                std::string& extension) {
    const CodePage arguments = CodePage::Arguments();
    std::optional<std::u16string> search16, replace16, extension16;
    if (options.search)
        if (auto error = Decode("search string", *options.search, arguments, search16))
            return Usage(err, error->message);
    if (options.replace)
        if (auto error = Decode("replace string", *options.replace, arguments, replace16))
            return Usage(err, error->message);
    if (options.optionsFile) {
        const fs::path optionsFile = PathFromText(*options.optionsFile);
        if (auto problem = OptionsFileProblem(optionsFile))
            return Usage(err, "options file '" + *options.optionsFile + "' " + *problem);
        const settings::Options stored = settings::LoadOptions(optionsFile, files);
        // A stored value that is no text, or that cannot be read whole, is
        // refused unless given here instead.
        const auto overridden = [&](const std::string& key) {
            return (key == "SearchString" && search16) || (key == "ReplaceString" && replace16) ||
                   (key == "BackupExt" && options.backupExtension) || (key == "BackupCopy" && options.backup) ||
                   key == "Mask";
        };
        const auto refused = [&](const std::string& key, const std::string& why) {
            return Usage(err, "options file '" + *options.optionsFile + "': the value of " + key + why);
        };
        for (const std::string& key : stored.invalidKeys)
            if (!overridden(key)) return refused(key, " is not valid " + files.Name() + " text");
        for (const std::string& key : stored.cutKeys)
            if (!overridden(key))
                return refused(key,
                               " is longer than 254 characters or holds a NUL character, so it cannot be used "
                               "whole");
        if (!search16) search16 = stored.searchString;
        if (!replace16) replace16 = stored.replaceString;
        if (!options.backup) options.backup = stored.backupCopy != 0;
        if (!options.backupExtension) extension16 = stored.backupExt;
    }
    if (!search16) return Usage(err, "no search string given (-s TEXT)");
    if (!replace16) return Usage(err, "no replace string given (-r TEXT)");
    extension = options.backupExtension.value_or("bak");
    if (extension16) {
        const auto native = PathTextFromUtf16(*extension16, request.system);
        if (!native) return Usage(err, "the backup extension cannot be used as a file name here");
        extension = *native;
    }
    request.search = *search16;
    request.replace = *replace16;
    request.backup.enabled = options.backup.value_or(false);
    request.backup.extension = PathFromText(extension).native();
    return std::nullopt;
}

// -j and --color, once the strings are known to be usable.
std::optional<int> ReadRunOptions(const CommandLine& options, bool outIsTerminal, std::ostream& err,
                                  Corrector& corrector, bool& color) {
    if (options.jobs) {
        const std::string& n = *options.jobs;
        if (n.empty() || n.size() > 4 || n.find_first_not_of("0123456789") != std::string::npos || std::stoi(n) == 0)
            return Usage(err, "-j needs a number of files at a time from 1 to 9999, not '" + n + "'");
        corrector.SetWorkers(static_cast<unsigned>(std::stoi(n)));
    }
    color = outIsTerminal && !std::getenv("NO_COLOR");
    if (!options.color || *options.color == "auto") return std::nullopt;
    if (*options.color == "always") color = true;
    else if (*options.color == "never") color = false;
    else return Usage(err, "--color takes always, never or auto");
    return std::nullopt;
}

// One run over a file or a folder: each file checked, corrected or shown as
// a diff, and told to the reporter in listing order.
class Session {
public:
    Session(Corrector& corrector, Reporter& reporter, const CommandLine& options, std::ostream& out, std::ostream& err,
            bool color)
        : corrector_(corrector), reporter_(reporter), options_(options), out_(out), err_(err), color_(color) {}

    // False when the output could not be written (nothing more was changed after that).
    bool Folder(const fs::path& folder);
    void File(const fs::path& file);

private:
    // A checked file told: corrected (with `result`), shown as a diff, or its verdict.
    void Tell(const fs::path& file, FileVerdict verdict, const EncodingSet& encodings, const ProcessResult* result);
    // --diff: the correction a real run would make, as a unified diff, or a
    // line naming a file that cannot be shown as text.
    void Diff(const fs::path& file, const std::string& encodings);

    Corrector& corrector_;
    Reporter& reporter_;
    const CommandLine& options_;
    std::ostream& out_;
    std::ostream& err_;
    bool color_;
};

void Session::Tell(const fs::path& file, FileVerdict verdict, const EncodingSet& encodings,
                   const ProcessResult* result) {
    const std::string names = corrector_.Forms().Names(encodings);
    if (verdict == FileVerdict::ToCorrect && result) reporter_.Corrected(file, *result);
    else if (verdict == FileVerdict::ToCorrect && options_.diff) Diff(file, names);
    else reporter_.Checked(file, verdict, names);
}

void Session::File(const fs::path& file) {
    reporter_.CountFile();
    const CheckResult check = corrector_.CheckFile(file);
    if (check.failure) return reporter_.Failed(file, *check.failure);
    if (check.verdict == FileVerdict::ToCorrect && !options_.check) {
        const ProcessResult result = corrector_.ProcessFile(file);
        return Tell(file, check.verdict, check.encodings, &result);
    }
    Tell(file, check.verdict, check.encodings, nullptr);
}

bool Session::Folder(const fs::path& folder) {
    // Lines go out in listing order as soon as they are known: in a check run
    // for every group of files checked, otherwise after each group of files to
    // correct is rewritten.
    struct Entry {
        fs::path path;
        ScanOutcome outcome;
        FileVerdict verdict;
        std::optional<Failure> failure;
        EncodingSet encodings;
    };
    std::vector<Entry> pending;
    std::vector<fs::path> group;
    bool broken = false;
    const auto report = [&] {
        // Output that cannot be written: nothing more is changed unseen.
        if (!broken) {
            std::vector<ProcessResult> results(group.size());
            corrector_.ProcessFiles(group, [&](std::size_t i, const ProcessResult& r) { results[i] = r; });
            std::size_t corrected = 0;
            for (const Entry& e : pending) {
                reporter_.CountFile();
                if (e.outcome == ScanOutcome::Failed) reporter_.Failed(e.path, *e.failure);
                else if (e.outcome == ScanOutcome::Backup) reporter_.Backup(e.path);
                else {
                    const bool rewritten = e.verdict == FileVerdict::ToCorrect && !options_.check;
                    Tell(e.path, e.verdict, e.encodings, rewritten ? &results[corrected++] : nullptr);
                }
            }
            broken = !Delivered(out_, err_);
        }
        pending.clear();
        group.clear();
    };
    ScanCallbacks callbacks;
    callbacks.checked = [&](const ScanEntry& e) {
        pending.push_back(
            {e.path, e.outcome, e.verdict, e.failure ? std::optional<Failure>(*e.failure) : std::nullopt, e.encodings});
        const bool toCorrect = e.outcome == ScanOutcome::Checked && e.verdict == FileVerdict::ToCorrect;
        if (toCorrect && !options_.check) group.push_back(e.path);
        if (group.size() == Corrector::kRewriteGroup || (options_.check && pending.size() == Corrector::kRewriteGroup))
            report();
    };
    const ScanResult scan = ScanFolder(folder, corrector_, callbacks);
    report();
    if (scan.listFailure) reporter_.Failed(folder, *scan.listFailure);
    return !broken;
}

void Session::Diff(const fs::path& file, const std::string& encodings) {
    // One preview tells whether the correction can be shown as text and
    // builds its diff in memory meanwhile; only a diff larger than that
    // memory is made again from a second preview.
    constexpr std::streamoff kHeldDiff = std::streamoff{4} << 20;
    TextCheck text;
    std::ostringstream held;
    UnifiedDiff heldPatch(held, PathText(file), color_);
    bool overflow = false;
    ProcessResult seen = corrector_.Preview(
        file,
        [&](std::string_view kept) {
            text.Keep(kept);
            if (!overflow) heldPatch.Keep(kept), overflow = held.tellp() > kHeldDiff;
        },
        [&](std::string_view occurrence, std::string_view replacement) {
            text.Swap(occurrence, replacement);
            if (!overflow) heldPatch.Swap(occurrence, replacement), overflow = held.tellp() > kHeldDiff;
        });
    if (seen.failure) return reporter_.Failed(file, *seen.failure);
    reporter_.Checked(file, seen.verdict, encodings);
    if (seen.verdict != FileVerdict::ToCorrect) return;
    if (!text.IsText()) {
        out_ << "Binary file " << PathText(file) << ": " << seen.replacements << " replacements\n";
        return;
    }
    if (!overflow) {
        heldPatch.Finish();
        out_ << held.str();
        return;
    }
    UnifiedDiff patch(out_, PathText(file), color_);
    seen = corrector_.Preview(
        file, [&](std::string_view kept) { patch.Keep(kept); },
        [&](std::string_view occurrence, std::string_view replacement) { patch.Swap(occurrence, replacement); });
    if (seen.failure) err_ << "tarnwick-cli: " << PathText(file) << ": " << seen.failure->Reason() << '\n';
    patch.Finish();
}

}  // namespace

int Run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err, bool outIsTerminal) {
    CommandLine options;
    if (auto error = Parse(args, options)) return Usage(err, error->message);
    if (options.json && options.null) return Usage(err, "--json and -z cannot be combined");
    if (options.diff && (options.json || options.null)) return Usage(err, "--diff takes neither --json nor -z");
    if (options.help) {
        out << kHelp;
        return 0;
    }
    if (options.version) {
        out << "tarnwick-cli " TARNWICK_VERSION "\n";
        return 0;
    }
    // The files' code page: the system's, or the one named with -E (then that
    // one encoding; otherwise every candidate).
    RunRequest request;
    request.system = CodePage::System();
    if (options.encoding) {
        request.pinned = CodePage::Named(*options.encoding);
        if (!request.pinned)
            return Usage(err, "unknown or unsupported encoding '" + *options.encoding +
                                  "' (UTF-8 and single-byte code pages are supported)");
    }
    std::string extension;
    if (auto status = ReadSettings(options, request.pinned ? *request.pinned : request.system, err, request, extension))
        return *status;
    auto prepared = PrepareCorrector(request);
    if (const auto* failure = std::get_if<SetupFailure>(&prepared))
        return Usage(err, SetupMessage(*failure, extension));
    if (!options.path) return Usage(err, "no PATH given");
    Corrector& corrector = std::get<Corrector>(prepared);

    const fs::path path = PathFromText(*options.path);
    std::error_code ec;
    const fs::file_status status = fs::status(path, ec);
    if (!fs::exists(status)) {
        const bool missing = !ec || ec == std::errc::no_such_file_or_directory || ec == std::errc::not_a_directory;
        return Usage(err,
                     "'" + *options.path + "': " + (missing ? std::string("no such file or folder") : ec.message()));
    }
    bool color = false;
    if (auto exit = ReadRunOptions(options, outIsTerminal, err, corrector, color)) return *exit;
    if (options.diff) options.check = true;  // a preview changes nothing
    Reporter reporter(options.diff ? err : out, corrector.Forms(), options.check,
                      options.diff   ? Style::Diff
                      : options.json ? Style::Json
                      : options.null ? Style::Null
                                     : Style::Text);
    Session session(corrector, reporter, options, out, err, color);
    bool broken = false;
    if (fs::is_directory(status)) broken = !session.Folder(path);
    else session.File(path);
    if (!broken && !Delivered(out, err)) broken = true;
    reporter.Summary(err);
    if (broken) return 3;
    return reporter.AnyFailed() ? 1 : 0;
}

}  // namespace tarnwick::cli
