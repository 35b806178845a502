#include "engine/content/Pattern.h"
#include "engine/content/PatternText.h"
#include "platform/CodePage.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <random>
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
    // ...and work that is not too much is never taken for it: an empty match at
    // each of 30,000 line starts (each one's longer match looked for at its place
    // alone) is done well inside the budget.
    std::string lines;
    for (int i = 0; i < 30000; ++i) lines += "line " + std::to_string(i) + "\n";
    std::string prefixed;
    const PatternPass each = ReplaceMatches(Compiled(u"^", u"> "), lines, Encoding::Utf8, nullptr, &prefixed,
                                            std::chrono::milliseconds(2000));
    EXPECT_TRUE(each.Done());
    EXPECT_EQ(each.replacements, 30000u);
    EXPECT_EQ(prefixed.substr(0, 16), "> line 0\n> line ");
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

namespace tarnwick {
namespace {

// The same pass done on the text itself, then written in the encoding: what
// the file must hold afterwards, byte for byte. After an empty match a
// longer one may start at the same place (as in Perl and Python); else the
// search goes on a character later, a CR LF being one.
std::u16string Expected(const Pattern& pattern, std::u16string_view text, std::uint64_t* count = nullptr) {
    std::u16string out;
    std::size_t copied = 0;
    Pattern::Match m;
    const auto replace = [&](const Pattern::Match& at) {
        out.append(text.substr(copied, at.start - copied));
        for (const ReplacementPart& part : pattern.Replacement()) {
            if (part.group < 0) out += part.text;
            else if (const auto [start, end] = at.groups[static_cast<std::size_t>(part.group)];
                     start != std::string::npos)
                out.append(text.substr(start, end - start));
        }
        copied = at.end;
        if (count) ++*count;
    };
    for (std::size_t from = 0; from <= text.size() && pattern.Next(text, from, m) == Pattern::Found::Match;) {
        replace(m);
        from = m.end;
        if (m.end > m.start) continue;
        if (Pattern::Match longer;
            pattern.Next(text, m.end, longer, Pattern::kAnywhere, false, true) == Pattern::Found::Match) {
            replace(longer);
            from = longer.end;
        } else {
            from += text.substr(m.end, 2) == u"\r\n" ? 2 : 1;
        }
    }
    return out.append(text.substr(copied));
}

std::string Utf16Bytes(std::u16string_view text, bool little) {
    std::string bytes = little ? "\xFF\xFE" : "\xFE\xFF";
    for (const char16_t u : text) {
        bytes.push_back(static_cast<char>(little ? u & 0xFF : u >> 8));
        bytes.push_back(static_cast<char>(little ? u >> 8 : u & 0xFF));
    }
    return bytes;
}

TEST(PatternTest, EveryEncodingKeepsEveryByteOutsideMatches) {
    const auto cp1251 = CodePage::Named("CP1251"), sjis = CodePage::Named("CP932");
    ASSERT_TRUE(cp1251 && sjis);
    const std::u16string russian = u"абвгдеёжзий АБВ Ёж 12 x\r\n\r", japanese = u"アイウ漢字かな ab 1\n\r\n";
    const std::vector<std::pair<std::u16string, std::u16string>> patterns = {
        {u"(\\w+) (\\w+)", u"$2 $1"}, {u"^(.)", u"<$1>"}, {u"[а-яア-ン]+\\d?", u"[$0]"},
        {u"(?i)ё|x", u"Ё"},           {u"z*", u"-"},      {u"$", u"."},
        {u"(?<=[бイ]\\w)\\b", u"|"},  {u"\\s+$", u""}};
    std::mt19937 random(7);
    for (int round = 0; round < 200; ++round) {
        const bool jp = round % 2;
        const std::u16string& alphabet = jp ? japanese : russian;
        std::u16string text;
        for (int i = 0, n = static_cast<int>(random() % 40); i < n; ++i) text += alphabet[random() % alphabet.size()];
        const auto& [search, replace] = patterns[static_cast<std::size_t>(round / 2) % patterns.size()];
        const Pattern p = Compiled(search, replace);
        const std::u16string expected = Expected(p, text);
        const CodePage& page = jp ? *sjis : *cp1251;
        const struct {
            Encoding encoding;
            std::string before, after;
        } cases[] = {
            {Encoding::Utf8, *Utf16ToUtf8(text), *Utf16ToUtf8(expected)},
            {Encoding::Utf8, "\xEF\xBB\xBF" + *Utf16ToUtf8(text), "\xEF\xBB\xBF" + *Utf16ToUtf8(expected)},
            {Encoding::Utf16LE, Utf16Bytes(text, true), Utf16Bytes(expected, true)},
            {Encoding::Utf16BE, Utf16Bytes(text, false), Utf16Bytes(expected, false)},
            {Encoding::Legacy, *page.Encode(text), *page.Encode(expected)},
        };
        // Whole, and a few bytes at a time: matches across windows, and characters cut by them.
        for (const auto& c : cases)
            for (const std::size_t window : {kPatternWindow, std::size_t{1}, std::size_t{5}}) {
                std::string out;
                const PatternPass pass = ReplaceMatches(p, c.before, c.encoding, &page, &out, std::nullopt, window);
                ASSERT_TRUE(pass.Done());
                EXPECT_EQ(out, c.after) << "round " << round << " encoding " << static_cast<int>(c.encoding)
                                        << " window " << window;
            }
    }
}

TEST(PatternTest, StrayBytesStayAndUnwritableReplacementsRefuse) {
    const auto cp1251 = CodePage::Named("CP1251");
    ASSERT_TRUE(cp1251);
    // A byte outside every match stays as it was: 0x98, which Linux's windows-1251 leaves
    // undefined (Windows' reads it as U+0098), and 0xFF, no UTF-8, which "." does not take.
    std::string out;
    EXPECT_EQ(
        ReplaceMatches(Compiled(u"б", u"Б"), "\xE0\x98\xE1 \xE0-\xE1", Encoding::Legacy, &*cp1251, &out).replacements,
        2u);
    EXPECT_EQ(out, "\xE0\x98\xC1 \xE0-\xC1");
    out.clear();
    ReplaceMatches(Compiled(u"(a)(.)", u"$2$1"), "a\xFF ab\r\n", Encoding::Utf8, nullptr, &out);
    EXPECT_EQ(out, "a\xFF ba\r\n");
    // A replacement with no form in the file's page: nothing is to be written, and the character is named.
    const PatternPass pass = ReplaceMatches(Compiled(u"а", u"a漢"), "\xE0", Encoding::Legacy, &*cp1251, &out);
    EXPECT_FALSE(pass.Done());
    EXPECT_EQ(pass.notWritable, u"漢");
    // A pattern slow everywhere, that reaches the library's limit nowhere, is given up on in time.
    std::string words;
    while (words.size() < (std::size_t{2} << 20)) words += "abcdefgh ";
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(
        ReplaceMatches(Compiled(u"(\\w+)+y"), words, Encoding::Utf8, nullptr, nullptr, std::chrono::milliseconds(200))
            .tooMuchWork);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
    // ...and one costly at every place (each within the library's limit) is given up on as soon.
    std::string lines;
    while (lines.size() < (std::size_t{1} << 20)) lines += std::string(30, 'a') + "b\n";
    const auto again = std::chrono::steady_clock::now();
    EXPECT_TRUE(
        ReplaceMatches(Compiled(u"(a|aa)+c"), lines, Encoding::Utf8, nullptr, nullptr, std::chrono::milliseconds(200))
            .tooMuchWork);
    EXPECT_LT(std::chrono::steady_clock::now() - again, std::chrono::seconds(3));
    // Searched a step at a time, a large file matches as a whole one does, across the steps.
    std::u16string many;
    for (int i = 0; i < 200000; ++i) many += u"ab ";
    const Pattern across = Compiled(u"b (a)", u"[$1]");
    out.clear();
    EXPECT_EQ(ReplaceMatches(across, *Utf16ToUtf8(many), Encoding::Utf8, nullptr, &out).replacements, 199999u);
    EXPECT_EQ(out, *Utf16ToUtf8(Expected(across, many)));
    // Counting only, as a check does.
    EXPECT_EQ(ReplaceMatches(Compiled(u"b+"), "abbcb", Encoding::Utf8, nullptr, nullptr).replacements, 2u);
}

TEST(PatternTest, Verdicts) {
    const auto cp1251 = CodePage::Named("CP1251");
    ASSERT_TRUE(cp1251);
    std::vector<Pattern> swap, plain;
    swap.push_back(Compiled(u"(\\w+)@old", u"$1@new"));
    plain.push_back(Compiled(u"http://(old|www)\\.example", u"https://example"));
    EXPECT_EQ(JudgeByPatterns(swap, "me@old", Encoding::Utf8, nullptr).verdict, FileVerdict::ToCorrect);
    // A replacement that refers to a group says nothing of what a file holds after a correction.
    EXPECT_EQ(JudgeByPatterns(swap, "me@new", Encoding::Utf8, nullptr).verdict, FileVerdict::Unknown);
    EXPECT_EQ(JudgeByPatterns(plain, "see https://example", Encoding::Utf8, nullptr).verdict,
              FileVerdict::AlreadyCorrected);
    const std::string wide = Utf16Bytes(u"see https://example", false);
    EXPECT_EQ(JudgeByPatterns(plain, wide, Encoding::Utf16BE, nullptr).verdict, FileVerdict::AlreadyCorrected);
    EXPECT_EQ(JudgeByPatterns(plain, "nothing", Encoding::Legacy, &*cp1251).verdict, FileVerdict::Unknown);
    // A match its replacement leaves as it is is no replacement: "color" is already corrected.
    std::vector<Pattern> spelling;
    spelling.push_back(Compiled(u"colou?r", u"color"));
    EXPECT_EQ(JudgeByPatterns(spelling, "the color", Encoding::Utf8, nullptr).verdict, FileVerdict::AlreadyCorrected);
    std::string out;
    EXPECT_EQ(ReplaceMatches(spelling, "color, colour", Encoding::Utf8, nullptr, &out).replacements, 1u);
    EXPECT_EQ(out, "color, color");
}

TEST(PatternTest, SeveralPatternsActAsOneAlternation) {
    // Each pattern's first match, the earliest winning and the first in order at a tie, as
    // (ab)|(a)|(b+)|(^c) does; replaced text is never searched again.
    const std::vector<std::pair<std::u16string, std::u16string>> pairs = {
        {u"ab", u"<$0>"}, {u"a", u"[$0]"}, {u"b+", u"{}"}, {u"^c", u"C"}};
    std::vector<Pattern> patterns;
    for (const auto& [search, replace] : pairs) patterns.push_back(Compiled(search, replace));
    const Pattern all = Compiled(u"(ab)|(a)|(b+)|(^c)");
    std::mt19937 random(11);
    for (int round = 0; round < 300; ++round) {
        std::string text;
        for (int i = 0, n = static_cast<int>(random() % 30); i < n; ++i) text += "abc\n"[random() % 4];
        std::string expected;
        std::vector<std::uint64_t> counts(pairs.size(), 0);
        std::size_t copied = 0;
        Pattern::Match m;
        for (std::size_t from = 0;
             from <= text.size() && all.Next(std::string_view(text), from, m) == Pattern::Found::Match; from = m.end) {
            std::size_t k = 0;
            while (m.groups[k + 1].first == std::string::npos) ++k;
            ++counts[k];
            const std::string whole = text.substr(m.start, m.end - m.start);
            expected += text.substr(copied, m.start - copied);
            expected += k == 0 ? "<" + whole + ">" : k == 1 ? "[" + whole + "]" : k == 2 ? "{}" : "C";
            copied = m.end;
        }
        expected += text.substr(copied);
        for (const std::size_t window : {kPatternWindow, std::size_t{2}}) {
            std::string out;
            const PatternPass pass =
                ReplaceMatches(patterns, text, Encoding::Utf8, nullptr, &out, std::nullopt, window);
            EXPECT_EQ(out, expected) << text;
            EXPECT_EQ(pass.pairCounts, counts) << text;
        }
    }
}

}  // namespace
}  // namespace tarnwick

