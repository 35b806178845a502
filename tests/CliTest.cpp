#include "cli/Cli.h"
#include "TempDir.h"

#include <cctype>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace tarnwick {
namespace {

using test::ReadBytes;
using test::TempDirTest;
namespace fs = std::filesystem;

// ASCII strings: their UTF-8 and legacy forms are the same bytes.
const std::string kAscii = "\tutf-8,windows-1252";

class CliTest : public TempDirTest {
protected:
    // The locale of the records below: UTF-8, and the legacy code page of C.
    void SetUp() override {
        TempDirTest::SetUp();
        if (const char* all = std::getenv("LC_ALL")) savedLocale_ = all;
        setenv("LC_ALL", "C.UTF-8", 1);
        // Records for undo in a hidden folder of the test's own.
        state_.emplace("XDG_STATE_HOME", (Dir() / ".state").c_str());
    }
    void TearDown() override {
        savedLocale_ ? setenv("LC_ALL", savedLocale_->c_str(), 1) : unsetenv("LC_ALL");
        state_.reset();
        TempDirTest::TearDown();
    }
    std::optional<std::string> savedLocale_;
    std::optional<test::ScopedEnvironment> state_;
    int Run(std::vector<std::string> args, const std::string& input = {}, bool inIsTerminal = false) {
        std::ostringstream out, err;
        std::istringstream in(input);
        const int rc = cli::Run(args, out, err, false, &in, inIsTerminal);
        out_ = out.str();
        err_ = err.str();
        return rc;
    }
    std::string out_, err_;
};

// Every encoding by default, the encodings of each file in its record; -E pins one.
TEST_F(CliTest, EncodingsInRecords) {
    setenv("LC_ALL", "ru_RU.UTF-8", 1);  // the legacy code page: windows-1251
    Make("a.txt", "\xEC\xE8\xF0");       // "мир" in CP1251
    Make("b.txt", "мир");
    const std::string d = Dir().string();
    EXPECT_EQ(Run({"-n", "-s", "мир", "-r", "свет", "-E", "UTF-8", d}), 0);
    EXPECT_EQ(out_, "unknown\t" + d + "/a.txt\nto-correct\t" + d + "/b.txt\tutf-8\n");
    EXPECT_EQ(Run({"-s", "мир", "-r", "свет", d}), 0);
    EXPECT_EQ(out_, "corrected\t" + d + "/a.txt\t1\twindows-1251\ncorrected\t" + d + "/b.txt\t1\tutf-8\n");
    EXPECT_EQ(ReadBytes(Dir() / "a.txt"), "\xF1\xE2\xE5\xF2");
    EXPECT_EQ(ReadBytes(Dir() / "b.txt"), "свет");
}

// Where the locale's legacy code page is not the files' (a server in
// C.UTF-8): such files are unknown, and said once with how to name theirs;
// --legacy or LegacyCodePage in the options file names it.
TEST_F(CliTest, LegacyCodePageNamed) {
    Make("a.txt", "\xEC\xE8\xF0");  // "мир" in CP1251
    Make("b.txt", "мир");
    Make("c.txt", "\xEF\xF0\xE8\xE2\xE5\xF2");  // "привет" in CP1251: no string shows its page
    const std::string d = Dir().string();
    // The search string shows the page of a.txt.
    EXPECT_EQ(Run({"-n", "-s", "мир", "-r", "свет", d}), 0);
    EXPECT_EQ(out_, "to-correct\t" + d + "/a.txt\twindows-1251\nto-correct\t" + d + "/b.txt\tutf-8\nunknown\t" + d +
                        "/c.txt\n");
    EXPECT_NE(err_.find("tarnwick-cli: 1 file is not valid UTF-8 and holds neither string in windows-1252, the legacy "
                        "code page of this locale; if they are in another code page, name it with --legacy"),
              std::string::npos)
        << err_;
    fs::remove(Dir() / "c.txt");
    EXPECT_EQ(Run({"-n", "--legacy", "CP1251", "-s", "мир", "-r", "свет", d}), 0);
    EXPECT_EQ(out_, "to-correct\t" + d + "/a.txt\twindows-1251\nto-correct\t" + d + "/b.txt\tutf-8\n");
    EXPECT_EQ(err_.find("--legacy"), std::string::npos) << err_;
    const auto options = Make("options.ini", "[Main]\nSearchString=мир\nReplaceString=свет\nLegacyCodePage=CP1251\n");
    EXPECT_EQ(Run({"--options", options.string(), (Dir() / "a.txt").string()}), 0);
    EXPECT_EQ(ReadBytes(Dir() / "a.txt"), "\xF1\xE2\xE5\xF2");
    EXPECT_NE(err_.find("tarnwick-cli: 1 file: 1 corrected (1 replacement), "), std::string::npos) << err_;

    const std::pair<std::vector<std::string>, std::string> usage[] = {
        {{"-E", "UTF-8", "--legacy", "CP1251"}, "give one of them"},
        {{"--legacy", "UTF-8"}, "the legacy code page cannot be UTF-8"},
        {{"--legacy", "NOPE"}, "unknown or unsupported encoding 'NOPE'"},
        {{"--legacy", "CP1251,,KOI8-R"}, "a name in the list 'CP1251,,KOI8-R' of --legacy is empty"},
    };
    for (auto [args, message] : usage) {
        args.insert(args.end(), {"-s", "мир", "-r", "свет", d});
        EXPECT_EQ(Run(args), 2) << message;
        EXPECT_NE(err_.find(message), std::string::npos) << err_;
    }
    Make("options.ini", "[Main]\nSearchString=a\nReplaceString=b\nLegacyCodePage=NOPE\n");
    EXPECT_EQ(Run({"--options", options.string(), d}), 2);
    EXPECT_NE(err_.find("the value of LegacyCodePage 'NOPE' is no supported code page"), std::string::npos) << err_;
    Make("options.ini", "[Main]\nSearchString=a\nReplaceString=b\nLegacyCodePage=CP1251, UTF-8\n");
    EXPECT_EQ(Run({"--options", options.string(), d}), 2);
    EXPECT_NE(err_.find("LegacyCodePage 'CP1251, UTF-8': 'UTF-8' cannot be the legacy code page"), std::string::npos)
        << err_;
    // Spaces around the names are no part of them.
    Make("options.ini", "[Main]\nSearchString=a\nReplaceString=b\nLegacyCodePage=CP1251 , CP932\n");
    EXPECT_EQ(Run({"-n", "--options", options.string(), d}), 0) << err_;
}

// JSON Lines: an object per file in listing order, bytes for a path that is no
// UTF-8, the reason of a failure, then the counts.
TEST_F(CliTest, JsonRecords) {
    Make("a.txt", "old");
    Make("b\xff.txt", "old");
    fs::create_directory(Dir() / "c.txt.bak");
    Make("c.txt", "old \"quoted\"");
    Make("d.txt", "other");
    fs::create_directory(Dir() / "e\xff.bak");
    Make("e\xff", "old");
    const fs::path kept = fs::current_path();
    fs::current_path(Dir());  // paths as given: "./a.txt"
    EXPECT_EQ(Run({"--json", "-b", "-s", "old", "-r", "new", "."}), 1);
    fs::current_path(kept);
    EXPECT_EQ(
        out_,
        "{\"path\":\"./a.txt\",\"result\":\"corrected\",\"replacements\":1,"
        "\"encodings\":[\"utf-8\",\"windows-1252\"]}\n"
        "{\"path\":{\"bytes\":\"Li9i/y50eHQ=\"},\"result\":\"corrected\",\"replacements\":1,"
        "\"encodings\":[\"utf-8\",\"windows-1252\"]}\n"
        "{\"path\":\"./c.txt\",\"result\":\"failed\","
        "\"reason\":\"backup path c.txt.bak is not a regular file\",\"reason_path\":\"./c.txt.bak\"}\n"
        "{\"path\":\"./d.txt\",\"result\":\"unknown\"}\n"
        "{\"path\":{\"bytes\":\"Li9l/w==\"},\"result\":\"failed\","
        "\"reason\":\"backup path e\\ufffd.bak is not a regular file\",\"reason_path\":{\"bytes\":\"Li9l/y5iYWs=\"}}\n"
        "{\"summary\":{\"files\":5,\"corrected\":2,\"replacements\":2,\"already-corrected\":0,"
        "\"unknown\":1,\"binary\":0,\"backup\":0,\"same-file\":0,\"skipped\":0,\"failed\":2}}\n");
    const std::string d = Dir().string();
    EXPECT_EQ(Run({"--json", "-z", "-s", "old", "-r", "new", d}), 2);
}

// --diff changes nothing, and `patch -p1` applied to its output makes exactly
// what a real run makes: CR/LF, a missing last newline, a replacement with a
// newline, several hunks, a run of changes too long to hold (one hunk still);
// a binary file is left out as the run leaves it alone.
TEST_F(CliTest, DiffPatchesExactly) {
    std::string crlf, longRun = "head\nhead\nhead\nhead\n";
    for (int i = 0; i < 30; ++i) crlf += "line " + std::to_string(i) + (i % 11 == 0 ? " old\r\n" : "\r\n");
    for (int i = 0; i < 70000; ++i) longRun += "line " + std::to_string(i) + " old\n";
    longRun += "tail\ntail\ntail\ntail\n";
    for (const char* folder : {"site", "real"}) {
        fs::create_directory(Dir() / folder);
        Make(std::string(folder) + "/crlf.txt", crlf + "old at the end");
        Make(std::string(folder) + "/short.txt", "old\nold");
        Make(std::string(folder) + "/long.txt", longRun);
        Make(std::string(folder) + "/nul.bin", std::string("old\0", 4));
        Make(std::string(folder) + "/wide.txt", std::string("\xFF\xFEo\0l\0d\0", 8));  // "old" in UTF-16LE
        Make(std::string(folder) + "/with space.txt", "an old name");           // (patch reads the name to its TAB)
        Make(std::string(folder) + "/tab\tquote\"back\\new\nline.txt", "old");  // quoted, as GNU diff does
        Make(std::string(folder) + "/trailing ", "old");                        // (not the file "trailing")
        Make(std::string(folder) + "/trailing", "keep");
        fs::create_symlink("crlf.txt", Dir() / folder / "a-link.txt");  // shown once, as crlf.txt
        // A second hard link: a file of its own, corrected under each name (the first correction
        // leaves the other name as it was), so shown under each.
        fs::create_hard_link(Dir() / folder / "short.txt", Dir() / folder / "z-hard.txt");
    }
    EXPECT_EQ(Run({"-s", "old", "-r", "new\nline", (Dir() / "real").string()}), 0);
    const fs::path kept = fs::current_path();
    fs::current_path(Dir());
    EXPECT_EQ(Run({"--diff", "-s", "old", "-r", "new\nline", "site"}), 1);  // the UTF-16 file: not as text
    fs::current_path(kept);
    EXPECT_NE(err_.find("site/wide.txt: not shown as text"), std::string::npos) << err_;
    EXPECT_NE(out_.find("Binary file site/wide.txt: 1 replacement\n"), std::string::npos) << out_;
    // Each name followed by a TAB and its time, as GNU diff writes it.
    const auto header = out_.find("--- a/site/crlf.txt\t");
    ASSERT_NE(header, std::string::npos) << out_;
    const std::string time = out_.substr(header + 20, out_.find('\n', header) - header - 20);
    EXPECT_EQ(time.size(), std::string("2026-12-08 00:44:35.123456789 +0100").size()) << time;
    EXPECT_NE(out_.find("--- a/site/crlf.txt\t" + time + "\n+++ b/site/crlf.txt\t" + time +
                        "\n@@ -1,4 +1,5 @@\n-line 0 old\r\n+line 0 new\n"),
              std::string::npos)
        << out_;
    EXPECT_EQ(out_.find("nul.bin"), std::string::npos) << out_;  // binary: left alone, as by the run
    EXPECT_EQ(out_.find("a-link.txt"), std::string::npos) << out_;
    EXPECT_EQ(out_.find("--- a/site/crlf.txt"), out_.rfind("--- a/site/crlf.txt")) << out_;
    EXPECT_EQ(out_.find("--- a/site/short.txt"), out_.rfind("--- a/site/short.txt")) << out_;
    EXPECT_NE(out_.find("--- a/site/z-hard.txt"), std::string::npos) << out_;
    EXPECT_EQ(ReadBytes(Dir() / "site/short.txt"), "old\nold");  // nothing changed
    test::WriteBytes(Dir() / "d.patch", out_);
    ASSERT_TRUE(test::Shell("cd '" + Dir().string() + "' && patch -s -p1 -i d.patch"));
    EXPECT_NE(out_.find("--- \"a/site/tab\\tquote\\\"back\\\\new\\nline.txt\"\t"), std::string::npos) << out_;
    for (const char* name : {"crlf.txt", "long.txt", "short.txt", "with space.txt", "z-hard.txt",
                             "tab\tquote\"back\\new\nline.txt", "trailing ", "trailing"})
        EXPECT_EQ(ReadBytes(Dir() / "site" / name), ReadBytes(Dir() / "real" / name)) << name;
    EXPECT_EQ(ReadBytes(Dir() / "real/z-hard.txt"), "new\nline\nnew\nline");

    Make("c.txt", "old");
    EXPECT_EQ(Run({"--diff", "--color=always", "-s", "old", "-r", "new", (Dir() / "c.txt").string()}), 0);
    EXPECT_NE(out_.find("\033[31m-old\033[m\n\\ No newline at end of file\n\033[32m+new"), std::string::npos) << out_;
    EXPECT_EQ(Run({"--diff", "--color=sometimes", "-s", "old", "-r", "new", Dir().string()}), 2);
}

// Several pairs from -s/-r and from a pairs file: one pass, each pair's count
// in JSON; the diff of a run with pairs patches exactly; the errors named.
TEST_F(CliTest, SeveralPairs) {
    const std::string text = "cat and dog\r\nthe catalog\tof\\cats\n";
    const auto a = Make("a.txt", text);
    EXPECT_EQ(
        Run({"--json", "-s", "cat", "-r", "dog", "-s", "dog", "-r", "cat", "-s", "catalog", "-r", "list", a.string()}),
        0);
    EXPECT_EQ(ReadBytes(a), "dog and cat\r\nthe list\tof\\dogs\n");
    EXPECT_NE(out_.find("\"replacements\":4,\"encodings\":[\"utf-8\",\"windows-1252\"],\"pairs\":[2,1,1]}"),
              std::string::npos)
        << out_;
    EXPECT_EQ(Run({"-r", "cat", "-s", "dog", a.string()}), 0);  // one pair: in either order, as ever
    EXPECT_EQ(out_, "corrected\t" + a.string() + "\t2" + kAscii + "\n");

    // The pairs file: a byte-order mark, comments, empty lines, CR LF, escapes.
    Make("p.tsv", "\xEF\xBB\xBF# site move\r\n\r\ncatalog\\tof\tCAT\\\\TAB\r\ns\\\\\t\\n\r\nthe\t\r\n");
    Make("b.txt", text + "s\\");
    EXPECT_EQ(Run({"--pairs", (Dir() / "p.tsv").string(), (Dir() / "b.txt").string()}), 0);
    EXPECT_EQ(ReadBytes(Dir() / "b.txt"), "cat and dog\r\n CAT\\TAB\\cats\n\n");

    // The same run as a diff, and patch makes what the run made.
    fs::create_directory(Dir() / "site");
    Make("site/c.txt", text + "s\\");
    const fs::path kept = fs::current_path();
    fs::current_path(Dir());
    EXPECT_EQ(Run({"--diff", "--pairs", "p.tsv", "site"}), 0);
    fs::current_path(kept);
    test::WriteBytes(Dir() / "d.patch", out_);
    ASSERT_TRUE(test::Shell("cd '" + Dir().string() + "' && patch -s -p1 -i d.patch"));
    EXPECT_EQ(ReadBytes(Dir() / "site/c.txt"), ReadBytes(Dir() / "b.txt"));

    const std::pair<std::string, std::string> bad[] = {
        {"a\tb\nc d\n", "line 2: no TAB between the search and the replace string"},
        {"a\tb\n\tc\n", "line 2: the search string is empty"},
        {"a\tb\n#\nx\ty\na\tc\n", "line 4: the search string of line 1 again"},
        {"a\\x\tb\n", "line 1: unknown escape '\\x'"},
        {"a\tb\tx\n", "line 1: 'x' after the second TAB: the switches are i (any case), w (whole words) and c"},
        {"a\tb\tcic\n", "line 1: 'cic' after the second TAB"},
        {"a\tb\tii\n", "line 1: 'ii' after the second TAB"},
        {"a\tb\ti\tw\n", "line 1: more than two TABs"},
        {"a\t\xFF\n", "line 1: not valid UTF-8 text"},
        {"# nothing\n", "holds no pair"},
    };
    for (const auto& [content, message] : bad) {
        Make("bad.tsv", content);
        EXPECT_EQ(Run({"--pairs", (Dir() / "bad.tsv").string(), a.string()}), 2) << content;
        EXPECT_NE(err_.find("--pairs '" + (Dir() / "bad.tsv").string() + "': " + message), std::string::npos) << err_;
    }
    const std::pair<std::vector<std::string>, std::string> usage[] = {
        {{"-s", "a", "-s", "b", "-r", "c"}, "-s 'a' has no -r after it"},
        {{"-s", "a", "-r", "b", "-s", "c"}, "-s 'c' has no -r after it"},
        {{"-s", "a", "-r", "b", "-r", "c"}, "-r 'c' has no -s before it"},
        {{"-s", "a", "-r", "b", "-s", "a", "-r", "c"}, "the search string 'a' is given twice"},
        {{"-s", "a", "-r", "b", "-s", "", "-r", "c"}, "the search string of pair 2 is empty"},
        {{"--pairs", "p.tsv", "-s", "a", "-r", "b"}, "--pairs takes the place of -s and -r"},
        {{"--pairs", (Dir() / "none.tsv").string()}, "--pairs: cannot read"},
    };
    for (auto [args, message] : usage) {
        args.push_back(a.string());
        EXPECT_EQ(Run(args), 2) << message;
        EXPECT_NE(err_.find(message), std::string::npos) << err_;
    }
    EXPECT_EQ(ReadBytes(a), "cat and cat\r\nthe list\tof\\cats\n");  // as the second run left it

    // A colour starting with '#': written \#; left as a comment, its TAB is warned of.
    Make("colours.css", "a { color: #ff0000 } b { color: #00ff00 }");
    Make("colours.tsv", "\\#ff0000\t#cc0000\n#00ff00\t#00cc00\n");
    EXPECT_EQ(Run({"--pairs", (Dir() / "colours.tsv").string(), (Dir() / "colours.css").string()}), 0) << err_;
    EXPECT_EQ(ReadBytes(Dir() / "colours.css"), "a { color: #cc0000 } b { color: #00ff00 }");
    EXPECT_NE(err_.find("colours.tsv': line 2: a comment holding a TAB is skipped; to replace a string that starts "
                        "with '#', write '\\#'"),
              std::string::npos)
        << err_;
}

// Check mode classifies every file, in name order, and changes nothing.
TEST_F(CliTest, CheckListsVerdicts) {
    Make("a.txt", "old");
    Make("b.txt", "new");
    Make("c.txt", "neither");
    const std::string d = Dir().string();
    EXPECT_EQ(Run({"--check", "-s", "old", "-r", "new", d}), 0);
    EXPECT_EQ(out_, "to-correct\t" + d + "/a.txt" + kAscii + "\nalready-corrected\t" + d + "/b.txt\nunknown\t" + d +
                        "/c.txt\n");
    EXPECT_EQ(ReadBytes(Dir() / "a.txt"), "old");
    EXPECT_NE(err_.find("3 files"), std::string::npos);
}

// Correcting a folder with backups: counts per file, backups made and later left alone.
TEST_F(CliTest, CorrectsFolderWithBackups) {
    Make("a.txt", "old old");
    Make("b.txt", "new");
    const std::string d = Dir().string();
    EXPECT_EQ(Run({"--search=old", "--replace=new", "--backup", d}), 0);
    EXPECT_EQ(out_, "corrected\t" + d + "/a.txt\t2" + kAscii + "\nalready-corrected\t" + d + "/b.txt\n");
    EXPECT_EQ(ReadBytes(Dir() / "a.txt.bak"), "old old");

    EXPECT_EQ(Run({"-s", "new", "-r", "x", "-b", d}), 0);
    EXPECT_EQ(out_, "corrected\t" + d + "/a.txt\t2" + kAscii + "\nbackup\t" + d + "/a.txt.bak\ncorrected\t" + d +
                        "/b.txt\t1" + kAscii + "\n");
    EXPECT_EQ(ReadBytes(Dir() / "a.txt.bak"), "new new");
}

// Past one group of rewrites, lines still come one per file in listing order.
TEST_F(CliTest, ManyFilesInListingOrder) {
    std::string expected;
    for (int i = 100; i < 175; ++i) {
        const std::string name = "f" + std::to_string(i) + ".txt";
        Make(name, i % 3 ? "old" : "other");
        expected +=
            (i % 3 ? "corrected\t" : "unknown\t") + (Dir() / name).string() + (i % 3 ? "\t1" + kAscii + "\n" : "\n");
    }
    // The same records for any number of workers, more than the files of a group included.
    for (const char* jobs : {"1", "3", "40"}) {
        for (int i = 100; i < 175; ++i)
            if (i % 3) Make("f" + std::to_string(i) + ".txt", "old");
        EXPECT_EQ(Run({"-j", jobs, "-s", "old", "-r", "new", Dir().string()}), 0);
        EXPECT_EQ(out_, expected) << "-j " << jobs;
    }
    EXPECT_EQ(Run({"-j", "0", "-s", "old", "-r", "new", Dir().string()}), 2);
}

// A single file path is printed as given; other extensions work with -bEXT.
TEST_F(CliTest, SingleFile) {
    const auto file = Make("page.htm", "old");
    EXPECT_EQ(Run({"-s", "old", "-r", "new", "-borig", file.string()}), 0);
    EXPECT_EQ(out_, "corrected\t" + file.string() + "\t1" + kAscii + "\n");
    EXPECT_EQ(ReadBytes(Dir() / "page.htm.orig"), "old");
}

// Cyrillic arguments (UTF-8 on the command line) against a Windows-1251 file.
TEST_F(CliTest, Cp1251Encoding) {
    const auto file = Make("ru.htm", "\xEC\xE8\xF0 \x98");  // "мир" and the undefined byte
    setenv("LC_ALL", "C.UTF-8", 1);
    EXPECT_EQ(Run({"-E", "CP1251", "-s", "мир", "-r", "свет", file.string()}), 0);
    unsetenv("LC_ALL");
    EXPECT_EQ(ReadBytes(file), "\xF1\xE2\xE5\xF2 \x98");
}

// A file that cannot be corrected is a failed line and exit status 1.
TEST_F(CliTest, FailureGivesExitOne) {
    Make("a.txt", "old");
    const auto b = Make("b.txt", "old");
    fs::create_directory(Dir() / "b.txt.bak");
    const std::string d = Dir().string();
    EXPECT_EQ(Run({"-s", "old", "-r", "new", "-b", d}), 1);
    EXPECT_EQ(out_, "corrected\t" + d + "/a.txt\t1" + kAscii + "\nfailed\t" + d +
                        "/b.txt\tbackup path b.txt.bak is not a regular file\n");
    EXPECT_EQ(ReadBytes(b), "old");
}

// -R over a tree with masks, several PATHs and a NUL list from standard
// input: each file once, in the order given and the tree's order.
TEST_F(CliTest, TreesMasksAndLists) {
    const std::string d = Dir().string();
    for (const char* name : {"site/b.htm", "site/a.css", "site/img/c.htm", "site/.svn/d.htm", "site/sub/e.HTM",
                             "other/f.htm", "other/g.txt"}) {
        fs::create_directories((Dir() / name).parent_path());
        Make(name, "old");
    }
    EXPECT_EQ(Run({"-R", "--check", "-s", "old", "-r", "new", "--include", "*.htm", "--exclude-dir", "img", d + "/site",
                   d + "/site/sub", d + "/other/g.txt"}),
              0)
        << err_;
    EXPECT_EQ(out_, "to-correct\t" + d + "/site/b.htm" + kAscii + "\nto-correct\t" + d + "/site/sub/e.HTM" + kAscii +
                        "\nto-correct\t" + d + "/other/g.txt" + kAscii + "\n");
    // Without -R only the folder's own files; names from a NUL list after the PATHs.
    EXPECT_EQ(Run({"-s", "old", "-r", "new", "--files0-from", "-", d + "/site"},
                  d + "/other/f.htm" + std::string(1, '\0') + d + "/site/img/c.htm"),
              0)
        << err_;
    std::string corrected;
    for (const char* name : {"/site/a.css", "/site/b.htm", "/other/f.htm", "/site/img/c.htm"})
        corrected += "corrected\t" + d + name + "\t1" + kAscii + "\n";
    EXPECT_EQ(out_, corrected);
    EXPECT_EQ(ReadBytes(Dir() / "site/.svn/d.htm"), "old");
    // Names as find -print0 writes them: any byte but NUL, a missing one a failure of its own.
    std::string list;
    for (const std::string name : {"new\nline.htm", "tab\t.htm", " space.htm", "-dash.htm", "\xff\xfe.htm"}) {
        Make(name, "old");
        list += d + "/" + name + '\0';
    }
    list += d + "/gone.htm";
    EXPECT_EQ(Run({"-z", "-s", "old", "-r", "new", "--files0-from", "-"}, list), 1) << err_;
    EXPECT_EQ(std::count(out_.begin(), out_.end(), '\0'), 5 * 4 + 3) << out_;
    EXPECT_NE(out_.find(std::string("corrected") + '\0' + d + "/\xff\xfe.htm"), std::string::npos);
    EXPECT_EQ(ReadBytes(Dir() / "new\nline.htm"), "new");
    EXPECT_EQ(Run({"-s", "old", "-r", "new", "--files0-from", "-"}, "a" + std::string(2, '\0') + "b"), 2);
    EXPECT_NE(err_.find("name 2 is empty"), std::string::npos) << err_;
}

// A folder of the tree that cannot be entered (run as another user: root
// enters everything): a failed record naming it, in JSON too, exit 1, and the
// rest of the tree checked.
TEST_F(CliTest, FolderThatCannotBeEntered) {
    fs::create_directories(Dir() / "site/a-locked");
    fs::create_directories(Dir() / "site/b");
    Make("site/a-locked/x.htm", "old");
    Make("site/b/y.htm", "old");
    fs::permissions(Dir(), fs::perms::all);
    fs::permissions(Dir() / "site/a-locked", fs::perms::none);
    const test::ChildResult child = test::RunAsNobody([&] {
        std::ostringstream out, err;
        const int rc =
            cli::Run({"--json", "-R", "--check", "-s", "old", "-r", "new", (Dir() / "site").string()}, out, err);
        // A file in it, named: failed the same way, not a mistake in the command.
        std::ostringstream fileOut;
        const int fileRc = cli::Run({"-s", "old", "-r", "new", (Dir() / "site/a-locked/x.htm").string()}, fileOut, err);
        return std::pair{rc * 10 + fileRc, out.str() + fileOut.str()};
    });
    fs::permissions(Dir() / "site/a-locked", fs::perms::owner_all);
    EXPECT_EQ(child.status, 11);
    const std::string& out = child.output;
    const std::string d = Dir().string();
    const std::size_t summary = out.find("{\"summary\"");
    EXPECT_EQ(out.substr(0, summary),
              "{\"path\":\"" + d + "/site/a-locked\",\"result\":\"failed\",\"reason\":\"cannot list folder: " +
                  "Permission denied\"}\n{\"path\":\"" + d + "/site/b/y.htm\",\"result\":\"to-correct\"," +
                  "\"encodings\":[\"utf-8\",\"windows-1252\"]}\n");
    EXPECT_EQ(out.substr(out.find('\n', summary) + 1).rfind("failed\t" + d + "/site/a-locked/x.htm\t", 0), 0u) << out;
}

// Usage errors: exit status 2, a message naming the problem, nothing changed.
TEST_F(CliTest, UsageErrors) {
    const auto file = Make("a.txt", "old");
    const std::string f = file.string();
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"-s", "old", "-r", "new"}, "no PATH"},
        {{"-s", "", "-r", "new", f}, "search string is empty"},
        {{"-r", "new", f}, "no search string"},
        {{"-s", "old", f}, "no replace string"},
        {{"-x", "-s", "old", "-r", "new", f}, "unknown option '-x'"},
        {{"-s", "old", "-r", "new", (Dir() / "missing").string()}, "no such file or folder"},
        {{"-s", "old", "-r", "new", f + "/"},
         "a.txt/': a file, not a folder (without the trailing / it names the file)"},
        {{"-E", "NOPE", "-s", "old", "-r", "new", f}, "unknown or unsupported encoding"},
        {{"-E", "CP1251", "-s", "old", "-r", "日本", f}, "cannot be written in CP1251"},
        {{"--backup=", "-s", "old", "-r", "new", f}, "backup extension is empty"},
        {{"-s", "old", "-r", "new", "--files0-from", (Dir() / "none").string()}, "--files0-from: cannot read"},
        {{"-s"}, "needs a value"},
    };
    for (const auto& [args, message] : cases) {
        EXPECT_EQ(Run(args), 2) << message;
        EXPECT_NE(err_.find(message), std::string::npos) << err_;
        EXPECT_EQ(out_, "");
    }
    EXPECT_EQ(ReadBytes(file), "old");
}

