#include "cli/FailureWords.h"
#include "engine/run/RunSetup.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <random>

namespace tarnwick {
namespace {

using test::ReadBytes;
using test::TempDirTest;
using test::WriteBytes;
namespace fs = std::filesystem;

// A review's answers as a function of the file and its occurrences.
struct Reviewer : RunSink {
    std::function<bool(const FileReport&, const ShowForReview&, OccurrenceChoice&)> review;
    std::vector<std::pair<fs::path, FileReport>> told;
    std::vector<Failure> kept;

    bool File(const FileReport& report) override {
        told.emplace_back(report.path, report);
        if (report.failure) kept.push_back(*report.failure);
        return true;
    }
    bool Review(const FileReport& report, const ShowForReview& show, OccurrenceChoice& choice) override {
        return review(report, show, choice);
    }
};

class ReviewTest : public TempDirTest {
protected:
    RunRequest Request(std::vector<fs::path> paths) {
        RunRequest request;
        request.mode = RunMode::Review;
        request.paths = std::move(paths);
        request.system = *CodePage::Named("UTF-8");
        request.keepUndo = true;
        request.undoFolder = Dir() / ".undo";
        return request;
    }
};

std::u16string U(const char* utf8) { return *Utf8ToUtf16(utf8); }

// Random subsets of the occurrences, in UTF-8, windows-1251, UTF-16 and
// Shift_JIS files, with several pairs and with patterns: exactly the taken
// ones are replaced, every other byte is as it was (against the preview's own
// stream with the same choice).
TEST_F(ReviewTest, ChosenOccurrencesOnly) {
    const std::string text = "Москва foo МОСКВА fooo, 東京 foo Москва\r\nfoo!\n";
    const auto cp1251 = CodePage::Named("CP1251"), sjis = CodePage::Named("CP932");
    ASSERT_TRUE(cp1251 && sjis);
    const std::u16string wide = U(text.c_str());
    std::string utf16 = "\xFF\xFE";
    for (const char16_t u : wide) utf16 += {static_cast<char>(u & 0xFF), static_cast<char>(u >> 8)};
    const struct {
        std::string bytes;
        std::vector<CodePage> legacy;
    } files[] = {
        {text, {}},
        {*cp1251->Encode(U("Москва foo МОСКВА fooo, foo Москва\r\nfoo!\n")), {*cp1251}},
        {utf16, {}},
        {*sjis->Encode(U("東京 foo 東京都 fooo\nfoo")), {*sjis}},
    };
    std::mt19937 random(5);
    for (const bool patterns : {false, true}) {
        for (const auto& file : files) {
            for (int round = 0; round < 6; ++round) {
                const fs::path path = Make("f.txt", file.bytes);
                RunRequest request = Request({path});
                request.legacy = file.legacy;
                request.patterns = patterns;
                request.ignoreCase = !patterns && round % 2;
                request.pairs =
                    patterns ? std::vector<TextPair>{{u"fo(o+)", u"<$1>"}, {U("Москва|東京"), u"M"}}
                             : std::vector<TextPair>{{u"foo", u"X"}, {U("Москва"), U("Питер")}, {U("東京"), U("大阪")}};
                auto prepared = PrepareRun(request);
                ASSERT_TRUE(std::holds_alternative<CorrectionRun>(prepared));
                auto& run = std::get<CorrectionRun>(prepared);
                // What the choice should give, from the preview's stream.
                Corrector reference = run.Checker();
                std::vector<std::pair<std::string, std::string>> pieces;  // kept: (bytes, "") ; occurrence: both
                const ProcessResult previewed = reference.Preview(
                    path, [&](std::string_view kept) { pieces.emplace_back(std::string(kept), std::string()); },
                    [&](std::string_view found, std::string_view with) {
                        pieces.emplace_back(std::string(found), "\x01" + std::string(with));
                    });
                std::vector<bool> taken;
                std::string expected;
                for (const auto& [bytes, with] : pieces) {
                    if (with.empty()) {
                        expected += bytes;
                        continue;
                    }
                    taken.push_back(random() % 2);
                    expected += taken.back() ? with.substr(1) : bytes;
                }
                ASSERT_FALSE(taken.empty())
                    << patterns << " " << (previewed.failure ? cli::Reason(*previewed.failure) : "") << " verdict "
                    << static_cast<int>(previewed.verdict);
                const bool none = std::count(taken.begin(), taken.end(), true) == 0;
                Reviewer sink;
                sink.review = [&](const FileReport&, const ShowForReview& show, OccurrenceChoice& choice) {
                    std::vector<ShownChange> changes;
                    show(choice, &changes);
                    EXPECT_EQ(changes.size(), taken.size());
                    choice.taken = taken;
                    if (none) choice.kind = OccurrenceChoice::Kind::None;
                    return true;
                };
                run.Execute(sink);
                ASSERT_EQ(sink.told.size(), 1u);
                EXPECT_EQ(sink.told[0].second.outcome, none ? FileOutcome::Left : FileOutcome::Corrected);
                EXPECT_EQ(ReadBytes(path), none ? file.bytes : expected) << "round " << round;
                EXPECT_EQ(sink.told[0].second.left,
                          static_cast<std::uint64_t>(std::count(taken.begin(), taken.end(), false)));
                fs::remove(path);
            }
        }
    }
}

// Each occurrence shown as text, decoded from the file's own encoding: the
// line number, the line before and after, the occurrence's place.
TEST_F(ReviewTest, OccurrencesShownAsText) {
    const auto cp1251 = CodePage::Named("CP1251");
    const fs::path path = Make("a.txt", *cp1251->Encode(U("первая\r\nвторая строка, строка\nтретья")));
    RunRequest request = Request({path});
    request.legacy = {*cp1251};
    request.pairs = {{U("строка"), U("линия")}};
    auto run = std::get<CorrectionRun>(PrepareRun(request));
    Reviewer sink;
    std::vector<ShownChange> changes;
    sink.review = [&](const FileReport&, const ShowForReview& show, OccurrenceChoice& choice) {
        show(choice, &changes);
        choice.kind = OccurrenceChoice::Kind::None;
        return true;
    };
    run.Execute(sink);
    ASSERT_EQ(changes.size(), 2u);
    EXPECT_EQ(changes[1].line, 2u);
    EXPECT_EQ(changes[1].before, U("вторая строка, строка"));
    EXPECT_EQ(changes[1].after, U("вторая строка, линия"));
    EXPECT_EQ(changes[1].at, 15u);
    EXPECT_EQ(changes[1].length, 6u);
    EXPECT_EQ(changes[1].newLength, 5u);
}

// A file that changes between its showing and its writing is refused and
// left as the other program made it; a stop keeps what was answered before.
TEST_F(ReviewTest, ChangedSinceShownAndStop) {
    const fs::path a = Make("a.txt", "foo foo"), b = Make("b.txt", "foo"), c = Make("c.txt", "foo");
    RunRequest request = Request({a, b, c});
    request.pairs = {{u"foo", u"bar"}};
    auto run = std::get<CorrectionRun>(PrepareRun(request));
    Reviewer sink;
    sink.review = [&](const FileReport& report, const ShowForReview& show, OccurrenceChoice& choice) {
        if (report.path == c) return false;  // stopped here: c is not written
        show(choice, nullptr);
        if (report.path == a) WriteBytes(a, "foo foo!");  // another program, after the showing
        return true;
    };
    run.Execute(sink);
    EXPECT_EQ(ReadBytes(a), "foo foo!");
    EXPECT_EQ(ReadBytes(b), "bar");
    EXPECT_EQ(ReadBytes(c), "foo");
    ASSERT_EQ(sink.told.size(), 2u);
    EXPECT_EQ(sink.told[0].second.outcome, FileOutcome::Failed);
    ASSERT_EQ(sink.kept.size(), 1u);
    EXPECT_EQ(sink.kept[0].kind, FailureKind::ChangedSinceShown);
    EXPECT_EQ(sink.told[1].second.outcome, FileOutcome::Corrected);
}

// The names of one file: a second hard link is a file of its own, with its
// own answers; a symbolic link to a file reviewed is asked about once and told
// as that file. A file that changed after the check, or went, is told as
// showing found it; a name swapped for a link to another file fails.
TEST_F(ReviewTest, NamesOfOneFileAndFilesThatChanged) {
    const fs::path a = Make("a.txt", "foo 1\nfoo 2\n"), b = Dir() / "b.txt", l = Dir() / "l.txt";
    fs::create_hard_link(a, b);
    fs::create_symlink("a.txt", l);
    const fs::path c = Make("c.txt", "foo"), d = Make("d.txt", "foo"), e = Make("e.txt", "foo foo"),
                   other = Make("other.txt", "foo foo");
    RunRequest request = Request({a, b, l, c, d, e});
    request.pairs = {{u"foo", u"X"}};
    auto run = std::get<CorrectionRun>(PrepareRun(request));
    Reviewer sink;
    std::vector<fs::path> asked;
    sink.review = [&](const FileReport& report, const ShowForReview& show, OccurrenceChoice& choice) {
        asked.push_back(report.path);
        show(choice, nullptr);
        if (report.path == a) {
            choice.taken = {true, false};
            WriteBytes(c, "nothing");  // after the check: no longer to correct
            fs::remove(d);             // ...or gone
        }
        if (report.path == b) choice.taken = {false, true};
        if (report.path == e) {
            fs::remove(e);
            fs::create_symlink("other.txt", e);  // the name now leads to another file
        }
        return true;
    };
    run.Execute(sink);
    EXPECT_EQ(asked, (std::vector<fs::path>{a, b, c, d, e}));  // (c and d shown, no longer to correct)
    EXPECT_EQ(ReadBytes(a), "X 1\nfoo 2\n");
    EXPECT_EQ(ReadBytes(b), "foo 1\nX 2\n");
    EXPECT_EQ(ReadBytes(other), "foo foo");
    std::map<std::string, FileOutcome> outcomes;
    for (const auto& [path, report] : sink.told) outcomes[path.filename().string()] = report.outcome;
    EXPECT_EQ(outcomes["l.txt"], FileOutcome::SameFile);
    EXPECT_EQ(outcomes["c.txt"], FileOutcome::Checked);
    EXPECT_EQ(outcomes["d.txt"], FileOutcome::Failed);
    EXPECT_EQ(outcomes["e.txt"], FileOutcome::Failed);
    ASSERT_FALSE(sink.kept.empty());
    EXPECT_EQ(sink.kept.back().kind, FailureKind::ChangedSinceShown);
}

}  // namespace
}  // namespace tarnwick
