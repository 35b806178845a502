#pragma once

#include "platform/CodePage.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

namespace tarnwick::settings {

// The five settings the program carries from one run to the next, and one
// that is only ever written by hand.
struct Options {
    std::u16string searchString;
    std::u16string replaceString;
    std::int16_t backupCopy = 0;  // the check box: 0 unchecked, 1 checked, 2 grey (counts as checked)
    std::u16string mask = u"*.*";
    std::u16string backupExt = u"bak";
    // The legacy code page files are looked in besides UTF-8 and UTF-16
    // (CP1251, 932...); empty: the system's (on Linux, the locale language's).
    std::u16string legacyCodePage = {};
    // The search string is a regular expression (key Regex, 1; written only
    // when set, so that a file without it reads as plain text).
    bool regex = false;
    // Letters in any case, whole words only, each replacement in its
    // occurrence's case shape (keys IgnoreCase, WholeWord and PreserveCase,
    // written in the same way).
    bool ignoreCase = false;
    bool wholeWord = false;
    bool preserveCase = false;
    // Keys whose stored value is no text in the file's code page: read as empty.
    std::vector<std::string> invalidKeys = {};
    // Keys whose stored value cannot be read whole (longer than 254
    // characters, or holding a NUL): read as empty rather than used in part.
    std::vector<std::string> cutKeys = {};

    bool operator==(const Options&) const = default;
};

// The per-user folder of the options: %APPDATA%\Tarnwick on Windows,
// $XDG_CONFIG_HOME/tarnwick or ~/.config/tarnwick elsewhere; empty when the
// environment names none.
std::filesystem::path UserConfigFolder();

// Whether a program in `folder` is installed on the system (under /usr, which
// holds /usr/local, or in the folder this build installs its programs to) and
// not a copy of its own (a build folder, an unpacked zip): an installed program
// writes nothing beside itself, whoever runs it.
bool IsInstalledProgramFolder(const std::filesystem::path& folder);

// The options file to use: for an installed program options.ini in the
// per-user configuration folder; otherwise options.ini in the program's folder
// when it exists there or that folder is writable (a portable copy), else the
// per-user one.
std::filesystem::path ChooseOptionsFile(const std::filesystem::path& programFolder,
                                        const std::filesystem::path& userConfigFolder);

// The options stored in `file`, section Main. No file, or one that cannot be
// a profile file (a folder, larger than 16 MiB): the defaults above.
// A missing key reads as empty text (0 for BackupCopy); a BackupCopy that is
// not 0, 1 or 2 reads as 0; a value that is no text reads as empty and is
// named in `invalidKeys`; a value that cannot be read whole reads as empty and
// is named in `cutKeys`.
Options LoadOptions(const std::filesystem::path& file, const CodePage& codePage);

struct SaveFailure {
    std::filesystem::path path;
    std::error_code code;
};

// Writes exactly the five keys of section Main, in order (then LegacyCodePage and Regex
// when it is set), to a new file beside
// `file` (creating its folder if needed) and puts it in place of `file` in one
// step. On failure the old file is left as it was and the reason is returned.
std::optional<SaveFailure> SaveOptions(const std::filesystem::path& file, const Options& options,
                                       const CodePage& codePage);

}  // namespace tarnwick::settings
