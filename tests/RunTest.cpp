#include "cli/FailureWords.h"
#include "engine/walk/FolderScan.h"
#include "engine/run/Run.h"
#include "TempDir.h"
#include "Told.h"

#include <chrono>
#include <csignal>
#include <functional>

#include <sys/wait.h>
#include <unistd.h>

#include <sys/stat.h>
#include <fcntl.h>

namespace tarnwick {
namespace {

using test::ReadBytes;
using test::TempDirTest;
using test::Told;
using test::WriteBytes;
namespace fs = std::filesystem;

class RunTest : public TempDirTest {
protected:
    static std::vector<std::string> Names(const std::vector<Told>& told) {
        std::vector<std::string> names;
        for (const Told& t : told) names.push_back(t.path.filename().string());
        return names;
    }
    // `count` files holding "old", in name order.
    std::vector<fs::path> OldFiles(int count) {
        std::vector<fs::path> files;
        for (int i = 0; i < count; ++i)
            files.push_back(Make("f" + std::to_string(10000 + i), "old " + std::to_string(i)));
        return files;
    }
};

// A folder's files are told in name order with their verdicts, the folder's size first.
TEST_F(RunTest, ChecksAFolderInNameOrder) {
    Make("a.txt", "xyz");
    Make("b.txt", "has abc");
    Make("c.txt", "nothing");
    std::vector<std::size_t> listed;
    std::vector<FileVerdict> verdicts;
    CorrectionRun run(Corrector("abc", "xyz"), {Dir()}, RunMode::Check);
    RunCallbacks sink;
    sink.listed = [&](const fs::path& folder, std::size_t files) {
        EXPECT_EQ(folder, Dir());
        listed.push_back(files);
        return true;
    };
    sink.file = [&](const FileReport& r) {
        verdicts.push_back(r.verdict);
        return r.outcome == FileOutcome::Checked;
    };
    EXPECT_TRUE(run.Execute(sink));
    EXPECT_EQ(listed, std::vector<std::size_t>{3});
    EXPECT_EQ(verdicts, (std::vector{FileVerdict::AlreadyCorrected, FileVerdict::ToCorrect, FileVerdict::Unknown}));
    EXPECT_EQ(ReadBytes(Dir() / "b.txt"), "has abc");
}

// Hidden files, subfolders, FIFOs and dangling links are not listed; links to files are.
TEST_F(RunTest, ListsOnlyVisibleRegularFilesInNameOrder) {
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
    const FolderListing missing = ListFolder(Dir() / "missing");
    ASSERT_TRUE(missing.failure);
    EXPECT_EQ(missing.failure->kind, FailureKind::List);
    EXPECT_EQ(missing.failure->path, Dir() / "missing");
}

// Names in the order of their bytes: those that share their first eight,
// one the start of another, bytes above 127; and a folder large enough that
// its paths are made on two threads, each path at its place.
TEST_F(RunTest, ListsNamesInTheOrderOfTheirBytes) {
    std::vector<std::string> names{"abcdefgh1", "abcdefgh", "abcdefgh0", "abcdefgh\xC3\xA9", "a",  "a\x80",
                                   "aa",        "\xFF\xFE", "B",         "abcdefghij",       "ab", "abcdefg"};
    for (const std::string& name : names) Make(name, "");
    std::sort(names.begin(), names.end());
    std::vector<fs::path> expected;
    for (const std::string& name : names) expected.push_back(Dir() / name);
    EXPECT_EQ(ListFolder(Dir()).files, expected);

    const fs::path many = Dir() / "many";
    fs::create_directory(many);
    constexpr int kMany = 16500;
    for (int i = 0; i < kMany; ++i) {
        const int fd = ::open((many / ("f" + std::to_string(i))).c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
        ASSERT_GE(fd, 0);
        ::close(fd);
    }
    ASSERT_EQ(::symlink("f7", (many / "link").c_str()), 0);  // in the second half
    const FolderListing listing = ListFolder(many);
    ASSERT_EQ(listing.files.size(), static_cast<std::size_t>(kMany) + 1);
    EXPECT_TRUE(std::is_sorted(listing.files.begin(), listing.files.end(),
                               [](const fs::path& a, const fs::path& b) { return a.native() < b.native(); }));
    for (std::size_t k = 0; k < listing.files.size(); ++k) {
        ASSERT_EQ(listing.files[k].parent_path(), many) << k;
        ASSERT_EQ(listing.links[k] != 0, listing.files[k].filename() == "link") << listing.files[k];
    }
    // A folder is listed through its own handle, as often as asked, each time whole.
    os::Folder open;
    ASSERT_FALSE(os::Folder::Open(many, open));
    std::vector<os::FolderEntry> first, again;
    ASSERT_FALSE(open.List(first, true));
    ASSERT_FALSE(open.List(again, true));
    EXPECT_EQ(first.size(), static_cast<std::size_t>(kMany) + 1);
    EXPECT_EQ(again.size(), first.size());
    fs::remove_all(many);  // (before the folder's attributes are cleared file by file)
}

// A backup copy beside its file is never checked or changed, even when it holds the search string.
TEST_F(RunTest, BackupCopiesAreLeftAlone) {
    Make("page.htm", "xyz");
    Make("page.htm.bak", "abc");
    Make("other.bak", "abc");
    const auto told = test::Execute(Corrector("abc", "xyz", {true, "bak"}), {Dir()});
    EXPECT_EQ(Names(told), (std::vector<std::string>{"other.bak", "page.htm", "page.htm.bak"}));
    ASSERT_EQ(told.size(), 3u);
    EXPECT_TRUE(told[0].Corrected());
    EXPECT_EQ(told[1].verdict, FileVerdict::AlreadyCorrected);
    EXPECT_EQ(told[2].outcome, FileOutcome::Backup);
    EXPECT_EQ(ReadBytes(Dir() / "page.htm.bak"), "abc");
}

// Files and folders in the order given; a file that is gone fails alone.
TEST_F(RunTest, PathsInOrderAndAVanishedFile) {
    const fs::path sub = Dir() / "sub";
    fs::create_directory(sub);
    Make("sub/b.txt", "abc");
    Make("sub/a.txt", "abc");
    const fs::path single = Make("z.txt", "abc");
    const auto told = test::Execute(Corrector("abc", "xyz"), {single, sub, Dir() / "gone.txt"}, RunMode::Check);
    EXPECT_EQ(Names(told), (std::vector<std::string>{"z.txt", "a.txt", "b.txt", "gone.txt"}));
    ASSERT_EQ(told.size(), 4u);
    ASSERT_TRUE(told[3].failure);
    EXPECT_EQ(told[3].failure->kind, FailureKind::Missing);
}

// A sink that says stop ends a correcting run: no file is changed after
// that, and every file that was changed has been told.
TEST_F(RunTest, SinkStopsACorrectingRun) {
    const auto files = OldFiles(300);
    for (const unsigned workers : {1u, 2u, 4u}) {
        for (const fs::path& f : files) WriteBytes(f, "old");
        CorrectionRun run(Corrector("old", "new"), {Dir()}, RunMode::Correct, workers);
        std::size_t told = 0, corrected = 0;
        RunCallbacks sink;
        sink.file = [&](const FileReport& r) {
            corrected += r.outcome == FileOutcome::Corrected;
            return ++told < 40;
        };
        EXPECT_FALSE(run.Execute(sink));
        std::size_t changed = 0;
        for (const fs::path& f : files) changed += ReadBytes(f) == "new";
        EXPECT_EQ(changed, corrected) << workers << " workers";
        EXPECT_GE(told, 40u);
        EXPECT_LT(told, files.size()) << workers << " workers";
        EXPECT_EQ(std::distance(fs::directory_iterator(Dir()), fs::directory_iterator()), 300) << "leftovers";
    }
}

// A run that changes nothing stops at once.
TEST_F(RunTest, SinkStopsACheck) {
    OldFiles(500);
    std::size_t told = 0;
    RunCallbacks sink;
    sink.file = [&](const FileReport&) { return ++told < 5; };
    CorrectionRun run(Corrector("old", "new"), {Dir()}, RunMode::Check, 4);
    EXPECT_FALSE(run.Execute(sink));
    EXPECT_EQ(told, 5u);
}

// With subfolders: a folder's files in name order, then its subfolders in
// name order, each depth first; hidden folders and links to folders are not
// entered (no loop), masks choose the files and the folders entered.
TEST_F(RunTest, TreeInOrderWithMasks) {
    for (const char* name : {"b.htm", "a.txt", "sub/z.htm", "sub/deep/c.htm", "sub/deep/skip.log", "a-sub/d.htm",
                             ".git/e.htm", "sub/.hidden/f.htm", "node_modules/g.htm", "x.HTML"}) {
        fs::create_directories((Dir() / name).parent_path());
        Make(name, "old");
    }
    fs::create_directory_symlink(Dir() / "sub", Dir() / "sub/deep/loop");
    fs::create_directory_symlink(Dir(), Dir() / "up");
    FileSelection selection;
    selection.subfolders = true;
    selection.include.Add(fs::path("*.htm;*.html").native());
    selection.exclude.Add(fs::path("skip*").native());
    selection.excludeFolders.Add(fs::path("node_modules").native());
    for (const unsigned workers : {1u, 3u}) {
        CorrectionRun run(Corrector("old", "new"), {Dir()}, RunMode::Check, workers, selection);
        const auto told = test::Execute(run);
        std::vector<std::string> paths;
        for (const Told& t : told) paths.push_back(fs::relative(t.path, Dir()).string());
        EXPECT_EQ(paths, (std::vector<std::string>{"b.htm", "x.HTML", "a-sub/d.htm", "sub/z.htm", "sub/deep/c.htm"}))
            << workers << " workers";
    }
}

// A folder reached twice (a folder and its subfolder, or the same one named
// twice) is taken once; an unreadable subfolder fails and the rest goes on.
TEST_F(RunTest, OverlappingPathsAndAnUnreadableFolder) {
    fs::create_directories(Dir() / "sub/locked");
    fs::create_directories(Dir() / "sub/later");
    Make("top.txt", "old");
    Make("sub/inner.txt", "old");
    Make("sub/locked/secret.txt", "old");
    Make("sub/later/after.txt", "old");
    fs::permissions(Dir() / "sub/locked", fs::perms::none);
    // Read but not entered: its entries cannot be reached, so it is not listed.
    fs::create_directories(Dir() / "sub/unsearchable/inner");
    Make("sub/unsearchable/file.txt", "old");
    fs::create_symlink("file.txt", Dir() / "sub/unsearchable/link.txt");
    fs::permissions(Dir() / "sub/unsearchable", fs::perms(0444));
    FileSelection selection;
    selection.subfolders = true;
    // As root nothing is unreadable: the run is made by another user in a child process.
    fs::permissions(Dir(), fs::perms::all);
    const test::ChildResult child = test::RunAsNobody([&] {
        CorrectionRun run(Corrector("old", "new"), {Dir() / "sub", Dir(), Dir() / "sub"}, RunMode::Check, 2, selection);
        std::string out;
        for (const Told& t : test::Execute(run))
            out += (t.failure ? "failed (" + std::to_string(t.failure->code.value()) + ") " : "") +
                   fs::relative(t.path, Dir()).string() + "\n";
        return std::pair{0, out};
    });
    fs::permissions(Dir() / "sub/locked", fs::perms::owner_all);
    fs::permissions(Dir() / "sub/unsearchable", fs::perms::owner_all);
    ASSERT_EQ(child.status, 0);
    const std::string& out = child.output;
    EXPECT_EQ(out, "sub/inner.txt\nsub/later/after.txt\nfailed (" + std::to_string(EACCES) + ") sub/locked\nfailed (" +
                       std::to_string(EACCES) + ") sub/unsearchable\ntop.txt\n");
}

// A tree larger than what a run takes at once, folders listed ahead on the
// workers: the same files in the same order as a plain walk, checked or
// corrected. Chains of folders one in another, with a folder left out deep
// in each, and a folder of many small ones.
TEST_F(RunTest, LargeTreeInThePlainWalksOrder) {
    std::vector<fs::path> expected;
    const auto file = [&](const fs::path& path) {
        expected.push_back(path);
        WriteBytes(path, "old");
    };
    const std::function<void(const fs::path&, int)> make = [&](const fs::path& folder, int depth) {
        fs::create_directories(folder);
        for (int i = 10; i < (depth == 3 ? 30 : 12); ++i) file(folder / ("p" + std::to_string(i)));
        if (depth < 3)
            for (int k = 0; k < 6; ++k) make(folder / ("d" + std::to_string(k)), depth + 1);
    };
    make(Dir() / "tree", 0);
    for (int chain = 0; chain < 10; ++chain) {
        fs::path folder = Dir() / "tree" / ("e" + std::to_string(chain));
        for (int level = 10; level < 80; ++level, folder /= "l" + std::to_string(level)) {
            fs::create_directories(folder);
            file(folder / "p10");
            if (level == 45) {
                fs::create_directories(folder / "skip/l10");
                WriteBytes(folder / "skip/l10/p10", "old");
            }
        }
    }
    for (int small = 100; small < 800; ++small) {
        fs::create_directories(Dir() / "tree/w" / ("t" + std::to_string(small)));
        for (const char* name : {"p10", "p11"}) file(Dir() / "tree/w" / ("t" + std::to_string(small)) / name);
    }
    FileSelection selection;
    selection.subfolders = true;
    selection.excludeFolders.Add(fs::path("skip").native());
    for (const auto& [mode, workers] : {std::pair{RunMode::Check, 1u}, {RunMode::Check, 3u}, {RunMode::Correct, 3u}}) {
        CorrectionRun run(Corrector("old", "new"), {Dir() / "tree"}, mode, workers, selection);
        std::vector<fs::path> told;
        for (const Told& t : test::Execute(run)) told.push_back(t.path);
        EXPECT_TRUE(told == expected) << workers << " workers, " << told.size() << " files told";
    }
    EXPECT_EQ(ReadBytes(expected.back()), "new");
}

// A file named twice, or named and also in a folder the run takes, is taken
// once, where it comes first; one the folder's masks left out is taken as named.
TEST_F(RunTest, FileReachedTwiceIsTakenOnce) {
    fs::create_directories(Dir() / "site/sub");
    const auto a = Make("site/a.htm", "old");
    const auto b = Make("site/sub/b.htm", "old");
    const auto c = Make("site/c.txt", "old");
    FileSelection selection;
    selection.subfolders = true;
    selection.include.Add(fs::path("*.htm").native());
    CorrectionRun run(Corrector("old", "new"), {b, Dir() / "site/./sub/../sub/b.htm", Dir() / "site", a, c, c},
                      RunMode::Check, 2, selection);
    std::vector<std::string> told;
    for (const Told& t : test::Execute(run)) told.push_back(fs::relative(t.path, Dir()).string());
    EXPECT_EQ(told, (std::vector<std::string>{"site/sub/b.htm", "site/a.htm", "site/c.txt"}));
}

}  // namespace
}  // namespace tarnwick

namespace tarnwick {
namespace {

// Files another run holds (a run stopped with SIGSTOP, say) are waited for
// together, and all the run's waits end at one deadline: two held files cost
// one wait, not two; each is told held, with the holder's process number.
TEST_F(RunTest, HeldFilesAreWaitedForOnceAndTogether) {
    const auto files = OldFiles(3);
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t holder = fork();
    ASSERT_GE(holder, 0);
    if (holder == 0) {
        os::File a, b;
        if (os::File::OpenRead(files[0], a) || !a.TryLock() || os::File::OpenRead(files[2], b) || !b.TryLock())
            _exit(1);
        (void)!::write(ready[1], "x", 1);
        ::pause();
        _exit(0);
    }
    char x;
    ASSERT_EQ(::read(ready[0], &x, 1), 1);
    Corrector corrector("old", "new");
    corrector.SetLockWait(std::chrono::milliseconds(1000));
    CorrectionRun run(std::move(corrector), {Dir()}, RunMode::Correct, 1);
    const auto started = std::chrono::steady_clock::now();
    const auto told = test::Execute(run);
    const auto took = std::chrono::steady_clock::now() - started;
    ::kill(holder, SIGKILL);
    ::waitpid(holder, nullptr, 0);
    EXPECT_LT(took, std::chrono::milliseconds(1700));
    ASSERT_EQ(told.size(), 3u);
    for (const std::size_t k : {0u, 2u}) {
        ASSERT_TRUE(told[k].failure) << k;
        EXPECT_EQ(cli::Reason(*told[k].failure),
                  "held by another run of tarnwick (PID " + std::to_string(holder) + ")");
    }
    EXPECT_TRUE(told[1].Corrected());
    EXPECT_EQ(ReadBytes(files[0]), "old 0");
}

}  // namespace
}  // namespace tarnwick