// Options as GNU tools take them: short ones bundled (-nR, -bR, with a value
// last: -Rs TEXT), a long one by any start that names only it, --opt=value;
// a near miss gets a suggestion, modes that exclude each other are named.
TEST_F(CliTest, OptionsAsGnuToolsTakeThem) {
    fs::create_directories(Dir() / "site/sub");
    Make("site/sub/a.txt", "old");
    const std::string site = (Dir() / "site").string();
    EXPECT_EQ(Run({"-nR", "-s", "old", "-r", "new", site}), 0) << err_;
    EXPECT_EQ(out_, "to-correct\t" + site + "/sub/a.txt" + kAscii + "\n");
    EXPECT_EQ(Run({"-bRsold", "--rep=new", "--no-u", site}), 0) << err_;
    EXPECT_EQ(ReadBytes(Dir() / "site/sub/a.txt.bak"), "old");
    EXPECT_EQ(Run({"-Rborig", "-s", "new", "-r", "newer", "--no-undo", site}), 0) << err_;  // -b's extension
    EXPECT_EQ(ReadBytes(Dir() / "site/sub/a.txt.orig"), "new");
    const std::pair<std::vector<std::string>, std::string> usage[] = {
        {{"--chek"}, "unknown option '--chek' (did you mean --check?)"},
        {{"--ex", "x"}, "option '--ex' is ambiguous: --exclude, --exclude-dir"},
        {{"-n", "--diff"}, "--check (-n) and --diff cannot be combined"},
        {{"--hidden=yes"}, "option --hidden takes no value"},
        {{"-nq"}, "unknown option '-q'"},
        {{"--undo", "--diff"}, "--undo and --diff cannot be combined"},
    };
    for (auto [args, message] : usage) {
        args.insert(args.end(), {"-s", "a", "-r", "b", site});
        EXPECT_EQ(Run(args), 2) << message;
        EXPECT_NE(err_.find(message), std::string::npos) << err_;
    }
}

