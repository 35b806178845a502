#pragma once

// The rules a run is set up by, the same for every front end: from what the
// user asked (the strings as typed, the encodings files may use, the backup
// switch, the paths, the mode) to a ready CorrectionRun, or the one reason there can be
// none, which the front end puts into words.

#include "platform/CodePage.h"
#include "engine/content/Pattern.h"
#include "engine/rewrite/Corrector.h"
#include "engine/run/Run.h"

#include <algorithm>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace tarnwick {

struct RunRequest {
    // What to replace by what: one pair or more, applied together in one pass
    // (at each place the longest search string that starts there; replaced
    // text is never searched again).
    std::vector<TextPair> pairs;
    // Each search string is a pattern (Pattern), its replace string may refer
    // to the pattern's groups; a file is matched as the text it holds.
    bool patterns = false;
    // Letters match in any case (Unicode's simple case folding, every script,
    // every encoding; the replace string too is looked for so), and an
    // occurrence counts only between characters that are no letter, digit or
    // underscore: plain text is then matched as a pattern of itself.
    bool ignoreCase = false;
    bool word = false;
    // Each replacement is written in its occurrence's case shape (InCaseOf),
    // letters matched in any case; for plain text only.
    bool preserveCase = false;
    // (A search string with a line feed matches a line end of any kind: as a pattern too.)
    bool AsPatterns() const {
        return patterns || ignoreCase || word || preserveCase ||
               std::any_of(pairs.begin(), pairs.end(), [](const TextPair& p) {
                   return p.ignoreCase || p.word || p.preserveCase || p.search.find(u'\n') != std::u16string::npos;
               });
    }
    // The encodings files may use: every candidate of the system's code page
    // (StringForms::ForSystem), or only `pinned` when one is named.
    CodePage system = CodePage::System();
    std::optional<CodePage> pinned;
    // The legacy code pages preferred for files that are not UTF-8, in place
    // of the system's rule (ForSystem): single- or double-byte code pages,
    // the first where a file's bytes tell no other (LegacyPages).
    std::vector<CodePage> legacy;
    BackupPolicy backup;
    // An empty search string: tarnwick-cli refuses it (a command line with an
    // empty -s is a mistake, and it would rewrite every file); the window takes
    // it as its description says, as a string every non-empty file holds.
    bool emptySearchAllowed = false;
    bool binaryFiles = false;                   // binary files are corrected too, byte for byte
    std::optional<std::uint64_t> mostFileSize;  // larger files are left alone, each told skipped
    bool keepTimes = false;                     // a corrected file keeps its modification time
    // A correcting run keeps a record for undo in `undoFolder` (empty: the user's).
    bool keepUndo = false;
    std::filesystem::path undoFolder;
    std::vector<std::filesystem::path> paths;  // files and folders, in the order they are taken
    // After them, the names of a list, read as the run goes (CorrectionRun::TakeNames),
    // and what the record for undo says of the list (its file's name).
    std::function<bool(std::filesystem::path&)> names;
    std::string namesFrom;
    RunMode mode = RunMode::Check;
    FileSelection selection;  // which files of the folders are taken
    unsigned workers = 0;     // 0: one per CPU the process may use
};

enum class SetupError {
    EmptySearch,           // the search string is empty and that is not allowed
    UnusableEncoding,      // `encoding`: a multibyte code page files cannot be corrected in
    UnusableLegacy,        // `encoding`: no legacy code page (UTF-8, or a multibyte one files cannot be corrected in)
    SearchNotWritable,     // the search string has no form in `encoding` (empty: in any encoding)
    ReplaceNotWritable,    // the replace string has no form in the pinned `encoding`
    EmptyBackupExtension,  // backups on without an extension
    BadBackupExtension,    // an extension that is no plain name part
    UndoRecords,           // the undo record folder may not be used: `detail` says why
    BadPattern,            // a pattern or its replacement is wrong: `pattern` says how
    CaseOfPattern,         // case shapes asked for with patterns: they apply to plain text only
};

struct SetupFailure {
    SetupError error;
    std::string encoding = {};                   // the encoding the error names, if any
    std::optional<UndoProblem> undo = {};        // UndoRecords: why
    std::size_t pair = 0;                        // the pair whose string it is, for the errors about a string
    std::optional<PatternProblem> pattern = {};  // BadPattern: what is wrong
};

// Whether the legacy code page a run looks in is only the locale's guess: a
// UTF-8 system, none named, and patterns or a search string of other than ASCII (whose
// legacy form then depends on it). Such a run checks files read whole for
// valid UTF-8 (FileReport::notUtf8), so that files perhaps in another code
// page can be told of.
bool LegacyIsAGuess(const RunRequest& request);

// The code pages of a list such as "CP1251,CP932" (--legacy, LegacyCodePage);
// nothing, and `bad` naming it, when one is unknown or cannot be a legacy code page.
std::optional<std::vector<CodePage>> LegacyCodePages(std::string_view list, std::string& bad);

// The run the request asks for, or why there can be none.
std::variant<CorrectionRun, SetupFailure> PrepareRun(const RunRequest& request);

}  // namespace tarnwick
