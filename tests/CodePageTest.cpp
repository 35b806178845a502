#include "platform/CodePage.h"
#include "engine/content/StringForms.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace tarnwick {
namespace {

// Cyrillic text becomes the Windows Cyrillic bytes and reads back the same.
TEST(CodePageTest, Cp1251RoundTrip) {
    const auto cp = CodePage::Named("CP1251");
    ASSERT_TRUE(cp);
    const auto bytes = cp->Encode(u"Привет, мир");
    ASSERT_TRUE(bytes);
    EXPECT_EQ(*bytes, "\xCF\xF0\xE8\xE2\xE5\xF2, \xEC\xE8\xF0");
    EXPECT_EQ(cp->Decode(*bytes), std::u16string(u"Привет, мир"));
}

// Text the code page cannot hold is refused, never written as "?".
TEST(CodePageTest, UnrepresentableTextIsRefused) {
    const auto cp1251 = CodePage::Named("CP1251");
    ASSERT_TRUE(cp1251);
    EXPECT_FALSE(cp1251->Encode(u"日本"));
    EXPECT_FALSE(cp1251->Encode(u"ü"));
    EXPECT_FALSE(cp1251->Decode("\x98"));  // the one byte CP1251 leaves undefined

    const auto utf8 = CodePage::Named("UTF-8");
    ASSERT_TRUE(utf8);
    EXPECT_EQ(utf8->Encode(u"日本 😀"), std::string("\xE6\x97\xA5\xE6\x9C\xAC \xF0\x9F\x98\x80"));
    EXPECT_FALSE(utf8->Encode(std::u16string(1, char16_t(0xD800))));  // lone surrogate
    EXPECT_FALSE(utf8->Decode("\xC0\xAF"));                           // overlong
    EXPECT_FALSE(utf8->Decode("\xE6\x97"));                           // cut short
}

// Unknown encodings and those that do not keep ASCII as it is cannot be chosen.
TEST(CodePageTest, OnlyKnownAsciiCompatibleEncodings) {
    EXPECT_FALSE(CodePage::Named("NO-SUCH-ENCODING"));
    EXPECT_FALSE(CodePage::Named(""));
    EXPECT_FALSE(CodePage::Named("UTF-16LE"));
    EXPECT_TRUE(CodePage::Named("ISO-8859-1"));
}

// A plain C locale means UTF-8; a UTF-8 locale means UTF-8.
TEST(CodePageTest, SystemCodePageFollowsTheLocale) {
    const char* saved = std::getenv("LC_ALL");
    const std::string keep = saved ? saved : "";
    setenv("LC_ALL", "C", 1);
    EXPECT_EQ(CodePage::System().Name(), "UTF-8");
    setenv("LC_ALL", "C.UTF-8", 1);
    EXPECT_EQ(CodePage::System().Name(), "UTF-8");
    // The legacy code page: the one Windows uses for the locale's language.
    EXPECT_EQ(EncodingLabel(*CodePage::Legacy()), "windows-1252");
    setenv("LC_ALL", "ru_RU.UTF-8", 1);
    EXPECT_EQ(EncodingLabel(*CodePage::Legacy()), "windows-1251");
    if (saved) setenv("LC_ALL", keep.c_str(), 1);
    else unsetenv("LC_ALL");
    EXPECT_EQ(CodePage::WindowsCodePageFor("de_DE.UTF-8"), 1252u);
    EXPECT_EQ(CodePage::WindowsCodePageFor("uk_UA"), 1251u);
    EXPECT_EQ(CodePage::WindowsCodePageFor("POSIX"), 1252u);
    EXPECT_EQ(CodePage::WindowsCodePageFor("tr_TR.UTF-8"), 1254u);
    EXPECT_EQ(CodePage::WindowsCodePageFor("th_TH"), 874u);
}

}  // namespace
}  // namespace tarnwick
