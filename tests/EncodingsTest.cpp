#include "cli/FailureWords.h"
#include "engine/rewrite/Corrector.h"
#include "TempDir.h"
#include "Told.h"

#include <map>

namespace tarnwick {
namespace {

using test::ReadBytes;
using test::TempDirTest;
namespace fs = std::filesystem;

std::string In(const char* codePage, std::u16string_view text) { return *CodePage::Named(codePage)->Encode(text); }
std::string Utf16(std::u16string_view text, bool bigEndian) {
    std::string out;
    for (const char16_t unit : text) {
        const char high = static_cast<char>(unit >> 8), low = static_cast<char>(unit & 0xFF);
        out += bigEndian ? high : low;
        out += bigEndian ? low : high;
    }
    return out;
}
const std::string kBom8 = "\xEF\xBB\xBF", kBomLE = "\xFF\xFE", kBomBE = "\xFE\xFF";

class EncodingsTest : public TempDirTest {
protected:
    struct Case {
        std::string name, before, after, encodings;  // encodings: of the occurrences, "" for none
    };
    // Corrects the files of `cases` in one run and compares each byte for byte.
    void Expect(const StringForms& forms, const std::vector<Case>& cases) {
        std::vector<fs::path> files;
        for (const Case& c : cases) files.push_back(Make(c.name, c.before));
        Corrector corrector(forms);
        const auto told = test::Execute(corrector, files);
        ASSERT_EQ(told.size(), cases.size());
        for (std::size_t i = 0; i < cases.size(); ++i) {
            const Case& c = cases[i];
            EXPECT_FALSE(told[i].failure) << c.name << ": " << told[i].Why();
            EXPECT_EQ(ReadBytes(files[i]), c.after) << c.name;
            EXPECT_EQ(forms.Names(told[i].encodings), c.encodings) << c.name;
            EXPECT_EQ(corrector.CheckFile(files[i]).verdict,
                      c.encodings.empty() ? FileVerdict::Unknown : FileVerdict::AlreadyCorrected)
                << c.name;
        }
    }
};

// A folder of mixed files: every occurrence replaced in its own encoding, every other byte kept.
TEST_F(EncodingsTest, MixedFolderInOneRun) {
    const auto forms = StringForms::Candidates(u"мир", u"свет", CodePage::Named("CP1251"), Encoding::Utf8);
    const std::string utf8 = In("UTF-8", u"мир"), cp1251 = In("CP1251", u"мир");
    const std::string utf8New = In("UTF-8", u"свет"), cp1251New = In("CP1251", u"свет");
    Expect(forms,
           {
               {"legacy.txt", "a " + cp1251 + "\r\n\x98 end", "a " + cp1251New + "\r\n\x98 end", "windows-1251"},
               {"utf8.txt", utf8 + ", " + utf8 + "\n", utf8New + ", " + utf8New + "\n", "utf-8"},
               {"utf8-bom.txt", kBom8 + utf8, kBom8 + utf8New, "utf-8"},
               {"utf16le.txt", kBomLE + Utf16(u"мир\r\n", false), kBomLE + Utf16(u"свет\r\n", false), "utf-16le"},
               {"utf16be.txt", kBomBE + Utf16(u"мир", true), kBomBE + Utf16(u"свет", true), "utf-16be"},
               {"ascii.txt", "nothing here", "nothing here", ""},
               {"both.txt", cp1251 + " " + utf8, cp1251New + " " + utf8New, "utf-8,windows-1251"},
           });
}

// An ASCII search string tells no encoding: the file does, for the replacement.
TEST_F(EncodingsTest, AsciiSearchTakesTheFilesEncoding) {
    const auto forms = StringForms::Candidates(u"(c)", u"©", CodePage::Named("CP1251"), Encoding::Legacy);
    Expect(forms, {
                      {"utf8.txt", In("UTF-8", u"Ё (c)"), In("UTF-8", u"Ё ©"), "utf-8"},
                      {"utf8-bom.txt", kBom8 + "(c)", kBom8 + In("UTF-8", u"©"), "utf-8"},
                      {"legacy.txt", In("CP1251", u"Ё (c)"), In("CP1251", u"Ё ©"), "windows-1251"},
                      {"ascii.txt", "(c) 2026", In("CP1251", u"© 2026"), "windows-1251"},
                      {"utf16le.txt", kBomLE + Utf16(u"(c)", false), kBomLE + Utf16(u"©", false), "utf-16le"},
                  });
}

// Legacy forms never match inside UTF-8 characters, UTF-16 forms only at whole
// code units; a replace string an occurrence's encoding cannot hold fails that
// file alone, unchanged.
TEST_F(EncodingsTest, WholeCharactersOnlyAndUnrepresentableReplacement) {
    Expect(StringForms::Candidates(u"é", u"e", CodePage::Named("CP1252"), Encoding::Utf8),
           {
               {"utf8.txt", In("UTF-8", u"騰é"), In("UTF-8", u"騰e"), "utf-8"},  // 騰 is E9 A8 B0; é in CP1252 is E9
               {"utf16le.txt", kBomLE + std::string("\x00\xE9\x00\x00\xE9\x00", 6),
                kBomLE + std::string("\x00\xE9\x00\x00\x65\x00", 6), "utf-16le"},
           });

    const auto ascii = Make("ascii.txt", "abc"), utf8 = Make("utf8.txt", In("UTF-8", u"Ж abc"));
    Corrector corrector(StringForms::Candidates(u"abc", u"日本", CodePage::Named("CP1251"), Encoding::Legacy));
    const ProcessResult failed = corrector.ProcessFile(ascii);
    ASSERT_TRUE(failed.failure);
    EXPECT_EQ(cli::Reason(*failed.failure), "the replace string cannot be written in windows-1251");
    EXPECT_EQ(ReadBytes(ascii), "abc");
    EXPECT_EQ(Names(), (std::vector<std::string>{"ascii.txt", "utf16le.txt", "utf8.txt"}));  // no temporary left
    EXPECT_TRUE(corrector.ProcessFile(utf8).Corrected());
    EXPECT_EQ(ReadBytes(utf8), In("UTF-8", u"Ж 日本"));
}

}  // namespace
}  // namespace tarnwick
