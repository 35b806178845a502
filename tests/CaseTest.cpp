#include "CaseTable.h"
#include "engine/content/CaseShape.h"
#include "engine/content/Pattern.h"
#include "engine/content/PatternText.h"
#include "platform/CodePage.h"
#include "platform/TextCase.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace tarnwick {
namespace {

using test::kCaseTable;

std::u16string Text(char32_t c) {
    if (c < 0x10000) return std::u16string(1, static_cast<char16_t>(c));
    return {static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10)),
            static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF))};
}

std::string Named(char32_t c) {
    char name[16];
    std::snprintf(name, sizeof name, "U+%04X", static_cast<unsigned>(c));
    return name;
}

std::string Utf16LE(std::u16string_view text) {
    std::string bytes;
    for (const char16_t u : text) {
        bytes.push_back(static_cast<char>(u & 0xFF));
        bytes.push_back(static_cast<char>(u >> 8));
    }
    return bytes;
}

// `search` in any case, replaced by "#" in `text` given a few bytes at a time,
// as a file is read: what comes out.
std::string Replaced(const Pattern& search, const std::string& text, Encoding encoding, const CodePage* page,
                     std::size_t window) {
    std::string out;
    const PatternPass pass = ReplaceMatches(search, text, encoding, page, &out, std::nullopt, window);
    EXPECT_TRUE(pass.Done());
    return out;
}

// Every character with a case matches its simple case folding, and the
// folding matches it, in UTF-8 and UTF-16 and in every legacy page that holds
// both, windows of one to seven bytes included.
TEST(CaseTest, EveryCharacterMatchesItsFolding) {
    const auto pattern = [](char32_t c) {
        auto made = Pattern::ForText(Text(c), u"#", true, false);
        EXPECT_TRUE(std::holds_alternative<Pattern>(made));
        return std::get<Pattern>(std::move(made));
    };
    std::size_t checked = 0;
    for (const auto& row : kCaseTable) {
        if (row.fold == 0 || row.fold == row.c) continue;
        for (const auto& [from, to] : {std::pair{row.c, row.fold}, std::pair{row.fold, row.c}}) {
            const Pattern search = pattern(from);
            std::u16string text(1, u'<');  // (not "<" + ...: GCC 12 warns wrongly of overlapping copies)
            text += Text(to);
            text += u'>';
            for (const std::size_t window : {kPatternWindow, std::size_t{1}, std::size_t{5}}) {
                EXPECT_EQ(Replaced(search, *Utf16ToUtf8(text), Encoding::Utf8, nullptr, window), "<#>")
                    << Named(from) << " in " << Named(to) << " (UTF-8, window " << window << ")";
                EXPECT_EQ(Replaced(search, Utf16LE(text), Encoding::Utf16LE, nullptr, window), Utf16LE(u"<#>"))
                    << Named(from) << " in " << Named(to) << " (UTF-16, window " << window << ")";
            }
            ++checked;
        }
    }
    EXPECT_GT(checked, 2500u);
#ifdef _WIN32
    constexpr const char* kKoi8 = "CP20866";
#else
    constexpr const char* kKoi8 = "KOI8-R";
#endif
    for (const char* name : {"CP1250", "CP1251", "CP1252", "CP1253", "CP866", kKoi8, "CP932", "CP936"}) {
        const auto page = CodePage::Named(name);
        ASSERT_TRUE(page) << name;
        std::size_t inPage = 0;
        for (const auto& row : kCaseTable) {
            if (row.fold == 0 || row.fold == row.c) continue;
            const auto small = page->Encode(Text(row.fold)), other = page->Encode(Text(row.c));
            if (!small || !other) continue;
            ++inPage;
            const Pattern search = pattern(row.c);
            for (std::size_t window = 1; window <= 7; ++window)
                EXPECT_EQ(Replaced(search, "<" + *small + "><" + *other + ">", Encoding::Legacy, &*page, window),
                          "<#><#>")
                    << Named(row.c) << " in " << name << ", window " << window;
        }
        EXPECT_GT(inPage, 20u) << name;
    }
}

// Capitals and small letters by Unicode's simple mappings, whatever the
// locale: the system's tables agree with the Unicode data for every character.
TEST(CaseTest, SystemCaseMappingsAreUnicodes) {
    for (const auto& row : kCaseTable) {
        if (row.upper) {
            EXPECT_EQ(Named(os::UpperOf(row.c)), Named(row.upper)) << Named(row.c);
        }
        if (row.lower) {
            EXPECT_EQ(Named(os::LowerOf(row.c)), Named(row.lower)) << Named(row.c);
        }
    }
    EXPECT_EQ(Named(os::UpperOf(U'i')), "U+0049");  // never the Turkish İ
    EXPECT_EQ(Named(os::UpperOf(U'ß')), "U+00DF");  // no one-to-one capital
}

// A replacement takes its occurrence's case shape: lower, UPPER, Capitalized,
// piece by piece where both split alike, else as typed; in every script.
TEST(CaseTest, ReplacementTakesTheOccurrencesShape) {
    const struct {
        std::u16string_view occurrence, replacement, shaped;
    } cases[] = {
        {u"москва", u"Петербург", u"петербург"},
        {u"Москва", u"петербург", u"Петербург"},
        {u"МОСКВА", u"петербург", u"ПЕТЕРБУРГ"},
        {u"мОсКвА", u"петербург", u"петербург"},  // mixed: as typed
        {u"Ёлка", u"ёлочка", u"Ёлочка"},
        {u"ΣΊΣΥΦΟΣ", u"οδυσσεύς", u"ΟΔΥΣΣΕΎΣ"},
        {u"foo_bar", u"Baz_Qux", u"baz_qux"},
        {u"Foo_Bar", u"baz_qux", u"Baz_Qux"},
        {u"foo_BAR", u"baz_qux", u"baz_QUX"},
        {u"fooBar", u"bazQux", u"bazQux"},
        {u"FooBar", u"bazQux", u"BazQux"},
        {u"Foo-Bar", u"new-name", u"New-Name"},
        {u"fooBar", u"bazqux", u"bazqux"},          // pieces differ in number: as typed
        {u"Foobar", u"bazQux", u"Bazqux"},          // Capitalized: the rest small
        {u"A", u"bee", u"BEE"},                     // one capital: all capitals, the first rule
        {u"Ab", u"1x", u"1x"},                      // Capitalized: the first character only
        {u"Ab", u"\u01C6emal", u"\u01C5emal"},      // ...in title case: ǅemal
        {u"Ab", u"\u10D0\u10D1", u"\u10D0\u10D1"},  // Georgian: no capital to start a word
        {u"οδος", u"ΝΟΜΟΣ", u"νομος"},              // a final sigma where a word ends
        {u"Οδος", u"ΝΟΜΟΣ ΣΑ", u"Νομος σα"},
        {u"42", u"Answer", u"Answer"},                            // no letters: as typed
        {u"ＡＢＣ", u"ｘｙｚ", u"ＸＹＺ"},                        // fullwidth Latin
        {u"\U00010400\U00010401", u"\U00010428", u"\U00010400"},  // beyond the BMP (Deseret)
    };
    for (const auto& c : cases)
        EXPECT_EQ(InCaseOf(c.occurrence, c.replacement), c.shaped) << Utf16ToUtf8(c.occurrence).value_or("?");
}

}  // namespace
}  // namespace tarnwick
