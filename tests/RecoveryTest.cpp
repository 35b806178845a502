// Runs killed at a chosen step (SIGKILL from inside the system-call table, in
// a child process), and what a later run makes of what they left.

#include "Corrector.h"
#include "FolderScan.h"
#include "SystemCalls.h"
#include "TempDir.h"

#include <csignal>
#include <functional>

#include <sys/wait.h>
#include <unistd.h>

namespace tarnwick {
namespace {

using test::ReadBytes;
using test::TempDirTest;
namespace fs = std::filesystem;

int g_renamesLeft = 0;

class RecoveryTest : public TempDirTest {
protected:
    // Runs `run` in a child that is killed at its `renames`-th rename (1-based).
    static void KilledAtRename(int renames, const std::function<void()>& run) {
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            g_renamesLeft = renames;
            os::Sys().renameat = [](int from, const char* a, int to, const char* b) {
                if (--g_renamesLeft == 0) raise(SIGKILL);
                return ::renameat(from, a, to, b);
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
    ASSERT_FALSE(again.failure) << again.failure->Message();
    EXPECT_EQ(ReadBytes(file), "new text");
    EXPECT_EQ(ReadBytes(Dir() / "a.bak"), "old text");
    EXPECT_FALSE(fs::equivalent(file, Dir() / "a.bak"));
}

}  // namespace
}  // namespace tarnwick
