// Failures provoked for real (immutable files and folders, a file-size limit,
// FIFOs, a second process writing) or, where a healthy disk cannot fail on
// demand, through the engine's system-call table. After each: the file and its
// old backup are exactly as before and no temporary file is left.

#include "cli/FailureWords.h"
#include "engine/rewrite/Corrector.h"
#include "SystemCalls.h"
#include "TempDir.h"
#include "Told.h"

#include "cli/Cli.h"
#include "engine/walk/FolderScan.h"

#include <fstream>
#include <sys/time.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/sysmacros.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>

namespace tarnwick {
namespace {

using test::ReadBytes;
using test::Shell;
using test::TempDirTest;
namespace fs = std::filesystem;

// Puts the real system calls back when a test ends.
struct SysGuard {
    os::SystemCalls saved = os::Sys();
    ~SysGuard() { os::Sys() = saved; }
};

class FaultTest : public TempDirTest {
protected:
    void SetUp() override {
        TempDirTest::SetUp();
        file_ = Make("page.htm", "old content old");
        backup_ = Make("page.htm.bak", "previous backup");
    }
    // The file, its old backup and the folder are as they were before the run.
    void ExpectUntouched(const std::string& content = "old content old") {
        EXPECT_EQ(ReadBytes(file_), content);
        EXPECT_EQ(ReadBytes(backup_), "previous backup");
        EXPECT_EQ(Names(), (std::vector<std::string>{"page.htm", "page.htm.bak"}));
    }
    ProcessResult Run() {
        Corrector corrector("old", "new", {true, "bak"});
        return corrector.ProcessFile(file_);
    }

