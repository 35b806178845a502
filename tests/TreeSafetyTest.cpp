// A run over a tree never leaves it: folders and files that another user
// swaps for links while the run goes on, and links planted in the tree that
// lead elsewhere. Provoked for real: by the system-call table at a chosen
// moment, and by a second process exchanging a folder with a link in a loop.

#include "cli/Cli.h"
#include "engine/run/Run.h"
#include "SystemCalls.h"
#include "TempDir.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace tarnwick {
namespace {

using test::ReadBytes;
using test::TempDirTest;
using test::WriteBytes;
namespace fs = std::filesystem;

class TreeSafetyTest : public TempDirTest {
protected:
    void SetUp() override {
        TempDirTest::SetUp();
        state_.emplace("XDG_STATE_HOME", (Dir() / ".state").c_str());
    }
    void TearDown() override {
        os::Sys() = saved_;
        state_.reset();
        TempDirTest::TearDown();
    }
    int Cli(std::vector<std::string> args) {
        std::ostringstream out, err;
        const int rc = cli::Run(args, out, err);
        out_ = out.str();
        err_ = err.str();
        return rc;
    }
    // `count` files holding "old" in `folder`, made if missing.
    static void Fill(const fs::path& folder, int count, const std::string& text = "old") {
        fs::create_directories(folder);
        for (int i = 0; i < count; ++i) WriteBytes(folder / ("f" + std::to_string(100 + i) + ".conf"), text);
    }
    // How many of the files in `folder` no longer hold `text`.
    static int Changed(const fs::path& folder, const std::string& text = "old") {
        int changed = 0;
        for (const auto& e : fs::directory_iterator(folder))
            if (ReadBytes(e.path()) != text) ++changed;
        return changed;
    }

