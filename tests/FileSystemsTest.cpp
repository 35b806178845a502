// Corrections on file systems unlike the test folder's own: exFAT (no hard
// links, no permission bits) and tmpfs reached through symbolic links from
// another file system, where every backup has to be a copy.

#include "cli/FailureWords.h"
#include "cli/Cli.h"
#include "engine/rewrite/Corrector.h"
#include "Mounts.h"
#include "SystemCalls.h"
#include "TempDir.h"
#include "Told.h"

#include <cerrno>
#include <sstream>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace tarnwick {
namespace {

using test::ReadBytes;
using test::Shell;
using test::ShellOutput;
using test::TempDirTest;
using test::WriteBytes;
namespace fs = std::filesystem;

class FileSystemsTest : public TempDirTest {
protected:
    static std::string Old(int i) { return "keep old " + std::to_string(i) + std::string(5000, 'x'); }
    static std::string New(int i) { return "keep new " + std::to_string(i) + std::string(5000, 'x'); }
    static std::string Name(int i) { return (i < 10 ? "f0" : "f") + std::to_string(i); }
};

// Copied backups with any number of workers: the copy is made from the file
// that was read, whichever worker finishes the rewrite.
TEST_F(FileSystemsTest, CopiedBackupsOnExFatWithEveryWorkerCount) {
    test::Mount exfat;
    if (!exfat.ExFat(Dir() / "exfat.img", Dir() / "exfat")) GTEST_SKIP() << "cannot mount exFAT through FUSE here";
    const fs::path site = exfat.At();
    for (const unsigned workers : {1u, 2u, 4u}) {
        std::vector<fs::path> files;
        for (int i = 0; i < 40; ++i) {
            files.push_back(site / Name(i));
            WriteBytes(files.back(), Old(i));
            fs::remove(files.back().string() + ".bak");
        }
        std::size_t corrected = 0;
        test::Execute(Corrector("old", "new", {true, "bak"}), files, RunMode::Correct, workers,
                      [&](const test::Told& t) {
                          EXPECT_TRUE(t.Corrected()) << workers << " workers, " << t.path << ": " << t.Why();
                          corrected += t.Corrected();
                      });
        EXPECT_EQ(corrected, 40u) << workers << " workers";
        for (int i = 0; i < 40; ++i) {
            EXPECT_EQ(ReadBytes(files[static_cast<std::size_t>(i)]), New(i));
            EXPECT_EQ(ReadBytes(files[static_cast<std::size_t>(i)].string() + ".bak"), Old(i));
        }
        EXPECT_EQ(std::distance(fs::directory_iterator(site), fs::directory_iterator()), 80) << "leftovers";
    }
}

// Symbolic links onto a tmpfs, from a folder on another file system: followed
// only when asked to; each file is corrected as itself, its backup beside it
// on the tmpfs; tarnwick-cli -j 2.
TEST_F(FileSystemsTest, LinksOntoTmpfs) {
    test::Mount tmpfs;
    if (!tmpfs.Tmpfs(Dir() / "tmpfs")) GTEST_SKIP() << "cannot mount a tmpfs here";
    const fs::path links = Dir() / "links";
    fs::create_directory(links);
    for (int i = 0; i < 40; ++i) {
        WriteBytes(tmpfs.At() / Name(i), Old(i));
        fs::create_symlink(tmpfs.At() / Name(i), links / Name(i));
    }
    // Links leading out of the folder given are followed only when asked to.
    std::ostringstream skipped, err;
    EXPECT_EQ(cli::Run({"-s", "old", "-r", "new", "-b", links.string()}, skipped, err), 0) << err.str();
    EXPECT_NE(skipped.str().find("skipped\t" + (links / Name(0)).string() + "\ta link to " +
                                 (fs::canonical(tmpfs.At()) / Name(0)).string() + ", outside the paths given"),
              std::string::npos)
        << skipped.str();
    EXPECT_EQ(ReadBytes(links / Name(0)), Old(0));
    std::ostringstream out;
    EXPECT_EQ(cli::Run({"-j", "2", "-s", "old", "-r", "new", "-b", "--follow-file-links", links.string()}, out, err), 0)
        << err.str();
    for (int i = 0; i < 40; ++i) {
        EXPECT_EQ(ReadBytes(links / Name(i)), New(i));
        EXPECT_TRUE(fs::is_symlink(links / Name(i)));
        EXPECT_EQ(ReadBytes(tmpfs.At() / (Name(i) + ".bak")), Old(i)) << i;  // beside the file, on the tmpfs
    }
    EXPECT_EQ(std::distance(fs::directory_iterator(tmpfs.At()), fs::directory_iterator()), 80) << "leftovers";
    EXPECT_EQ(std::distance(fs::directory_iterator(links), fs::directory_iterator()), 40) << "leftovers";
}

// An undo store on another file system than the files: each original is kept
// by a copy there; where that copy fails, the file is named with the
// operation and the system's reason, not a lack of room in the budget.
TEST_F(FileSystemsTest, OriginalsCopiedIntoAStoreElsewhere) {
    test::Mount tmpfs;
    if (!tmpfs.Tmpfs(Dir() / "state")) GTEST_SKIP() << "cannot mount a tmpfs here";
    test::ScopedEnvironment state("XDG_STATE_HOME", tmpfs.At().c_str());
    const fs::path site = Dir() / "site";
    fs::create_directory(site);
    WriteBytes(site / "a", Old(1));
    std::ostringstream out, err;
    ASSERT_EQ(cli::Run({"-s", "old", "-r", "new", site.string()}, out, err), 0) << err.str();
    EXPECT_EQ(err.str().find("not undoable"), std::string::npos) << err.str();
    ASSERT_EQ(cli::Run({"--undo", site.string()}, out, err), 0) << err.str();
    EXPECT_EQ(ReadBytes(site / "a"), Old(1));

    // The store's file system full: the copy cannot be written.
    WriteBytes(site / "big", "old" + std::string(4 << 20, 'x'));
    ASSERT_TRUE(Shell("fallocate -l 12M '" + (tmpfs.At() / "filler").string() + "'"));
    std::ostringstream full;
    ASSERT_EQ(cli::Run({"-s", "old", "-r", "new", (site / "big").string()}, out, full), 0) << full.str();
    EXPECT_NE(full.str().find((site / "big").string() +
                              ": not undoable (cannot write the copy of its original in the undo store: " +
                              std::generic_category().message(ENOSPC) + ")"),
              std::string::npos)
        << full.str();
    EXPECT_EQ(ReadBytes(site / "big").substr(0, 3), "new");
}

// Who may use a file, as the tools show it: ACL, extended attributes, mode;
// and its attribute flags (chattr's), where the file system has them.
std::string Access(const fs::path& file) {
    const std::string f = "'" + file.string() + "'";
    return ShellOutput("getfacl -cp " + f + "; getfattr -d -m - " + f + " | tail -n +2; stat -c '%a %u %g' " + f +
                       "; lsattr " + f + " 2>&1 | cut -d' ' -f1");
}

// The corrected file and a copied backup keep the original's ACL, extended
// attributes, mode, owner and attribute flags, on ext4 and on tmpfs.
TEST_F(FileSystemsTest, AclAndAttributesKept) {
    test::Mount tmpfs;
    std::vector<fs::path> folders{Dir()};
    if (tmpfs.Tmpfs(Dir() / "tmpfs")) folders.push_back(tmpfs.At());
    for (const fs::path& folder : folders) {
        for (const bool copied : {false, true}) {
            const fs::path file = folder / "page.htm";
            WriteBytes(file, "old text");
            fs::remove(folder / "page.htm.bak");
            ASSERT_EQ(chmod(file.c_str(), 0640), 0);
            ASSERT_EQ(chown(file.c_str(), 4321, 4322), 0);
            if (!Shell("setfacl -m u:nobody:rw,g:nogroup:r '" + file.string() + "' && setfattr -n user.note -v kept '" +
                       file.string() + "'"))
                GTEST_SKIP() << "no setfacl/setfattr here";
            Shell("chattr +d +A '" + file.string() + "'");  // (where the file system has them)
            const std::string before = Access(file);
            ASSERT_NE(before.find("user:nobody:rw-"), std::string::npos) << before;
            const os::SystemCalls saved = os::Sys();
            if (copied)
                os::Sys().linkat = [](int, const char*, int, const char*, int) {
                    errno = EXDEV;
                    return -1;
                };
            Corrector corrector("old", "new", {true, "bak"});
            const ProcessResult result = corrector.ProcessFile(file);
            os::Sys() = saved;
            ASSERT_FALSE(result.failure) << cli::Message(*result.failure);
            EXPECT_EQ(ReadBytes(file), "new text");
            EXPECT_EQ(Access(file), before) << folder << (copied ? ", copied backup" : "");
            EXPECT_EQ(Access(folder / "page.htm.bak"), before) << folder << (copied ? ", copied backup" : "");
        }
    }
}

// A file without an ACL in a folder with a default ACL gains no entries from it.
TEST_F(FileSystemsTest, FolderDefaultAclNotGained) {
    const fs::path site = Dir() / "site";
    fs::create_directory(site);
    const fs::path file = site / "page.htm";
    WriteBytes(file, "old text");
    ASSERT_EQ(chmod(file.c_str(), 0644), 0);
    if (!Shell("setfacl -d -m u:nobody:rwx '" + site.string() + "'")) GTEST_SKIP() << "no setfacl here";
    const std::string before = Access(file);
    EXPECT_EQ(before.find("nobody"), std::string::npos) << before;
    Corrector corrector("old", "new", {true, "bak"});
    ASSERT_FALSE(corrector.ProcessFile(file).failure);
    EXPECT_EQ(Access(file), before);
    EXPECT_EQ(ReadBytes(file), "new text");
}

// The corrected content is never open to a user the original's ACL denies or
// a folder's default ACL names, not even for a moment: at each change of the
// new file's permission bits (the moment they would open it) that user tries
// to read every temporary file in the folder.
TEST_F(FileSystemsTest, NewContentNeverOpenToWhomTheAclDenies) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to try as nobody";
    const fs::path site = Dir() / "site";
    fs::create_directory(site);
    ASSERT_EQ(chmod(Dir().c_str(), 0755), 0);
    const fs::path denied = site / "denied.htm", inherits = site / "inherits.htm";
    WriteBytes(denied, "old secret");
    WriteBytes(inherits, "old secret");
    ASSERT_EQ(chmod(denied.c_str(), 0644), 0);
    ASSERT_EQ(chmod(inherits.c_str(), 0640), 0);
    if (!Shell("setfacl -m u:nobody:--- '" + denied.string() + "' && setfacl -d -m u:nobody:rwx '" + site.string() +
               "'"))
        GTEST_SKIP() << "no setfacl here";
    static fs::path watched;
    static int opened;
    watched = site;
    opened = 0;
    const os::SystemCalls saved = os::Sys();
    os::Sys().fchmod = [](int fd, mode_t mode) {
        const int rc = ::fchmod(fd, mode);
        const auto tried = test::RunAsNobody([] {
            int n = 0;
            for (const auto& e : fs::directory_iterator(watched))
                if (e.path().filename().string().rfind(".~tarnwick-", 0) == 0 && !ReadBytes(e.path()).empty()) ++n;
            return std::pair{0, std::to_string(n)};
        });
        if (tried.status != 0 || tried.output != "0") ++opened;
        return rc;
    };
    Corrector corrector("old", "new");
    const ProcessResult first = corrector.ProcessFile(denied), second = corrector.ProcessFile(inherits);
    os::Sys() = saved;
    ASSERT_FALSE(first.failure) << cli::Message(*first.failure);
    ASSERT_FALSE(second.failure) << cli::Message(*second.failure);
    EXPECT_EQ(opened, 0) << "nobody read the new content of a file it may not read";
    EXPECT_EQ(ReadBytes(denied), "new secret");
    EXPECT_EQ(test::RunAsNobody([&] { return std::pair{0, ReadBytes(inherits)}; }).output, "");
}