namespace tarnwick {
namespace {

// The text every match must hold, read from the pattern only where its syntax
// shows it plainly; a file without it is not searched. Over random texts the
// counts are those of the library searching every file.
TEST(PatternTest, RequiredTextNeverHidesAMatch) {
    const std::pair<std::u16string, std::u16string> shown[] = {
        {u"Copyright (\\d{4}) Old (Corp)", u"Copyright "},
        {u"(?i)\\bold corp\\b", u"old corp"},
        {u"(?i)OLD-Sak", u"old-"},  // (S and K fold to characters beyond ASCII)
        {u"a\\.b\\+c[xyz]+d", u"a.b+c"},
        {u"abcd?e", u"abc"},
        {u"ab|cd", u""},
        {u"(?x)abc def", u""},
        {u"(?=abc)abd", u""},
        {u"x{2}yz", u""},
        {u"\\Qabc\\E", u""},
        {u"мир\\s+труд", u"труд"},
    };
    for (const auto& [pattern, required] : shown)
        EXPECT_EQ(Compiled(pattern).RequiredText().text, required) << Utf16ToUtf8(pattern).value_or("?");
    const std::u16string alphabet = u"abcdeKkſSsOoLlДд. \n";
    const std::u16string patterns[] = {u"(?i)ab+cd", u"(?i)oll",  u"ab{0}cde", u"a[bc]+dab", u"(?i)skk",
                                       u"Дд\\.d",    u"(ab)?cde", u"abc(?=d)", u"^abc$",     u"(?i)dd. "};
    std::mt19937 random(5);
    for (const std::u16string& pattern : patterns) {
        const Pattern p = Compiled(pattern);
        for (int round = 0; round < 400; ++round) {
            std::u16string text;
            for (int i = 0, n = static_cast<int>(random() % 90); i < n; ++i)
                text += alphabet[random() % alphabet.size()];
            if (round % 4 == 0) text.insert(random() % (text.size() + 1), p.RequiredText().text);
            std::uint64_t expected = 0;
            Expected(p, text, &expected);
            EXPECT_EQ(ReplaceMatches(p, *Utf16ToUtf8(text), Encoding::Utf8, nullptr, nullptr).replacements, expected)
                << Utf16ToUtf8(pattern).value_or("?") << " in " << Utf16ToUtf8(text).value_or("?");
            EXPECT_EQ(ReplaceMatches(p, Utf16Bytes(text, true), Encoding::Utf16LE, nullptr, nullptr).replacements,
                      expected);
        }
    }
}

}  // namespace
}  // namespace tarnwick

