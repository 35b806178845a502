#include "settings/INI.h"
#include "TempDir.h"

namespace tarnwick::settings {
namespace {

using test::ReadBytes;
using test::TempDirTest;
namespace fs = std::filesystem;

class INITest : public TempDirTest {
protected:
    INI Ini(const std::string& content, const char* codePage = "UTF-8") {
        INI ini(*CodePage::Named(codePage));
        ini.FileName(Make("options.ini", content));
        return ini;
    }
};

// Missing file, section or key all read as empty text; case of names is ignored.
TEST_F(INITest, ReadsTextAndMissingAsEmpty) {
    INI ini = Ini("; comment\n[Main]\r\n  Key = some value \r\nOther=x\n[Second]\nKey=second\n");
    EXPECT_EQ(ini.RINI(u"Main", u"Key"), u"some value");
    EXPECT_EQ(ini.RINI(u"main", u"KEY"), u"some value");
    EXPECT_EQ(ini.RINI(u"Second", u"Key"), u"second");
    EXPECT_EQ(ini.RINI(u"Main", u"Missing"), u"");
    EXPECT_EQ(ini.RINI(u"Nowhere", u"Key"), u"");
    INI none;
    none.FileName(Dir() / "none.ini");
    EXPECT_EQ(none.RINI(u"Main", u"Key"), u"");
    EXPECT_FALSE(fs::exists(Dir() / "none.ini"));
}

// Long values read back as their first 254 characters, multi-byte characters kept whole.
TEST_F(INITest, ValuesAreCutTo254Characters) {
    INI ini = Ini("[Main]\nA=" + std::string(300, 'x') + "\nB=" + std::string(150, 'a') + std::string(200, 'z') + "\n");
    EXPECT_EQ(ini.RINI(u"Main", u"A"), std::u16string(254, u'x'));
    std::string cyrillic;
    for (int i = 0; i < 300; ++i) cyrillic += "\xD0\xB6";  // ж in UTF-8
    INI utf8 = Ini("[Main]\nC=" + cyrillic + "\n");
    EXPECT_EQ(utf8.RINI(u"Main", u"C"), std::u16string(254, u'ж'));
}

TEST_F(INITest, BooleanIsTrueOnlyForTrue) {
    INI ini = Ini("[Main]\na=True\nb=true\nc=TRUE\nd=1\n");
    EXPECT_TRUE(ini.RINIb(u"Main", u"a"));
    for (const char16_t* key : {u"b", u"c", u"d", u"missing"}) EXPECT_FALSE(ini.RINIb(u"Main", key));
    ASSERT_FALSE(ini.WInIb(u"Main", u"e", true));
    EXPECT_TRUE(ini.RINIb(u"Main", u"e"));
    ASSERT_FALSE(ini.WInIb(u"Main", u"e", false));
    EXPECT_EQ(ini.RINI(u"Main", u"e"), u"False");
}

// Numbers are read with blanks ignored, stop at the first non-number character,
// and round half to even; outside the 16-bit range is an overflow.
TEST_F(INITest, IntegerReading) {
    INI ini =
        Ini("[Main]\none=1\nneg=-7\nabc=abc\nmix=12abc\nspaced=1 2\nexp=1E3\nhex=&H10\noct=&O17\n"
            "h1=2.5\nh2=3.5\nh3=-2.5\nbig=40000\nedge=32767.5\nlow=-32768\npoint=1.2.3\n");
    const std::vector<std::pair<const char16_t*, int>> cases = {
        {u"one", 1},  {u"neg", -7}, {u"missing", 0}, {u"abc", 0}, {u"mix", 12}, {u"spaced", 12},  {u"exp", 1000},
        {u"hex", 16}, {u"oct", 15}, {u"h1", 2},      {u"h2", 4},  {u"h3", -2},  {u"low", -32768}, {u"point", 1},
    };
    for (const auto& [key, value] : cases) EXPECT_EQ(ini.RINIi(u"Main", key), value) << std::string(key, key + 3);
    EXPECT_THROW(ini.RINIi(u"Main", u"big"), OverflowError);
    EXPECT_THROW(ini.RINIi(u"Main", u"edge"), OverflowError);
}

// A write creates the file; later keys go after the first; a rewritten key keeps its place.
TEST_F(INITest, WritesKeepOrderAndPlace) {
    INI ini;
    ini.FileName(Dir() / "new.ini");
    ASSERT_FALSE(ini.WInIi(u"Main", u"BackupCopy", 1));
    EXPECT_EQ(ReadBytes(Dir() / "new.ini"), test::Eol("[Main]\nBackupCopy=1\n"));
    ASSERT_FALSE(ini.WInI(u"Main", u"Mask", u"*.htm"));
    ASSERT_FALSE(ini.WInI(u"Other", u"X", u"y"));
    ASSERT_FALSE(ini.WInI(u"Main", u"Third", u"3"));
    ASSERT_FALSE(ini.WInIi(u"Main", u"BackupCopy", -5));
    EXPECT_EQ(ReadBytes(Dir() / "new.ini"), test::Eol("[Main]\nBackupCopy=-5\nMask=*.htm\nThird=3\n[Other]\nX=y\n"));
}

// Lines that are not entries, and CRLF line ends, survive a write.
TEST_F(INITest, WriteKeepsForeignLines) {
    INI ini = Ini("; my settings\r\n[Main]\r\nA=1\r\n\r\n; tail\r\n");
    ASSERT_FALSE(ini.WInI(u"Main", u"B", u"2"));
    EXPECT_EQ(ReadBytes(ini.FileName()), "; my settings\r\n[Main]\r\nA=1\r\nB=2\r\n\r\n; tail\r\n");
}

// Values that would break the file, or that the code page cannot hold, are refused.
TEST_F(INITest, UnsafeWritesAreRefused) {
    INI ini = Ini("[Main]\nA=1\n", "CP1251");
    EXPECT_EQ(ini.WInI(u"Main", u"A", u"x\ny=2"), std::errc::invalid_argument);
    EXPECT_EQ(ini.WInI(u"Main", u"A=B", u"x"), std::errc::invalid_argument);
    EXPECT_EQ(ini.WInI(u"Main", u"A", u"日本"), std::errc::illegal_byte_sequence);
    EXPECT_EQ(ReadBytes(ini.FileName()), "[Main]\nA=1\n");
    ASSERT_FALSE(ini.WInI(u"Main", u"A", u"Привет"));
    EXPECT_EQ(ReadBytes(ini.FileName()), "[Main]\nA=\xCF\xF0\xE8\xE2\xE5\xF2\n");
    EXPECT_EQ(ini.RINI(u"Main", u"A"), u"Привет");
}

}  // namespace
}  // namespace tarnwick::settings
