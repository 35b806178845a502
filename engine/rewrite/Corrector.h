#pragma once

#include "engine/content/ByteSearcher.h"
#include "engine/content/ContentRules.h"
#include "engine/Failure.h"
#include "engine/content/LegacyPages.h"
#include "platform/Leftovers.h"
#include "engine/content/ShownChanges.h"
#include "engine/content/StringForms.h"

#include <array>
#include <cstddef>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace tarnwick {

namespace os {
class File;
}
class UndoKeeper;
struct StagedRewrite;

// Whether, and under which name, the current content is kept before a rewrite.
struct BackupPolicy {
    bool enabled = false;
    // Appended to the file's name after a ".": page.htm -> page.htm.bak.
    std::filesystem::path::string_type extension;
};

// The backup path of `file`: its path, ".", and the extension.
std::filesystem::path BackupPathOf(const std::filesystem::path& file, const BackupPolicy& backup);

// Whether the policy can be used: with backups on the extension must be a
// non-empty plain name part, so the backup can never be the file itself or
// lie in another folder.
bool IsUsable(const BackupPolicy& backup);

// Where a run found a file: named as a path, or listed by a walk in a folder
// (held open or not), as a regular file or as a symbolic link to one.
struct FilePlace {
    const os::Folder* folder = nullptr;   // the file's folder, where the walk holds it open
    bool listed = false;                  // found by a walk, in the folder below
    std::uint64_t device = 0, inode = 0;  // ...which that folder is
    bool link = false;                    // ...as a symbolic link to a file
};

// Which symbolic links to files that a walk finds are followed: those that
// lead into the paths the run was given, or (`any`) every one. A link named
// as a path is always followed.
struct LinkRule {
    bool any = false;
    std::vector<std::filesystem::path> roots;  // absolute, without links
    // Whether `target` (absolute, without links) is one of the roots or inside one.
    bool Takes(const std::filesystem::path& target) const;
};

// The legacy code page a file was read in, where it is not the run's first
// (LegacyPages), and what the choice left out.
struct FilePage {
    std::string label;                   // "shift_jis", "windows-1251"; empty: the run's own
    bool guess = false;                  // only the preferred page's guess
    std::vector<std::size_t> notInPage;  // pairs whose search string cannot be written in that guess
};

struct CheckResult {
    FileVerdict verdict = FileVerdict::Unknown;
    std::optional<Failure> failure;       // set when the file could not be read; verdict is Unknown
    EncodingSet encodings;                // of the search string's occurrences
    bool notUtf8 = false;                 // read whole and found not to be valid UTF-8 (ContentRules::Findings)
    std::uint64_t device = 0, inode = 0;  // which file was read
    std::uint64_t size = 0;               // ...and its size then
    std::filesystem::path target;         // where a symbolic link led (absolute, without links), if one did
    FilePage page;                        // which legacy code page it was read in, where not the run's
};

// Which occurrences of a file are replaced. Every one (All), as a run
// without review; none (None): the file is left; or, as a review showed
// them (Chosen), those `taken`, by their order in the file, of a file that
// still holds what was shown (`length` bytes, ContentHash `hash`).
struct OccurrenceChoice {
    enum class Kind : std::uint8_t { All, None, Chosen };
    Kind kind = Kind::All;
    std::vector<bool> taken;
    std::uint64_t length = 0, hash = 0;
    std::uint64_t device = 0, inode = 0;  // ...and which file that was (0: not known)

    std::uint64_t Taken() const { return static_cast<std::uint64_t>(std::count(taken.begin(), taken.end(), true)); }
    // Taken from what was shown: every occurrence, none, or only some.
    bool Any() const { return kind == Kind::All || (kind == Kind::Chosen && Taken() > 0); }
};

struct ProcessResult {
    std::uint64_t replacements = 0;
    std::uint64_t left = 0;                 // occurrences a choice left as they were
    std::vector<std::uint64_t> pairCounts;  // with several pairs of strings: each pair's replacements, in order
    // ToCorrect when the file held the search string; otherwise what it held
    // when it was read, and nothing was changed.
    FileVerdict verdict = FileVerdict::ToCorrect;
    std::optional<Failure> failure;  // set when nothing was changed because of it
    // Set when this name leads to a file corrected under that name in the same run.
    std::filesystem::path sameAs;
    // This name leads to a file the run told under this very name before: not told again.
    bool toldBefore = false;
    EncodingSet encodings;                // of the search string's occurrences
    std::uint64_t device = 0, inode = 0;  // the corrected file
    std::filesystem::path target;         // where a symbolic link led (absolute, without links), if one did
    FilePage page;                        // which legacy code page it was read in, where not the run's