// Run as another user, what cannot be carried over fails the file, which
// stays as it was: an attribute only an administrator may set, and a group
// the user is no member of while that group has rights.
TEST_F(FileSystemsTest, AccessThatCannotBeKeptFailsTheFile) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to set up the owners";
    const fs::path site = Dir() / "site";
    fs::create_directory(site);
    ASSERT_EQ(chmod(Dir().c_str(), 0755), 0);
    ASSERT_EQ(chown(site.c_str(), 65534, 65534), 0);
    const fs::path labelled = site / "labelled.htm", grouped = site / "grouped.htm";
    WriteBytes(labelled, "old text");
    WriteBytes(grouped, "old text");
    ASSERT_EQ(chmod(labelled.c_str(), 0666), 0);
    if (!Shell("setfattr -n security.tarnwick -v x '" + labelled.string() + "' && setfacl -m u:nobody:rw '" +
               grouped.string() + "'"))
        GTEST_SKIP() << "no setfattr/setfacl here";
    ASSERT_EQ(chown(grouped.c_str(), 4321, 4321), 0);
    const std::string before[] = {Access(labelled), Access(grouped)};
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0) _exit(2);
        Corrector corrector("old", "new");
        for (const fs::path& file : {labelled, grouped}) {
            const ProcessResult r = corrector.ProcessFile(file);
            if (!r.failure || r.failure->kind != FailureKind::KeepAccess) _exit(3);
        }
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "exit " << WEXITSTATUS(status);
    EXPECT_EQ(ReadBytes(labelled), "old text");
    EXPECT_EQ(ReadBytes(grouped), "old text");
    EXPECT_EQ(Access(labelled), before[0]);
    EXPECT_EQ(Access(grouped), before[1]);
    EXPECT_EQ(std::distance(fs::directory_iterator(site), fs::directory_iterator()), 2) << "leftovers";
}

}  // namespace
}  // namespace tarnwick
