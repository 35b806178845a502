#include "cli/FailureWords.h"
#include "cli/Translation.h"
#include "cli/Records.h"

#include "platform/CodePage.h"
#include "cli/UnifiedDiff.h"

#include <ostream>
#include <sstream>

namespace tarnwick::cli {

namespace {

// What a run would change, as a unified diff, changing nothing. Files are
// counted as a check counts them; a failure is a message on standard error.
class Diff : public Records {
public:
    Diff(std::ostream& out, std::ostream& err, const StringForms& forms, bool color)
        : Records(out, err, forms, true), color_(color) {}

    bool Preview(const FileReport& report, const ShowCorrection& show) override;
    // The counts, and how many corrections the diff could not carry.
    void Summary() override {
        Records::Summary();
        if (notShown_)
            err_ << "tarnwick-cli: "
                 << Fill(TrN("{} file is not shown as text: patch will not change it",
                             "{} files are not shown as text: patch will not change them", notShown_),
                         {std::to_string(notShown_)})
                 << '\n';
    }

private:
    // Only failures are told, on standard error: the diff is the output.
    void Write(const FileRecord&) override {}
    void FailedRecord(const std::filesystem::path& path, const Failure& failure) override {
        err_ << "tarnwick-cli: " << PathText(path) << ": " << Reason(failure, true) << '\n';
    }

    bool color_;
    std::size_t notShown_ = 0;  // corrections shown as a "Binary file" line only
};

bool Diff::Preview(const FileReport& report, const ShowCorrection& show) {
    ++tally_.files;
    NoteNotInPage(report);
    const std::filesystem::path& file = report.path;
    // One preview tells whether the correction can be shown as text and
    // builds its diff in memory meanwhile; only a diff larger than that
    // memory is made again from a second preview.
    constexpr std::streamoff kHeldDiff = std::streamoff{4} << 20;
    TextCheck text;
    std::ostringstream held;
    os::FileInfo info;
    const std::string time = os::LocalTimeText(os::Stat(file, info) ? 0 : info.modifiedNs);
    UnifiedDiff heldPatch(held, PathText(file), time, color_);
    bool overflow = false;
    ProcessResult seen = show(
        [&](std::string_view kept) {
            text.Keep(kept);
            if (!overflow) heldPatch.Keep(kept), overflow = held.tellp() > kHeldDiff;
        },
        [&](std::string_view occurrence, std::string_view replacement) {
            text.Swap(occurrence, replacement);
            if (!overflow) heldPatch.Swap(occurrence, replacement), overflow = held.tellp() > kHeldDiff;
        });
    if (seen.failure) {
        Failed(file, *seen.failure);
        return !broken_;
    }
    Checked(file, seen.verdict, EncodingsOf(report));
    if (seen.verdict != FileVerdict::ToCorrect) return !broken_;
    if (!text.IsText()) {
        // A unified diff cannot carry it: said on both outputs, and the run is incomplete.
        out_ << "Binary file " << PathText(file) << ": " << Counted(seen.replacements, "replacement", "replacements")
             << '\n';
        err_ << "tarnwick-cli: " << PathText(file) << ": "
             << Tr("not shown as text (NUL bytes, as in UTF-16, or very long lines): patch will not change it") << '\n';
        ++notShown_;
        incomplete_ = true;
    } else if (!overflow) {
        heldPatch.Finish();
        out_ << held.str();
    } else {
        UnifiedDiff patch(out_, PathText(file), time, color_);
        seen = show(
            [&](std::string_view kept) { patch.Keep(kept); },
            [&](std::string_view occurrence, std::string_view replacement) { patch.Swap(occurrence, replacement); });
        if (seen.failure) err_ << "tarnwick-cli: " << PathText(file) << ": " << Reason(*seen.failure, true) << '\n';
        patch.Finish();
    }
    return !broken_;
}

}  // namespace

std::unique_ptr<Records> DiffOutput(std::ostream& out, std::ostream& err, const StringForms& forms, bool color) {
    return std::make_unique<Diff>(out, err, forms, color);
}

}  // namespace tarnwick::cli