// An options file supplies the strings and the backup switch; flags given win.
TEST_F(CliTest, OptionsFile) {
    const auto options =
        Make("options.ini", "[Main]\nSearchString=old\nReplaceString=new\nBackupCopy=1\nBackupExt=orig\n");
    const auto file = Make("a.txt", "old text");
    EXPECT_EQ(Run({"--options", options.string(), file.string()}), 0);
    EXPECT_EQ(ReadBytes(file), "new text");
    EXPECT_EQ(ReadBytes(Dir() / "a.txt.orig"), "old text");

    EXPECT_EQ(Run({"--options", options.string(), "-r", "newer", "--no-backup", "-s", "new", file.string()}), 0);
    EXPECT_EQ(ReadBytes(file), "newer text");
    EXPECT_EQ(ReadBytes(Dir() / "a.txt.orig"), "old text");

    EXPECT_EQ(Run({"--options", (Dir() / "none.ini").string(), file.string()}), 2);
    EXPECT_NE(err_.find("options file"), std::string::npos);
}

// An options file that cannot be used as it stands is refused, saying why,
// before any file is touched: a value the reader would cut, a NUL in a value,
// and paths that are no options file at all.
TEST_F(CliTest, UnusableOptionsFile) {
    const std::string search(258, 'S');
    const auto file = Make("a.txt", "keep: " + search.substr(0, 254) + "OTHER");
    const auto tooLong = Make("long.ini", "[Main]\nSearchString=" + search + "\nReplaceString=R\n");
    EXPECT_EQ(Run({"--options", tooLong.string(), file.string()}), 2);
    EXPECT_NE(err_.find("SearchString is longer than 254 characters"), std::string::npos) << err_;
    const auto nul = Make("nul.ini", std::string("[Main]\nSearchString=AA\0B\nReplaceString=R\n", 42));
    EXPECT_EQ(Run({"--options", nul.string(), file.string()}), 2);
    EXPECT_NE(err_.find("SearchString"), std::string::npos) << err_;
    EXPECT_EQ(ReadBytes(file), "keep: " + search.substr(0, 254) + "OTHER");
    EXPECT_EQ(Run({"--options", tooLong.string(), "-s", "keep", file.string()}), 0) << "given instead: " << err_;

    fs::create_directory(Dir() / "folder.ini");
    ASSERT_EQ(mkfifo((Dir() / "fifo.ini").c_str(), 0600), 0);
    fs::create_symlink("loop.ini", Dir() / "loop.ini");
    const std::pair<std::string, std::string> cases[] = {
        {(Dir() / "folder.ini").string(), "is a folder"},
        {(Dir() / "fifo.ini").string(), "is not a regular file"},
        {"/dev/zero", "is not a regular file"},
        {(Dir() / "loop.ini").string(), "Too many levels of symbolic links"},
    };
    for (const auto& [path, why] : cases) {
        EXPECT_EQ(Run({"--options", path, "-s", "x", "-r", "y", file.string()}), 2) << path;
        EXPECT_NE(err_.find(why), std::string::npos) << err_;
    }
}

