// Each file in its own legacy code page: a tree mixing Russian, Western,
// Japanese, Chinese and Korean pages (and UTF-8, UTF-16), corrected under
// several locales, every byte compared with a reference that knows each
// file's true page; double-byte characters whose later byte looks like the
// ASCII search string are never touched.

#include "cli/Cli.h"
#include "platform/CodePage.h"
#include "engine/content/LegacyPages.h"
#include "TempDir.h"

#include <map>
#include <random>
#include <sstream>

namespace tarnwick {
namespace {

using test::ReadBytes;
using test::TempDirTest;
using test::WriteBytes;
namespace fs = std::filesystem;

// A few words of each language, as a text of it is made of.
const std::map<std::string, std::vector<std::u16string>> kWords = {
    {"ru", {u"и",       u"в",     u"не",     u"на",      u"быть",      u"он",         u"что",    u"это",    u"она",
            u"который", u"весь",  u"год",    u"мочь",    u"человек",   u"сказать",    u"только", u"время",  u"говорить",
            u"знать",   u"жизнь", u"первый", u"очень",   u"день",      u"новый",      u"рука",   u"работа", u"слово",
            u"большой", u"место", u"сейчас", u"дом",     u"страна",    u"мир",        u"случай", u"голова", u"ребёнок",
            u"сила",    u"город", u"вопрос", u"система", u"отношение", u"государство"}},
    {"de",
     {u"der",    u"die",     u"und",     u"über", u"größer", u"Straße",   u"Mädchen",   u"schön", u"Grüße",  u"Füße",
      u"Bäume",  u"Öffnung", u"Ärger",   u"für",  u"müssen", u"dürfen",   u"Schlüssel", u"Tür",   u"Brücke", u"Gebäude",
      u"Häuser", u"Männer",  u"während", u"Käse", u"Zürich", u"fröhlich", u"Glück",     u"Wärme", u"Länder", u"Küche"}},
    {"ja", {u"私",     u"日本",       u"東京",       u"今日",   u"時間", u"学校",   u"先生",   u"友達",   u"仕事",
            u"会社",   u"電話",       u"新聞",       u"食べる", u"飲む", u"見る",   u"話す",   u"大きい", u"新しい",
            u"美しい", u"ありがとう", u"こんにちは", u"です",   u"ます", u"ソフト", u"データ", u"ボタン", u"ファイル",
            u"表示",   u"機能",       u"許可",       u"十分",   u"能力", u"ソース", u"予定",   u"構造"}},
    {"zh", {u"的",   u"是",   u"不",   u"人",   u"我",   u"在",   u"有",   u"他",   u"这",   u"为",  u"大", u"来",
            u"个",   u"中",   u"上",   u"们",   u"到",   u"说",   u"国",   u"和",   u"地",   u"时",  u"道", u"电脑",
            u"文件", u"网站", u"公司", u"北京", u"上海", u"中国", u"问题", u"发展", u"经济", u"学习"}},
    {"zht", {u"的",   u"是",   u"不",   u"人",   u"我",   u"在",   u"有",   u"他",   u"這",   u"為",   u"大",
             u"來",   u"個",   u"中",   u"上",   u"們",   u"到",   u"說",   u"國",   u"電腦", u"檔案", u"網站",
             u"公司", u"台北", u"香港", u"時間", u"問題", u"發展", u"許多", u"功能", u"經濟", u"學習"}},
    {"ko",
     {u"이",   u"그",   u"것",   u"수",   u"사람", u"시간", u"일",   u"년",   u"말",         u"집",        u"학교",
      u"회사", u"나라", u"세계", u"한국", u"서울", u"오늘", u"내일", u"물",   u"책",         u"영화",      u"음악",
      u"친구", u"가족", u"사랑", u"생각", u"문제", u"경제", u"사회", u"문화", u"감사합니다", u"안녕하세요"}},
};

// The run's pairs: an ASCII one found in every file, and one for each language.
const std::vector<std::pair<std::u16string, std::u16string>> kPairs = {
    {u"old.example.com", u"www.example.org"},
    {u"Олд Корп", u"Нью Корп"},
    {u"Straße", u"Gasse"},
    {u"旧社名", u"新社名"},
    {u"旧公司", u"新公司"},
    {u"舊公司", u"新公司"},
    {u"구회사", u"신회사"},
};

// The reference: at each place the longest search string, never a replaced one again.
std::u16string Replaced(const std::u16string& text,
                        const std::vector<std::pair<std::u16string, std::u16string>>& pairs) {
    std::u16string out;
    for (std::size_t at = 0; at < text.size();) {
        const std::pair<std::u16string, std::u16string>* best = nullptr;
        for (const auto& pair : pairs)
            if (text.compare(at, pair.first.size(), pair.first) == 0 &&
                (!best || pair.first.size() > best->first.size()))
                best = &pair;
        if (!best) {
            out += text[at++];
            continue;
        }
        out += best->second;
        at += best->first.size();
    }
    return out;
}

struct Page {
    std::string file;      // its name in the tree
    std::string language;  // its words
    std::string codePage;  // as CodePage::Named takes it here
    std::u16string own;    // the pair of its own language that it holds
};

class LegacyPagesTest : public TempDirTest {
protected:
    // A text of `words` words of `language` with the URL and `own` among them.
    static std::u16string Text(std::mt19937& random, const std::string& language, const std::u16string& own,
                               int words) {
        const auto& list = kWords.at(language);
        const bool spaced = language != "ja" && language != "zh" && language != "zht";
        std::u16string text = u"<p>";
        for (int i = 0; i < words; ++i) {
            if (i % 17 == 5) text += u" http://old.example.com/page.htm ";
            if (i % 23 == 11 && !own.empty()) text += own;
            text += list[random() % list.size()];
            if (spaced) text += u' ';
            if (i % 13 == 12) text += u"\n";
        }
        return text + u"</p>\n";
    }
    static std::string Encoded(const std::u16string& text, const std::string& page) {
        if (page == "UTF-8") return *Utf16ToUtf8(text);
        if (page == "UTF-16LE") {
            std::string out = "\xFF\xFE";
            for (const char16_t c : text) out += static_cast<char>(c & 0xFF), out += static_cast<char>(c >> 8);
            return out;
        }
        const auto cp = CodePage::Named(page);
        EXPECT_TRUE(cp) << page;
        const auto bytes = cp->Encode(text);
        EXPECT_TRUE(bytes) << page;
        return bytes.value_or("");
    }
    int Run(std::vector<std::string> args) {
        std::ostringstream out, err;
        const int rc = cli::Run(args, out, err);
        out_ = out.str();
        err_ = err.str();
        return rc;
    }
    std::string out_, err_;
};

// Every page corrected in its own encoding, under a C, a Russian and a
// Japanese locale alike, with no --legacy: the reference knows each file's
// true page, the run has to tell it from the bytes.
TEST_F(LegacyPagesTest, MixedTreeEveryByteExact) {
    const test::ScopedEnvironment state("XDG_STATE_HOME", (Dir() / ".state").c_str());
    const std::vector<Page> pages = {
        {"ru-1251.htm", "ru", "CP1251", u"Олд Корп"},  {"ru-koi8.htm", "ru", "KOI8-R", u"Олд Корп"},
        {"de-1252.htm", "de", "CP1252", u"Straße"},    {"ja-sjis.htm", "ja", "CP932", u"旧社名"},
        {"zh-gbk.htm", "zh", "GBK", u"旧公司"},        {"zht-big5.htm", "zht", "BIG5", u"舊公司"},
        {"ko-euckr.htm", "ko", "EUC-KR", u"구회사"},   {"ru-utf8.htm", "ru", "UTF-8", u"Олд Корп"},
        {"ja-utf16.htm", "ja", "UTF-16LE", u"旧社名"},
    };
    for (const char* locale : {"C.UTF-8", "ru_RU.UTF-8", "ja_JP.UTF-8"}) {
        SCOPED_TRACE(locale);
        const test::ScopedEnvironment environment("LC_ALL", locale);
        const fs::path site = Dir() / "site";
        fs::remove_all(site);
        fs::create_directory(site);
        std::mt19937 random(11);
        std::map<std::string, std::string> expected;
        for (const Page& page : pages) {
            for (const int words : {40, 400}) {  // (a short page and a long one)
                const std::string name = std::to_string(words) + "-" + page.file;
                const std::u16string text = Text(random, page.language, page.own, words);
                WriteBytes(site / name, Encoded(text, page.codePage));
                expected[name] = Encoded(Replaced(text, kPairs), page.codePage);
            }
        }
        std::vector<std::string> args{"--no-undo"};
        for (const auto& [search, replace] : kPairs)
            args.insert(args.end(), {"-s", *Utf16ToUtf8(search), "-r", *Utf16ToUtf8(replace)});
        args.push_back(site.string());
        EXPECT_EQ(Run(args), 0) << out_ << err_;
        for (const auto& [name, bytes] : expected) EXPECT_EQ(ReadBytes(site / name), bytes) << name << "\n" << out_;
        // Each record names the page the file was read in.
        EXPECT_NE(out_.find("corrected\t" + (site / "400-ja-sjis.htm").string() + "\t"), std::string::npos);
        const auto koi8 = out_.find("corrected\t" + (site / "400-ru-koi8.htm").string() + "\t");
        ASSERT_NE(koi8, std::string::npos) << out_;
        EXPECT_TRUE(out_.substr(koi8, out_.find('\n', koi8) - koi8).ends_with("\tkoi8-r")) << out_;
    }
}

// A later byte of a double-byte character that looks like the ASCII search
// string (ボ 83 7B and "{", 表 95 5C and "\", ソ 83 5C and "|") is never
// touched; a file too short to tell whether it is in such a page, where the
// pages would read the string differently, is left alone with the pages
// named; --legacy settles it.
TEST_F(LegacyPagesTest, TrailBytesThatLookLikeAscii) {
    const test::ScopedEnvironment state("XDG_STATE_HOME", (Dir() / ".state").c_str());
    const test::ScopedEnvironment environment("LC_ALL", "C.UTF-8");
    std::mt19937 random(3);
    const std::u16string body = Text(random, "ja", u"", 300);
    const std::u16string tricky = u"ボ{x} 表\\y ソ|z " + body + u" ボ{x} 表\\y ソ|z";
    const auto sjis = *CodePage::Named("CP932");
    WriteBytes(Dir() / "long.txt", *sjis.Encode(tricky));
    const std::vector<std::pair<std::u16string, std::u16string>> pairs = {{u"{", u"<%"}, {u"\\", u"/"}, {u"|", u"!"}};
    EXPECT_EQ(Run({"--no-undo", "-s", "{", "-r", "<%", "-s", "\\", "-r", "/", "-s", "|", "-r", "!",
                   (Dir() / "long.txt").string()}),
              0)
        << out_ << err_;
    EXPECT_EQ(ReadBytes(Dir() / "long.txt"), *sjis.Encode(Replaced(tricky, pairs)));
    EXPECT_NE(out_.find("\tcp932\n"), std::string::npos) << out_;

    WriteBytes(Dir() / "short.txt", "\x83\x7b{{x}}\n");
    EXPECT_EQ(Run({"--no-undo", "-s", "{{", "-r", "<%", (Dir() / "short.txt").string()}), 1);
    EXPECT_NE(out_.find("\tcould be in windows-1252, cp932"), std::string::npos) << out_;
    EXPECT_NE(out_.find("name its code page with --legacy"), std::string::npos) << out_;
    EXPECT_EQ(ReadBytes(Dir() / "short.txt"), "\x83\x7b{{x}}\n");
    EXPECT_EQ(Run({"--no-undo", "--legacy", "CP932,CP1251", "-s", "{{", "-r", "<%", (Dir() / "short.txt").string()}), 0)
        << out_;
    EXPECT_EQ(ReadBytes(Dir() / "short.txt"), "\x83\x7b<%x}}\n");
}

// A page the run only guessed that cannot hold a search string: the file is
// corrected for the others and named, with the string, so nothing is
// corrected in part without a word; --check says it before any change.
TEST_F(LegacyPagesTest, GuessThatCannotHoldAStringIsTold) {
    const test::ScopedEnvironment state("XDG_STATE_HOME", (Dir() / ".state").c_str());
    const test::ScopedEnvironment environment("LC_ALL", "C.UTF-8");
    WriteBytes(Dir() / "page.htm", *CodePage::Named("CP1251")->Encode(u"<b>Корп</b> http://old.example.com/"));
    for (const char* check : {"-n", "--diff", "--no-undo"}) {
        EXPECT_EQ(Run({check, "-s", "Олд Корп", "-r", "Нью Корп", "-s", "old.example.com", "-r", "www.example.org",
                       (Dir() / "page.htm").string()}),
                  0)
            << err_;
        EXPECT_NE(err_.find("1 file was read as windows-1252, only a guess, which cannot hold 'Олд Корп': " +
                            (Dir() / "page.htm").string() + "; if it is in another code page, name it with --legacy"),
                  std::string::npos)
            << err_;
    }
    // Named, the page is no guess.
    EXPECT_EQ(Run({"--legacy", "CP1251", "-s", "Олд Корп", "-r", "Нью Корп", (Dir() / "page.htm").string()}), 0);
    EXPECT_EQ(err_.find("only a guess"), std::string::npos) << err_;
}

// A search string that happens to have a form in some page is weak evidence:
// 'é' is E9 in windows-1252, and E9 is 'й' in a Russian windows-1251 page. The
// detector, sure of the Russian page, or the page the user named, decides;
// the evidence only where neither does (a word of French in a short file).
TEST_F(LegacyPagesTest, CoincidentalFormsDecideNothing) {
    const test::ScopedEnvironment state("XDG_STATE_HOME", (Dir() / ".state").c_str());
    const test::ScopedEnvironment environment("LC_ALL", "C.UTF-8");
    std::mt19937 random(5);
    const std::string russian = *CodePage::Named("CP1251")->Encode(Text(random, "ru", u"йод", 60));
    WriteBytes(Dir() / "ru.htm", russian);
    WriteBytes(Dir() / "fr.htm", "caf\xE9 old.example.com\n");
    EXPECT_EQ(Run({"--no-undo", "-s", "é", "-r", "Z", Dir().string()}), 0) << out_ << err_;
    EXPECT_EQ(ReadBytes(Dir() / "ru.htm"), russian);
    EXPECT_EQ(ReadBytes(Dir() / "fr.htm"), "cafZ old.example.com\n");
    EXPECT_EQ(out_.find("\ncorrected\t" + (Dir() / "ru.htm").string()), std::string::npos) << out_;
    // Named, the Russian page is the one: 'é' has no form there.
    WriteBytes(Dir() / "fr.htm", "caf\xE9 old.example.com\n");
    EXPECT_EQ(Run({"--no-undo", "--legacy", "CP1251", "-s", "é", "-r", "Z", (Dir() / "fr.htm").string()}), 0)
        << out_ << err_;
    EXPECT_EQ(out_, "unknown\t" + (Dir() / "fr.htm").string() + "\n");
    EXPECT_EQ(ReadBytes(Dir() / "fr.htm"), "caf\xE9 old.example.com\n");
}

// A UTF-8 page with a stray byte (a non-breaking space pasted from a
// windows-1252 page) is a UTF-8 page: its strings are written in UTF-8, the
// stray byte kept. A windows-1251 page stays one, though a pair of its
// letters happens to make a UTF-8 character.
TEST_F(LegacyPagesTest, StrayByteInAUtf8Page) {
    const test::ScopedEnvironment state("XDG_STATE_HOME", (Dir() / ".state").c_str());
    const test::ScopedEnvironment environment("LC_ALL", "C.UTF-8");
    WriteBytes(Dir() / "utf8.txt", "Привет, мир: old\xA0page\n");
    std::mt19937 random(7);
    const std::string russian = *CodePage::Named("CP1251")->Encode(Text(random, "ru", u"", 40) + u"Рџ old");
    WriteBytes(Dir() / "ru.txt", russian);
    EXPECT_EQ(Run({"--no-undo", "-s", "old", "-r", "новый", Dir().string()}), 0) << out_ << err_;
    EXPECT_EQ(ReadBytes(Dir() / "utf8.txt"), "Привет, мир: новый\xA0page\n");
    std::string expected = russian;
    for (std::size_t at = expected.find("old"); at != std::string::npos; at = expected.find("old", at))
        expected.replace(at, 3, *CodePage::Named("CP1251")->Encode(u"новый"));
    EXPECT_EQ(ReadBytes(Dir() / "ru.txt"), expected);
}

// A double-byte page's characters are never cut: not by a file cut short in
// its last character (the page still holds, nearly all of it keeps its
// rules), not by a UTF-8 form whose bytes span two characters (ゅう is
// 82 E3 82 A4, イ in UTF-8 E3 82 A4), not by half-width katakana that happen
// to look like UTF-8 (ﾕｰｻﾞｰ).
TEST_F(LegacyPagesTest, DoubleByteCharactersAreNeverCut) {
    const test::ScopedEnvironment state("XDG_STATE_HOME", (Dir() / ".state").c_str());
    const auto sjis = *CodePage::Named("CP932");
    std::u16string lines;
    for (int i = 0; i < 3; ++i) lines += u"保存先: C:\\Users\\tanaka\\予定表.txt\r\n表示します。\r\n";
    const std::string cut = *sjis.Encode(lines) + sjis.Encode(u"最後")->substr(0, 3);
    WriteBytes(Dir() / "cut.txt", cut);
    {
        const test::ScopedEnvironment japanese("LC_ALL", "ja_JP.UTF-8");
        EXPECT_EQ(Run({"--no-undo", "-s", "\\", "-r", "/", (Dir() / "cut.txt").string()}), 0) << out_;
    }
    std::u16string fixed = lines;
    for (char16_t& c : fixed)
        if (c == u'\\') c = u'/';
    EXPECT_EQ(ReadBytes(Dir() / "cut.txt"), *sjis.Encode(fixed) + sjis.Encode(u"最後")->substr(0, 3));

    const test::ScopedEnvironment environment("LC_ALL", "C.UTF-8");
    std::u16string menu;
    for (int i = 0; i < 5; ++i) menu += u"イベント案内\r\n";
    WriteBytes(Dir() / "menu.txt", *sjis.Encode(menu + u"しゅうまい\r\n"));
    EXPECT_EQ(Run({"--no-undo", "--legacy", "CP932", "-s", "イ", "-r", "い", (Dir() / "menu.txt").string()}), 0);
    std::u16string menuFixed;
    for (int i = 0; i < 5; ++i) menuFixed += u"いベント案内\r\n";
    EXPECT_EQ(ReadBytes(Dir() / "menu.txt"), *sjis.Encode(menuFixed + u"しゅうまい\r\n")) << out_;

    std::u16string users = u"ID,ROLE,DIR\r\n";
    for (int i = 0; i < 6; ++i) users += std::u16string(u"1,ﾕｰｻﾞｰ,C:\\Users\\u") + char16_t(u'0' + i) + u"\r\n";
    users += u"9,表示,C:\\表\\data\r\n";
    WriteBytes(Dir() / "users.csv", *sjis.Encode(users));
    EXPECT_EQ(Run({"--no-undo", "--legacy", "CP932", "-s", "\\", "-r", "/", (Dir() / "users.csv").string()}), 0);
    for (char16_t& c : users)
        if (c == u'\\') c = u'/';
    EXPECT_EQ(ReadBytes(Dir() / "users.csv"), *sjis.Encode(users)) << out_;
    // Names iconv would read leniently are none.
    EXPECT_EQ(Run({"-n", "--legacy", "@@", "-s", "a", "-r", "b", (Dir() / "users.csv").string()}), 2);
    EXPECT_NE(err_.find("unknown or unsupported encoding '@@'"), std::string::npos) << err_;
}

// Past the first MiB: a file that is plain ASCII for a MiB and Shift_JIS
// after it is checked to its end, so the trail byte that looks like "{" far
// into it still makes the reading ambiguous; one whose bytes break the
// double-byte rules late is read in single bytes.
TEST_F(LegacyPagesTest, WholeFileIsChecked) {
    const test::ScopedEnvironment state("XDG_STATE_HOME", (Dir() / ".state").c_str());
    const test::ScopedEnvironment environment("LC_ALL", "C.UTF-8");
    std::string ascii;
    while (ascii.size() < (std::size_t{3} << 19)) ascii += "a line of plain ASCII text {x} ";
    const std::string late = ascii + "\x83\x7b{x}\n";
    WriteBytes(Dir() / "late.txt", late);
    EXPECT_EQ(Run({"--no-undo", "-s", "{", "-r", "<%", (Dir() / "late.txt").string()}), 1) << out_;
    EXPECT_NE(out_.find("\tcould be in windows-1252, cp932"), std::string::npos) << out_;
    EXPECT_EQ(ReadBytes(Dir() / "late.txt"), late);
    const std::string broken = "\x83\x7b{x}\n" + ascii + "\xFF\xFF\n";  // no double-byte page has FF FF
    WriteBytes(Dir() / "broken.txt", broken);
    EXPECT_EQ(Run({"--no-undo", "-s", "{x}", "-r", "<%", (Dir() / "broken.txt").string()}), 0) << out_;
    std::string expected = broken;
    for (std::size_t at = expected.find("{x}"); at != std::string::npos; at = expected.find("{x}", at))
        expected.replace(at, 3, "<%");
    EXPECT_EQ(ReadBytes(Dir() / "broken.txt"), expected);
}

}  // namespace
}  // namespace tarnwick
