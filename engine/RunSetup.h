#pragma once

// The rules a correction is set up by, the same for every front end: from the
// strings as the user typed them, the encodings files may use and the backup
// switch to a ready Corrector, or the one reason it cannot be made, which the
// front end puts into words.

#include "CodePage.h"
#include "Corrector.h"

#include <filesystem>
#include <optional>
#include <string>
#include <variant>

namespace tarnwick {

struct RunRequest {
    std::u16string search;
    std::u16string replace;
    // The encodings files may use: every candidate of the system's code page
    // (StringForms::ForSystem), or only `pinned` when one is named.
    CodePage system = CodePage::System();
    std::optional<CodePage> pinned;
    BackupPolicy backup;
    // An empty search string: tarnwick-cli refuses it (a command line with an
    // empty -s is a mistake, and it would rewrite every file); the window takes
    // it as its description says, as a string every non-empty file holds.
    bool emptySearchAllowed = false;
};

enum class SetupError {
    EmptySearch,           // the search string is empty and that is not allowed
    UnusableEncoding,      // `encoding`: a multibyte code page whose bytes can look like ASCII
    SearchNotWritable,     // the search string has no form in `encoding` (empty: in any encoding)
    ReplaceNotWritable,    // the replace string has no form in the pinned `encoding`
    EmptyBackupExtension,  // backups on without an extension
    BadBackupExtension,    // an extension that is no plain name part
};

struct SetupFailure {
    SetupError error;
    std::string encoding = {};  // the encoding the error names, if any
};

// A Corrector for the request, or why there can be none.
std::variant<Corrector, SetupFailure> PrepareCorrector(const RunRequest& request);

}  // namespace tarnwick