// Paths and strings at the edges: a trailing separator, a name too long, a one-byte
// search string and one longer than the read buffer.
TEST_F(CliTest, HostilePathsAndStrings) {
    Make("a.txt", "x-x");
    EXPECT_EQ(Run({"-s", "x", "-r", "yy", Dir().string() + "/"}), 0);
    EXPECT_EQ(out_, "corrected\t" + Dir().string() + "/a.txt\t2" + kAscii + "\n");
    EXPECT_EQ(Run({"-s", "x", "-r", "y", (Dir() / std::string(300, 'n')).string()}), 2);
    EXPECT_NE(err_.find("File name too long"), std::string::npos) << err_;
    EXPECT_EQ(Run({"-s", "x", "-r", "y", (Dir() / "no" / "such" / "file").string()}), 2);
    EXPECT_NE(err_.find("no such file or folder"), std::string::npos) << err_;
    EXPECT_EQ(Run({"-s", "x", "-r", "y", "\"" + (Dir() / "a.txt").string() + "\""}), 2);

    const std::string big(70000, 'B');  // longer than one read
    const auto file = Make("big.txt", "<" + big + ">" + big);
    EXPECT_EQ(Run({"-s", big, "-r", "b", file.string()}), 0);
    EXPECT_EQ(ReadBytes(file), "<b>b");
}

