// The command line's manners: size limits and kept times.

#include "cli/Cli.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>

#include <fcntl.h>
#include <locale.h>
#include <sys/stat.h>

namespace tarnwick {
namespace {

namespace fs = std::filesystem;
using test::ReadBytes;

class MannersTest : public test::TempDirTest {
protected:
    void SetUp() override {
        TempDirTest::SetUp();
        state_.emplace("XDG_STATE_HOME", (Dir() / ".state").c_str());
        locale_.emplace("LC_ALL", "C.UTF-8");
        fs::create_directory(Dir() / "site");
    }
    void TearDown() override {
        state_.reset();
        locale_.reset();
        TempDirTest::TearDown();
    }
    int Cli(const std::vector<std::string>& args) {
        std::ostringstream out, err;
        const int rc = cli::Run(args, out, err, false, nullptr);
        out_ = out.str();
        err_ = err.str();
        return rc;
    }
    static struct timespec Modified(const fs::path& file) {
        struct stat st {};
        ::stat(file.c_str(), &st);
        return st.st_mtim;
    }
    static void SetModified(const fs::path& file, time_t seconds, long nanoseconds) {
        const struct timespec times[2] = {{seconds, nanoseconds}, {seconds, nanoseconds}};
        ASSERT_EQ(::utimensat(AT_FDCWD, file.c_str(), times, 0), 0);
    }
    std::optional<test::ScopedEnvironment> state_, locale_;
    std::string out_, err_;
};

// Files larger than --max-filesize are recorded skipped and left alone; the
// size takes K, M, G and T (of 1024, either case); a size that is none is a
// usage error.
TEST_F(MannersTest, MaxFileSize) {
    const auto small = Make("site/small.txt", "old");
    const auto big = Make("site/big.txt", std::string(2 * 1024 * 1024, 'x') + "old");
    const auto edge = Make("site/edge.txt", std::string(1024 * 1024 - 3, 'x') + "old");
    EXPECT_EQ(Cli({"--max-filesize", "1M", "-s", "old", "-r", "new", (Dir() / "site").string()}), 0) << err_;
    EXPECT_NE(out_.find("skipped\t" + big.string() + "\ttoo large\n"), std::string::npos) << out_;
    EXPECT_EQ(ReadBytes(small), "new");
    EXPECT_EQ(ReadBytes(edge), std::string(1024 * 1024 - 3, 'x') + "new");  // at the limit: taken
    EXPECT_EQ(ReadBytes(big), std::string(2 * 1024 * 1024, 'x') + "old");
    // A file named as PATH is held to the limit too.
    EXPECT_EQ(Cli({"--check", "--max-filesize", "2k", "-s", "old", "-r", "new", big.string()}), 0) << err_;
    EXPECT_EQ(out_, "skipped\t" + big.string() + "\ttoo large\n");

    EXPECT_EQ(Cli({"--check", "--max-filesize", "1125899906842624", "-s", "old", "-r", "new", big.string()}), 0);
    EXPECT_EQ(out_.rfind("to-correct\t" + big.string() + "\t", 0), 0u) << out_;  // a pebibyte, in bytes
    for (const std::string bad : {"", "1.5M", "10X", "M", "-1", "99999999999999999G", "1MB", "18446744073709551616"}) {
        EXPECT_EQ(Cli({"--max-filesize", bad, "-s", "old", "-r", "new", small.string()}), 2) << bad;
        EXPECT_NE(err_.find("--max-filesize needs a size such as 500K, 10M or 2G, not '" + bad + "'"),
                  std::string::npos)
            << err_;
    }
}

// --keep-times: the corrected file keeps its modification time to the
// nanosecond; without it the time is the correction's. A later change that
// puts the time back is still found by its content: undo leaves it.
TEST_F(MannersTest, KeepTimes) {
    const auto kept = Make("site/kept.txt", "old text");
    const auto plain = Make("site/plain.txt", "old text");
    SetModified(kept, 978307200, 123456789);  // 2001-01-01
    SetModified(plain, 978307200, 0);
    ASSERT_EQ(Cli({"--keep-times", "-s", "old", "-r", "new", kept.string()}), 0) << err_;
    EXPECT_EQ(ReadBytes(kept), "new text");
    EXPECT_EQ(Modified(kept).tv_sec, 978307200);
    EXPECT_EQ(Modified(kept).tv_nsec, 123456789);
    ASSERT_EQ(Cli({"-s", "old", "-r", "new", plain.string()}), 0) << err_;
    EXPECT_GT(Modified(plain).tv_sec, 978307200);

    // An undo asked to change nothing is refused, not carried out.
    EXPECT_EQ(Cli({"-n", "--undo"}), 2);
    EXPECT_EQ(ReadBytes(kept), "new text");
    // Undone: the original, with its time, as ever.
    ASSERT_EQ(Cli({"--undo", kept.string()}), 0) << out_ << err_;
    EXPECT_EQ(ReadBytes(kept), "old text");
    EXPECT_EQ(Modified(kept).tv_sec, 978307200);

    // Corrected again with its time kept, then edited to the same size and its time put back.
    ASSERT_EQ(Cli({"--keep-times", "-s", "old", "-r", "new", kept.string()}), 0) << err_;
    test::WriteBytes(kept, "NEW TEXT");
    SetModified(kept, 978307200, 123456789);
    EXPECT_EQ(Cli({"--undo", kept.string()}), 1) << out_ << err_;
    EXPECT_NE(out_.find("changed\t" + kept.string()), std::string::npos) << out_;
    EXPECT_EQ(ReadBytes(kept), "NEW TEXT");
}

// --progress: one line on standard error, redrawn in place (erased before
// anything else is written there) and gone before the summary; never in the
// records, and not where standard error is no terminal unless asked for.
TEST_F(MannersTest, ProgressLine) {
    for (int i = 0; i < 30; ++i) Make("site/f" + std::to_string(i) + ".txt", i % 3 ? "old" : "none");
    ASSERT_EQ(Cli({"--progress", "-s", "old", "-r", "new", (Dir() / "site").string()}), 0) << err_;
    const std::string erase = "\r\x1b[K";
    EXPECT_EQ(err_.rfind(erase + "tarnwick-cli: ", 0), 0u) << err_;
    EXPECT_NE(err_.find(" of 30 files, "), std::string::npos) << err_;
    EXPECT_NE(err_.find(" failed, "), std::string::npos) << err_;
    // The summary starts on an erased line.
    EXPECT_NE(err_.find(erase + "tarnwick-cli: 30 files: 20 corrected"), std::string::npos) << err_;
    EXPECT_EQ(out_.find('\r'), std::string::npos);
    EXPECT_EQ(out_.find('\x1b'), std::string::npos);

    ASSERT_EQ(Cli({"--check", "-s", "new", "-r", "old", (Dir() / "site").string()}), 0) << err_;
    EXPECT_EQ(err_.find('\r'), std::string::npos) << "standard error is no terminal here";
    ASSERT_EQ(Cli({"--progress", "--no-progress", "--check", "-s", "new", "-r", "old", (Dir() / "site").string()}), 0);
    EXPECT_EQ(err_.find('\r'), std::string::npos);

    // On a real terminal (script gives the program one), unasked, once a run
    // takes longer than half a second: here its list of names stalls for 1.5 s
    // after 4,500 of them (the first 4,096 are read before the run starts).
    if (!test::Shell("command -v script >/dev/null")) GTEST_SKIP() << "no script(1)";
    for (int i = 30; i < 5000; ++i) Make("site/f" + std::to_string(i) + ".txt", "old");
    ASSERT_EQ(::mkfifo((Dir() / "list").c_str(), 0600), 0);
    const std::string cli = fs::path(TARNWICK_CLI_PATH).string();
    const std::string names =
        "for i in $(seq 0 4999); do printf 'site/f%d.txt\\0' $i; "
        "[ $i = 4499 ] && sleep 1.5; done";
    ASSERT_TRUE(test::Shell("cd '" + Dir().string() + "' && (" + names + ") > list & cd '" + Dir().string() +
                            "' && XDG_STATE_HOME=.state timeout 60 script -qec \"'" + cli +
                            "' -n -s old -r new --files0-from list > out\" /dev/null > pty.log"));
    const std::string shown = ReadBytes(Dir() / "pty.log");
    EXPECT_EQ(shown.rfind(erase + "tarnwick-cli: ", 0), 0u) << shown;
    EXPECT_NE(shown.find(" files, "), std::string::npos) << shown;
    EXPECT_NE(shown.find(" to correct, 0 failed, "), std::string::npos) << shown;
    EXPECT_NE(shown.find(erase + "tarnwick-cli: 5000 files: "), std::string::npos) << shown;
    EXPECT_EQ(ReadBytes(Dir() / "out").find('\x1b'), std::string::npos);
}

// The completions --completions prints are scripts each shell takes, and
// offer every option and its values: asked of bash and fish for real.
TEST_F(MannersTest, CompletionsForEveryShell) {
    const auto script = [&](const std::string& shell) {
        EXPECT_EQ(Cli({"--completions", shell}), 0) << err_;
        return Make("completion." + shell, out_);
    };
    const auto shellSays = [](const std::string& command) {
        std::string said;
        if (FILE* pipe = ::popen(command.c_str(), "r")) {
            for (int c; (c = std::fgetc(pipe)) != EOF;) said += static_cast<char>(c);
            ::pclose(pipe);
        }
        return said;
    };
    const auto bash = script("bash");
    const auto asked = [&](const std::string& words) {
        return shellSays("bash -c 'source \"" + bash.string() + "\"; COMP_WORDS=(" + words +
                         "); COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); _tarnwick_cli; printf \"%s\\n\" "
                         "\"${COMPREPLY[@]}\"'");
    };
    EXPECT_EQ(asked("tarnwick-cli --max-f"), "--max-filesize\n");
    EXPECT_EQ(asked("tarnwick-cli --color \"\""), "auto\nalways\nnever\n");
    EXPECT_EQ(asked("tarnwick-cli -s \"\""), "\n");  // free text: nothing offered
    EXPECT_NE(asked("tarnwick-cli --keep"), "\n");

    ASSERT_EQ(std::system("command -v zsh >/dev/null && command -v fish >/dev/null"), 0)
        << "zsh and fish are needed (./dev installs them)";
    EXPECT_EQ(std::system(("zsh -n '" + script("zsh").string() + "'").c_str()), 0);
    const auto fish = script("fish");
    EXPECT_EQ(shellSays("fish -c 'source \"" + fish.string() + "\"; complete -C \"tarnwick-cli --max-f\"'")
                  .rfind("--max-filesize\t", 0),
              0u);
    EXPECT_EQ(
        shellSays("fish -c 'source \"" + fish.string() + "\"; complete -C \"tarnwick-cli --color=\"'"),
        "--color=always\tcolour the diff: always, never, auto\n--color=auto\tcolour the diff: always, never, auto\n"
        "--color=never\tcolour the diff: always, never, auto\n");

    EXPECT_EQ(Cli({"--completions", "tcsh"}), 2);
    EXPECT_NE(err_.find("--completions takes bash, zsh or fish, not 'tcsh'"), std::string::npos) << err_;
}

// The program's words follow the locale (gettext): Russian under
// LANG=ru_RU.UTF-8 (help, usage errors, the summary with its plural forms,
// a reason in a text record), English under C; records' kinds and JSON stay
// English, its reasons too.
TEST_F(MannersTest, WordsInTheUsersLanguage) {
    if (locale_t russian = newlocale(LC_MESSAGES_MASK, "ru_RU.UTF-8", static_cast<locale_t>(0))) {
        freelocale(russian);
    } else {
        // ./dev test makes the locale; CI must not pass without it.
        ASSERT_STRNE(std::getenv("CI"), "true") << "no ru_RU.UTF-8 locale";
        GTEST_SKIP() << "no ru_RU.UTF-8 locale (./dev test makes it)";
    }
    Make("site/a.txt", "old");
    Make("site/b.txt", "old");
    Make("site/c.txt", "new");
    ASSERT_EQ(::mkfifo((Dir() / "site" / "fifo").c_str(), 0644), 0);
    Make("list", "site/b.txt" + std::string(1, '\0') + std::string(300, 'x') + '\0');  // a name too long to open
    const std::string cli = fs::path(TARNWICK_CLI_PATH).string();
    const auto run = [&](const std::string& locale, const std::string& args) {
        const fs::path out = Dir() / "out", err = Dir() / "err";
        test::Shell("(cd '" + Dir().string() + "' && env -u LANGUAGE -u LC_ALL -u LC_MESSAGES LANG=" + locale +
                    " XDG_STATE_HOME=.state '" + cli + "' " + args + " > out 2> err)");
        out_ = ReadBytes(out);
        err_ = ReadBytes(err);
    };
    run("ru_RU.UTF-8", "--help");
    EXPECT_EQ(out_.rfind("Использование: tarnwick-cli [КЛЮЧ]...", 0), 0u) << out_;
    EXPECT_NE(out_.find("  -s, --search ТЕКСТ     текст, который искать (не пустой)\n"), std::string::npos) << out_;
    run("ru_RU.UTF-8", "-s old site");
    EXPECT_EQ(err_, "tarnwick-cli: не задана строка замены (-r ТЕКСТ)\nПодробнее: 'tarnwick-cli --help'.\n");
    run("ru_RU.UTF-8", "-n -s old -r new site/a.txt site/c.txt site/fifo");
    EXPECT_EQ(out_,
              "to-correct\tsite/a.txt\tutf-8,windows-1251\nalready-corrected\tsite/c.txt\n"
              "failed\tsite/fifo\tне обычный файл\n");
    EXPECT_EQ(err_, "tarnwick-cli: 3 файла: к исправлению: 1, уже исправлено: 1, неизвестные: 0, с ошибкой: 1\n");
    // The system's reason in the user's language too; in JSON, English.
    run("ru_RU.UTF-8", "-n -s old -r new --files0-from list");
    EXPECT_NE(out_.find("\tне удаётся открыть: Слишком длинное имя файла\n"), std::string::npos) << out_;
    EXPECT_EQ(err_, "tarnwick-cli: 2 файла: к исправлению: 1, уже исправлено: 0, неизвестные: 0, с ошибкой: 1\n");
    run("ru_RU.UTF-8", "--json -n -s old -r new --files0-from list");
    EXPECT_NE(out_.find("\"result\":\"failed\",\"reason\":\"cannot open: File name too long\"}"), std::string::npos)
        << out_;
    run("ru_RU.UTF-8", "-s old -r new site/a.txt");
    EXPECT_EQ(err_.substr(0, err_.find('\n')),
              "tarnwick-cli: 1 файл: исправлено: 1 (замен: 1), уже исправлено: 0, "
              "неизвестные: 0, с ошибкой: 0");
    run("C", "-n -s old -r new --files0-from list");
    EXPECT_NE(out_.find("\tcannot open: File name too long\n"), std::string::npos) << out_;
    EXPECT_EQ(err_, "tarnwick-cli: 2 files: 1 to correct, 0 already corrected, 0 unknown, 1 failed\n");
}

}  // namespace
}  // namespace tarnwick
