#include "cli/Interactive.h"

#include "platform/CodePage.h"

#include <istream>
#include <ostream>
#include <string>

namespace tarnwick::cli {

namespace {

constexpr const char* kHelp =
    "y - take this change\n"
    "n - leave it\n"
    "a - take it and every later one in this file\n"
    "d - leave it and every later one in this file\n"
    "A - take every change left, in every file, without asking\n"
    "q - stop: the files answered before this one are written, nothing else\n"
    "? - this help\n";

class Interactive : public RunSink {
public:
    Interactive(Records& records, std::istream& in, std::ostream& show, bool color)
        : records_(records), in_(in), show_(show), color_(color) {}

    bool Listed(const std::filesystem::path& folder, std::size_t files) override {
        return records_.Listed(folder, files);
    }
    bool PathFailed(const Failure& failure) override { return records_.PathFailed(failure); }
    bool File(const FileReport& report) override { return records_.File(report); }
    bool Settled() override { return records_.Settled(); }
    bool Review(const FileReport& report, const ShowForReview& show, OccurrenceChoice& choice) override;

private:
    enum class Answer { Take, Leave, TakeFile, LeaveFile, TakeAll, Quit };
    Answer Ask(std::size_t number, std::size_t count);
    // A line with the occurrence (or its replacement) marked in `sign`'s colour.
    void Line(char sign, const std::u16string& text, std::size_t at, std::size_t length);

    Records& records_;
    std::istream& in_;
    std::ostream& show_;
    bool color_;
    bool takeAll_ = false;
};

std::string Utf8(std::u16string_view text) { return Utf16ToUtf8(text).value_or("?"); }

bool Interactive::Review(const FileReport& report, const ShowForReview& show, OccurrenceChoice& choice) {
    if (takeAll_) return true;  // every occurrence, as a run without review
    std::vector<ShownChange> changes;
    const ProcessResult seen = show(choice, &changes);
    if (seen.failure || choice.kind != OccurrenceChoice::Kind::Chosen) return true;  // the rewrite tells what
    show_ << (color_ ? "\033[1m" : "") << PathText(report.path) << (color_ ? "\033[m" : "") << '\n';
    for (std::size_t i = 0; i < changes.size() && i < choice.taken.size(); ++i) {
        const ShownChange& c = changes[i];
        show_ << (color_ ? "\033[36m" : "") << "@@ line " << c.line << " @@" << (color_ ? "\033[m" : "") << '\n';
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
        show_ << (color_ ? "\033[1;34m" : "") << '(' << number << '/' << count << ") Take this change [y,n,a,d,A,q,?]? "
              << (color_ ? "\033[m" : "") << std::flush;
        std::string line;
        // (The end of the answers stops the run as q does: nothing unanswered is written.)
        if (!std::getline(in_, line)) {
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
        show_ << (color_ ? "\033[1;31m" : "") << kHelp << (color_ ? "\033[m" : "");
    }
}

void Interactive::Line(char sign, const std::u16string& text, std::size_t at, std::size_t length) {
    const char* mark = sign == '-' ? "\033[1;31m" : "\033[1;32m";
    const std::string head = Utf8(text.substr(0, at)), middle = Utf8(text.substr(at, length)),
                      tail = Utf8(text.substr(at + length));
    if (!color_) {
        show_ << sign << head << middle << tail << '\n';
        return;
    }
    const char* plain = sign == '-' ? "\033[31m" : "\033[32m";
    show_ << plain << sign << head << mark << middle << "\033[m" << plain << tail << "\033[m\n";
}

}  // namespace

std::unique_ptr<RunSink> InteractiveReview(Records& records, std::istream& in, std::ostream& show, bool color) {
    return std::make_unique<Interactive>(records, in, show, color);
}

}  // namespace tarnwick::cli
