// Corrections on file systems unlike the test folder's own: exFAT (no hard
// links, no permission bits) and tmpfs reached through symbolic links from
// another file system, where every backup has to be a copy.

#include "Cli.h"
#include "Corrector.h"
#include "Mounts.h"
#include "TempDir.h"

#include <sstream>

namespace tarnwick {
namespace {

using test::ReadBytes;
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
        Corrector corrector("old", "new", {true, "bak"});
        corrector.SetWorkers(workers);
        std::size_t corrected = 0;
        corrector.ProcessFiles(files, [&](std::size_t k, const ProcessResult& r) {
            EXPECT_TRUE(r.Corrected()) << workers << " workers, " << files[k] << ": "
                                       << (r.failure ? r.failure->Message() : "");
            corrected += r.Corrected();
        });
        EXPECT_EQ(corrected, 40u) << workers << " workers";
        for (int i = 0; i < 40; ++i) {
            EXPECT_EQ(ReadBytes(files[static_cast<std::size_t>(i)]), New(i));
            EXPECT_EQ(ReadBytes(files[static_cast<std::size_t>(i)].string() + ".bak"), Old(i));
        }
        EXPECT_EQ(std::distance(fs::directory_iterator(site), fs::directory_iterator()), 80) << "leftovers";
    }
}

// Symbolic links onto a tmpfs: the backups stay beside the links, on another
// file system than the files, so they are copies; tarnwick-cli -j 2.
TEST_F(FileSystemsTest, BackupsBesideLinksOntoTmpfs) {
    test::Mount tmpfs;
    if (!tmpfs.Tmpfs(Dir() / "tmpfs")) GTEST_SKIP() << "cannot mount a tmpfs here";
    const fs::path links = Dir() / "links";
    fs::create_directory(links);
    for (int i = 0; i < 40; ++i) {
        WriteBytes(tmpfs.At() / Name(i), Old(i));
        fs::create_symlink(tmpfs.At() / Name(i), links / Name(i));
    }
    std::ostringstream out, err;
    EXPECT_EQ(cli::Run({"-j", "2", "-s", "old", "-r", "new", "-b", links.string()}, out, err), 0) << err.str();
    for (int i = 0; i < 40; ++i) {
        EXPECT_EQ(ReadBytes(links / Name(i)), New(i));
        EXPECT_TRUE(fs::is_symlink(links / Name(i)));
        EXPECT_EQ(ReadBytes(links / (Name(i) + ".bak")), Old(i)) << i;
    }
    EXPECT_EQ(std::distance(fs::directory_iterator(tmpfs.At()), fs::directory_iterator()), 40) << "leftovers";
}

}  // namespace
}  // namespace tarnwick