TEST_F(CliTest, HelpAndVersion) {
    EXPECT_EQ(Run({"--version"}), 0);
    EXPECT_EQ(out_, "tarnwick-cli 1.00\n");
    EXPECT_EQ(Run({"--help"}), 0);
    EXPECT_NE(out_.find("Usage: tarnwick-cli"), std::string::npos);
}

// Records cannot be forged by names: unusual names are quoted, -z ends fields
// with NUL; a link beside its target is the same file; a second run finds the
// file already corrected; output that cannot be written ends with status 3.
TEST_F(CliTest, RecordsTellTheTruth) {
    const std::string d = Dir().string();
    Make("x\nfailed\tforged", "old");
    Make("a", "old");
    fs::create_symlink("a", Dir() / "b");
    EXPECT_EQ(Run({"-n", "-z", "-s", "old", "-r", "new", d}), 0);
    std::string nul;
    for (const std::string& field :
         std::vector<std::string>{"to-correct", d + "/a", "utf-8,windows-1252", "same-file", d + "/b", d + "/a",
                                  "to-correct", d + "/x\nfailed\tforged", "utf-8,windows-1252"})
        nul += field + '\0';
    EXPECT_EQ(out_, nul);
    EXPECT_EQ(Run({"-s", "old", "-r", "new", d}), 0);
    EXPECT_EQ(out_, "corrected\t" + d + "/a\t1" + kAscii + "\nsame-file\t" + d + "/b\t" + d + "/a\ncorrected\t\"" + d +
                        "/x\\nfailed\\tforged\"\t1" + kAscii + "\n");
    EXPECT_EQ(Run({"-s", "old", "-r", "new", d + "/a"}), 0);
    EXPECT_EQ(out_, "already-corrected\t" + d + "/a\n");

    Make("c", "new");
    std::ofstream full("/dev/full");
    std::ostringstream err;
    EXPECT_EQ(cli::Run({"-s", "new", "-r", "newer", d + "/c"}, full, err), 3);
    EXPECT_NE(err.str().find("cannot write the output: No space left on device"), std::string::npos) << err.str();
    // Whatever the command.
    for (const char* command : {"--help", "--version", "--history"}) {
        std::ofstream nowhere("/dev/full");
        std::ostringstream why;
        EXPECT_EQ(cli::Run({command}, nowhere, why), 3) << command;
        EXPECT_NE(why.str().find("tarnwick-cli: cannot write the output"), std::string::npos) << command;
    }
}

// Double-byte code pages match on character boundaries; stateful ones are
// refused before anything changes. A Japanese locale looks in CP932 besides UTF-8.
TEST_F(CliTest, DoubleByteCodePages) {
    Make("a.txt", "\x95\x5C \\");  // 表 (95 5C), then a backslash of its own
    for (const char* name : {"SHIFT_JIS", "CP932", "BIG5", "GBK", "GB18030", "CP949", "EUC-JP"}) {
        EXPECT_EQ(Run({"-n", "-E", name, "-s", "\\", "-r", "/", Dir().string()}), 0) << name << err_;
        std::string label = name;  // the name in lower case
        for (char& c : label) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        EXPECT_EQ(out_, "to-correct\t" + (Dir() / "a.txt").string() + "\t" + label + "\n") << name;
    }
    EXPECT_EQ(Run({"-E", "ISO-2022-JP", "-s", "\\", "-r", "/", Dir().string()}), 2);
    EXPECT_NE(err_.find("stateful ones such as ISO-2022-JP are not"), std::string::npos) << err_;
    EXPECT_EQ(ReadBytes(Dir() / "a.txt"), "\x95\x5C \\");
    setenv("LC_ALL", "ja_JP.UTF-8", 1);
    EXPECT_EQ(Run({"-s", "\\", "-r", "/", Dir().string()}), 0) << err_;
    EXPECT_EQ(out_, "corrected\t" + (Dir() / "a.txt").string() + "\t1\tcp932\n");
    EXPECT_EQ(ReadBytes(Dir() / "a.txt"), "\x95\x5C /");
}

// Binary files get a record of their own and are counted; --binary lets them in.
TEST_F(CliTest, BinaryFiles) {
    const std::string image("\x89PNG\0\0old\0", 10);
    Make("a.png", image);
    Make("b.txt", "old");
    const std::string d = Dir().string();
    EXPECT_EQ(Run({"-s", "old", "-r", "new", d}), 0);
    EXPECT_EQ(out_, "binary\t" + d + "/a.png\ncorrected\t" + d + "/b.txt\t1\tutf-8,windows-1252\n");
    EXPECT_NE(err_.find("1 binary, "), std::string::npos) << err_;
    EXPECT_EQ(ReadBytes(Dir() / "a.png"), image);
    EXPECT_EQ(Run({"--json", "-n", "-s", "new", "-r", "old", d}), 0);
    EXPECT_NE(out_.find("{\"path\":\"" + d + "/a.png\",\"result\":\"binary\"}\n"), std::string::npos) << out_;
    EXPECT_NE(out_.find("\"binary\":1,"), std::string::npos) << out_;
    // The diff cannot carry it: named, counted, and the exit status says so.
    EXPECT_EQ(Run({"--diff", "--binary", "-s", "old", "-r", "new", d}), 1);
    EXPECT_EQ(out_, "Binary file " + d + "/a.png: 1 replacement\n");
    EXPECT_NE(err_.find(d + "/a.png: not shown as text"), std::string::npos) << err_;
    EXPECT_NE(err_.find("\ntarnwick-cli: 1 file is not shown as text: patch will not change it\n"), std::string::npos)
        << err_;
    EXPECT_EQ(Run({"--binary", "-s", "old", "-r", "new", d}), 0);
    EXPECT_EQ(ReadBytes(Dir() / "a.png"), std::string("\x89PNG\0\0new\0", 10));
    // Taken in, binary data has no code page: no page is decided for it, and
    // a byte that would lead a double-byte character leads nothing.
    const std::string data("\x89PNG\0\x83{{x}\0\x95{{", 14);
    for (const std::vector<std::string>& page : {std::vector<std::string>{}, {"-E", "CP932"}}) {
        Make("a.png", data);
        std::vector<std::string> args = page;
        args.insert(args.end(), {"--binary", "-s", "{{", "-r", "<%", (Dir() / "a.png").string()});
        EXPECT_EQ(Run(args), 0) << out_;
        EXPECT_EQ(ReadBytes(Dir() / "a.png"), std::string("\x89PNG\0\x83<%x}\0\x95<%", 14)) << out_;
    }
}

// Two names of one file are found across the whole run, not only among
// files rewritten together: a link named after 40 others is still same-file.
// A file reached first through a link is told as itself, corrected under its
// own name with its own backup, the link after it; its own name comes no more.
// Wherever a batch of the run ends (-j 1 and groups of 128, checks of 1,024),
// in a run and in a check alike.
TEST_F(CliTest, LinkFarFromItsTarget) {
    const std::string d = Dir().string();
    for (int i = 10; i < 50; ++i) Make("f" + std::to_string(i), "old");
    fs::create_symlink("f10", Dir() / "zz_sym");
    fs::create_symlink(Dir() / "zz_target", Dir() / "a_sym");
    Make("zz_target", "old");
    EXPECT_EQ(Run({"-b", "-s", "old", "-r", "new", d}), 0) << err_;
    EXPECT_NE(out_.find("same-file\t" + d + "/zz_sym\t" + d + "/f10\n"), std::string::npos) << out_;
    EXPECT_EQ(out_.find("corrected\t" + d + "/zz_target\t1" + kAscii + "\nsame-file\t" + d + "/a_sym\t" + d +
                        "/zz_target\ncorrected\t" + d + "/f10\t"),
              0u)
        << out_;
    EXPECT_EQ(std::count(out_.begin(), out_.end(), '\n'), 43) << out_;
    EXPECT_EQ(ReadBytes(Dir() / "f10"), "new");
    EXPECT_EQ(ReadBytes(Dir() / "zz_target.bak"), "old");
    EXPECT_FALSE(fs::exists(Dir() / "a_sym.bak"));

    // 20 folders of 60 files, a link in each to a file of the folder before:
    // whichever batch each lands in, every link is another name of its file.
    fs::create_directory(Dir() / "tree");
    for (int f = 0; f < 20; ++f) {
        const fs::path folder = Dir() / "tree" / ("d" + std::to_string(10 + f));
        fs::create_directory(folder);
        for (int i = 0; i < 60; ++i) test::WriteBytes(folder / ("p" + std::to_string(10 + i)), "old");
        if (f) fs::create_symlink("../d" + std::to_string(9 + f) + "/p10", folder / "link");
    }
    for (const std::string mode : {"check", "correct"}) {
        std::vector<std::string> args{"-R", "-j", "1", "-s", "old", "-r", "new", d + "/tree"};
        if (mode == "check") args.insert(args.begin(), "-n");
        EXPECT_EQ(Run(args), 0) << err_;
        std::size_t same = 0, taken = 0;
        for (std::size_t at = 0; (at = out_.find("same-file\t", at)) != std::string::npos; ++at) ++same;
        for (std::size_t at = 0;
             (at = out_.find(mode == "check" ? "to-correct\t" : "corrected\t", at)) != std::string::npos; ++at)
            ++taken;
        EXPECT_EQ(same, 19u) << mode;
        EXPECT_EQ(taken, 20u * 60) << mode;
    }
}