    // The file was really rewritten.
    bool Corrected() const { return !failure && sameAs.empty() && !toldBefore && verdict == FileVerdict::ToCorrect; }
};

// One correction: the search and replace strings in the encodings files may
// use, and the backup policy. Checks and safely rewrites one file at a time
// and keeps its buffers between files; not for use from two threads at once.
// Many files at once, on workers: CorrectionRun.
//
// Which forms count in a file and how they are replaced: ContentRules.
class Corrector {
public:
    static constexpr std::size_t kDefaultChunkSize = std::size_t{1} << 16;

    explicit Corrector(StringForms forms, BackupPolicy backup = {}, std::size_t chunkSize = kDefaultChunkSize);
    // Byte strings as they are.
    Corrector(std::string search, std::string replace, BackupPolicy backup = {},
              std::size_t chunkSize = kDefaultChunkSize)
        : Corrector(StringForms::Bytes(std::move(search), std::move(replace)), std::move(backup), chunkSize) {}

    const StringForms& Forms() const { return rules_.Forms(); }
    // Whether binary files are judged and corrected as text (ContentRules::TakeBinaryFiles).
    void TakeBinaryFiles(bool take) { rules_.TakeBinaryFiles(take); }
    // Files larger than `most` bytes are left alone (TooLarge); nothing: no limit.
    void LimitSize(std::optional<std::uint64_t> most) { mostSize_ = most; }
    // A corrected file keeps the original's modification time (File::CopyTimesFrom).
    void KeepTimes(bool keep) { keepTimes_ = keep; }
    // Whether files read whole are checked for valid UTF-8 anyway (ContentRules::WatchUtf8).
    void WatchUtf8(bool watch) { rules_.WatchUtf8(watch); }
    const BackupPolicy& Backup() const { return backup_; }
    // Which links found by a walk are followed (none outside its paths by default).
    void FollowLinks(LinkRule rule) { links_ = std::move(rule); }
    // Takes each pair's search string as a pattern, compiled with its
    // replacement (ContentRules::UsePatterns); `legacy`: the forms' legacy code page.
    void UsePatterns(std::vector<Pattern> patterns, const std::optional<CodePage>& legacy);
    bool UsesPatterns() const { return rules_.UsesPatterns(); }
    // Decides each file's legacy code page (LegacyPages) instead of reading
    // every file that is not UTF-8 in the forms' own: `pairs` are the forms'
    // strings as typed.
    void DecidePages(PagePreference preference, std::vector<TextPair> pairs);

    // Classifies the file: ToCorrect when the search string occurs, else
    // AlreadyCorrected when the replace string occurs, else Unknown. An empty string occurs in every non-empty
    // file. Reads the whole file (to tell a binary one, ContentRules::Scan).
    // Never creates, changes or blocks on anything; on failure: verdict
    // Unknown and the reason. A file a walk listed (`place`) is opened by its
    // name in its folder, never through a link swapped in meanwhile.
    CheckResult CheckFile(const std::filesystem::path& file, const FilePlace& place = {});

    // Replaces every occurrence of the search string, left to right, without
    // overlap and without searching inserted text again, and puts the result in
    // place of the file in one step, after keeping the content that was read as
    // the backup when backups are on; then flushes the folder. A file that no
    // longer holds the search string (or an empty one) is left alone and its
    // verdict returned. A symbolic link is followed; the link stays. Another
    // run of this program correcting the same file is waited for.
    // On failure the file and any old backup are exactly as before, no
    // temporary file is left, and the reason is returned. Before the first
    // file of a folder, what stopped runs left there is cleaned (CleanLeftovers).
    // A file a walk listed (`place`) is reached as CheckFile reaches it, and
    // every step (the temporary, the backup, the rename) is taken in the
    // folder it was reached in.
    // With `choice` (Chosen), only the occurrences it takes are replaced, and
    // a file that no longer holds what was shown fails (ChangedSinceShown).
    ProcessResult ProcessFile(const std::filesystem::path& file, const FilePlace& place = {},
                              const OccurrenceChoice* choice = nullptr);

