#pragma once

// What tarnwick-cli writes of a run: the sink every output format shares (the
// counts, the summary, when the output is passed on), and one per format.

#include "cli/CommandLine.h"
#include "cli/Progress.h"
#include "engine/run/Run.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <iosfwd>
#include <map>
#include <vector>
#include <memory>
#include <string>
#include <string_view>

namespace tarnwick::cli {

// What a record says of a file (or, for a leftover, of no file of the run).
enum class RecordKind : std::uint8_t {
    ToCorrect,
    AlreadyCorrected,
    Unknown,
    Binary,
    Corrected,
    SameFile,
    Failed,
    Backup,
    Restored,
    Changed,
    Skipped,
    Leftover,
    Left,  // reviewed, every occurrence left
};
// The kind as every format names it: "to-correct", "same-file", ...
std::string_view KindName(RecordKind kind);

// One record, as every format writes it: its kind, its path, and the fields
// its kind has, always in this order.
struct FileRecord {
    RecordKind kind;
    const std::filesystem::path& path;
    std::optional<std::uint64_t> replacements = {};       // corrected
    const std::vector<std::string>* encodings = nullptr;  // to correct, corrected: of its occurrences
    std::span<const std::uint64_t> pairs = {};            // corrected with several pairs: each one's (JSON only)
    const std::filesystem::path* other = nullptr;         // same file: the name it was told as
    std::optional<std::string> reason = {};               // failed, skipped, leftover
    const std::filesystem::path* reasonPath = nullptr;    // a second path the reason names (JSON only)
    std::uint64_t left = 0;                               // reviewed: occurrences left as they were
};

// A run's records, counted; each output format writes a record its own way.
class Records : public RunSink {
public:
    // `check`: a run that changes nothing, whose summary counts the files to correct.
    Records(std::ostream& out, std::ostream& err, const StringForms& forms, bool check)
        : out_(out), err_(err), forms_(forms), check_(check) {}

    bool PathFailed(const Failure& failure) override;
    bool File(const FileReport& report) override;
    bool Listed(const std::filesystem::path& folder, std::size_t files) override;
    void Read(std::uint64_t bytes) override { read_ += bytes; }
    // A line on the terminal telling how the run goes, until the summary.
    void ShowProgress(std::unique_ptr<ProgressLine> line) { progress_ = std::move(line); }
    // The records so far passed on; false, after saying so, when the output cannot be written.
    bool Settled() override;
    // The counts, as a line on standard error.
    virtual void Summary();

    // Some file failed, or some part of the run could not be carried out as asked.
    bool AnyFailed() const { return tally_.failed != 0 || incomplete_; }
    // An undo: the summary counts the files restored and changed.
    void ForUndo() { undo_ = true; }
    // The records of a review: the summary counts occurrences taken and left.
    void ForReview() { review_ = true; }
    bool AllRestored() const { return tally_.restored == tally_.files; }
    // Unknown files that were read whole and are not valid UTF-8: perhaps in another legacy code page.
    std::size_t UnknownNotUtf8() const { return tally_.unknownNotUtf8; }
    // The output could not be written: nothing more was changed after that.
    bool Broken() const { return broken_; }
    // The pairs as typed, to name a search string a file's page could not hold.
    void Pairs(std::vector<TextPair> pairs) { pairs_ = std::move(pairs); }
    // Names, on standard error, the files read in a legacy code page that was
    // only a guess and cannot hold some search string: perhaps corrected in part.
    void ReportNotInPage();

protected:
    struct Tally {
        std::size_t files = 0, toCorrect = 0, corrected = 0, already = 0, unknown = 0, binary = 0, backups = 0,
                    sameFile = 0, failed = 0, restored = 0, changed = 0, unknownNotUtf8 = 0, skipped = 0;
        std::uint64_t replacements = 0;
        std::size_t left = 0;               // reviewed files of which nothing was taken
        std::uint64_t leftOccurrences = 0;  // occurrences a review left, in every file
    };

    // Writes one record in the format's way.
    virtual void Write(const FileRecord& record) = 0;
    // Whether its reasons are words for a person (in the user's language), not a format's (English).
    virtual bool InWords() const { return false; }
    virtual void FailedRecord(const std::filesystem::path& path, const Failure& failure);
    void Failed(const std::filesystem::path& path, const Failure& failure);
    // A checked file: to correct (in a run that changes nothing), already corrected, unknown or binary.
    void Checked(const std::filesystem::path& path, FileVerdict verdict, const std::vector<std::string>& encodings);

    // The encodings of a file's occurrences, its own legacy code page's name among them.
    std::vector<std::string> EncodingsOf(const FileReport& report) const;
    // A file read in a guessed page that cannot hold some search string.
    void NoteNotInPage(const FileReport& report);

    std::ostream& out_;
    std::ostream& err_;
    const StringForms& forms_;
    std::vector<TextPair> pairs_;
    // Files read in a guessed page that cannot hold some search strings: by the page and the pairs, the files.
    std::map<std::pair<std::string, std::vector<std::size_t>>, std::vector<std::string>> notInPage_;
    const bool check_;
    Tally tally_;
    bool broken_ = false;
    bool undo_ = false;
    bool review_ = false;
    bool incomplete_ = false;
    static constexpr std::size_t kNamed = 10;  // backup copies left named at most, then counted
    std::size_t backupsLeft_ = 0;              // an undo: backup copies changed since, left
    std::unique_ptr<ProgressLine> progress_;
    std::size_t listed_ = 0;  // files of the folders listed so far
    std::uint64_t read_ = 0;  // bytes of the files told so far
};

// "1 file", "2 files": `n` and the word for its number.
std::string Counted(std::uint64_t n, std::string_view one, std::string_view many);

// `text` as a JSON string (valid UTF-8 assumed; control characters escaped).
std::string JsonString(std::string_view text);
// A path's bytes as a JSON value: a string when they are UTF-8 text, else {"bytes":"BASE64"}.
std::string JsonPath(const std::string& bytes);

// One line a file, fields separated by tabs.
std::unique_ptr<Records> TextRecords(std::ostream& out, std::ostream& err, const StringForms& forms, bool check);
// Each field ended by a NUL byte, written as it is (-z).
std::unique_ptr<Records> NullRecords(std::ostream& out, std::ostream& err, const StringForms& forms, bool check);
// JSON Lines: an object a file, then one with the counts.
std::unique_ptr<Records> JsonRecords(std::ostream& out, std::ostream& err, const StringForms& forms, bool check);
// --diff: each correction as a unified diff on `out`; failures as messages on `err`.
std::unique_ptr<Records> DiffOutput(std::ostream& out, std::ostream& err, const StringForms& forms, bool color);
// The printer of the format the command line asks for: --diff, --json, -z or
// text; `check`: of a run that changes nothing.
std::unique_ptr<Records> PrinterFor(const CommandLine& options, std::ostream& out, std::ostream& err,
                                    const StringForms& forms, bool check, bool color);

}  // namespace tarnwick::cli