// A low open-file limit slows a run down but fails no file, with any -j, in a folder or a tree.
TEST_F(CliTest, LowOpenFileLimit) {
    // The exit code of a run in a child process allowed `files` open files.
    const auto runWithLimit = [](rlim_t files, std::vector<std::string> args) {
        const pid_t child = fork();
        if (child == 0) {
            const rlimit limit{files, files};
            setrlimit(RLIMIT_NOFILE, &limit);
            std::ostringstream out, err;
            _exit(cli::Run(args, out, err));
        }
        int status = 0;
        return child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };
    const std::string d = Dir().string();
    for (const char* jobs : {"1", "2", "4"}) {
        for (const rlim_t files : {64, 24}) {
            for (int i = 100; i < 200; ++i) Make("f" + std::to_string(i), "old " + std::to_string(i));
            EXPECT_EQ(runWithLimit(files, {"-j", jobs, "-b", "-s", "old", "-r", "new", d}), 0)
                << "-j " << jobs << ", limit " << files;
            for (int i = 100; i < 200; ++i) {
                const std::string name = "f" + std::to_string(i);
                ASSERT_EQ(ReadBytes(Dir() / name), "new " + std::to_string(i))
                    << name << ", -j " << jobs << ", limit " << files;
                ASSERT_EQ(ReadBytes(Dir() / (name + ".bak")), "old " + std::to_string(i));
                fs::remove(Dir() / (name + ".bak"));
            }
        }
    }
    // A tree of more folders than the run may keep open: those past its share are read by path.
    for (const rlim_t files : {64, 24}) {
        const auto file = [&](int f, int i) { return "t/d" + std::to_string(f) + "/f" + std::to_string(i); };
        for (int f = 0; f < 40; ++f) {
            fs::create_directories(Dir() / "t" / ("d" + std::to_string(f)));
            for (int i = 0; i < 3; ++i) Make(file(f, i), "old");
        }
        EXPECT_EQ(runWithLimit(files, {"-R", "--no-undo", "-s", "old", "-r", "new", d + "/t"}), 0)
            << "tree, limit " << files;
        for (int f = 0; f < 40; ++f)
            for (int i = 0; i < 3; ++i) ASSERT_EQ(ReadBytes(Dir() / file(f, i)), "new") << "limit " << files;
    }
}

}  // namespace
}  // namespace tarnwick

namespace tarnwick {
namespace {

// With backups, a file named beside another file named as its backup name
// (a.txt.bak beside a.txt) is that file's backup, as in a folder, wherever the
// two come in the list; where the backup name was corrected in an earlier
// batch, the file fails rather than put its backup in that file's place.
TEST_F(CliTest, NamedFileThatIsAnothersBackupName) {
    const std::string d = Dir().string();
    for (const std::size_t between : {std::size_t{3}, std::size_t{4200}}) {
        SCOPED_TRACE(between);
        const std::string s = "s" + std::to_string(between);
        fs::create_directory(Dir() / s);
        Make(s + "/a.txt.bak", "needle OLD");
        Make(s + "/a.txt", "needle A");
        std::string list = d + "/" + s + "/a.txt.bak" + '\0';
        for (std::size_t i = 0; i < between; ++i) {
            Make(s + "/f" + std::to_string(i), "needle");
            list += d + "/" + s + "/f" + std::to_string(i) + '\0';
        }
        list += d + "/" + s + "/a.txt";
        const int rc = Run({"-b", "-s", "needle", "-r", "R", "--files0-from", "-"}, list);
        if (between < 4096) {
            // One batch: the backup of a.txt replaces the older one, as a folder's would.
            EXPECT_EQ(rc, 0) << err_;
            EXPECT_NE(out_.find("backup\t" + d + "/" + s + "/a.txt.bak\n"), std::string::npos) << out_;
            EXPECT_EQ(ReadBytes(Dir() / s / "a.txt"), "R A");
            EXPECT_EQ(ReadBytes(Dir() / s / "a.txt.bak"), "needle A");
        } else {
            // a.txt.bak corrected long before a.txt came: a.txt is left alone.
            EXPECT_EQ(rc, 1) << err_;
            EXPECT_NE(out_.find("failed\t" + d + "/" + s + "/a.txt\tits backup would take the place of " + d + "/" + s +
                                "/a.txt.bak, a file this run corrected\n"),
                      std::string::npos)
                << out_.substr(out_.size() - 300);
            EXPECT_EQ(ReadBytes(Dir() / s / "a.txt"), "needle A");
            EXPECT_EQ(ReadBytes(Dir() / s / "a.txt.bak"), "R OLD");
        }
    }
}

// Names of --files0-from are read as the run goes: ten times the names take
// no more memory; the record for undo names the list and its count, not
// every name; an empty name past the first few thousand is a failure of its own.
TEST_F(CliTest, NamesFromAListAreStreamed) {
    fs::create_directory(Dir() / "site");
    std::string list;
    for (int i = 0; i < 5000; ++i) {
        const std::string name = "site/f" + std::to_string(i);
        Make(name, i % 500 ? "nothing" : "old");
        list += (Dir() / name).string() + '\0';
    }
    EXPECT_EQ(Run({"-s", "old", "-r", "new", "--files0-from", "-"}, list), 0) << err_;
    EXPECT_EQ(Run({"--history"}), 0);
    EXPECT_NE(out_.find("\t10\t-s old -r new --files0-from standard input (5000 names)\n"), std::string::npos) << out_;
    const auto peak = [&](int names) {
        {
            std::ofstream many(Dir() / "list", std::ios::binary | std::ios::trunc);
            for (int i = 0; i < names; ++i)
                many << (Dir() / "gone" / ("missing-" + std::to_string(i))).string() << '\0';
        }
        const pid_t child = fork();
        if (child == 0) {
            std::ofstream none("/dev/null");  // (the records are not kept)
            _exit(cli::Run({"-s", "old", "-r", "new", "--files0-from", (Dir() / "list").string()}, none, none) == 1
                      ? 0
                      : 1);
        }
        int status = 0;
        struct rusage usage {};
        ::wait4(child, &status, 0, &usage);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        return usage.ru_maxrss;  // KiB
    };
    [[maybe_unused]] const long few = peak(20000), many = peak(200000);
#ifndef __SANITIZE_ADDRESS__  // (which keeps what is freed for a while, to catch its use)
    EXPECT_LT(many - few, 4 * 1024) << few << " KiB, then " << many << " KiB";
#endif
    std::string late = list;
    late += std::string(1, '\0');
    EXPECT_EQ(Run({"-n", "-s", "old", "-r", "new", "--files0-from", "-"}, late), 1);
    EXPECT_NE(out_.find("failed\t\tname 5001 of the list is empty"), std::string::npos)
        << out_.substr(out_.size() - 200);
}

}  // namespace
}  // namespace tarnwick

namespace tarnwick {
namespace {

// Hidden files and folders are taken with --hidden (.htaccess,
// .well-known/), never the folders of version control nor the program's own
// temporary files.
TEST_F(CliTest, HiddenFilesWhenAsked) {
    const std::string d = Dir().string();
    for (const char* name : {"site/.htaccess", "site/.well-known/security.txt", "site/.git/config", "site/CVS/Root",
                             "site/page.htm", "site/.~tarnwick-1-00000000-00000000-1", "site/module/.git"}) {
        fs::create_directories((Dir() / name).parent_path());
        Make(name, "old.example.com");
    }
    EXPECT_EQ(Run({"-R", "-n", "-s", "old.example.com", "-r", "new.example.org", d + "/site"}), 0) << err_;
    EXPECT_EQ(out_, "to-correct\t" + d + "/site/page.htm" + kAscii + "\n");
    EXPECT_EQ(Run({"-R", "--hidden", "-s", "old.example.com", "-r", "new.example.org", d + "/site"}), 0) << err_;
    EXPECT_EQ(out_, "corrected\t" + d + "/site/.htaccess\t1" + kAscii + "\ncorrected\t" + d + "/site/page.htm\t1" +
                        kAscii + "\ncorrected\t" + d + "/site/.well-known/security.txt\t1" + kAscii + "\n");
    EXPECT_EQ(ReadBytes(Dir() / "site/.git/config"), "old.example.com");
    EXPECT_EQ(ReadBytes(Dir() / "site/CVS/Root"), "old.example.com");
    EXPECT_EQ(ReadBytes(Dir() / "site/module/.git"), "old.example.com");  // a submodule's: no page of the site
}

}  // namespace
}  // namespace tarnwick

