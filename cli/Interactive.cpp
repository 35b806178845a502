#include "cli/Interactive.h"
#include "cli/Translation.h"

#include "platform/CodePage.h"

#include <algorithm>
#include <filesystem>
#include <istream>
#include <ostream>
#include <string>

namespace tarnwick::cli {

namespace {

constexpr const char* kHelp =
    N_("y - take this change\n"
       "n - leave it\n"
       "a - take it and every later one in this file\n"
       "d - leave it and every later one in this file\n"
       "A - take every change left, in every file, without asking\n"
       "q - stop: the files answered before this one are written, nothing else\n"
       "? - this help\n");

class Interactive : public RunSink {
public:
    Interactive(Records& records, std::istream& in, std::ostream& show, bool color, std::function<bool()> wait)
        : records_(records), in_(in), show_(show), color_(color), wait_(std::move(wait)) {}

    bool Listed(const std::filesystem::path& folder, std::size_t files) override {
        return records_.Listed(folder, files);
    }
    bool PathFailed(const Failure& failure) override { return records_.PathFailed(failure); }
    bool File(const FileReport& report) override { return records_.File(report); }
    bool Settled() override { return records_.Settled(); }
    bool Review(const FileReport& report, const ShowForReview& show, OccurrenceChoice& choice) override;
    // After A, nothing is asked: files go in groups, as in any run.
    bool ReviewAsks() const override { return !takeAll_; }

private:
    enum class Answer { Take, Leave, TakeFile, LeaveFile, TakeAll, Quit };
    Answer Ask(std::size_t number, std::size_t count);
    // A line with the occurrence (or its replacement) marked in `sign`'s colour.
    void Line(char sign, const std::u16string& text, std::size_t at, std::size_t length);

    Records& records_;
    std::istream& in_;
    std::ostream& show_;
    bool color_;
    std::function<bool()> wait_;
    bool takeAll_ = false;
};

// Text for the terminal: control characters shown as their pictures (␛ for
// ESC, ␍ for CR...), never sent to it, so that a file cannot move the cursor
// or rewrite what is shown.
std::string Visible(std::u16string_view text) {
    std::u16string shown;
    shown.reserve(text.size());
    for (const char16_t c : text) {
        if (c < 0x20 && c != u'\t') shown.push_back(static_cast<char16_t>(0x2400 + c));
        else if (c == 0x7F) shown.push_back(u'\u2421');
        else if (c >= 0x80 && c < 0xA0) shown.push_back(u'\uFFFD');
        else shown.push_back(c);
    }
    return Utf16ToUtf8(shown).value_or("?");
}

// A path's bytes for the terminal: its control bytes as '?'.
std::string VisiblePath(const std::filesystem::path& path) {
    std::string text = PathText(path);
    for (char& c : text)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
    return text;
}

bool Interactive::Review(const FileReport& report, const ShowForReview& show, OccurrenceChoice& choice) {
    if (takeAll_) return true;  // every occurrence, as a run without review
    std::vector<ShownChange> changes;
    const ProcessResult seen = show(choice, &changes);
    if (seen.failure || choice.kind != OccurrenceChoice::Kind::Chosen) return true;  // the rewrite tells what
    show_ << (color_ ? "\033[1m" : "") << VisiblePath(report.path) << (color_ ? "\033[m" : "") << '\n';
    for (std::size_t i = 0; i < changes.size() && i < choice.taken.size(); ++i) {
        const ShownChange& c = changes[i];
        show_ << (color_ ? "\033[36m" : "") << "@@ " << Fill(Tr("line {}"), {std::to_string(c.line)}) << " @@"
              << (color_ ? "\033[m" : "") << '\n';
        Line('-', c.before, c.at, c.length);
        Line('+', c.after, c.at, c.newLength);
        const Answer answer = Ask(i + 1, changes.size());
        if (answer == Answer::Quit) return false;
        choice.taken[i] = answer != Answer::Leave && answer != Answer::LeaveFile;
        if (answer == Answer::Take || answer == Answer::Leave) continue;
        for (std::size_t k = i + 1; k < choice.taken.size(); ++k) choice.taken[k] = answer != Answer::LeaveFile;
        takeAll_ = answer == Answer::TakeAll;
        break;
    }
    if (choice.Taken() == 0) choice.kind = OccurrenceChoice::Kind::None;
    return true;
}

Interactive::Answer Interactive::Ask(std::size_t number, std::size_t count) {
    for (;;) {
        show_ << (color_ ? "\033[1;34m" : "") << '(' << number << '/' << count << ") "
              << Tr("Take this change [y,n,a,d,A,q,?]? ") << (color_ ? "\033[m" : "") << std::flush;
        std::string line;
        // (The end of the answers, or a stop signal while waiting for one,
        // stops the run as q does: nothing unanswered is written.)
        if ((wait_ && !wait_()) || !std::getline(in_, line)) {
            show_ << '\n';
            return Answer::Quit;
        }
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line == "y") return Answer::Take;
        if (line == "n") return Answer::Leave;
        if (line == "a") return Answer::TakeFile;
        if (line == "d") return Answer::LeaveFile;
        if (line == "A") return Answer::TakeAll;
        if (line == "q") return Answer::Quit;
        show_ << (color_ ? "\033[1;31m" : "") << Tr(kHelp) << (color_ ? "\033[m" : "");
    }
}

void Interactive::Line(char sign, const std::u16string& text, std::size_t at, std::size_t length) {
    // Each line of it (an occurrence may hold line ends) behind the sign, the occurrence marked.
    const char* plain = color_ ? (sign == '-' ? "\033[31m" : "\033[32m") : "";
    const char* mark = color_ ? (sign == '-' ? "\033[1;31m" : "\033[1;32m") : "";
    const char* reset = color_ ? "\033[m" : "";
    std::string out = std::string(plain) + sign;
    const std::u16string_view parts[] = {std::u16string_view(text).substr(0, at),
                                         std::u16string_view(text).substr(at, length),
                                         std::u16string_view(text).substr(std::min(text.size(), at + length))};
    for (int k = 0; k < 3; ++k) {
        const char* colour = k == 1 ? mark : plain;
        std::u16string_view part = parts[k];
        out += colour;
        for (std::size_t end; (end = part.find(u'\n')) != std::u16string_view::npos;) {
            std::u16string_view piece = part.substr(0, end);
            if (!piece.empty() && piece.back() == u'\r') piece.remove_suffix(1);
            out += Visible(piece) + reset + "\n" + plain + sign + colour;
            part.remove_prefix(end + 1);
        }
        out += Visible(part) + reset;
    }
    show_ << out << '\n';
}

}  // namespace

std::unique_ptr<RunSink> InteractiveReview(Records& records, std::istream& in, std::ostream& show, bool color,
                                           std::function<bool()> wait) {
    return std::make_unique<Interactive>(records, in, show, color, std::move(wait));
}

}  // namespace tarnwick::cli
