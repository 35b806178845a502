// A run stopped part-way (a signal, a closed output, SIGKILL) keeps the record
// of what it corrected, and --undo then puts back exactly those files. Each
// stop is real: the signal raised in a child process at a chosen rename.

#include "cli/Cli.h"
#include "SystemCalls.h"
#include "TempDir.h"

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

namespace tarnwick {
namespace {

using test::ReadBytes;
using test::TempDirTest;
namespace fs = std::filesystem;

constexpr int kFiles = 300;

class StoppedRunTest : public TempDirTest {
protected:
    void SetUp() override {
        TempDirTest::SetUp();
        state_.emplace("XDG_STATE_HOME", (Dir() / ".state").c_str());
        fs::create_directory(Dir() / "site");
        for (int i = 0; i < kFiles; ++i) Make("site/f" + std::to_string(1000 + i), "old " + std::to_string(i));
    }
    void TearDown() override {
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
    // The files that hold their new content now.
    int Corrected() const {
        int n = 0;
        for (int i = 0; i < kFiles; ++i) n += ReadBytes(Dir() / "site" / ("f" + std::to_string(1000 + i)))[0] == 'n';
        return n;
    }

    // A correcting run of the real command line in a child process whose
    // `signal` comes at its 50th rename; its exit status, standard output
    // (a pipe the parent closes after `lines` lines when `lines` > 0) and error.
    struct Child {
        int status = -1;
        std::string out, err;
    };
    Child RunStopped(int signal, int lines = 0) {
        int outPipe[2], errPipe[2];
        EXPECT_EQ(::pipe(outPipe), 0);
        EXPECT_EQ(::pipe(errPipe), 0);
        const pid_t child = fork();
        if (child == 0) {
            ::dup2(outPipe[1], 1);
            ::dup2(errPipe[1], 2);
            ::close(outPipe[0]);
            ::close(errPipe[0]);
            cli::HandleStopSignals();
            static int stopAt;
            stopAt = signal;
            if (signal)
                os::Sys().renameat = [](int from, const char* a, int to, const char* b) {
                    static int renames = 0;
                    const int rc = ::renameat(from, a, to, b);
                    if (++renames == 50) ::kill(::getpid(), stopAt);
                    return rc;
                };
            const int rc =
                cli::Run({"-j", "1", "-s", "old", "-r", "new", (Dir() / "site").string()}, std::cout, std::cerr);
            std::cout.flush();
            std::cerr.flush();
            _exit(rc);
        }
        ::close(outPipe[1]);
        ::close(errPipe[1]);
        Child result;
        FILE* out = ::fdopen(outPipe[0], "r");
        char line[4096];
        for (int n = 0; (lines == 0 || n < lines) && std::fgets(line, sizeof line, out); ++n) result.out += line;
        std::fclose(out);  // (with `lines`: the reader goes away, as `| head` does)
        char buffer[4096];
        for (ssize_t got; (got = ::read(errPipe[0], buffer, sizeof buffer)) > 0;)
            result.err.append(buffer, static_cast<std::size_t>(got));
        ::close(errPipe[0]);
        int status = 0;
        ::waitpid(child, &status, 0);
        result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status);
        return result;
    }

    std::optional<test::ScopedEnvironment> state_;
    std::string out_, err_;
};

// SIGINT, SIGTERM and SIGHUP stop the run as a user's stop does: the files in
// flight are finished, none is started after; the exit status is the shell's
// 128 + N; the run is recorded and an undo puts back exactly what it corrected.
TEST_F(StoppedRunTest, SignalsStopTheRunAndKeepItsUndo) {
    for (const auto& [signal, status] : {std::pair{SIGINT, 130}, {SIGTERM, 143}, {SIGHUP, 129}}) {
        SCOPED_TRACE(signal);
        const Child run = RunStopped(signal);
        EXPECT_EQ(run.status, status) << run.err;
        EXPECT_NE(run.err.find("tarnwick-cli: stopped by SIG"), std::string::npos) << run.err;
        const int corrected = Corrected();
        EXPECT_GE(corrected, 50);
        EXPECT_LT(corrected, kFiles);
        std::size_t told = 0;
        for (std::size_t at = 0; (at = run.out.find("corrected\t", at)) != std::string::npos; ++at) ++told;
        EXPECT_EQ(told, static_cast<std::size_t>(corrected)) << "every file corrected is told, no other";
        ASSERT_EQ(Cli({"--history"}), 0);
        EXPECT_NE(out_.find("\tundoable\t" + std::to_string(corrected) + "\t"), std::string::npos) << out_;
        ASSERT_EQ(Cli({"--undo"}), 0) << out_ << err_;
        EXPECT_EQ(Corrected(), 0);
    }
}

// A reader that goes away (`| head -1`) stops the run with status 3, as a
// full disk for the records does; its record stays and is undone whole.
TEST_F(StoppedRunTest, ClosedOutputStopsTheRunWithStatus3) {
    const Child run = RunStopped(0, 1);
    EXPECT_EQ(run.status, 3) << run.err;
    EXPECT_NE(run.err.find("cannot write the output"), std::string::npos) << run.err;
    EXPECT_LT(Corrected(), kFiles);
    ASSERT_EQ(Cli({"--undo"}), 0) << out_ << err_;
    EXPECT_EQ(Corrected(), 0);
}

// Killed part-way, the run leaves its record unended; the next --history
// completes it from what is on disk (not dropping the originals as
// leftovers), and --undo puts back every file the run corrected.
TEST_F(StoppedRunTest, KilledRunIsCompletedAndUndone) {
    const Child run = RunStopped(SIGKILL);
    EXPECT_EQ(run.status, 1000 + SIGKILL);
    EXPECT_GE(Corrected(), 49);
    ASSERT_EQ(Cli({"--history"}), 0);
    EXPECT_NE(out_.find("\tundoable\t"), std::string::npos) << out_;
    EXPECT_NE(out_.find("(stopped)"), std::string::npos) << out_;
    ASSERT_EQ(Cli({"--undo"}), 0) << out_ << err_;
    EXPECT_EQ(Corrected(), 0);
    // Nothing of it is left behind in the site.
    for (const auto& e : fs::directory_iterator(Dir() / "site"))
        EXPECT_EQ(e.path().filename().string().rfind(".~tarnwick-", 0), std::string::npos) << e.path();
}

}  // namespace
}  // namespace tarnwick