namespace tarnwick {
namespace {

// Patterns end to end: a tree of UTF-8, windows-1251 and UTF-16 files, each
// matched as its own text; --diff makes what the run makes.
TEST_F(CliTest, PatternsInEveryEncoding) {
    for (const char* folder : {"site", "real"}) {
        fs::create_directory(Dir() / folder);
        Make(std::string(folder) + "/a.html", "<a href=\"http://old.example.com/x/y\">\r\nhttp://old.example.org/\n");
        Make(std::string(folder) + "/ru.txt",
             "\xC8\xE2\xE0\xED\xEE\xE2 \xCF\xB8\xF2\xF0\r\n\x98");  // "Иванов Пётр" CP1251
        Make(std::string(folder) + "/wide.txt", std::string("\xFF\xFE\x18\x04\x32\x04 \0\x1F\x04\x51\x04", 12));
        Make(std::string(folder) + "/done.txt", "https://www.example.org/");
        Make(std::string(folder) + "/nul.bin", std::string("http://old.example.com/\0", 24));
    }
    const std::vector<std::string> strings = {"-e",
                                              "--legacy",
                                              "CP1251",
                                              "-s",
                                              "http://old\\.example\\.(?:com|org)/",
                                              "-r",
                                              "https://www.example.org/",
                                              "-s",
                                              "(\\p{Cyrillic}+) (\\w+)",
                                              "-r",
                                              "$2 $1"};
    auto args = strings;
    args.insert(args.end(), {"--json", "-R", (Dir() / "real").string()});
    EXPECT_EQ(Run(args), 0) << err_;
    EXPECT_NE(
        out_.find("a.html\",\"result\":\"corrected\",\"replacements\":2,\"encodings\":[\"utf-8\"],\"pairs\":[2,0]"),
        std::string::npos)
        << out_;
    EXPECT_NE(out_.find("done.txt\",\"result\":\"already-corrected\""), std::string::npos) << out_;
    EXPECT_NE(out_.find("nul.bin\",\"result\":\"binary\""), std::string::npos) << out_;
    EXPECT_EQ(ReadBytes(Dir() / "real/a.html"),
              "<a href=\"https://www.example.org/x/y\">\r\nhttps://www.example.org/\n");
    EXPECT_EQ(ReadBytes(Dir() / "real/ru.txt"), "\xCF\xB8\xF2\xF0 \xC8\xE2\xE0\xED\xEE\xE2\r\n\x98");
    EXPECT_EQ(ReadBytes(Dir() / "real/wide.txt"), std::string("\xFF\xFE\x1F\x04\x51\x04 \0\x18\x04\x32\x04", 12));
    // The history says the strings were patterns; undo puts every file back.
    EXPECT_EQ(Run({"--history"}), 0);
    EXPECT_NE(out_.find("\t-e -s http://old"), std::string::npos) << out_;
    EXPECT_EQ(Run({"--undo"}), 0) << err_;
    EXPECT_EQ(ReadBytes(Dir() / "real/ru.txt"), ReadBytes(Dir() / "site/ru.txt"));
    EXPECT_EQ(Run(args), 0) << err_;

    args = strings;
    args.insert(args.end(), {"--diff", "-R", "site"});
    const fs::path kept = fs::current_path();
    fs::current_path(Dir());
    EXPECT_EQ(Run(args), 1);  // the UTF-16 file: not as text
    fs::current_path(kept);
    test::WriteBytes(Dir() / "d.patch", out_);
    ASSERT_TRUE(test::Shell("cd '" + Dir().string() + "' && patch -s -p1 -i d.patch"));
    for (const char* name : {"a.html", "ru.txt", "done.txt", "nul.bin"})
        EXPECT_EQ(ReadBytes(Dir() / "site" / name), ReadBytes(Dir() / "real" / name)) << name;
}

// A pattern that needs too much work fails its file within seconds; the run
// goes on with the next. A replacement the file's page cannot hold fails it, named.
TEST_F(CliTest, PatternFailuresAreTheFilesOwn) {
    Make("a-slow.txt", std::string(50000, 'a') + "b");
    Make("b-fine.txt", "aaa");
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Run({"-e", "-s", "(a+)+$", "-r", "x", (Dir() / "a-slow.txt").string(), (Dir() / "b-fine.txt").string()}),
              1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    EXPECT_NE(
        out_.find("failed\t" + (Dir() / "a-slow.txt").string() + "\tthe pattern needs too much work on this file"),
        std::string::npos)
        << out_;
    EXPECT_EQ(ReadBytes(Dir() / "b-fine.txt"), "x");
    EXPECT_EQ(ReadBytes(Dir() / "a-slow.txt"), std::string(50000, 'a') + "b");

    Make("ru.txt", "\xEC\xE8\xF0");  // "мир" in CP1251
    EXPECT_EQ(Run({"-e", "--legacy", "CP1251", "-s", "м(и)р", "-r", "$1漢", (Dir() / "ru.txt").string()}), 1);
    EXPECT_NE(out_.find("the replacement's character '漢' cannot be written in windows-1251"), std::string::npos)
        << out_;
    EXPECT_EQ(ReadBytes(Dir() / "ru.txt"), "\xEC\xE8\xF0");

    // A file whose page is only a guess, which a double-byte page would read
    // otherwise (0x5C inside a Shift_JIS character), is refused as for plain text.
    Make("sj.txt", "C:\\path \x95\x5C\x8E\xA6 end\n");
    EXPECT_EQ(Run({"-e", "-s", "\\\\", "-r", "/", (Dir() / "sj.txt").string()}), 1);
    EXPECT_NE(out_.find("could be in windows-1252, cp932"), std::string::npos) << out_;
    EXPECT_EQ(ReadBytes(Dir() / "sj.txt"), "C:\\path \x95\x5C\x8E\xA6 end\n");
}

// Mistakes in a pattern or its replacement are usage errors that name them; nothing is read.
TEST_F(CliTest, PatternMistakesAreUsageErrors) {
    Make("a.txt", "a1");
    const std::string a = (Dir() / "a.txt").string();
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"-s", "(a", "-r", "x"}, "the pattern is not valid at character 3: missing closing parenthesis"},
        {{"-s", "(a)", "-r", "\\1"}, "a backslash and a digit at character 1: write $N (or ${N}) for group N"},
        {{"-s", "(a)", "-r", "$2"}, "refers to group '2', which the pattern does not have"},
        {{"-s", "(?<n>a)", "-r", "${n}${m"}, "has '${' without '}' at character 5"},
        {{"-s", "", "-r", "x"}, "the search string is empty"},
        {{"-s", "a", "-r", "x", "-s", "(", "-r", "y"}, "the pattern of pair 2 is not valid"},
        {{"-s", "\\Ga", "-r", "x"}, "uses \\G at character 1, which is not supported"},
        {{"-s", "a\\C", "-r", "x"}, "the pattern is not valid at character 4"},  // (one code unit: half a character)
    };
    for (const auto& [strings, message] : cases) {
        std::vector<std::string> args = {"-e"};
        args.insert(args.end(), strings.begin(), strings.end());
        args.push_back(a);
        EXPECT_EQ(Run(args), 2) << message;
        EXPECT_NE(err_.find(message), std::string::npos) << err_;
    }
    EXPECT_EQ(ReadBytes(Dir() / "a.txt"), "a1");
}

}  // namespace
}  // namespace tarnwick