namespace tarnwick {
namespace {

// Plain text in any case and as whole words, matched as a pattern of itself:
// Cyrillic with Ё, Greek with its final sigma, in UTF-8, UTF-16 and a legacy
// page, a few bytes at a time; word edges beside letters of a double-byte page.
TEST(PatternTest, PlainTextInAnyCaseAndWholeWords) {
    const auto cp1251 = CodePage::Named("CP1251"), sjis = CodePage::Named("CP932");
#ifdef _WIN32
    const auto gb18030 = CodePage::Named("CP54936"), eucJp = CodePage::Named("CP20932");
#else
    const auto gb18030 = CodePage::Named("GB18030"), eucJp = CodePage::Named("EUC-JP");
#endif
    ASSERT_TRUE(cp1251 && sjis);
#ifndef _WIN32
    ASSERT_TRUE(gb18030 && eucJp);  // (Wine may lack them: then only their UTF-8 and UTF-16 cases run)
#endif
    const CodePage* const gbPage = gb18030 ? &*gb18030 : nullptr;
    const CodePage* const eucPage = eucJp ? &*eucJp : nullptr;
    const auto text = [](std::u16string search, std::u16string replace, bool anyCase, bool word,
                         bool keepCase = false) {
        auto made = Pattern::ForText(search, replace, anyCase, word, keepCase);
        EXPECT_TRUE(std::holds_alternative<Pattern>(made));
        return std::get<Pattern>(std::move(made));
    };
    const struct {
        Pattern pattern;
        const CodePage* page;
        std::u16string before, after;
    } cases[] = {
        {text(u"ёлка", u"ель", true, true), &*cp1251, u"Ёлка ЁЛКА ёлка ёлками (ёлка)\r\n",
         u"ель ель ель ёлками (ель)\r\n"},
        {text(u"σίσυφος", u"Χ", true, false), nullptr, u"Σίσυφος ΣΊΣΥΦΟΣ σίσυφοσ", u"Χ Χ Χ"},
        {text(u"a.b", u"x", true, true), nullptr, u"A.B a.b_ aXb 1a.b a.b", u"x a.b_ aXb 1a.b x"},
        {text(u"東京", u"大阪", false, true), &*sjis, u"東京タワー 東京 東京都 (東京)",
         u"東京タワー 大阪 東京都 (大阪)"},
        // A line feed matches a line end of any kind, and is written as the occurrence's.
        {text(u"ночь\nдень", u"1\n2\n", false, false), &*cp1251, u"ночь\r\nдень ночь\nдень ночь\rдень ночь\n\rдень",
         u"1\r\n2\r\n 1\n2\n 1\r2\r ночь\n\rдень"},
        // ...one CR LF never two line ends, nor half of one.
        {text(u"\n\n", u"|", false, false), &*cp1251, u"a\r\nb\r\n\nc", u"a\r\nb|c"},
        {text(u"\nfoo", u"Z", false, true), &*cp1251, u"x\r\nfoo. \nfoo", u"x\r\nfoo. Z"},
        {text(u"foo\n", u"Z", false, true), &*cp1251, u"foo\r\nx foo\n", u"foo\r\nx Z"},
        // Characters of four bytes (GB18030: digits second and fourth) and of three (EUC-JP) are whole characters.
        {text(u"0", u"Z", true, false), gbPage, u"\u0080 0 \u00810 \u00C4\u00E4", u"\u0080 Z \u0081Z \u00C4\u00E4"},
        {text(u"\u00E4", u"Z", true, false), gbPage, u"\u00C4\u00E4 \u0080", u"ZZ \u0080"},
        {text(u"\u4E9C", u"X", true, true), eucPage, u"\u4E02 \u4E9C", u"\u4E02 X"},
        // A combining mark belongs to its word; a CR LF typed is a line end, in the replacement too.
        {text(u"cafe", u"bar", false, true), nullptr, u"cafe\u0301 cafe", u"cafe\u0301 bar"},
        {text(u"a\r\nb", u"x\r\ny", false, false), &*cp1251, u"a\r\nb a\nb", u"x\r\ny x\ny"},
        // Each replacement in its occurrence's case shape.
        {text(u"москва", u"петербург", false, false, true), &*cp1251, u"москва Москва МОСКВА мОсКвА",
         u"петербург Петербург ПЕТЕРБУРГ петербург"},
        {text(u"foo_bar", u"baz_qux", false, true, true), &*cp1251, u"Foo_Bar FOO_BAR foo_BAR xfoo_bar",
         u"Baz_Qux BAZ_QUX baz_QUX xfoo_bar"},
        {text(u"лес\nполе", u"Река\nгора", false, false, true), &*cp1251, u"ЛЕС\r\nПОЛЕ Лес\rполе",
         u"РЕКА\r\nГОРА Река\rгора"},
    };
    for (const auto& c : cases) {
        const std::vector<std::pair<Encoding, std::function<std::string(const std::u16string&)>>> forms = {
            {Encoding::Utf8, [](const std::u16string& t) { return *Utf16ToUtf8(t); }},
            {Encoding::Utf16LE, [](const std::u16string& t) { return Utf16Bytes(t, true); }},
            {Encoding::Legacy, [&](const std::u16string& t) { return c.page ? *c.page->Encode(t) : std::string(); }},
        };
        for (const auto& [encoding, write] : forms) {
            if (encoding == Encoding::Legacy && !c.page) continue;
            for (const std::size_t window : {kPatternWindow, std::size_t{1}, std::size_t{3}, std::size_t{7}}) {
                std::string out;
                ASSERT_TRUE(
                    ReplaceMatches(c.pattern, write(c.before), encoding, c.page, &out, std::nullopt, window).Done());
                EXPECT_EQ(out, write(c.after)) << Utf16ToUtf8(c.before).value_or("?") << " window " << window;
            }
        }
    }
    // Several pairs of plain text: at one place the longest, as without -i.
    std::vector<Pattern> pairs;
    for (const auto& [search, replace] :
         {std::pair{u"cat", u"dog"}, std::pair{u"dog", u"cat"}, std::pair{u"catalog", u"list"}})
        pairs.push_back(text(search, replace, true, false));
    std::string out;
    EXPECT_EQ(ReplaceMatches(pairs, "Cat DOG Catalog", Encoding::Utf8, nullptr, &out).pairCounts,
              (std::vector<std::uint64_t>{1, 1, 1}));
    EXPECT_EQ(out, "dog cat list");
    // A replacement that differs only in case: an occurrence already as it would be is none.
    std::vector<Pattern> recase;
    recase.push_back(text(u"COLOR", u"color", true, false));
    EXPECT_EQ(JudgeByPatterns(recase, "the color", Encoding::Utf8, nullptr).verdict, FileVerdict::AlreadyCorrected);
    EXPECT_EQ(JudgeByPatterns(recase, "the Color", Encoding::Utf8, nullptr).verdict, FileVerdict::ToCorrect);
    // A case shape the file's page has no letter for: refused, not written otherwise.
#ifdef _WIN32
    const auto latin1 = CodePage::Named("CP28591");
#else
    const auto latin1 = CodePage::Named("ISO-8859-1");
#endif
    ASSERT_TRUE(latin1);
    std::vector<Pattern> shaped;
    shaped.push_back(text(u"x", u"\u00FF", false, false, true));
    const PatternPass refused = ReplaceMatches(shaped, "x X", Encoding::Legacy, &*latin1, &out);
    EXPECT_EQ(refused.notWritable, u"\u0178");
    EXPECT_EQ(ReplaceMatches(shaped, "x", Encoding::Legacy, &*latin1, &out).replacements, 1u);
    // A pair whose replacement the page cannot hold fails a file only where it matches.
    std::vector<Pattern> two;
    two.push_back(text(u"foo", u"bar", true, false));
    two.push_back(text(u"\u6771\u4EAC", u"\u5927\u962A", true, false));
    std::string written;
    EXPECT_TRUE(ReplaceMatches(two, "FOO", Encoding::Legacy, &*cp1251, &written).Done());
    EXPECT_EQ(written, "bar");
    // The replace string is looked for as the search string is: at any line end, as a whole word.
    std::vector<Pattern> lines;
    lines.push_back(text(u"x\ny", u"a\nb", false, false));
    EXPECT_EQ(JudgeByPatterns(lines, "a\r\nb\r\n", Encoding::Utf8, nullptr).verdict, FileVerdict::AlreadyCorrected);
    std::vector<Pattern> words;
    words.push_back(text(u"foo", u"bar", false, true));
    EXPECT_EQ(JudgeByPatterns(words, "barx", Encoding::Utf8, nullptr).verdict, FileVerdict::Unknown);
    EXPECT_EQ(JudgeByPatterns(words, "a bar", Encoding::Utf8, nullptr).verdict, FileVerdict::AlreadyCorrected);
    // The replace string is looked for in any case too.
    EXPECT_EQ(JudgeByPatterns(pairs, "a LIST", Encoding::Utf8, nullptr).verdict, FileVerdict::AlreadyCorrected);
}

}  // namespace
}  // namespace tarnwick
