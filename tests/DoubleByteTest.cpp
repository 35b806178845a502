#include "engine/rewrite/Corrector.h"
#include "TempDir.h"
#include "Told.h"

#include <random>

namespace tarnwick {
namespace {

using test::ReadBytes;
using test::TempDirTest;

// The double-byte code pages by the names this system gives them.
#ifdef _WIN32
const char* const kCodePages[] = {"932", "936", "949", "950", "54936", "20932", "51949"};
#else
const char* const kCodePages[] = {"CP932", "Shift_JIS", "CP936",  "GBK",    "CP949", "CP950",
                                  "BIG5",  "GB18030",   "EUC-JP", "EUC-KR", "EUC-CN"};
#endif

std::string In(const CodePage& cp, std::u16string_view text) { return *cp.Encode(text); }

// Whether `cp` writes `text` as bytes that read back as it (EUC-JP writes ¥ as
// the byte of a backslash).
bool RoundTrips(const CodePage& cp, std::u16string_view text) {
    const auto bytes = cp.Encode(text);
    return bytes && cp.Decode(*bytes) == text;
}

std::u16string ReplaceAll(std::u16string text, std::u16string_view search, std::u16string_view replace) {
    for (std::size_t at = text.find(search); at != std::u16string::npos; at = text.find(search, at + replace.size()))
        text.replace(at, search.size(), replace);
    return text;
}

// Characters whose later bytes are ASCII in some of these code pages (ア is
// 83 41 in CP932, 表 95 5C, 許 B3 5C in Big5, ¥ 81 30 84 36 in GB18030,
// whose U+060A 81 31 81 30 ends as U+0080 81 30 81 30 begins), kana and
// hangul, and the ASCII they may be mistaken for.
constexpr std::u16string_view kAlphabet = u"A\\@0 6\nア表許ソ能¥é한글中文あｱAB\u0080\u060A";

// Text of `length` characters of the alphabet that `cp` can write.
std::u16string RandomText(const CodePage& cp, std::mt19937& random, std::size_t length) {
    std::u16string usable;
    for (const char16_t c : kAlphabet)
        if (RoundTrips(cp, std::u16string_view(&c, 1))) usable += c;
    std::u16string text;
    for (std::size_t i = 0; i < length; ++i) text += usable[random() % usable.size()];
    return text;
}

class DoubleByteTest : public TempDirTest {};

// In every double-byte code page, with windows as small as one byte: the
// bytes after the run are the text replaced as characters, then encoded.
TEST_F(DoubleByteTest, OccurrencesCountOnlyWhereACharacterStarts) {
    std::mt19937 random(20261208);
    const std::u16string searches[] = {u"A", u"\\", u"@", u"0", u"6", u"表", u"A表", u"ア", u"¥6", u"ｱ", u"\u0080"};
    for (const char* name : kCodePages) {
        SCOPED_TRACE(name);
        const auto cp = CodePage::Named(name);
#ifdef _WIN32
        // Wine lacks GB18030 and the EUC pages; Windows has them.
        if (!cp && std::string_view(name) != "932" && std::string_view(name).size() > 3) continue;
#endif
        ASSERT_TRUE(cp) << name;
        ASSERT_NE(cp->Scheme(), CodePage::DoubleByte::None);
        for (const std::u16string& search : searches) {
            if (!RoundTrips(*cp, search)) continue;
            const StringForms forms = StringForms::Only(search, u"[x]", *cp);
            for (const std::size_t chunk : {1, 2, 3, 7, 64 * 1024}) {
                const std::u16string text = RandomText(*cp, random, 300);
                const auto file = Make("f.txt", In(*cp, text));
                const std::u16string expected = ReplaceAll(text, search, u"[x]");
                Corrector corrector(forms, {}, chunk);
                const auto told = test::Execute(corrector, {file});
                ASSERT_EQ(told.size(), 1u);
                EXPECT_EQ(told[0].outcome, expected == text ? FileOutcome::Checked : FileOutcome::Corrected);
                EXPECT_EQ(ReadBytes(file), In(*cp, expected)) << "chunk " << chunk;
            }
        }
    }
}

// With every candidate encoding: a valid UTF-8 file is read as UTF-8 (an
// ASCII byte after a UTF-8 character is a character, whatever CP932 would
// make of the pair), any other file in the legacy code page.
TEST_F(DoubleByteTest, MixedFolderWithTheLegacyCodePage) {
    const auto cp932 = CodePage::Named(kCodePages[0]);
    const auto utf8 = *CodePage::Named("UTF-8");
    const auto forms = StringForms::Candidates(u"A", u"表", cp932, Encoding::Utf8);
    const std::u16string text = u"アA表\\ あA";
    const auto sjis = Make("sjis.txt", In(*cp932, text)), plain = Make("utf8.txt", In(utf8, text));
    const auto nothing = Make("none.txt", In(*cp932, u"アア"));  // 83 41 83 41: no "A" of its own
    Corrector corrector(forms);
    const auto told = test::Execute(corrector, {sjis, plain, nothing});
    ASSERT_EQ(told.size(), 3u);
    EXPECT_EQ(ReadBytes(sjis), In(*cp932, u"ア表表\\ あ表"));
    EXPECT_EQ(forms.Names(told[0].encodings), "cp932");
    EXPECT_EQ(ReadBytes(plain), In(utf8, u"ア表表\\ あ表"));
    EXPECT_EQ(forms.Names(told[1].encodings), "utf-8");
    EXPECT_EQ(told[2].verdict, FileVerdict::Unknown);
    EXPECT_EQ(ReadBytes(nothing), In(*cp932, u"アア"));
    // The replace string alone, inside characters only, is no sign of a correction.
    EXPECT_EQ(corrector.CheckFile(Make("inside.txt", In(*cp932, u"ソ"))).verdict, FileVerdict::Unknown);
    EXPECT_EQ(corrector.CheckFile(sjis).verdict, FileVerdict::AlreadyCorrected);
}

TEST_F(DoubleByteTest, CodePagesByNameAndLocale) {
#ifndef _WIN32
    EXPECT_FALSE(CodePage::Named("ISO-2022-JP"));  // stateful: ASCII bytes change meaning
    EXPECT_EQ(CodePage::Named("EUC-JP")->Scheme(), CodePage::DoubleByte::EucJp);
#endif
    EXPECT_EQ(CodePage::Named(kCodePages[0])->Scheme(), CodePage::DoubleByte::ShiftJis);
    EXPECT_EQ(CodePage::WindowsCodePageFor("ja_JP.UTF-8"), 932u);
    EXPECT_EQ(CodePage::WindowsCodePageFor("zh_CN.UTF-8"), 936u);
    EXPECT_EQ(CodePage::WindowsCodePageFor("zh_SG"), 936u);
    EXPECT_EQ(CodePage::WindowsCodePageFor("zh_TW.UTF-8"), 950u);
    EXPECT_EQ(CodePage::WindowsCodePageFor("zh_HK"), 950u);
    EXPECT_EQ(CodePage::WindowsCodePageFor("ko_KR.UTF-8"), 949u);
}

}  // namespace
}  // namespace tarnwick