namespace tarnwick {
namespace {

// -i and -w on plain text: every case, whole words only, the record and the history say so.
TEST_F(CliTest, PlainTextInAnyCaseAsWholeWords) {
    Make("a.txt", "Москва МОСКВА москва Москвабад\n");
    Make("b.txt", "\xCC\xEE\xF1\xEA\xE2\xE0 \xCC\xCE\xD1\xCA\xC2\xC0\r\n");  // "Москва МОСКВА" in CP1251
    Make("c.txt", "Петербург");
    EXPECT_EQ(Run({"-i", "-w", "--legacy", "CP1251", "-s", "москва", "-r", "Петербург", "--json", Dir().string()}), 0)
        << err_;
    EXPECT_NE(out_.find("a.txt\",\"result\":\"corrected\",\"replacements\":3"), std::string::npos) << out_;
    EXPECT_NE(out_.find("c.txt\",\"result\":\"already-corrected\""), std::string::npos) << out_;
    EXPECT_EQ(ReadBytes(Dir() / "a.txt"), "Петербург Петербург Петербург Москвабад\n");
    EXPECT_EQ(ReadBytes(Dir() / "b.txt"),
              "\xCF\xE5\xF2\xE5\xF0\xE1\xF3\xF0\xE3 \xCF\xE5\xF2\xE5\xF0\xE1\xF3\xF0\xE3\r\n");
    EXPECT_EQ(Run({"--history", "--json"}), 0);
    EXPECT_NE(out_.find("\"ignore-case\":true,\"word\":true"), std::string::npos) << out_;
    EXPECT_EQ(Run({"--undo"}), 0) << err_;
    EXPECT_EQ(ReadBytes(Dir() / "a.txt"), "Москва МОСКВА москва Москвабад\n");
    // A pair's own switches, after a second TAB of a --pairs line: only that pair matches so.
    Make("d.txt", "Cat cat Dog dog");
    Make("pairs.tsv", "cat\tlion\ti\ndog\twolf\n");
    EXPECT_EQ(Run({"--pairs", (Dir() / "pairs.tsv").string(), (Dir() / "d.txt").string()}), 0) << err_;
    EXPECT_EQ(ReadBytes(Dir() / "d.txt"), "lion lion Dog wolf");
    // UTF-8 with a stray byte is matched as UTF-8, as plain text is; no code page is guessed for it.
    Make("e.txt", "Привет мир Привет мир Привет мир \xA0 Foo\n");
    EXPECT_EQ(Run({"-i", "-s", "МИР", "-r", "bar", (Dir() / "e.txt").string()}), 0) << out_ << err_;
    EXPECT_EQ(ReadBytes(Dir() / "e.txt"), "Привет bar Привет bar Привет bar \xA0 Foo\n");
}

// --preserve-case: each replacement in its occurrence's case shape, in UTF-8
// and UTF-16 alike; a pair's own c; the history says so; refused with -e.
TEST_F(CliTest, PreserveCase) {
    Make("a.txt", "москва Москва МОСКВА\nfoo_bar FooBar\n");
    Make("u.txt", std::string("\xFF\xFEM\0o\0s\0c\0o\0w\0 \0M\0O\0S\0C\0O\0W\0", 28));
    Make("pairs.tsv", "москва\tпетербург\tc\nfoo_bar\tnew_name\tc\nfoobar\tnewName\tc\nmoscow\tkyiv\n");
    EXPECT_EQ(Run({"--pairs", (Dir() / "pairs.tsv").string(), (Dir() / "a.txt").string()}), 0) << err_;
    EXPECT_EQ(ReadBytes(Dir() / "a.txt"), "петербург Петербург ПЕТЕРБУРГ\nnew_name NewName\n");
    EXPECT_EQ(Run({"--preserve-case", "-s", "moscow", "-r", "kyiv", (Dir() / "u.txt").string()}), 0) << err_;
    EXPECT_EQ(ReadBytes(Dir() / "u.txt"), std::string("\xFF\xFEK\0y\0i\0v\0 \0K\0Y\0I\0V\0", 20));
    EXPECT_EQ(Run({"--history"}), 0);
    EXPECT_NE(out_.find("--preserve-case -s moscow -r kyiv"), std::string::npos) << out_;
    EXPECT_EQ(Run({"-e", "--preserve-case", "-s", "a+", "-r", "b", (Dir() / "a.txt").string()}), 2);
    EXPECT_NE(err_.find("--preserve-case (a pair's c) is for plain text"), std::string::npos) << err_;
}

// -I: each occurrence shown and answered; a file is written once with what
// was taken; q keeps the files answered before it; without a terminal, a
// usage error; through a real terminal, the same.
TEST_F(CliTest, InteractiveReview) {
    const auto a = Make("a.txt", "one foo\ntwo foo foo\n"), b = Make("b.txt", "foo foo"), c = Make("c.txt", "foo");
    EXPECT_EQ(Run({"-I", "--color", "never", "-s", "foo", "-r", "X", a.string(), b.string(), c.string()},
                  "y\n?\nn\ny\nd\na\n", true),
              0)
        << err_;
    EXPECT_EQ(ReadBytes(a), "one X\ntwo foo X\n");
    EXPECT_EQ(ReadBytes(b), "foo foo");
    EXPECT_EQ(ReadBytes(c), "X");
    EXPECT_NE(err_.find("@@ line 2 @@\n-two foo foo\n+two foo X\n"), std::string::npos) << err_;
    EXPECT_NE(err_.find("d - leave it and every later one in this file"), std::string::npos);
    EXPECT_NE(out_.find("left\t" + b.string() + "\t2"), std::string::npos) << out_;
    EXPECT_NE(err_.find("2 corrected (3 occurrences taken, 3 left), 1 left as they were"), std::string::npos) << err_;
    // q at the second file: the first is written, nothing after it.
    Make("a.txt", "foo"), Make("b.txt", "foo"), Make("c.txt", "foo");
    EXPECT_EQ(Run({"-I", "-s", "foo", "-r", "X", a.string(), b.string(), c.string()}, "y\nq\n", true), 0) << err_;
    EXPECT_EQ(ReadBytes(a) + ReadBytes(b) + ReadBytes(c), "Xfoofoo");
    // A: everything left, unasked; the record for undo holds what was written.
    EXPECT_EQ(Run({"-I", "-s", "foo", "-r", "Y", b.string(), c.string()}, "A\n", true), 0) << err_;
    EXPECT_EQ(ReadBytes(b) + ReadBytes(c), "YY");
    EXPECT_EQ(Run({"--undo"}), 0) << err_;
    EXPECT_EQ(ReadBytes(b) + ReadBytes(c), "foofoo");
    // What is shown cannot drive the terminal: control characters as their pictures; a change
    // over two lines shown line by line; -z gives a left file's count too.
    const auto evil = Make("evil.txt", "top\nsafe foo \x1b[2K\r tail\na\nb zz\n");
    EXPECT_EQ(Run({"-I", "-z", "--color", "never", "-s", "foo", "-r", "X", "-s", "a\nb", "-r", "Y", evil.string()},
                  "n\nn\n", true),
              0)
        << err_;
    EXPECT_NE(err_.find("-safe foo \u241B[2K\u240D tail\n"), std::string::npos) << err_;
    EXPECT_EQ(err_.find("\x1b[2K"), std::string::npos);
    EXPECT_NE(err_.find("@@ line 3 @@\n-a\n-b zz\n+Y zz\n"), std::string::npos) << err_;
    EXPECT_NE(out_.find(std::string("left\0", 5) + evil.string() +
                        std::string("\0"
                                    "2\0",
                                    3)),
              std::string::npos);
    EXPECT_EQ(Run({"-I", "-s", "foo", "-r", "X", a.string()}, "y\n", false), 2);
    EXPECT_NE(err_.find("--interactive needs a terminal on standard input"), std::string::npos) << err_;
    // A real terminal (script gives the program one).
    if (!test::Shell("command -v script >/dev/null")) GTEST_SKIP() << "no script(1)";
    const std::string cli = (fs::path(TARNWICK_CLI_PATH)).string();
    ASSERT_TRUE(test::Shell("cd '" + Dir().string() + "' && printf 'n\\ny\\n' | XDG_STATE_HOME=.state script -qec \"'" +
                            cli + "' -I -s foo -r Z b.txt c.txt\" /dev/null > pty.log 2>&1"));
    EXPECT_EQ(ReadBytes(b) + ReadBytes(c), "fooZ");
}

// Two trees of one name, each corrected from its own folder: --history names
// each by its absolute path, --history PATH shows the runs that touched it,
// --undo PATH undoes the newest of those, not the newest run of all.
TEST_F(CliTest, HistoryAndUndoByPath) {
    const fs::path one = Dir() / "one", two = Dir() / "two";
    fs::create_directories(one / "site");
    fs::create_directories(two / "site");
    const auto a = Make("one/site/a.txt", "old"), b = Make("two/site/a.txt", "old");
    const fs::path kept = fs::current_path();
    fs::current_path(one);
    EXPECT_EQ(Run({"-s", "old", "-r", "new", "site"}), 0) << err_;
    fs::current_path(two);
    EXPECT_EQ(Run({"-s", "old", "-r", "new", "site"}), 0) << err_;
    fs::current_path(one);
    EXPECT_EQ(Run({"--history", "site/a.txt"}), 0) << err_;
    const std::string touched = out_;
    EXPECT_EQ(Run({"--undo", "site"}), 0) << err_;
    fs::current_path(kept);
    EXPECT_NE(touched.find("-s old -r new " + (one / "site").string() + "\n"), std::string::npos) << touched;
    EXPECT_EQ(touched.find((two / "site").string()), std::string::npos) << touched;
    EXPECT_EQ(ReadBytes(a), "old");
    EXPECT_EQ(ReadBytes(b), "new");
    EXPECT_EQ(Run({"--undo", (one / "site").string()}), 2);
    EXPECT_NE(err_.find("no run that touched " + (one / "site").string() + " to undo"), std::string::npos) << err_;
}

}  // namespace
}  // namespace tarnwick
