// Runs killed at a chosen step (SIGKILL from inside the system-call table, in
// a child process), and what a later run makes of what they left.

#include "cli/FailureWords.h"
#include "cli/Cli.h"
#include "engine/rewrite/Corrector.h"
#include "platform/FileSystem.h"
#include "engine/walk/FolderScan.h"
#include "platform/Leftovers.h"
#include "SystemCalls.h"
#include "TempDir.h"

#include <algorithm>
#include <csignal>
#include <functional>
#include <sstream>

#include <sys/wait.h>
#include <unistd.h>

namespace tarnwick {
namespace {

using test::ReadBytes;
using test::TempDirTest;
namespace fs = std::filesystem;

int g_renamesLeft = 0;
int g_writesLeft = 0;

class RecoveryTest : public TempDirTest {
protected:
    // Runs `run` in a child that is killed at its `renames`-th rename (1-based),
    // or with `renames` 0 at its first write; with `noLinks` the file system
    // makes no hard links.
    static void KilledAtRename(int renames, const std::function<void()>& run, bool noLinks = false) {
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            g_renamesLeft = renames;
            g_writesLeft = renames == 0 ? 1 : 0;
            os::Sys().renameat = [](int from, const char* a, int to, const char* b) {
                if (--g_renamesLeft == 0) raise(SIGKILL);
                return ::renameat(from, a, to, b);
            };
            os::Sys().renameat2 = [](int from, const char* a, int to, const char* b, unsigned flags) {
                if (--g_renamesLeft == 0) raise(SIGKILL);
                return ::renameat2(from, a, to, b, flags);
            };
            os::Sys().write = [](int fd, const void* data, std::size_t size) -> ssize_t {
                if (--g_writesLeft == 0) raise(SIGKILL);
                return ::write(fd, data, size);
            };
            if (noLinks)
                os::Sys().linkat = [](int, const char*, int, const char*, int) {
                    errno = EPERM;
                    return -1;
                };
            run();
            _exit(0);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFSIGNALED(status)) << "the run was not killed";
    }
    static ProcessResult Correct(const fs::path& file) {
        Corrector corrector("old", "new", {true, "bak"});
        return corrector.ProcessFile(file);
    }
};

// Killed after placing the backup (a second name of the file) and before
// replacing the file: the next run finishes the work instead of refusing the
// backup as the file itself.
TEST_F(RecoveryTest, KilledBetweenBackupAndReplace) {
    const fs::path file = Make("a", "old text");
    KilledAtRename(2, [&] { Correct(file); });
    ASSERT_TRUE(fs::equivalent(file, Dir() / "a.bak")) << "not the state this test is about";
    const ProcessResult again = Correct(file);
    ASSERT_FALSE(again.failure) << cli::Message(*again.failure);
    EXPECT_EQ(ReadBytes(file), "new text");
    EXPECT_EQ(ReadBytes(Dir() / "a.bak"), "old text");
    EXPECT_FALSE(fs::equivalent(file, Dir() / "a.bak"));
}

// Killed at every step of a rewrite with an old backup, with and without hard
// links: a later run in the folder removes what was left, puts a moved-aside
// old backup back, and corrects the file; nothing hidden remains.
TEST_F(RecoveryTest, LeftoversOfKilledRunsAreCleaned) {
    for (const bool noLinks : {false, true}) {
        // Step 0: the first write; then each rename (two with hard links, three without).
        for (int step = 0; step <= (noLinks ? 3 : 2); ++step) {
            const std::string what = (noLinks ? "no hard links, step " : "step ") + std::to_string(step);
            const fs::path file = Make("a", "old text");
            Make("a.bak", "previous backup");
            KilledAtRename(
                step, [&] { Correct(file); }, noLinks);
            if (HasFatalFailure()) return;
            const auto names = Names();
            const auto hidden = static_cast<std::size_t>(
                std::count_if(names.begin(), names.end(), [](const std::string& n) { return n[0] == '.'; }));
            EXPECT_GT(hidden, 0u) << what << ": the run left nothing behind";
            const LeftoverCounts counts = CleanLeftovers(Dir());
            EXPECT_EQ(counts.removed + counts.restored, hidden) << what;
            EXPECT_EQ(Names(), (std::vector<std::string>{"a", "a.bak"})) << what;
            // Moved aside and not yet replaced: the old backup is back.
            if (noLinks && step == 2) {
                EXPECT_EQ(ReadBytes(Dir() / "a.bak"), "previous backup");
            }
            const ProcessResult again = Correct(file);
            ASSERT_FALSE(again.failure) << what << ": " << cli::Message(*again.failure);
            EXPECT_EQ(ReadBytes(file), "new text") << what;
            const std::string backup = ReadBytes(Dir() / "a.bak");
            EXPECT_TRUE(backup == "old text") << what << ": " << backup;
            fs::remove(file);
            fs::remove(Dir() / "a.bak");
        }
    }
}

// Stopped as the corrected file was to take the file's name, after that name
// was gone (a share hides a file open elsewhere as it is replaced, then
// drops): the new content, its only copy, goes back under the name, not
// away. Where the name stands, it is removed as ever.
TEST_F(RecoveryTest, NewContentWhoseFileIsGoneIsPutBack) {
    for (const bool nameGone : {true, false}) {
        const fs::path file = Make("a", "old text");
        KilledAtRename(1, [&] {
            Corrector corrector("old", "new", {false, "bak"});
            corrector.ProcessFile(file);
        });
        if (HasFatalFailure()) return;
        ASSERT_GE(Names().size(), 2u);  // (and a second name of the file, held for the moment)
        if (nameGone) fs::remove(file);
        const LeftoverCounts counts = CleanLeftovers(Dir());
        EXPECT_EQ(counts.restored, nameGone ? 1u : 0u);
        EXPECT_EQ(Names(), std::vector<std::string>{"a"});
        EXPECT_EQ(ReadBytes(file), nameGone ? "new text" : "old text");
        fs::remove(file);
    }
}

// A later run cleans by itself; temporaries of live runs, of runs on another
// machine and of unknown form stay.
TEST_F(RecoveryTest, OnlyStoppedRunsAreCleanedUp) {
    const fs::path file = Make("a", "old text");
    KilledAtRename(1, [&] { Correct(file); });
    ASSERT_GT(Names().size(), 2u);
    const pid_t gone = fork();
    if (gone == 0) _exit(0);
    waitpid(gone, nullptr, 0);
    const std::string tag = os::MachineTag();
    const std::string live = ".~tarnwick-" + std::to_string(getpid()) + "-" + tag + "-00000001-1";
    const std::string elsewhere = ".~tarnwick-" + std::to_string(gone) + "-0000beef-00000001-1";
    const std::string unknown = ".~tarnwick-" + std::to_string(gone) + "-" + tag + "-00000001-1~";
    const std::string escaping = ".~tarnwick-" + std::to_string(gone) + "-" + tag + "-00000001-2~..";
    for (const auto& name : {live, elsewhere, unknown, escaping}) Make(name, "x");
    ASSERT_FALSE(Correct(file).failure);
    std::vector<std::string> expected{live, elsewhere, unknown, escaping, "a", "a.bak"};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(Names(), expected);
}

// A root run killed in a user's sticky folder leaves a temporary file of
// root's that the user cannot remove: the user's next run names it, with
// whose it is, instead of leaving it hidden.
TEST_F(RecoveryTest, LeftoverThatCannotBeRemovedIsNamed) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to leave a file of root's";
    const fs::path sticky = Dir() / "tmp";
    fs::create_directory(sticky);
    ASSERT_EQ(chmod(Dir().c_str(), 0755), 0);
    ASSERT_EQ(chmod(sticky.c_str(), 01777), 0);
    const fs::path file = sticky / "a.txt";
    test::WriteBytes(file, "old text");
    ASSERT_EQ(chown(file.c_str(), 65534, 65534), 0);
    const pid_t gone = fork();
    if (gone == 0) _exit(0);
    waitpid(gone, nullptr, 0);
    const std::string left = ".~tarnwick-" + std::to_string(gone) + "-" + os::MachineTag() + "-00000001-1";
    test::WriteBytes(sticky / left, "new text");  // root's, as the killed run left it
    const auto run = test::RunAsNobody([&] {
        std::ostringstream out, err;
        const int rc = cli::Run({"--no-undo", "-s", "old", "-r", "new", sticky.string()}, out, err);
        return std::pair{rc, out.str()};
    });
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_NE(run.output.find("leftover\t" + (sticky / left).string() +
                              "\ta stopped run's temporary file, owned by uid 0: remove it as that user\n"),
              std::string::npos)
        << run.output;
    EXPECT_NE(run.output.find("corrected\t" + file.string()), std::string::npos) << run.output;
}

}  // namespace
}  // namespace tarnwick
