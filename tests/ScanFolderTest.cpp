#include "FolderScan.h"
#include "TempDir.h"

#include <sys/stat.h>

namespace tarnwick {
namespace {

using test::TempDirTest;
namespace fs = std::filesystem;

class ScanFolderTest : public TempDirTest {
protected:
    ScanResult Scan(std::vector<std::string>* progress = nullptr, BackupPolicy backup = {}) {
        Corrector corrector("abc", "xyz", backup);
        ScanCallbacks callbacks;
        callbacks.progress = [&](std::size_t i, std::size_t n) {
            if (progress) progress->push_back(std::to_string(i + 1) + "/" + std::to_string(n));
        };
        return ScanFolder(Dir(), corrector, callbacks);
    }
};

// Three files, one to correct: progress 1..3 of 3, the one path queued.
TEST_F(ScanFolderTest, QueuesFilesHoldingTheSearchString) {
    Make("a.txt", "xyz");
    Make("b.txt", "has abc");
    Make("c.txt", "nothing");
    std::vector<std::string> progress;
    const ScanResult result = Scan(&progress);
    EXPECT_EQ(progress, (std::vector<std::string>{"1/3", "2/3", "3/3"}));
    EXPECT_EQ(result.listed, 3u);
    EXPECT_EQ(result.queue, std::vector<fs::path>{Dir() / "b.txt"});
    EXPECT_TRUE(result.failures.empty());
}

// Hidden files, subfolders, FIFOs and dangling links are not listed; links to files are.
TEST_F(ScanFolderTest, ListsOnlyVisibleRegularFilesInNameOrder) {
    Make("b.htm", "abc");
    Make("a.htm", "abc");
    Make(".hidden", "abc");
    fs::create_directory(Dir() / "sub");
    Make("sub/inner.htm", "abc");
    ASSERT_EQ(mkfifo((Dir() / "pipe").c_str(), 0600), 0);
    fs::create_symlink("a.htm", Dir() / "c-link.htm");
    fs::create_symlink("nowhere", Dir() / "d-dangling.htm");
    fs::create_symlink("d-loop.htm", Dir() / "d-loop.htm");
    const FolderListing listing = ListFolder(Dir());
    ASSERT_FALSE(listing.failure);
    EXPECT_EQ(listing.files, (std::vector<fs::path>{Dir() / "a.htm", Dir() / "b.htm", Dir() / "c-link.htm"}));
}

// A backup copy beside its file is never queued, even when it holds the search string.
TEST_F(ScanFolderTest, BackupCopiesAreNotQueued) {
    Make("page.htm", "xyz");
    Make("page.htm.bak", "abc");
    Make("other.bak", "abc");
    std::vector<ScanOutcome> outcomes;
    Corrector corrector("abc", "xyz", {false, "bak"});
    ScanCallbacks callbacks;
    callbacks.checked = [&](const ScanEntry& e) { outcomes.push_back(e.outcome); };
    const ScanResult result = ScanFolder(Dir(), corrector, callbacks);
    EXPECT_EQ(result.listed, 3u);
    EXPECT_EQ(result.queue, std::vector<fs::path>{Dir() / "other.bak"});
    EXPECT_EQ(outcomes, (std::vector<ScanOutcome>{ScanOutcome::Checked, ScanOutcome::Checked, ScanOutcome::Backup}));
}

// An empty folder lists nothing; a missing one is a listing failure naming it.
TEST_F(ScanFolderTest, EmptyAndMissingFolders) {
    const ScanResult empty = Scan();
    EXPECT_EQ(empty.listed, 0u);
    EXPECT_FALSE(empty.listFailure);

    Corrector corrector("abc", "xyz");
    const ScanResult missing = ScanFolder(Dir() / "missing", corrector);
    ASSERT_TRUE(missing.listFailure);
    EXPECT_EQ(missing.listFailure->kind, FailureKind::List);
    EXPECT_EQ(missing.listFailure->path, Dir() / "missing");
}

// A file that vanishes between listing and check fails alone; the others are still checked.
TEST_F(ScanFolderTest, VanishedFileFailsAlone) {
    Make("a.txt", "abc");
    Make("b.txt", "abc");
    Corrector corrector("abc", "xyz");
    const FolderListing listing = ListFolder(Dir());
    fs::remove(Dir() / "a.txt");
    const ScanResult result = ScanFiles(listing.files, corrector, {});
    ASSERT_EQ(result.failures.size(), 1u);
    EXPECT_EQ(result.failures[0].kind, FailureKind::Missing);
    EXPECT_EQ(result.queue, std::vector<fs::path>{Dir() / "b.txt"});
}

}  // namespace
}  // namespace tarnwick