    fs::path file_, backup_;
};

// An immutable file (refused even to root) is reported as not writable.
TEST_F(FaultTest, ImmutableFile) {
    if (!MakeImmutable(file_)) GTEST_SKIP() << "chattr +i not available here";
    const ProcessResult result = Run();
    ASSERT_TRUE(result.failure);
    EXPECT_EQ(result.failure->kind, FailureKind::NotWritable);
    EXPECT_EQ(result.failure->path, file_);
    Shell("chattr -i '" + file_.string() + "'");
    ExpectUntouched();
}

// An immutable folder: refused before anything is made in it.
TEST_F(FaultTest, ImmutableFolder) {
    if (!MakeImmutable(Dir())) GTEST_SKIP() << "chattr +i not available here";
    const ProcessResult result = Run();
    Shell("chattr -i '" + Dir().string() + "'");
    ASSERT_TRUE(result.failure);
    EXPECT_EQ(result.failure->kind, FailureKind::NotReplaceable);
    EXPECT_EQ(result.failure->code, std::errc::operation_not_permitted);
    ExpectUntouched();
}

// Disk full: a file-size limit in a child process makes the write fail part-way.
TEST_F(FaultTest, DiskFullWhileWriting) {
    const std::string big(200000, 'o');
    test::WriteBytes(file_, big + "old");
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{65536, 65536};
        setrlimit(RLIMIT_FSIZE, &limit);
        const ProcessResult result = Run();
        // The reason names no temporary file: it is gone by then.
        const bool expected = result.failure && result.failure->kind == FailureKind::Write &&
                              result.failure->code == std::errc::file_too_large &&
                              cli::Reason(*result.failure) == "cannot write the corrected file: File too large";
        _exit(expected ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the write did not fail with EFBIG";
    ExpectUntouched(big + "old");
}

// A FIFO is refused at once, never opened for a blocking read.
TEST_F(FaultTest, FifoIsRefused) {
    const auto fifo = Dir() / "pipe.htm";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    Corrector corrector("old", "new", {true, "bak"});
    const ProcessResult result = corrector.ProcessFile(fifo);
    ASSERT_TRUE(result.failure);
    EXPECT_EQ(result.failure->kind, FailureKind::NotRegularFile);
    EXPECT_FALSE(fs::exists(Dir() / "pipe.htm.bak"));
}

// A backup path taken by a folder is refused before anything is written.
TEST_F(FaultTest, BackupPathIsAFolder) {
    fs::remove(backup_);
    fs::create_directory(backup_);
    const ProcessResult result = Run();
    ASSERT_TRUE(result.failure);
    EXPECT_EQ(result.failure->kind, FailureKind::BackupNotFile);
    EXPECT_EQ(ReadBytes(file_), "old content old");
    EXPECT_TRUE(fs::is_directory(backup_));
    EXPECT_EQ(Names(), (std::vector<std::string>{"page.htm", "page.htm.bak"}));
}

// A backup name longer than the file system allows fails the backup step; nothing changes.
TEST_F(FaultTest, BackupNameTooLong) {
    Corrector corrector("old", "new", {true, std::string(300, 'k')});
    const ProcessResult result = corrector.ProcessFile(file_);
    ASSERT_TRUE(result.failure);
    EXPECT_EQ(result.failure->kind, FailureKind::Backup);
    EXPECT_EQ(result.failure->code, std::errc::filename_too_long);
    ExpectUntouched();
}

std::string g_appendTo;

// Another process appends to the file after it was read: detected, the file
// keeps what the other process wrote, the old backup comes back.
TEST_F(FaultTest, FileChangedByAnotherProcess) {
    SysGuard guard;
    g_appendTo = file_.string();
    os::Sys().fsync = [](int fd) {
        if (!g_appendTo.empty()) {
            Shell("printf ' appended' >> '" + g_appendTo + "'");
            g_appendTo.clear();
        }
        return ::fsync(fd);
    };
    const ProcessResult result = Run();
    ASSERT_TRUE(result.failure);
    EXPECT_EQ(result.failure->kind, FailureKind::Changed);
    ExpectUntouched("old content old appended");
}

// A failing flush: the corrected content never replaces the file.
TEST_F(FaultTest, FlushFails) {
    SysGuard guard;
    os::Sys().fsync = [](int) {
        errno = EIO;
        return -1;
    };
    const ProcessResult result = Run();
    ASSERT_TRUE(result.failure);
    EXPECT_EQ(result.failure->kind, FailureKind::Flush);
    EXPECT_EQ(result.failure->code, std::errc::io_error);
    ExpectUntouched();
}

std::string g_failRenameTo;

// The final rename fails after the new backup was placed: the old backup is put back.
TEST_F(FaultTest, FinalRenameFails) {
    SysGuard guard;
    g_failRenameTo = file_.filename().string();
    os::Sys().renameat = [](int fromFolder, const char* from, int toFolder, const char* to) {
        if (g_failRenameTo == to) {
            errno = EROFS;
            return -1;
        }
        return ::renameat(fromFolder, from, toFolder, to);
    };
    const ProcessResult result = Run();
    ASSERT_TRUE(result.failure);
    EXPECT_EQ(result.failure->kind, FailureKind::Replace);
    EXPECT_EQ(result.failure->code, std::errc::read_only_file_system);
    ExpectUntouched();
}

// In a group rewrite, a file that fails fails alone: the others are corrected, nothing is left over.
TEST_F(FaultTest, GroupWithAFailingFile) {
    std::vector<fs::path> files;
    for (int i = 0; i < 40; ++i)
        files.push_back(Make("f" + std::to_string(100 + i) + ".txt", "old " + std::to_string(i)));
    if (!MakeImmutable(files[33])) GTEST_SKIP() << "chattr +i not available here";
    const auto told = test::Execute(Corrector("old", "new"), files);
    Shell("chattr -i '" + files[33].string() + "'");
    ASSERT_EQ(told.size(), files.size());
    for (std::size_t i = 0; i < files.size(); ++i) {
        EXPECT_EQ(told[i].path, files[i]);
        EXPECT_EQ(told[i].failure.has_value(), i == 33) << i;
        EXPECT_EQ(ReadBytes(files[i]), (i == 33 ? "old " : "new ") + std::to_string(i));
    }
    EXPECT_EQ(Names().size(), files.size() + 2);  // the files, page.htm and page.htm.bak: no leftovers
}

// A small file system that fills up while the new content is written (ENOSPC, not a size limit).
TEST_F(FaultTest, SmallFileSystemFull) {
    const auto mountPoint = Dir() / "small";
    fs::create_directory(mountPoint);
    if (mount("tarnwick-test", mountPoint.c_str(), "tmpfs", 0, "size=256k") != 0)
        GTEST_SKIP() << "cannot mount a tmpfs here";
    struct Unmount {
        fs::path at;
        ~Unmount() { umount2(at.c_str(), MNT_DETACH); }
    } unmount{mountPoint};
    const std::string content = std::string(150000, 'o') + "old";
    const auto file = mountPoint / "page.htm";
    test::WriteBytes(file, content);
    Corrector corrector("old", "new");
    const ProcessResult result = corrector.ProcessFile(file);
    ASSERT_TRUE(result.failure);
    EXPECT_EQ(result.failure->kind, FailureKind::Write);
    EXPECT_EQ(result.failure->code, std::errc::no_space_on_device);
    EXPECT_EQ(ReadBytes(file), content);
    EXPECT_EQ(std::distance(fs::directory_iterator(mountPoint), fs::directory_iterator()), 1);
}

// Links that lead nowhere, or in a circle, are reported; nothing is created.
TEST_F(FaultTest, DanglingAndLoopingLinks) {
    fs::create_symlink("nowhere.htm", Dir() / "dangling.htm");
    fs::create_symlink("loop.htm", Dir() / "loop.htm");
    Corrector corrector("old", "new", {true, "bak"});
    const ProcessResult dangling = corrector.ProcessFile(Dir() / "dangling.htm");
    ASSERT_TRUE(dangling.failure);
    EXPECT_EQ(dangling.failure->kind, FailureKind::Missing);
    const ProcessResult loop = corrector.ProcessFile(Dir() / "loop.htm");
    ASSERT_TRUE(loop.failure);
    EXPECT_EQ(loop.failure->code, std::errc::too_many_symbolic_link_levels);
    EXPECT_TRUE(corrector.CheckFile(Dir() / "loop.htm").failure);
    EXPECT_FALSE(fs::exists(Dir() / "nowhere.htm"));
    EXPECT_EQ(Names(), (std::vector<std::string>{"dangling.htm", "loop.htm", "page.htm", "page.htm.bak"}));
}

// A device in the folder is neither listed nor read; given directly it is refused at once.
TEST_F(FaultTest, DeviceIsRefused) {
    const auto device = Dir() / "zero.htm";
    if (mknod(device.c_str(), S_IFCHR | 0600, makedev(1, 5)) != 0) GTEST_SKIP() << "cannot make a device here";
    Corrector corrector("old", "new");
    const CheckResult check = corrector.CheckFile(device);  // /dev/zero would never end
    ASSERT_TRUE(check.failure);
    EXPECT_EQ(check.failure->kind, FailureKind::NotRegularFile);
    const ProcessResult process = corrector.ProcessFile(device);
    ASSERT_TRUE(process.failure);
    EXPECT_EQ(process.failure->kind, FailureKind::NotRegularFile);
    EXPECT_EQ(ListFolder(Dir()).files, (std::vector<fs::path>{Dir() / "page.htm", Dir() / "page.htm.bak"}));
}

// A queued file that vanishes before the run fails alone; the others are corrected.
TEST_F(FaultTest, FileVanishesBetweenScanAndRun) {
    const auto other = Make("other.htm", "old");
    const Corrector corrector("old", "new", {true, "bak"});
    std::vector<fs::path> queue;
    for (const test::Told& t : test::Execute(corrector, {Dir()}, RunMode::Check))
        if (t.verdict == FileVerdict::ToCorrect) queue.push_back(t.path);
    ASSERT_EQ(queue.size(), 2u);
    fs::remove(other);
    const auto results = test::Execute(corrector, queue);
    ASSERT_EQ(results.size(), 2u);
    ASSERT_TRUE(results[0].failure);
    EXPECT_EQ(results[0].failure->kind, FailureKind::Missing);
    EXPECT_EQ(results[0].failure->path, other);
    EXPECT_FALSE(results[1].failure);
    EXPECT_EQ(ReadBytes(file_), "new content new");
    EXPECT_FALSE(fs::exists(Dir() / "other.htm.bak"));
}

int g_killPipe = -1;

// The process killed in the middle of a rewrite: the file and its old backup are
// intact, and the leftover temporary file is never listed by a scan.
TEST_F(FaultTest, KilledDuringRewrite) {
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        g_killPipe = pipeFds[1];
        os::Sys().write = [](int fd, const void* data, std::size_t size) -> ssize_t {
            // Half of the new content is written; then the parent is told and waits for us.
            ::write(fd, data, size / 2);
            ::write(g_killPipe, "k", 1);
            for (;;) pause();
        };
        Run();
        _exit(3);
    }
    char byte = 0;
    ASSERT_EQ(read(pipeFds[0], &byte, 1), 1);
    kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    close(pipeFds[0]);
    close(pipeFds[1]);
    ASSERT_TRUE(WIFSIGNALED(status));

    EXPECT_EQ(ReadBytes(file_), "old content old");
    EXPECT_EQ(ReadBytes(backup_), "previous backup");
    EXPECT_EQ(Names().size(), 3u);                                                // the leftover is there...
    EXPECT_EQ(ListFolder(Dir()).files, (std::vector<fs::path>{file_, backup_}));  // ...but never listed
    Corrector again("old", "new", {true, "bak"});
    ASSERT_FALSE(again.ProcessFile(file_).failure);
    EXPECT_EQ(ReadBytes(file_), "new content new");
}

// Without hard links the backup is a flushed copy and the old backup moves aside meanwhile.
TEST_F(FaultTest, BackupWithoutHardLinks) {
    SysGuard guard;
    os::Sys().linkat = [](int, const char*, int, const char*, int) {
        errno = EPERM;
        return -1;
    };
    const ProcessResult result = Run();
    ASSERT_FALSE(result.failure) << cli::Message(*result.failure);
    EXPECT_EQ(ReadBytes(file_), "new content new");
    EXPECT_EQ(ReadBytes(backup_), "old content old");
    EXPECT_EQ(Names(), (std::vector<std::string>{"page.htm", "page.htm.bak"}));
}

// Runs `body` in a child process (as `uid` when not 0); true when it returned true.
template <typename Body>
bool InChild(Body body, uid_t uid = 0) {
    const pid_t child = fork();
    if (child == 0) {
        if (uid != 0 && (setgid(uid) != 0 || setuid(uid) != 0)) _exit(2);
        _exit(body() ? 0 : 1);
    }
    int status = 0;
    return child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Two runs with backups on one folder at once: each file is corrected once and
// every backup holds the original.
TEST_F(FaultTest, TwoRunsAtOnce) {
    const auto site = Dir() / "site";
    fs::create_directory(site);
    const std::string padding(512 * 1024, 'x');
    for (int i = 0; i < 64; ++i)
        test::WriteBytes(site / ("f" + std::to_string(100 + i)), "foo original " + std::to_string(i) + padding);
    const auto run = [&] {
        std::ofstream sink("/dev/null");
        return cli::Run({"-j", "4", "-s", "foo", "-r", "bar", "-b", site.string()}, sink, sink) ==
               0;  // the parallel path
    };
    const pid_t first = fork();
    if (first == 0) _exit(run() ? 0 : 1);
    usleep(20000);
    EXPECT_TRUE(InChild(run));
    int status = 0;
    waitpid(first, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    for (int i = 0; i < 64; ++i) {
        const auto file = site / ("f" + std::to_string(100 + i));
        EXPECT_EQ(ReadBytes(file), "bar original " + std::to_string(i) + padding) << i;
        EXPECT_EQ(ReadBytes(file.string() + ".bak"), "foo original " + std::to_string(i) + padding) << i;
    }
    EXPECT_EQ(std::distance(fs::directory_iterator(site), fs::directory_iterator()), 128);
}

std::string g_sameSizeWrite;

// Another program's same-size write in the same second, on a file system with
// whole-second times (ext4 with 128-byte inodes): the content tells.
TEST_F(FaultTest, SameSecondWriteOnCoarseTimes) {
    const auto image = Dir() / "coarse.img";
    const auto mountPoint = Dir() / "coarse";
    fs::create_directory(mountPoint);
    const bool mounted = Shell("truncate -s 8M '" + image.string() + "' && mkfs.ext4 -q -I 128 '" + image.string() +
                               "' && mount -o loop '" + image.string() + "' '" + mountPoint.string() + "'");
    if (!mounted) GTEST_SKIP() << "cannot loop-mount an ext4 image here";
    struct Unmount {
        fs::path at;
        ~Unmount() { Shell("umount -l '" + at.string() + "'"); }
    } unmount{mountPoint};
    const auto file = mountPoint / "page.htm";
    test::WriteBytes(file, "old content old");
    SysGuard guard;
    g_sameSizeWrite = file.string();
    os::Sys().fsync = [](int fd) {
        if (!g_sameSizeWrite.empty()) {
            struct stat before {};
            stat(g_sameSizeWrite.c_str(), &before);
            std::fstream(g_sameSizeWrite, std::ios::in | std::ios::out | std::ios::binary) << "OTHER";
            // Within the same second the time stays as it was: make sure of it.
            const timespec times[2] = {before.st_atim, before.st_mtim};
            utimensat(AT_FDCWD, g_sameSizeWrite.c_str(), times, 0);
            g_sameSizeWrite.clear();
        }
        return ::fsync(fd);
    };
    Corrector corrector("old", "new", {true, "bak"});
    const ProcessResult result = corrector.ProcessFile(file);
    ASSERT_TRUE(result.failure);
    EXPECT_EQ(result.failure->kind, FailureKind::Changed);
    EXPECT_EQ(ReadBytes(file), "OTHERontent old");
    EXPECT_FALSE(fs::exists(mountPoint / "page.htm.bak"));
}

// A backup path that is the file itself (the file a link leads to) is
// refused; the file keeps its only copy. A backup that is a second name of the
// file is a backup of this very content: the file is corrected beside it.
TEST_F(FaultTest, BackupPathIsTheFileItself) {
    const auto a = Make("a.htm", "old");
    fs::create_hard_link(a, Dir() / "a.htm.bak");
    Make("b.htm.bak", "old");
    fs::create_symlink("b.htm.bak", Dir() / "b.htm");
    Corrector corrector("old", "new", {true, "bak"});
    // Reached through a link, the file is corrected as its target: its backup is named after it.
    const ProcessResult result = corrector.ProcessFile(Dir() / "b.htm");
    ASSERT_FALSE(result.failure) << cli::Message(*result.failure);
    EXPECT_EQ(ReadBytes(Dir() / "b.htm"), "new");
    EXPECT_EQ(ReadBytes(Dir() / "b.htm.bak.bak"), "old");
    EXPECT_FALSE(corrector.ProcessFile(a).failure);
    EXPECT_EQ(ReadBytes(a), "new");
    EXPECT_EQ(ReadBytes(Dir() / "a.htm.bak"), "old");
    EXPECT_EQ(Names(), (std::vector<std::string>{"a.htm", "a.htm.bak", "b.htm", "b.htm.bak", "b.htm.bak.bak",
                                                 "page.htm", "page.htm.bak"}));
}

// Folders where a temporary file could be made but not removed or renamed
// over the file (append-only; sticky, the file another user's) are refused
// before anything is made.
TEST_F(FaultTest, FoldersThatWouldKeepATemporary) {
    if (!Shell("chattr +a '" + Dir().string() + "'")) GTEST_SKIP() << "chattr +a not available here";
    ProcessResult result = Run();
    Shell("chattr -a '" + Dir().string() + "'");
    ASSERT_TRUE(result.failure);
    EXPECT_EQ(result.failure->kind, FailureKind::NotReplaceable);
    ExpectUntouched();

    if (geteuid() != 0) GTEST_SKIP() << "the sticky case needs root to set the owners";
    ASSERT_EQ(chmod(Dir().c_str(), 01777), 0);
    ASSERT_EQ(chown(file_.c_str(), 4321, 4321), 0);
    ASSERT_EQ(chmod(file_.c_str(), 0666), 0);
    EXPECT_TRUE(InChild(
        [&] {
            const ProcessResult r = Run();
            return r.failure && r.failure->kind == FailureKind::NotReplaceable;
        },
        65534));
    ExpectUntouched();
}

std::string g_moveFolder;

// The folder renamed while a file in it is corrected: the work finishes in the
// folder that was opened, under its new name, with nothing left behind.
TEST_F(FaultTest, FolderRenamedDuringRun) {
    const auto site = Dir() / "site";
    fs::create_directory(site);
    test::WriteBytes(site / "a.htm", "old");
    test::WriteBytes(site / "a.htm.bak", "previous");
    SysGuard guard;
    g_moveFolder = site.string();
    os::Sys().fsync = [](int fd) {
        if (!g_moveFolder.empty()) {
            rename(g_moveFolder.c_str(), (g_moveFolder + "-moved").c_str());
            g_moveFolder.clear();
        }
        return ::fsync(fd);
    };
    Corrector corrector("old", "new", {true, "bak"});
    const ProcessResult result = corrector.ProcessFile(site / "a.htm");
    EXPECT_FALSE(result.failure) << cli::Message(*result.failure);
    const auto moved = Dir() / "site-moved";
    EXPECT_EQ(ReadBytes(moved / "a.htm"), "new");
    EXPECT_EQ(ReadBytes(moved / "a.htm.bak"), "old");
    EXPECT_EQ(std::distance(fs::directory_iterator(moved), fs::directory_iterator()), 2);
}

std::string g_lateWriteTo;

// Another program appends after the last check, just before the new file takes
// the name: the write went to the file being replaced, which goes back in
// place, so nothing is lost; the file is reported changed, its old backup kept.
TEST_F(FaultTest, AppendJustBeforeTheRename) {
    for (const bool backups : {true, false}) {
        test::WriteBytes(file_, "old content old");
        SysGuard guard;
        g_lateWriteTo = file_.string();
        os::Sys().renameat = [](int from, const char* a, int to, const char* b) {
            if (!g_lateWriteTo.empty() && g_lateWriteTo.ends_with(std::string("/") + b)) {
                std::ofstream(g_lateWriteTo, std::ios::app | std::ios::binary) << " appended";
                g_lateWriteTo.clear();
            }
            return ::renameat(from, a, to, b);
        };
        Corrector corrector("old", "new", {backups, "bak"});
        const ProcessResult result = corrector.ProcessFile(file_);
        ASSERT_TRUE(result.failure) << backups;
        EXPECT_EQ(result.failure->kind, FailureKind::Changed);
        EXPECT_EQ(result.failure->detail, "");
        ExpectUntouched("old content old appended");
    }
}

// A file another run holds past the wait is reported busy and left alone.
TEST_F(FaultTest, HeldByAnotherRunPastTheWait) {
    const int held = open(file_.c_str(), O_RDONLY);
    ASSERT_GE(held, 0);
    ASSERT_EQ(flock(held, LOCK_EX), 0);
    Corrector corrector("old", "new", {true, "bak"});
    corrector.SetLockWait(std::chrono::milliseconds(100));
    const auto started = std::chrono::steady_clock::now();
    const ProcessResult result = corrector.ProcessFile(file_);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
    close(held);
    ASSERT_TRUE(result.failure);
    EXPECT_EQ(result.failure->kind, FailureKind::Busy);
    ExpectUntouched();
}

int g_folderFlushes = 0;

// A group's folder is flushed once after its renames, so that what is reported
// corrected survives a power cut; with backups, also once before, after its backups are placed.
TEST_F(FaultTest, FolderFlushedOncePerGroup) {
    std::vector<fs::path> files;
    for (int i = 0; i < 3; ++i) files.push_back(Make("f" + std::to_string(i), "old"));
    SysGuard guard;
    g_folderFlushes = 0;
    os::Sys().fsync = [](int fd) {
        struct stat st {};
        if (fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) ++g_folderFlushes;
        return ::fsync(fd);
    };
    test::Execute(Corrector("old", "new"), files, RunMode::Correct, 0,
                  [](const test::Told& t) { EXPECT_EQ(g_folderFlushes, 1) << t.Corrected(); });
    EXPECT_EQ(g_folderFlushes, 1);
    // With backups, also once after the group's backups are placed, before the files are replaced.
    g_folderFlushes = 0;
    test::Execute(Corrector("new", "old", {true, "bak"}), files, RunMode::Correct, 0,
                  [](const test::Told& t) { EXPECT_EQ(g_folderFlushes, 2) << t.Corrected(); });
    EXPECT_EQ(g_folderFlushes, 2);
}

}  // namespace
}  // namespace tarnwick
