#include "cli/FailureWords.h"
#include "cli/Records.h"

#include "cli/Translation.h"

#include "platform/CodePage.h"

#include <cerrno>
#include <ostream>
#include <system_error>

namespace tarnwick::cli {

bool Records::PathFailed(const Failure& failure) {
    Failed(failure.path, failure);
    return !broken_;
}

std::string_view KindName(RecordKind kind) {
    switch (kind) {
    case RecordKind::ToCorrect: return "to-correct";
    case RecordKind::AlreadyCorrected: return "already-corrected";
    case RecordKind::Unknown: return "unknown";
    case RecordKind::Binary: return "binary";
    case RecordKind::Corrected: return "corrected";
    case RecordKind::SameFile: return "same-file";
    case RecordKind::Failed: return "failed";
    case RecordKind::Backup: return "backup";
    case RecordKind::Restored: return "restored";
    case RecordKind::Changed: return "changed";
    case RecordKind::Skipped: return "skipped";
    case RecordKind::Leftover: return "leftover";
    case RecordKind::Left: return "left";
    }
    return "unknown";
}

bool Records::File(const FileReport& report) {
    const std::filesystem::path& path = report.path;
    if (report.outcome == FileOutcome::Leftover) {
        // No file of the run: told, not counted.
        Write({RecordKind::Leftover, path, {}, nullptr, {}, nullptr, Reason(*report.failure, InWords())});
        return !broken_;
    }
    ++tally_.files;
    switch (report.outcome) {
    case FileOutcome::Checked:
        Checked(path, report.verdict, EncodingsOf(report));
        NoteNotInPage(report);
        if (report.verdict == FileVerdict::Unknown && report.notUtf8) ++tally_.unknownNotUtf8;
        break;
    case FileOutcome::Corrected: {
        ++tally_.corrected;
        NoteNotInPage(report);
        tally_.replacements += report.replacements;
        tally_.leftOccurrences += report.left;
        const std::vector<std::string> encodings = EncodingsOf(report);
        FileRecord record{RecordKind::Corrected, path, report.replacements, &encodings, report.pairCounts};
        record.left = report.left;
        Write(record);
        break;
    }
    case FileOutcome::Left: {
        ++tally_.left;
        tally_.leftOccurrences += report.left;
        const std::vector<std::string> encodings = EncodingsOf(report);
        FileRecord record{RecordKind::Left, path, {}, &encodings};
        record.left = report.left;
        Write(record);
        break;
    }
    case FileOutcome::SameFile:
        ++tally_.sameFile;
        Write({RecordKind::SameFile, path, {}, nullptr, {}, report.sameAs});
        break;
    case FileOutcome::Failed: Failed(path, *report.failure); break;
    case FileOutcome::Backup:
        ++tally_.backups;
        Write({RecordKind::Backup, path});
        break;
    case FileOutcome::Restored:
        ++tally_.restored;
        Write({RecordKind::Restored, path});
        // A backup copy the run made goes with the undo, unless it was changed since.
        if (report.backupLeft && ++backupsLeft_ <= kNamed) {
            err_ << "tarnwick-cli: " << PathText(*report.backupLeft) << ": ";
            if (report.backupLeftWhy)
                err_ << Fill(Tr("the backup copy could not be removed ({}): left as it is"),
                             {report.backupLeftWhy.message()});
            else err_ << Tr("the backup copy was changed since the run: left as it is");
            err_ << '\n';
        }
        break;
    case FileOutcome::Changed:
        ++tally_.changed;
        Write({RecordKind::Changed, path});
        break;
    case FileOutcome::Leftover: break;
    case FileOutcome::Skipped:
        ++tally_.skipped;
        Write({RecordKind::Skipped,
               path,
               {},
               nullptr,
               {},
               nullptr,
               report.failure ? Reason(*report.failure, InWords()) : std::string()});
        break;
    }
    if (progress_)
        progress_->Show(
            {tally_.files, listed_, check_ ? tally_.toCorrect : tally_.corrected, tally_.failed, read_, check_});
    return !broken_;
}

bool Records::Listed(const std::filesystem::path&, std::size_t files) {
    listed_ += files;
    return true;
}

std::vector<std::string> Records::EncodingsOf(const FileReport& report) const {
    return forms_.NameList(report.encodings, report.page ? std::string_view(report.page->label) : std::string_view());
}

void Records::NoteNotInPage(const FileReport& report) {
    if (!report.page || report.page->notInPage.empty()) return;
    const std::string& label = report.page->label.empty() ? forms_.Name(Encoding::Legacy) : report.page->label;
    notInPage_[{label, report.page->notInPage}].push_back(PathText(report.path));
}

void Records::ReportNotInPage() {
    constexpr std::size_t kNamed = 10;
    for (const auto& [why, files] : notInPage_) {
        const auto& [label, pairs] = why;
        std::string strings;
        for (std::size_t i = 0; i < pairs.size(); ++i) {
            const std::size_t pair = pairs[i];
            strings += (i ? ", '" : "'") +
                       (pair < pairs_.size() ? Utf16ToUtf8(pairs_[pair].search).value_or("?") : std::string("?")) + "'";
        }
        std::string named;
        for (std::size_t i = 0; i < files.size() && i < kNamed; ++i) named += (i ? ", " : "") + files[i];
        if (files.size() > kNamed) named += Fill(Tr(" and {} more"), {std::to_string(files.size() - kNamed)});
        err_ << "tarnwick-cli: "
             << Fill(TrN("{} file was read as {}, only a guess, which cannot hold {}: {}; if it is in another code "
                         "page, name it with --legacy (e.g. --legacy CP1251,CP932)",
                         "{} files were read as {}, only a guess, which cannot hold {}: {}; if they are in another "
                         "code page, name it with --legacy (e.g. --legacy CP1251,CP932)",
                         files.size()),
                     {std::to_string(files.size()), label, strings, named})
             << '\n';
    }
}

bool Records::Settled() {
    if (broken_) return false;
    errno = 0;
    out_.flush();
    if (out_) return true;
    const int reason = errno;
    err_ << "tarnwick-cli: " << Tr("cannot write the output")
         << (reason ? ": " + std::generic_category().message(reason) : std::string()) << Tr("; stopped") << '\n';
    broken_ = true;
    return false;
}

std::string Counted(std::uint64_t n, std::string_view one, std::string_view many) {
    return std::to_string(n) + ' ' + std::string(n == 1 ? one : many);
}

void Records::Summary() {
    progress_.reset();  // (erased: the summary takes its place)
    const Tally& t = tally_;
    const auto n = [](std::uint64_t count) { return std::to_string(count); };
    // Each count "{}" in its words, in the order the English summary gives them.
    const auto count = [&](const char* words, std::uint64_t count) { return Fill(Tr(words), {n(count)}); };
    err_ << "tarnwick-cli: " << Fill(TrN("{} file", "{} files", t.files), {n(t.files)}) << ": ";
    if (undo_) {
        err_ << count(N_("{} restored"), t.restored) << ", " << count(N_("{} changed since (left alone)"), t.changed)
             << ", " << count(N_("{} failed"), t.failed) << '\n';
        if (backupsLeft_ > kNamed)
            err_ << "tarnwick-cli: "
                 << Fill(Tr("... and {} more backup copies changed since the run, left ({} in all)"),
                         {n(backupsLeft_ - kNamed), n(backupsLeft_)})
                 << '\n';
        return;
    }
    if (check_) err_ << count(N_("{} to correct"), t.toCorrect) << ", ";
    else if (review_)
        err_ << Fill(TrN("{} corrected ({} occurrence taken, {} left)", "{} corrected ({} occurrences taken, {} left)",
                         t.replacements),
                     {n(t.corrected), n(t.replacements), n(t.leftOccurrences)})
             << ", " << count(N_("{} left as they were"), t.left) << ", ";
    else
        err_ << Fill(TrN("{} corrected ({} replacement)", "{} corrected ({} replacements)", t.replacements),
                     {n(t.corrected), n(t.replacements)})
             << ", ";
    err_ << count(N_("{} already corrected"), t.already) << ", " << count(N_("{} unknown"), t.unknown) << ", ";
    if (t.binary) err_ << count(N_("{} binary"), t.binary) << ", ";
    if (t.skipped) err_ << count(N_("{} skipped"), t.skipped) << ", ";
    if (t.backups)
        err_ << Fill(TrN("{} backup copy left alone", "{} backup copies left alone", t.backups), {n(t.backups)})
             << ", ";
    if (t.sameFile)
        err_ << Fill(TrN("{} other name of a corrected file", "{} other names of corrected files", t.sameFile),
                     {n(t.sameFile)})
             << ", ";
    err_ << count(N_("{} failed"), t.failed) << '\n';
}

std::unique_ptr<Records> PrinterFor(const CommandLine& options, std::ostream& out, std::ostream& err,
                                    const StringForms& forms, bool check, bool color) {
    if (options.diff) return DiffOutput(out, err, forms, color);
    if (options.json) return JsonRecords(out, err, forms, check);
    if (options.null) return NullRecords(out, err, forms, check);
    return TextRecords(out, err, forms, check);
}

void Records::FailedRecord(const std::filesystem::path& path, const Failure& failure) {
    Write({RecordKind::Failed,
           path,
           {},
           nullptr,
           {},
           nullptr,
           Reason(failure, InWords()),
           failure.other.empty() ? nullptr : &failure.other});
}

void Records::Failed(const std::filesystem::path& path, const Failure& failure) {
    ++tally_.failed;
    FailedRecord(path, failure);
}

void Records::Checked(const std::filesystem::path& path, FileVerdict verdict,
                      const std::vector<std::string>& encodings) {
    switch (verdict) {
    case FileVerdict::Unknown:
        ++tally_.unknown;
        Write({RecordKind::Unknown, path});
        return;
    case FileVerdict::AlreadyCorrected:
        ++tally_.already;
        Write({RecordKind::AlreadyCorrected, path});
        return;
    case FileVerdict::ToCorrect:
        ++tally_.toCorrect;
        Write({RecordKind::ToCorrect, path, {}, &encodings});
        return;
    case FileVerdict::Binary:
        ++tally_.binary;
        Write({RecordKind::Binary, path});
        return;
    }
}

}  // namespace tarnwick::cli
