// A project's ignore files, read as git reads them: the patterns and the
// examples of git's own documentation (gitignore(5)), and a walk that heeds them.

#include "engine/walk/IgnoreFiles.h"
#include "cli/Cli.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <sstream>

namespace tarnwick {
namespace {

namespace fs = std::filesystem;
using Verdict = IgnoreFile::Verdict;

Verdict Decide(std::string_view lines, std::string_view path, bool folder = false) {
    IgnoreFile file;
    file.Parse(lines);
    const std::size_t slash = path.rfind('/');
    return file.Decide(path, slash == std::string_view::npos ? path : path.substr(slash + 1), folder);
}

TEST(IgnoreFilesTest, Globs) {
    EXPECT_TRUE(GitGlob("*.html", "index.html"));
    EXPECT_FALSE(GitGlob("*.html", "docs/index.html"));  // "*" never crosses a "/"
    EXPECT_TRUE(GitGlob("hello.?", "hello.c"));
    EXPECT_FALSE(GitGlob("a?b", "a/b"));
    EXPECT_TRUE(GitGlob("[a-c]x", "bx"));
    EXPECT_FALSE(GitGlob("[!a-c]x", "bx"));
    EXPECT_TRUE(GitGlob("[^a-c]x", "dx"));
    EXPECT_TRUE(GitGlob("[[:digit:]]*", "7up"));
    EXPECT_TRUE(GitGlob("[]]", "]"));
    EXPECT_FALSE(GitGlob("[ab", "a"));  // an unclosed class matches nothing
    EXPECT_TRUE(GitGlob("\\*", "*"));
    EXPECT_FALSE(GitGlob("\\*", "x"));
    // "**" as a whole part spans folders; elsewhere it is "*".
    EXPECT_TRUE(GitGlob("**/foo", "foo"));
    EXPECT_TRUE(GitGlob("**/foo", "a/b/foo"));
    EXPECT_TRUE(GitGlob("**/foo/bar", "x/foo/bar"));
    EXPECT_TRUE(GitGlob("abc/**", "abc/x/y"));
    EXPECT_FALSE(GitGlob("abc/**", "abc"));
    EXPECT_TRUE(GitGlob("a/**/b", "a/b"));
    EXPECT_TRUE(GitGlob("a/**/b", "a/x/y/b"));
    EXPECT_FALSE(GitGlob("a/**/b", "a/x/y/c"));
    EXPECT_TRUE(GitGlob("a**b", "axxb"));
    EXPECT_FALSE(GitGlob("a**b", "ax/xb"));
    EXPECT_TRUE(GitGlob("*", ""));
    // Stars that could stop anywhere take time in proportion, not exponential time.
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(GitGlob("*a*a*a*a*a*a*a*a*a*a*a*a*x", std::string(60, 'a') + "b"));
    std::string deep;
    for (int i = 0; i < 3000; ++i) deep += "**/";
    EXPECT_FALSE(GitGlob(deep + "x.txt", "a/b/c/d/e/f/g/h/i/j/k/l/m/y.txt"));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}

TEST(IgnoreFilesTest, LinesAsGitReadsThem) {
    // Examples from gitignore(5).
    EXPECT_EQ(Decide("hello.*", "src/hello.c"), Verdict::Ignore);  // no "/": a name at any depth
    EXPECT_EQ(Decide("doc/frotz/", "doc/frotz", true), Verdict::Ignore);
    EXPECT_EQ(Decide("doc/frotz/", "a/doc/frotz", true), Verdict::None);  // a "/" inside: tied to the file's folder
    EXPECT_EQ(Decide("frotz/", "a/frotz", true), Verdict::Ignore);
    EXPECT_EQ(Decide("frotz/", "a/frotz", false), Verdict::None);  // a trailing "/": folders only
    EXPECT_EQ(Decide("foo/*", "foo/test.json"), Verdict::Ignore);
    EXPECT_EQ(Decide("foo/*", "foo/bar/hello.c"), Verdict::None);
    EXPECT_EQ(Decide("/bar", "bar"), Verdict::Ignore);
    EXPECT_EQ(Decide("/bar", "x/bar"), Verdict::None);
    EXPECT_EQ(Decide("bar", "x/bar"), Verdict::Ignore);
    // The last line that matches decides; "!" takes back.
    EXPECT_EQ(Decide("*.log\n!keep.log\n", "keep.log"), Verdict::Take);
    EXPECT_EQ(Decide("!keep.log\n*.log\n", "keep.log"), Verdict::Ignore);
    EXPECT_EQ(Decide("*.log\n!k*.log\n", "keep.log"), Verdict::Take);
    EXPECT_EQ(Decide("k*.log\n!keep.log\n*.log\n", "keep.log"), Verdict::Ignore);
    // Comments, quoted "#" and "!", trailing spaces unless quoted, CRLF lines.
    EXPECT_EQ(Decide("#file\n", "#file"), Verdict::None);
    EXPECT_EQ(Decide("\\#file\n", "#file"), Verdict::Ignore);
    EXPECT_EQ(Decide("\\!important!.txt\n", "!important!.txt"), Verdict::Ignore);
    EXPECT_EQ(Decide("name   \n", "name"), Verdict::Ignore);
    EXPECT_EQ(Decide("name\\ \n", "name "), Verdict::Ignore);
    EXPECT_EQ(Decide("name\\ \n", "name"), Verdict::None);
    EXPECT_EQ(Decide("a.txt\r\nb.txt\r\n", "b.txt"), Verdict::Ignore);
    EXPECT_EQ(Decide("*.tar.gz\n", "x/y.tar.gz"), Verdict::Ignore);
    EXPECT_EQ(Decide("*.gz\n", "x/y.tar.gz"), Verdict::Ignore);
    EXPECT_EQ(Decide("*.gz\n", "gz"), Verdict::None);
    EXPECT_EQ(Decide("docs/**/*.tmp\n", "docs/a/b/c.tmp"), Verdict::Ignore);
    // A byte-order mark (an editor on Windows) is no part of the first line.
    EXPECT_EQ(Decide("\xEF\xBB\xBF*.log\n", "y.log"), Verdict::Ignore);
}

// A walk of the command line heeds the ignore files as git does; --no-ignore
// and a file named as PATH take every file.
class IgnoreWalkTest : public test::TempDirTest {
protected:
    void SetUp() override {
        TempDirTest::SetUp();
        state_.emplace("XDG_STATE_HOME", (Dir() / ".state").c_str());
    }
    void TearDown() override {
        state_.reset();
        TempDirTest::TearDown();
    }
    // The files a check of `paths` lists, relative to the test's folder, one a line.
    std::string Listed(std::vector<std::string> args) {
        args.insert(args.begin(), {"--check", "-R", "-s", "old", "-r", "new"});
        std::ostringstream out, err;
        EXPECT_EQ(cli::Run(args, out, err, false, nullptr), 0) << err.str();
        std::string listed;
        std::istringstream lines(out.str());
        for (std::string line; std::getline(lines, line);) {
            const std::size_t tab = line.find('\t'), end = line.find('\t', tab + 1);
            listed += fs::path(line.substr(tab + 1, end - tab - 1)).lexically_relative(Dir()).generic_string() + "\n";
        }
        return listed;
    }
    // The file with its folders.
    void Put(const std::string& name, const std::string& bytes = "old") {
        fs::create_directories((Dir() / name).parent_path());
        Make(name, bytes);
    }
    std::optional<test::ScopedEnvironment> state_;
};

TEST_F(IgnoreWalkTest, RepositoryRules) {
    fs::create_directories(Dir() / "p/.git/info");
    Put("p/.git/info/exclude", "*.bak\n");
    Put("p/.gitignore", "node_modules/\n/build\n*.log\n!keep.log\n");
    for (const char* file :
         {"p/a.htm", "p/a.htm.bak", "p/x.log", "p/keep.log", "p/node_modules/m/i.js", "p/build/o.htm",
          "p/src/build/o.htm", "p/src/s.htm", "p/src/t.log", "p/src/u.tmp", "p/src/deep/v.tmp"})
        Put(file);
    // A nested file decides below its folder, before the files above it.
    Put("p/src/.gitignore", "*.tmp\n!t.log\n");
    // .ignore is heeded too, and before .gitignore.
    Put("p/src/deep/.ignore", "!v.tmp\n");
    const std::string p = (Dir() / "p").string();
    EXPECT_EQ(Listed({p}), "p/a.htm\np/keep.log\np/src/s.htm\np/src/t.log\np/src/build/o.htm\np/src/deep/v.tmp\n");
    // Started below the repository's top: the files above it still count.
    EXPECT_EQ(Listed({p + "/src"}), "p/src/s.htm\np/src/t.log\np/src/build/o.htm\np/src/deep/v.tmp\n");
    // Named, a file is taken whatever the rules say.
    EXPECT_EQ(Listed({p + "/x.log", p + "/a.htm.bak"}), "p/x.log\np/a.htm.bak\n");
    EXPECT_EQ(Listed({"--no-ignore", p}),
              "p/a.htm\np/a.htm.bak\np/keep.log\np/x.log\np/build/o.htm\np/node_modules/m/i.js\np/src/s.htm\n"
              "p/src/t.log\np/src/u.tmp\np/src/build/o.htm\np/src/deep/v.tmp\n");
}

TEST_F(IgnoreWalkTest, WhereGitignoreCounts) {
    // Outside a repository .gitignore is not heeded; .ignore is.
    Put("t/.gitignore", "*.log\n");
    Put("t/.ignore", "*.tmp\n");
    for (const char* file : {"t/a.log", "t/b.tmp", "t/c.htm"}) Put(file);
    EXPECT_EQ(Listed({(Dir() / "t").string()}), "t/a.log\nt/c.htm\n");
    // A repository inside another is a world of its own: the outer .gitignore stops at its top.
    fs::create_directories(Dir() / "outer/.git");
    fs::create_directories(Dir() / "outer/inner/.git");
    Put("outer/.gitignore", "*.htm\n");
    Put("outer/a.htm", "old");
    Put("outer/inner/b.htm", "old");
    EXPECT_EQ(Listed({(Dir() / "outer").string()}), "outer/inner/b.htm\n");
    EXPECT_EQ(Listed({(Dir() / "outer/inner").string()}), "outer/inner/b.htm\n");
    // The example of gitignore(5): everything but the folder foo/bar.
    fs::create_directories(Dir() / "only/.git");
    Put("only/.gitignore", "/*\n!/foo\n/foo/*\n!/foo/bar\n");
    for (const char* file : {"only/top.htm", "only/foo/f.htm", "only/foo/bar/b.htm", "only/foo/baz/z.htm"}) Put(file);
    EXPECT_EQ(Listed({(Dir() / "only").string()}), "only/foo/bar/b.htm\n");
}

// Where a repository's git folder is elsewhere (.git a file: a worktree, a
// submodule, --separate-git-dir), its exclude file is read there; a link to a
// file the rules leave out is left out too; a rules file that is a link is
// not read.
TEST_F(IgnoreWalkTest, GitFoldersElsewhereAndLinks) {
    fs::create_directories(Dir() / "store/info");
    Put("store/info/exclude", "secret.txt\n");
    Put("work/.git", "gitdir: ../store\n");
    Put("work/secret.txt");
    Put("work/page.htm");
    EXPECT_EQ(Listed({(Dir() / "work").string()}), "work/page.htm\n");
    // A worktree: its git folder names the main repository's (commondir).
    fs::create_directories(Dir() / "main/.git/info");
    fs::create_directories(Dir() / "main/.git/worktrees/wt");
    Put("main/.git/info/exclude", "*.tmp\n");
    Put("main/.git/worktrees/wt/commondir", "../..\n");
    Put("wt/.git", "gitdir: " + (Dir() / "main/.git/worktrees/wt").string() + "\n");
    Put("wt/a.tmp");
    Put("wt/b.htm");
    EXPECT_EQ(Listed({(Dir() / "wt").string()}), "wt/b.htm\n");

    fs::create_directories(Dir() / "l/.git");
    Put("l/.gitignore", "ign/\n");
    Put("l/ign/secret.txt");
    fs::create_symlink("ign/secret.txt", Dir() / "l/tolink");
    Put("l/other.txt");
    fs::create_symlink("../other.txt", Dir() / "l/ign/back");  // (in a folder never entered)
    EXPECT_EQ(Listed({(Dir() / "l").string()}), "l/other.txt\n");
    Put("rules", "*.txt\n");
    fs::create_directories(Dir() / "k/.git");
    fs::create_symlink(Dir() / "rules", Dir() / "k/.gitignore");
    Put("k/a.txt");
    EXPECT_EQ(Listed({(Dir() / "k").string()}), "k/a.txt\n");
}

}  // namespace
}  // namespace tarnwick