    os::SystemCalls saved_ = os::Sys();
    std::optional<test::ScopedEnvironment> state_;
    std::string out_, err_;
};

// What the hook below swaps at the run's first new file.
struct Swap {
    static inline std::function<void()> now;
    static int OpenAt(int folder, const char* name, int flags, mode_t mode) {
        if ((flags & O_CREAT) && now) std::exchange(now, {})();
        return ::openat(folder, name, flags, mode);
    }
};

// A folder listed by the walk and then swapped for a link to a folder outside,
// and a file swapped for a link to a file outside, just as the run begins to
// write: nothing outside changes; the file is told as changed into a link.
TEST_F(TreeSafetyTest, SwapsWhileTheRunGoesOnNeverLeadOutside) {
    const fs::path tree = Dir() / "tree", outside = Dir() / "outside";
    Fill(tree / "a", 1);
    Fill(tree / "b", 3);
    Fill(tree / "c", 3);
    Fill(outside, 3);
    Swap::now = [&] {
        fs::rename(tree / "b", tree / "b.real");
        fs::create_directory_symlink(outside, tree / "b");
        fs::rename(tree / "c" / "f101.conf", tree / "c" / "f101.real");
        fs::create_symlink(outside / "f101.conf", tree / "c" / "f101.conf");
    };
    os::Sys().openat = &Swap::OpenAt;
    EXPECT_EQ(Cli({"-R", "-j", "1", "--no-undo", "-s", "old", "-r", "new", tree.string()}), 1) << err_;
    os::Sys() = saved_;
    EXPECT_EQ(Changed(outside), 0) << out_;
    EXPECT_NE(
        out_.find("failed\t" + (tree / "c" / "f101.conf").string() + "\tchanged into a link while the run went on"),
        std::string::npos)
        << out_;
    // The folder the walk listed is the one corrected, wherever it was moved.
    EXPECT_EQ(Changed(tree / "b.real"), 3) << out_;
    EXPECT_EQ(ReadBytes(tree / "c" / "f101.real"), "old");
}

// A link in the tree to a file outside it is skipped, one to a file inside it
// is followed; --follow-file-links follows both. A window's queue of files is
// taken inside its folder only (FileSelection::within).
TEST_F(TreeSafetyTest, LinksOutsideTheTreeAreSkipped) {
    const fs::path tree = Dir() / "tree", outside = Dir() / "outside";
    Fill(tree, 1);
    Fill(outside, 1);
    fs::create_symlink(outside / "f100.conf", tree / "out.conf");
    fs::create_symlink("f100.conf", tree / "in.conf");
    EXPECT_EQ(Cli({"-R", "-s", "old", "-r", "new", tree.string()}), 0) << err_;
    EXPECT_NE(out_.find("same-file\t" + (tree / "in.conf").string()), std::string::npos) << out_;
    EXPECT_NE(out_.find("skipped\t" + (tree / "out.conf").string() + "\ta link to " +
                        (fs::canonical(outside) / "f100.conf").string() + ", outside the paths given"),
              std::string::npos)
        << out_;
    EXPECT_NE(err_.find("1 skipped"), std::string::npos) << err_;
    EXPECT_EQ(ReadBytes(outside / "f100.conf"), "old");
    // Named on the command line, a link is the user's own choice.
    EXPECT_EQ(Cli({"-s", "old", "-r", "older", "--no-undo", (tree / "out.conf").string()}), 0) << err_;
    EXPECT_EQ(ReadBytes(outside / "f100.conf"), "older");
    EXPECT_EQ(Cli({"-R", "--follow-file-links", "-s", "older", "-r", "new", tree.string()}), 0) << err_;
    EXPECT_EQ(ReadBytes(outside / "f100.conf"), "new");

    // A queue found in the folder: its link outside and a path outside are refused.
    WriteBytes(outside / "f100.conf", "old");
    WriteBytes(tree / "f100.conf", "old");
    FileSelection within;
    within.within = tree;
    CorrectionRun run(Corrector("old", "new"), {tree / "f100.conf", tree / "out.conf", outside / "f100.conf"},
                      RunMode::Correct, 1, within);
    std::vector<FileOutcome> outcomes;
    RunCallbacks sink;
    sink.file = [&](const FileReport& r) {
        outcomes.push_back(r.outcome);
        return true;
    };
    run.Execute(sink);
    EXPECT_EQ(outcomes, (std::vector{FileOutcome::Corrected, FileOutcome::Skipped, FileOutcome::Skipped}));
    EXPECT_EQ(ReadBytes(outside / "f100.conf"), "old");
}

// Root corrects a tree in which an ordinary user owns a folder and exchanges
// it with a link to a root-only folder elsewhere, over and over, while the
// runs go on: no file of that folder is ever touched.
TEST_F(TreeSafetyTest, RacingExchangeNeverLeadsOutside) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root, and a user to race it";
    const fs::path tree = Dir() / "tree", home = tree / "home", secret = Dir() / "secret";
    ASSERT_EQ(chmod(Dir().c_str(), 0755), 0);
    Fill(home / "site", 200);
    Fill(secret, 200);
    ASSERT_EQ(chmod(secret.c_str(), 0700), 0);
    fs::create_directory_symlink(secret, home / "dlink");
    for (const fs::path& p : {home, home / "site"}) ASSERT_EQ(chown(p.c_str(), 65534, 65534), 0);
    for (const auto& e : fs::directory_iterator(home / "site")) ASSERT_EQ(chown(e.path().c_str(), 65534, 65534), 0);
    ASSERT_EQ(lchown((home / "dlink").c_str(), 65534, 65534), 0);
    const pid_t racer = fork();
    ASSERT_GE(racer, 0);
    if (racer == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0) _exit(2);
        for (;;)
            syscall(SYS_renameat2, AT_FDCWD, (home / "site").c_str(), AT_FDCWD, (home / "dlink").c_str(),
                    2 /* RENAME_EXCHANGE */);
    }
    int status = 0;
    for (int round = 0; round < 10; ++round) {
        const std::string text = round % 2 ? "new" : "old", other = round % 2 ? "old" : "new";
        Cli({"-R", "--no-undo", "-s", text, "-r", other, tree.string()});
        ASSERT_EQ(Changed(secret), 0) << "round " << round << ":\n" << out_;
    }
    kill(racer, SIGKILL);
    waitpid(racer, &status, 0);
}

}  // namespace
}  // namespace tarnwick