    using Keep = ContentRules::Keep;
    using Swap = ContentRules::Swap;
    // What ProcessFile would do, changing nothing and holding no lock:
    // `keep` receives the bytes that stay, `swap` each occurrence and what
    // takes its place, in file order (a second reading of the file). The
    // result is ProcessFile's: replacements, verdict, encodings or failure.
    ProcessResult Preview(const std::filesystem::path& file, const Keep& keep, const Swap& swap);
    // A preview for a review: `shown` becomes a choice of every occurrence
    // (Chosen) of the file as it was read, for the reviewer to narrow, and
    // `changes` (when given) each occurrence as text, in file order.
    ProcessResult Show(const std::filesystem::path& file, OccurrenceChoice& shown,
                       std::vector<ShownChange>* changes = nullptr);
    // The legacy code page of the files read in the run's own, to show their text.
    void ShowLegacyIn(std::optional<CodePage> page) { legacy_ = std::move(page); }

    // How long a rewrite waits for another run of the program to finish with a file.
    static constexpr int kLockWaitMs = 30000;
    void SetLockWait(std::chrono::milliseconds wait) { lockWait_ = wait; }
    std::chrono::milliseconds LockWait() const { return lockWait_; }

    // A rewrite in steps, for many files at once (GroupRewrite): Begin, then
    // Place, then Finish, each step for every file of a group before the next,
    // so that their flushes share the file system's commits.
    struct Started {};  // the first step is done: the rewrite waits for Place and Finish
    struct Busy {};     // another run holds the file: nothing is held or left
    using Begun = std::variant<Started, Busy, ProcessResult>;
    // The first step: checks, then the corrected content written to a
    // temporary file beside the file, not yet flushed. Otherwise the result (a
    // failure, or a file without the search string), with nothing left
    // behind. A file another run of the program holds is waited for when
    // `wait`; otherwise it is Busy.
    Begun Begin(const std::filesystem::path& file, const FilePlace& place, StagedRewrite& staged, bool wait);
    // The second step: the new content flushed, the backup placed. On
    // failure, the result, with everything put back as it was. The backup's
    // folder (StagedRewrite::BackupFolder) is to be flushed after it (once for
    // many files), before Finish.
    std::optional<ProcessResult> Place(StagedRewrite& staged);
    // The last step: the check for changes, the rename. On failure everything
    // is put back as it was, the backup's name included. The file's folder is
    // to be flushed after it (once for many files).
    ProcessResult Finish(StagedRewrite& staged);
    // The original a finished rewrite kept for undo, confirmed once the
    // rewrite is told (in the run's order); nothing without a record.
    void ConfirmKept(const StagedRewrite& staged);

