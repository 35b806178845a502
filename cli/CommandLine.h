#pragma once

// tarnwick-cli's command line as a plain value, and its help text.

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace tarnwick::cli {

// The text of --help, its options' lines made from the table of options.
std::string Help();
// The completions of every option for `shell` (bash, zsh or fish), made from
// the option table as --help is; nothing for another shell.
std::optional<std::string> Completions(std::string_view shell);

// The parsed command line.
struct CommandLine {
    bool check = false;
    bool interactive = false;  // each occurrence taken or left by an answer (-I)
    // Each -s and -r in the order given: 's' or 'r', and the text.
    std::vector<std::pair<char, std::string>> strings;
    std::optional<std::string> pairsFile;
    std::optional<bool> backup;
    std::optional<std::string> backupExtension;
    std::optional<std::string> encoding;
    std::optional<std::string> legacy;
    std::optional<std::string> optionsFile;
    std::optional<std::string> jobs;
    std::optional<std::string> mostFileSize;  // --max-filesize
    std::optional<std::string> completions;   // the shell whose completions are asked for
    std::optional<bool> progress;             // --progress, --no-progress
    std::vector<std::string> paths;
    bool recursive = false;
    bool followFileLinks = false;  // links to files in folders followed wherever they lead
    bool hidden = false;           // hidden files and folders taken too
    bool noIgnore = false;         // the project's ignore files not heeded
    bool binary = false;           // binary files are corrected too
    bool keepTimes = false;        // a corrected file keeps its modification time
    bool regex = false;            // the search strings are patterns
    bool ignoreCase = false;       // letters match in any case
    bool word = false;             // whole words only
    bool preserveCase = false;     // each replacement in its occurrence's case shape
    bool noUndo = false;           // no record for undo
    bool history = false;
    bool undo = false;
    std::vector<std::string> runIds;  // with --undo: the operands, the run's ID (one at most)
    std::vector<std::string> include, exclude, excludeDir;
    std::optional<std::string> files0From;
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
std::optional<UsageError> Parse(const std::vector<std::string>& args, CommandLine& options);

}  // namespace tarnwick::cli
