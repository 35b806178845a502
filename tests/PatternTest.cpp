#include "engine/content/Pattern.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

namespace tarnwick {
namespace {

Pattern Compiled(std::u16string_view pattern, std::u16string_view replacement = u"") {
    auto made = Pattern::Compile(pattern, replacement);
    EXPECT_TRUE(std::holds_alternative<Pattern>(made));
    return std::get<Pattern>(std::move(made));
}

PatternProblem Problem(std::u16string_view pattern, std::u16string_view replacement) {
    auto made = Pattern::Compile(pattern, replacement);
    EXPECT_TRUE(std::holds_alternative<PatternProblem>(made));
    return std::get<PatternProblem>(std::move(made));
}

// Every match in `text`, as "start-end" pairs, empty matches stepped over.
template <class Text>
std::string Matches(const Pattern& pattern, Text text) {
    std::string found;
    Pattern::Match m;
    for (std::size_t from = 0; from <= text.size() && pattern.Next(text, from, m) == Pattern::Found::Match;) {
        if (!found.empty()) found += ' ';
        found += std::to_string(m.start);
        found += '-';
        found += std::to_string(m.end);
        from = m.end > m.start ? m.end : m.end + 1;
    }
    return found;
}

TEST(PatternTest, ReplacementReferencesAndMistakes) {
    const Pattern p = Compiled(u"(?<host>old)\\.(example)", u"$$1=$1 ${2}${host}$0 $ x ${host}9");
    ASSERT_EQ(p.Replacement().size(), 9u);
    EXPECT_EQ(p.Replacement()[0].text, u"$1=");
    EXPECT_EQ(p.Replacement()[1].group, 1);
    EXPECT_EQ(p.Replacement()[3].group, 2);
    EXPECT_EQ(p.Replacement()[4].group, 1);  // ${host}
    EXPECT_EQ(p.Replacement()[5].group, 0);
    EXPECT_EQ(p.Replacement()[6].text, u" $ x ");
    EXPECT_FALSE(p.ReplacementIsPlain());
    EXPECT_TRUE(Compiled(u"a(b)", u"plain $ text").ReplacementIsPlain());

    const PatternProblem missing = Problem(u"(a)", u"x$2");
    EXPECT_EQ(missing.kind, PatternProblem::Kind::NoSuchGroup);
    EXPECT_EQ(missing.name, "2");
    EXPECT_EQ(Problem(u"(a)", u"${nope}").name, "nope");
    const PatternProblem open = Problem(u"(a)", u"ab${1");
    EXPECT_EQ(open.kind, PatternProblem::Kind::OpenReference);
    EXPECT_EQ(open.offset, 2u);
    EXPECT_EQ(Problem(u"(a)", u"x\\1").kind, PatternProblem::Kind::Backslash);
    const PatternProblem syntax = Problem(u"ab(c", u"");
    EXPECT_EQ(syntax.kind, PatternProblem::Kind::Syntax);
    EXPECT_EQ(syntax.offset, 4u);
    EXPECT_FALSE(syntax.code.message().empty());
}

TEST(PatternTest, MatchesTextInUtf8AndUtf16) {
    // Cyrillic classes, Unicode words and case across scripts, in both widths.
    const Pattern cyrillic = Compiled(u"\\b[а-яё]+\\b");
    EXPECT_EQ(Matches(cyrillic, std::string_view("ab Ёж ёж")), "8-12");
    EXPECT_EQ(Matches(cyrillic, std::u16string_view(u"ab Ёж ёж")), "6-8");
    const Pattern caseless = Compiled(u"(?i)σοφία");
    EXPECT_EQ(Matches(caseless, std::u16string_view(u"ΣΟΦΊΑ σοφία")), "0-5 6-11");
    // Lines end with LF, CR LF or CR; "." takes no line end.
    const Pattern lines = Compiled(u"^x.*$");
    EXPECT_EQ(Matches(lines, std::string_view("x1\r\nx2\rx3\nyx")), "0-2 4-6 7-9");
    // Bytes that are no UTF-8, and lone surrogates, never match, even with ".".
    EXPECT_EQ(Matches(Compiled(u"a.b"), std::string_view("a\xff"
                                                         "b a\xc3\xa9"
                                                         "b")),
              "4-8");
    const std::u16string lone = {u'a', char16_t(0xDC80), u'b', u' ', u'a', u'x', u'b'};
    EXPECT_EQ(Matches(Compiled(u"a.b"), std::u16string_view(lone)), "4-7");
}

TEST(PatternTest, TooMuchWorkIsToldNotWaitedFor) {
    const Pattern p = Compiled(u"(a+)+$");
    const std::string text = std::string(50000, 'a') + "b";
    Pattern::Match m;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(p.Next(std::string_view(text), 0, m), Pattern::Found::TooMuchWork);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
    // A copy matches on its own data, as a worker's would.
    const Pattern copy = p;
    EXPECT_EQ(copy.Next(std::string_view("aaa"), 0, m), Pattern::Found::Match);
    EXPECT_EQ(m.end, 3u);
}

}  // namespace
}  // namespace tarnwick