    // Keeps each original a rewrite replaces in `keeper`, for undo (none: no record).
    void KeepOriginals(UndoKeeper* keeper) { undo_ = keeper; }
    // Removes what stopped runs left in the folder of `file`, once a folder;
    // what it did, or nothing where the folder was cleaned before.
    LeftoverCounts CleanFolderOf(const std::filesystem::path& file, const FilePlace& place = {});

private:
    // The folder of `file` as `place` says, into `opened` unless the place holds it open.
    std::optional<Failure> Home(const std::filesystem::path& file, const FilePlace& place, os::Folder& opened,
                                const os::Folder*& home) const;
    // The file itself, the entry of `home` or where the link there leads:
    // `folder` is then opened on the target's folder; `name` and `target`
    // (its path) are set, and `viaLink` says whether a link led there.
    std::optional<Failure> Target(const std::filesystem::path& file, const FilePlace& place, const os::Folder& home,
                                  os::Folder& folder, std::filesystem::path& name, std::filesystem::path& target,
                                  bool& viaLink) const;
    // The file opened for reading as CheckFile opens it; `target`: where a link led, if one did.
    std::optional<Failure> OpenChecked(const std::filesystem::path& file, const FilePlace& place, os::File& in,
                                       std::filesystem::path& target) const;
    // The file opened and locked against other runs; what ends the rewrite otherwise.
    std::optional<Begun> Lock(StagedRewrite& pending, bool wait);
    // Whether the backup can be made under its name, and what stands there now.
    std::optional<Failure> CheckBackupPath(StagedRewrite& pending);
    // The corrected content in a new temporary file, with the original's access.
    std::optional<Failure> WriteCorrected(StagedRewrite& pending);
    struct Rollback;  // what the last steps have made, taken back unless the rewrite stands
    // The backup of what was read at the backup's name, an old one kept aside.
    std::optional<Failure> PlaceBackup(StagedRewrite& pending);
    // The corrected file in place of the original, and the check that no write landed meanwhile.
    ProcessResult PutInPlace(StagedRewrite& pending, Rollback& rollback);
    // A write landed in the replaced file: it goes back under its name, from
    // `hold`, or from the backup or the original kept for undo when that is a
    // second name of it.
    ProcessResult PutBack(StagedRewrite& pending, Rollback& rollback, const std::filesystem::path& hold,
                          bool backupIsOld, bool keptIsOld);
    using Findings = ContentRules::Findings;
    // Opens `file` into `in` and scans it; a failure (not a regular file,
    // unreadable) instead.
    std::optional<Failure> OpenAndScan(const std::filesystem::path& file, const FilePlace& place, os::File& in,
                                       bool emptySearchOccurs, Findings& found, CheckResult* check = nullptr);
    // Whether the open file still holds exactly what the rewrite read (false
    // where it could not be read again: `ec`).
    bool StillHolds(StagedRewrite& pending, std::error_code& ec);

    // Counters for each pair's replacements in `counts` when there are
    // several pairs: where Stream counts them; otherwise none.
    std::uint64_t* PairCounters(std::vector<std::uint64_t>& counts) const;
    // Streams `in` to `out`, replacing; counts the replacements.
    std::error_code Rewrite(StagedRewrite& pending, bool& readFailed);

    // The file's content scanned in the run's page, and where its bytes show
    // another, again in that one; a failure where its page cannot be told safely.
    std::optional<Failure> Scan(const std::filesystem::path& file, os::File& in, std::uint64_t size,
                                bool emptySearchOccurs, Findings& found);
    std::optional<Failure> ScanInPage(const std::filesystem::path& file, os::File& in, std::uint64_t size,
                                      bool emptySearchOccurs, Findings& found);
    // Why a stream of patterns gave nothing to write (too much work, a
    // character the file's encoding cannot hold), if that is why.
    std::optional<Failure> PatternFailure(const std::filesystem::path& file, const Findings& found);
    // The rules of a file's page (Findings::page), in this copy.
    ContentRules& RulesOf(const Findings& found);
    // The rules of the legacy code page `page`, made once for all copies; their number for Findings::page.
    std::size_t PageRules(const CodePage& page);
    // What a report says of the page a file was read in.
    FilePage PageOf(const Findings& found) const;

    ContentRules rules_;                // what a file holds, how it is replaced; its buffer serves the rewrite too
    std::optional<PageDecider> pages_;  // with DecidePages
    std::string pageHead_;              // a file's first bytes, to decide its page
    std::vector<std::optional<ContentRules>> pageRules_;  // this copy's of the other pages' rules, by number - 1
    // The other pages' rules made once for all copies of the corrector (their tables are shared).
    struct PageCache;
    std::shared_ptr<PageCache> pageCache_;
    std::optional<CodePage> legacy_;  // (ShowLegacyIn)
    // Preview, telling `scanned` what the scan found before the correction streams.
    ProcessResult Preview(const std::filesystem::path& file, const Keep& keep, const Swap& swap,
                          const std::function<void(const Findings&)>& scanned);
    BackupPolicy backup_;
    UndoKeeper* undo_ = nullptr;     // keeps each original for undo, when the run keeps a record
    std::filesystem::path beganIn_;  // the folder last named to it as written in
    std::chrono::milliseconds lockWait_{kLockWaitMs};
    LinkRule links_;
    std::optional<std::uint64_t> mostSize_;  // LimitSize
    bool keepTimes_ = false;
    // The folders whose leftovers of stopped runs were cleaned by this corrector (device, inode).
    std::set<std::pair<std::uint64_t, std::uint64_t>> cleanedFolders_;
    std::vector<char> output_;
};

}  // namespace tarnwick
