#include "cli/Cli.h"
#include "engine/undo/RestoreRun.h"
#include "engine/run/RunSetup.h"
#include "SystemCalls.h"
#include "TempDir.h"
#include "Told.h"

#include <algorithm>
#include <atomic>
#include <csignal>
#include <fstream>
#include <sstream>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace tarnwick {
namespace {

using test::ReadBytes;
using test::TempDirTest;
namespace fs = std::filesystem;

class UndoTest : public TempDirTest {
protected:
    void SetUp() override {
        TempDirTest::SetUp();
        fs::create_directory(Dir() / "site");
        state_ = std::make_unique<test::ScopedEnvironment>("XDG_STATE_HOME", (Dir() / ".state").c_str());
        locale_ = std::make_unique<test::ScopedEnvironment>("LC_ALL", "C.UTF-8");
    }
    void TearDown() override {
        state_.reset();
        locale_.reset();
        TempDirTest::TearDown();
    }
    int Cli(std::vector<std::string> args) {
        std::ostringstream out, err;
        const int rc = cli::Run(args, out, err, false, nullptr);
        out_ = out.str();
        err_ = err.str();
        return rc;
    }
    fs::path Store() const { return Dir() / ".state" / "tarnwick" / "undo"; }
    fs::path Site(const std::string& name) const { return Dir() / "site" / name; }
    static unsigned Mode(const fs::path& p) {
        struct stat st {};
        ::stat(p.c_str(), &st);
        return st.st_mode & 07777;
    }
    // The ID of the newest record, from --history.
    std::string NewestId() {
        EXPECT_EQ(Cli({"--history"}), 0);
        return out_.substr(0, out_.find('\t'));
    }

    std::string out_, err_;
    std::unique_ptr<test::ScopedEnvironment> state_, locale_;
};

// A folder run undone byte for byte and bit for bit; the undo undone in turn;
// a file edited since is left alone; the store is the user's alone.
TEST_F(UndoTest, FolderRunUndoneAndRedone) {
    const std::string a = "old\r\nline \0 old", b = "x old y";
    Make("site/a.txt", std::string(a.data(), 15));
    Make("site/b.txt", b);
    Make("site/c.txt", "nothing");
    fs::permissions(Site("a.txt"), fs::perms(0640));
    fs::permissions(Site("b.txt"), fs::perms(0604));
    ASSERT_EQ(Cli({"--binary", "-s", "old", "-r", "new", (Dir() / "site").string()}), 0) << err_;
    EXPECT_NE(err_.find("undo this run with: tarnwick-cli --undo "), std::string::npos) << err_;
    EXPECT_EQ(Mode(Store()), 0700u);
    // The folders made on the way under the state folder too, as the XDG base directories ask.
    EXPECT_EQ(Mode(Dir() / ".state"), 0700u);
    EXPECT_EQ(Mode(Dir() / ".state" / "tarnwick"), 0700u);
    const std::string run = NewestId();
    EXPECT_NE(out_.find("\tundoable\t2\t-s old -r new "), std::string::npos) << out_;

    ASSERT_EQ(Cli({"--undo"}), 0) << err_;
    EXPECT_EQ(out_, "restored\t" + Site("a.txt").string() + "\nrestored\t" + Site("b.txt").string() + "\n");
    EXPECT_EQ(ReadBytes(Site("a.txt")), std::string(a.data(), 15));
    EXPECT_EQ(ReadBytes(Site("b.txt")), b);
    EXPECT_EQ(Mode(Site("a.txt")), 0640u);
    EXPECT_EQ(Mode(Site("b.txt")), 0604u);
    const std::string undo = NewestId();
    EXPECT_NE(out_.find(run + "\t"), std::string::npos);
    EXPECT_NE(out_.find("\tundone\t2\t-s old"), std::string::npos) << out_;
    EXPECT_EQ(Cli({"--undo"}), 2);  // the undo itself is never the default
    EXPECT_NE(err_.find("no run to undo"), std::string::npos);

    ASSERT_EQ(Cli({"--undo", undo}), 0) << err_;  // redone
    EXPECT_EQ(ReadBytes(Site("b.txt")), "x new y");
    test::WriteBytes(Site("b.txt"), "edited by hand");
    EXPECT_EQ(Cli({"--json", "--undo", run}), 1);
    EXPECT_NE(out_.find("{\"path\":\"" + Site("b.txt").string() + "\",\"result\":\"changed\"}"), std::string::npos)
        << out_;
    EXPECT_NE(out_.find("\"restored\":1,\"changed\":1,\"failed\":0"), std::string::npos) << out_;
    EXPECT_EQ(ReadBytes(Site("b.txt")), "edited by hand");
    EXPECT_EQ(ReadBytes(Site("a.txt")), std::string(a.data(), 15));
    EXPECT_EQ(Cli({"--history", "--json"}), 0);
    EXPECT_NE(out_.find("\"id\":\"" + run + "\",\"time\":"), std::string::npos) << out_;
    EXPECT_NE(out_.find("\"state\":\"partly\""), std::string::npos) << out_;
}

// A run of several pairs: its record keeps them all, --history names the
// first three and how many more (JSON all), and the undo puts back its files.
TEST_F(UndoTest, RunOfSeveralPairs) {
    const auto a = Make("site/a.txt", "cat dog\tbird");
    Make("pairs.tsv", "cat\tdog\ndog\tcat\nbird\tfish\tab\\t\nant\tbee\n");
    ASSERT_EQ(Cli({"--pairs", (Dir() / "pairs.tsv").string(), a.string()}), 2);  // two TABs on line 3
    Make("pairs.tsv", "cat\tdog\ndog\tcat\nbird\tfish\\t\nant\tbee\n");
    ASSERT_EQ(Cli({"--pairs", (Dir() / "pairs.tsv").string(), a.string()}), 0) << err_;
    EXPECT_EQ(ReadBytes(a), "dog cat\tfish\t");
    const std::string run = NewestId();
    EXPECT_NE(out_.find("\t-s cat -r dog -s dog -r cat -s bird -r fish\t (and 1 more pair) "), std::string::npos)
        << out_;
    EXPECT_EQ(Cli({"--history", "--json"}), 0);
    EXPECT_NE(out_.find("\"search\":\"cat\",\"replace\":\"dog\",\"pairs\":[{\"search\":\"cat\",\"replace\":\"dog\"},"
                        "{\"search\":\"dog\",\"replace\":\"cat\"},{\"search\":\"bird\",\"replace\":\"fish\\u0009\"},"
                        "{\"search\":\"ant\",\"replace\":\"bee\"}]"),
              std::string::npos)
        << out_;
    ASSERT_EQ(Cli({"--undo", run}), 0) << err_;
    EXPECT_EQ(ReadBytes(a), "cat dog\tbird");
}

// A backup an earlier run made under another extension is known by its
// record: left alone and told as a backup, whatever the extension now.
TEST_F(UndoTest, BackupsOfEarlierRunsAreLeftAlone) {
    const auto page = Make("site/page.htm", "old text");
    ASSERT_EQ(Cli({"--backup=orig", "-s", "old", "-r", "new", (Dir() / "site").string()}), 0) << err_;
    const fs::path kept = fs::current_path();
    fs::current_path(Dir());  // the folder by a relative path: the same files
    EXPECT_EQ(Cli({"-b", "-s", "text", "-r", "words", "site/"}), 0) << err_;
    fs::current_path(kept);
    EXPECT_EQ(out_, "corrected\tsite/page.htm\t1\tutf-8,windows-1252\nbackup\tsite/page.htm.orig\n");
    EXPECT_EQ(ReadBytes(Site("page.htm.orig")), "old text");
    EXPECT_EQ(ReadBytes(Site("page.htm.bak")), "new text");
    EXPECT_EQ(ReadBytes(page), "new words");
    // Through a link to the folder (/var/www -> /srv/site): the very same file, still a backup.
    fs::create_directory_symlink(Dir() / "site", Dir() / "www");
    EXPECT_EQ(Cli({"-s", "old", "-r", "older", (Dir() / "www").string()}), 0) << err_;
    EXPECT_NE(out_.find("backup\t" + (Dir() / "www" / "page.htm.orig").string()), std::string::npos) << out_;
    EXPECT_EQ(ReadBytes(Site("page.htm.orig")), "old text");
}

// Undoing a run removes the backup copies it made while each still holds
// what the run put there; one edited since is left and named. A redo makes
// them again (never over a file standing there now), and undoing the redo
// removes them once more.
TEST_F(UndoTest, BackupsGoWithTheUndoAndComeBackWithTheRedo) {
    for (const char* name : {"a", "b", "c", "d"}) Make(std::string("site/") + name, std::string(name) + " old");
    ASSERT_EQ(Cli({"-b", "-s", "old", "-r", "new", (Dir() / "site").string()}), 0) << err_;
    const std::string run = NewestId();
    test::WriteBytes(Site("b.bak"), "edited");
    fs::remove(Site("c.bak"));
    ASSERT_EQ(Cli({"--undo", run}), 0) << err_;
    EXPECT_EQ(err_.find("a.bak"), std::string::npos) << err_;
    EXPECT_NE(err_.find(Site("b.bak").string() + ": the backup copy was changed since the run: left as it is\n"),
              std::string::npos)
        << err_;
    EXPECT_FALSE(fs::exists(Site("a.bak")));
    EXPECT_EQ(ReadBytes(Site("b.bak")), "edited");
    EXPECT_FALSE(fs::exists(Site("c.bak")));
    EXPECT_FALSE(fs::exists(Site("d.bak")));
    const std::string undo = NewestId();

    Make("site/d.bak", "a file of the user's");
    ASSERT_EQ(Cli({"--undo", undo}), 0) << err_;  // redone
    EXPECT_EQ(ReadBytes(Site("a")), "a new");
    EXPECT_EQ(ReadBytes(Site("a.bak")), "a old");
    EXPECT_EQ(ReadBytes(Site("b.bak")), "edited");  // never removed, so never made again
    EXPECT_FALSE(fs::exists(Site("c.bak")));        // removed by the user, not by the undo
    EXPECT_EQ(ReadBytes(Site("d.bak")), "a file of the user's");
    const std::string redo = NewestId();
    // A backup made again is a backup of a recorded run: never corrected as a file.
    EXPECT_EQ(Cli({"-s", "old", "-r", "x", (Dir() / "site").string()}), 0) << err_;
    EXPECT_NE(out_.find("backup\t" + Site("a.bak").string()), std::string::npos) << out_;
    EXPECT_EQ(ReadBytes(Site("a.bak")), "a old");
    ASSERT_EQ(Cli({"--undo", redo}), 0) << err_;
    EXPECT_EQ(ReadBytes(Site("a")), "a old");
    EXPECT_FALSE(fs::exists(Site("a.bak")));
    EXPECT_EQ(ReadBytes(Site("d.bak")), "a file of the user's");
}

// An undo in a folder that lets nothing be replaced (append-only) refuses
// each file before it makes anything there, and a later undo finishes.
TEST_F(UndoTest, AppendOnlyFolderIsRefusedLeavingNothing) {
    Make("site/a", "a old");
    Make("site/b", "b old");
    ASSERT_EQ(Cli({"-b", "-s", "old", "-r", "new", (Dir() / "site").string()}), 0) << err_;
    if (!test::Shell("chattr +a '" + (Dir() / "site").string() + "'")) GTEST_SKIP() << "chattr +a not available here";
    const int code = Cli({"--undo"});
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(Dir() / "site")) names.push_back(e.path().filename().string());
    test::Shell("chattr -a '" + (Dir() / "site").string() + "'");
    EXPECT_EQ(code, 1);
    EXPECT_NE(out_.find("failed\t" + Site("a").string() + "\tits folder does not allow replacing it"),
              std::string::npos)
        << out_;
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"a", "a.bak", "b", "b.bak"}));
    ASSERT_EQ(Cli({"--undo"}), 0) << err_;
    EXPECT_EQ(ReadBytes(Site("a")), "a old");
    EXPECT_FALSE(fs::exists(Site("b.bak")));
}

// A backup copy the undo cannot remove stays, and is told with the system's
// reason, not as a file edited since.
TEST_F(UndoTest, BackupThatCannotBeRemovedIsToldWithItsReason) {
    Make("site/a", "a old");
    ASSERT_EQ(Cli({"-b", "-s", "old", "-r", "new", (Dir() / "site").string()}), 0) << err_;
    if (!MakeImmutable(Site("a.bak"))) GTEST_SKIP() << "chattr +i not available here";
    const int code = Cli({"--undo"});
    test::Shell("chattr -i '" + Site("a.bak").string() + "'");
    EXPECT_EQ(code, 0) << err_;
    EXPECT_EQ(ReadBytes(Site("a")), "a old");
    EXPECT_EQ(ReadBytes(Site("a.bak")), "a old");
    EXPECT_NE(err_.find(Site("a.bak").string() +
                        ": the backup copy could not be removed (Operation not permitted): left as it is\n"),
              std::string::npos)
        << err_;
}

// Runs undone newest first where an undo puts back a copy (with backups the
// original is kept by a copy): the file the later run's undo left is known by
// that undo's record. A backup that took the name of a file standing there
// before the run stays with the undo.
TEST_F(UndoTest, RunsUndoneNewestFirstThroughCopies) {
    const auto file = Make("site/f.txt", "v0 old");
    Make("site/g.txt", "v0 old");
    Make("site/g.txt.bak", "the user's own");
    ASSERT_EQ(Cli({"-b", "-s", "old", "-r", "mid", Site("").string()}), 0) << err_;
    ASSERT_EQ(Cli({"-b", "-s", "mid", "-r", "new", Site("").string()}), 0) << err_;
    ASSERT_EQ(Cli({"--undo"}), 0) << out_ << err_;
    EXPECT_EQ(ReadBytes(file), "v0 mid");
    ASSERT_EQ(Cli({"--undo"}), 0) << out_ << err_;
    EXPECT_EQ(out_, "restored\t" + file.string() + "\nrestored\t" + Site("g.txt").string() + "\n");
    EXPECT_EQ(ReadBytes(file), "v0 old");
    EXPECT_EQ(ReadBytes(Site("g.txt")), "v0 old");
    EXPECT_TRUE(fs::exists(Site("g.txt.bak")));  // its name stood before: not the runs' to remove
    // f.txt.bak: the second run's backup took the name of the first one's,
    // which a recorded run made: the second run's undo removed it.
    EXPECT_FALSE(fs::exists(Site("f.txt.bak")));
    EXPECT_EQ(err_.find("changed since the run"), std::string::npos) << err_;
}

// An undo never writes through a path that now leads elsewhere: a link put
// in the file's place, or another file with the very bytes the run wrote.
TEST_F(UndoTest, PathThatLeadsElsewhereIsLeftAlone) {
    const auto a = Make("site/a.txt", "old a"), b = Make("site/b.txt", "old b");
    const auto other = Make("other.txt", "elsewhere");
    ASSERT_EQ(Cli({"-s", "old", "-r", "new", (Dir() / "site").string()}), 0) << err_;
    fs::remove(a);
    fs::create_symlink(other, a);
    fs::remove(b);
    Make("site/b.txt", "new b");  // the same content, another file
    EXPECT_EQ(Cli({"--undo"}), 1);
    EXPECT_EQ(out_, "changed\t" + a.string() + "\nchanged\t" + b.string() + "\n");
    EXPECT_EQ(ReadBytes(other), "elsewhere");
    EXPECT_TRUE(fs::is_symlink(a));
    EXPECT_EQ(ReadBytes(b), "new b");
}

// Where a file system numbers its files anew (FUSE after a remount: sshfs,
// smbnetfs), what the run wrote is still known by its size, its time and its
// content: such a file, made here as a copy with the run's time under
// another inode, is put back; one whose time differs is not.
TEST_F(UndoTest, WrittenFileUnderAnotherNumberIsPutBack) {
    const auto a = Make("site/a.txt", "old a"), b = Make("site/b.txt", "old b");
    ASSERT_EQ(Cli({"-s", "old", "-r", "new", (Dir() / "site").string()}), 0) << err_;
    for (const fs::path& file : {a, b}) {
        struct stat st {};
        ASSERT_EQ(::stat(file.c_str(), &st), 0);
        const fs::path copy = file.string() + ".copy";
        fs::copy_file(file, copy);
        fs::rename(copy, file);  // another inode, the same bytes
        const struct timespec times[2] = {st.st_atim, st.st_mtim};
        if (file == a) {
            ASSERT_EQ(::utimensat(AT_FDCWD, file.c_str(), times, 0), 0);
        }
    }
    EXPECT_EQ(Cli({"--undo"}), 1) << err_;
    EXPECT_EQ(out_, "restored\t" + a.string() + "\nchanged\t" + b.string() + "\n");
    EXPECT_EQ(ReadBytes(a), "old a");
    EXPECT_EQ(ReadBytes(b), "new b");
}

// The original is kept as a second name of the very file read (no data
// copied) where the store shares its file system; across file systems as a
// flushed copy, or as the backup, which is checked before it is used.
TEST_F(UndoTest, OriginalKeptAsLinkCopyOrBackup) {
    const auto page = Make("site/page.htm", std::string(100000, 'x') + "old");
    struct stat before {};
    ::stat(page.c_str(), &before);
    ASSERT_EQ(Cli({"-s", "old", "-r", "new", page.string()}), 0) << err_;
    const auto kept = Store() / NewestId() / "f1";
    struct stat held {};
    ASSERT_EQ(::stat(kept.c_str(), &held), 0);
    EXPECT_EQ(held.st_ino, before.st_ino);  // the same file: no new data blocks
    EXPECT_EQ(held.st_nlink, 1u);

    // A store on another file system (a tmpfs).
    const fs::path other = fs::path("/dev/shm") / ("tarnwick-undo-" + std::to_string(::getpid()));
    fs::create_directories(other);
    test::ScopedEnvironment elsewhere("XDG_STATE_HOME", other.c_str());
    const auto copied = Make("site/copied.txt", "old one");
    ASSERT_EQ(Cli({"-s", "old", "-r", "new", copied.string()}), 0) << err_;
    const std::string copyRun = NewestId();
    EXPECT_EQ(ReadBytes(other / "tarnwick" / "undo" / copyRun / "f1c"), "old one");  // (a copy where no link could be)
    // With a backup, the record still keeps a copy of its own: an edit of the backup changes nothing of it.
    const auto backedUp = Make("site/backed.txt", "old two");
    ASSERT_EQ(Cli({"-b", "-s", "old", "-r", "new", backedUp.string()}), 0) << err_;
    const std::string backupRun = NewestId();
    EXPECT_EQ(ReadBytes(other / "tarnwick" / "undo" / backupRun / "f1"), "old two");
    test::WriteBytes(Site("backed.txt.bak"), "tampered");
    EXPECT_EQ(Cli({"--undo", backupRun}), 0) << out_;
    EXPECT_EQ(ReadBytes(backedUp), "old two");
    EXPECT_EQ(Cli({"--undo", copyRun}), 0) << out_;
    EXPECT_EQ(ReadBytes(copied), "old one");
    fs::remove_all(other);
}

// With backups the backup is a second name of the file read, so the original
// kept for undo is a copy of its own: a changed mode, an edit in place of the
// backup change nothing of what an undo puts back, which gets the recorded
// mode and shares its inode with no backup.
TEST_F(UndoTest, KeptOriginalIsNotTheBackup) {
    const auto file = Make("site/secret.conf", "old secret");
    ASSERT_EQ(::chmod(file.c_str(), 0600), 0);
    ASSERT_EQ(Cli({"-b", "-s", "old", "-r", "new", file.string()}), 0) << err_;
    const fs::path backup = Site("secret.conf.bak");
    ASSERT_EQ(::chmod(backup.c_str(), 0644), 0);
    std::ofstream(backup, std::ios::binary | std::ios::in | std::ios::out) << "OLD";
    ASSERT_EQ(Cli({"--undo"}), 0) << out_ << err_;
    EXPECT_EQ(ReadBytes(file), "old secret");
    struct stat restored {
    }, copy{};
    ASSERT_EQ(::stat(file.c_str(), &restored), 0);
    ASSERT_EQ(::stat(backup.c_str(), &copy), 0);
    EXPECT_EQ(restored.st_mode & 07777, 0600u);
    EXPECT_NE(restored.st_ino, copy.st_ino);
    EXPECT_EQ(ReadBytes(backup), "OLD secret");
}

// --no-undo keeps nothing; a store others may write is refused, as ssh
// refuses its keys; the oldest records go first when the budget is spent.
TEST_F(UndoTest, NoRecordRefusedStoreAndBudget) {
    const auto file = Make("site/a.txt", "old");
    ASSERT_EQ(Cli({"--no-undo", "-s", "old", "-r", "new", file.string()}), 0);
    EXPECT_EQ(err_.find("--undo"), std::string::npos) << err_;
    EXPECT_EQ(Cli({"--undo"}), 2);

    fs::permissions(Store(), fs::perms(0777));
    EXPECT_EQ(Cli({"-s", "new", "-r", "old", file.string()}), 2);
    EXPECT_NE(err_.find(Store().string() + " may be written by other users"), std::string::npos) << err_;
    EXPECT_EQ(ReadBytes(file), "new");
    fs::permissions(Store(), fs::perms(0700));

    // Three runs of a block each (10 bytes: the disk's 4 KiB) in a budget of 2.4 blocks and 2 runs.
    const UndoBudget budget{10000, 2, 0};
    const auto store = std::get<UndoStore>(UndoStore::Open(Store()));
    std::vector<std::string> ids;
    for (int round = 0; round < 3; ++round) {
        const auto f = Make("site/f" + std::to_string(round), "0123456old");
        auto keeper = std::get<std::shared_ptr<UndoKeeper>>(UndoKeeper::Start(store, {}, budget));
        CorrectionRun run(Corrector("old", "new"), {f}, RunMode::Correct);
        run.KeepUndo(keeper);
        test::Execute(run);
        ids.push_back(keeper->Record().id);
        EXPECT_TRUE(keeper->Written());
        // A record made room for goes whole, whatever was put in its folder.
        if (round == 0) {
            fs::create_directories(Store() / ids[0] / "notes");
            test::WriteBytes(Store() / ids[0] / "notes" / "x", "planted");
        }
    }
    const auto records = store.Records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].id, ids[2]);
    EXPECT_EQ(records[1].id, ids[1]);
    EXPECT_FALSE(fs::exists(Store() / ids[0]));
    // A record dropped to stay within the budget is told as such, with when.
    EXPECT_EQ(Cli({"--undo", ids[0]}), 2);
    EXPECT_NE(err_.find("the record of run " + ids[0] + " was dropped on "), std::string::npos) << err_;
    // One run correcting a new file `name`, recorded in `into` with `limits`.
    const auto recorded = [&](const UndoStore& into, const UndoBudget& limits, const std::string& name) {
        auto keeper = std::get<std::shared_ptr<UndoKeeper>>(UndoKeeper::Start(into, {}, limits));
        CorrectionRun fresh(Corrector("old", "new"), {Make("site/" + name, "old")}, RunMode::Correct);
        fresh.KeepUndo(keeper);
        test::Execute(fresh);
    };
    // Past the count, a run younger than the age kept stays.
    const auto third = std::get<UndoStore>(UndoStore::Open(Dir() / "third"));
    for (int round = 0; round < 3; ++round) recorded(third, {1u << 20, 1, 3600, 1}, "y" + std::to_string(round));
    EXPECT_EQ(third.Records().size(), 3u);
    // Old runs past the last one are not dropped while their originals fit
    // and their number is below the most.
    const auto fourth = std::get<UndoStore>(UndoStore::Open(Dir() / "fourth"));
    for (int round = 0; round < 4; ++round) recorded(fourth, {1u << 20, 1, 0, 1000}, "z" + std::to_string(round));
    EXPECT_EQ(fourth.Records().size(), 4u);
    // An empty run ID names no run: nothing is undone.
    EXPECT_EQ(Cli({"--undo", ""}), 2);
    EXPECT_NE(err_.find("no run  to undo (see --history)"), std::string::npos) << err_;
    EXPECT_EQ(ReadBytes(Dir() / "site/f2"), "0123456new");
    // The run an undo puts back is never removed to make room for the undo's record.
    UndoRecord undo;
    undo.undoes = ids[1];
    auto undoKeeper = std::get<std::shared_ptr<UndoKeeper>>(UndoKeeper::Start(store, undo, budget));
    EXPECT_TRUE(fs::exists(Store() / ids[1] / "record"));
    undoKeeper->Commit();
    const auto big = Make("site/big", std::string(12000, 'x') + "old");
    auto keeper = std::get<std::shared_ptr<UndoKeeper>>(UndoKeeper::Start(store, {}, budget));
    CorrectionRun run(Corrector("old", "new"), {big}, RunMode::Correct);
    run.KeepUndo(keeper);
    EXPECT_TRUE(test::Execute(run)[0].Corrected());
    ASSERT_EQ(keeper->NotUndoable().size(), 1u);
    EXPECT_EQ(keeper->NotUndoable()[0].file, fs::absolute(big));
    EXPECT_FALSE(keeper->NotUndoable()[0].code);  // no room: not a failure of the system's
    EXPECT_EQ(store.Records().size(), 3u);        // nothing removed for a file that could never fit

    // A file that could not fit even with every older record gone takes
    // nobody's room: this run's own originals stay, and so do the others'.
    const auto second = std::get<UndoStore>(UndoStore::Open(Dir() / "second"));
    const UndoBudget tight{10000, 10, 0};
    for (int round = 0; round < 2; ++round) {
        auto older = std::get<std::shared_ptr<UndoKeeper>>(UndoKeeper::Start(second, {}, tight));
        CorrectionRun earlier(Corrector("old", "new"), {Make("site/g" + std::to_string(round), "0123456old")},
                              RunMode::Correct);
        earlier.KeepUndo(older);
        test::Execute(earlier);
    }
    ASSERT_EQ(second.Records().size(), 2u);
    const auto small = Make("site/h0", "0123456old"), large = Make("site/h1", std::string(6000, 'x') + "old");
    auto both = std::get<std::shared_ptr<UndoKeeper>>(UndoKeeper::Start(second, {}, tight));
    CorrectionRun two(Corrector("old", "new"), {small, large}, RunMode::Correct, 1);
    two.KeepUndo(both);
    test::Execute(two);
    ASSERT_EQ(both->NotUndoable().size(), 1u);
    EXPECT_EQ(both->NotUndoable()[0].file, fs::absolute(large));
    both->Commit();
    const auto kept = second.Records();
    ASSERT_EQ(kept.size(), 2u);          // the newer of the two older runs, and this one
    EXPECT_EQ(kept[0].notUndoable, 1u);  // ...which says how many of its files cannot be put back
    EXPECT_EQ(kept[0].fileCount, 1u);
    // An undo keeps what it replaces within the budget too, the originals of
    // the run it puts back counted (and never removed): the older run goes.
    UndoRecord putBack;
    putBack.undoes = kept[0].id;
    RestoreRun restore(*RecordFiles::Open(kept[0]),
                       std::get<std::shared_ptr<UndoKeeper>>(UndoKeeper::Start(second, putBack, tight)));
    RunCallbacks sink;
    sink.file = [](const FileReport&) { return true; };
    restore.Execute(sink);
    EXPECT_EQ(ReadBytes(small), "0123456old");
    std::uint64_t held = 0;
    for (const UndoRecord& r : second.Records()) held += r.keptBytes;
    EXPECT_LE(held, tight.bytes);
    EXPECT_EQ(second.Records().size(), 2u);  // the undo and the run it undid
}

// An undo killed half-way leaves every file old or new, and a second undo
// finishes the job.
TEST_F(UndoTest, KilledUndoIsFinishedByTheNext) {
    constexpr int kFiles = 30;
    for (int i = 0; i < kFiles; ++i) Make("site/f" + std::to_string(i), "old " + std::to_string(i));
    ASSERT_EQ(Cli({"-s", "old", "-r", "new", (Dir() / "site").string()}), 0) << err_;
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Killed at the tenth replacement. (Files are put back on several
        // threads: none renames past the ninth while the signal is on its way.)
        os::Sys().renameat = [](int from, const char* a, int to, const char* b) {
            static std::atomic<int> renames{0};
            if (++renames >= 10) {
                ::kill(::getpid(), SIGKILL);
                for (;;) ::pause();
            }
            return ::renameat(from, a, to, b);
        };
        std::ostringstream out, err;
        _exit(cli::Run({"--undo"}, out, err, false, nullptr));
    }
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status));
    int old = 0;
    for (int i = 0; i < kFiles; ++i) {
        const std::string content = ReadBytes(Site("f" + std::to_string(i)));
        EXPECT_TRUE(content == "old " + std::to_string(i) || content == "new " + std::to_string(i)) << content;
        old += content[0] == 'o';
    }
    EXPECT_EQ(old, 9);
    ASSERT_EQ(Cli({"--undo"}), 0) << out_ << err_;
    for (int i = 0; i < kFiles; ++i) EXPECT_EQ(ReadBytes(Site("f" + std::to_string(i))), "old " + std::to_string(i));
    // The killed undo's second name of a file is gone with it.
    for (const auto& e : fs::directory_iterator(Dir() / "site"))
        EXPECT_EQ(e.path().filename().string().rfind(".~tarnwick-", 0), std::string::npos) << e.path();
}

// An undo that failed some files is gone on with by the next --undo, before
// any older run; one over a tree that moved away is listed and taken as the
// run it still is, by --history and --undo alike.
TEST_F(UndoTest, PartlyUndoneRunIsGoneOnWith) {
    const auto older = Make("site/older.txt", "old");
    ASSERT_EQ(Cli({"-s", "old", "-r", "new", older.string()}), 0) << err_;
    fs::create_directory(Dir() / "two");
    const auto a = Make("two/a.txt", "old a"), b = Make("two/b.txt", "old b");
    ASSERT_EQ(Cli({"-s", "old", "-r", "new", (Dir() / "two").string()}), 0) << err_;
    const std::string id = NewestId();
    {
        const os::SystemCalls saved = os::Sys();
        os::Sys().renameat = [](int from, const char* x, int to, const char* y) {
            if (std::string_view(y) == "b.txt") return errno = EIO, -1;
            return ::renameat(from, x, to, y);
        };
        EXPECT_EQ(Cli({"--undo"}), 1);
        os::Sys() = saved;
    }
    EXPECT_EQ(ReadBytes(a), "old a");
    EXPECT_EQ(ReadBytes(b), "new b");
    ASSERT_EQ(Cli({"--history"}), 0);
    EXPECT_NE(out_.find(id + "\t"), std::string::npos);
    EXPECT_NE(out_.find("\tpartly\t2\t"), std::string::npos) << out_;
    ASSERT_EQ(Cli({"--undo"}), 0) << out_ << err_;
    EXPECT_EQ(ReadBytes(b), "old b");
    EXPECT_EQ(ReadBytes(older), "new");  // the older run is not touched

    ASSERT_EQ(Cli({"-s", "old", "-r", "new", (Dir() / "two").string()}), 0) << err_;
    fs::rename(Dir() / "two", Dir() / "moved");
    EXPECT_EQ(Cli({"--undo"}), 1);
    EXPECT_NE(out_.find("changed\t" + a.string()), std::string::npos) << out_;
    ASSERT_EQ(Cli({"--history"}), 0);
    const std::string newest = out_.substr(0, out_.find('\n'));
    EXPECT_NE(newest.find("undo of"), std::string::npos) << out_;
    EXPECT_NE(out_.find("\tundoable\t2\t"), std::string::npos) << out_;
    EXPECT_EQ(Cli({"--undo"}), 1) << "the same run again, as --history lists it";
    EXPECT_NE(out_.find("changed\t" + a.string()), std::string::npos) << out_;
}

// One undo of a run at a time: a second one, while the first holds the run's
// record, is refused with a reason; and no correcting run removes a record an
// undo holds to make room for its own.
TEST_F(UndoTest, HeldRecordIsNeitherUndoneTwiceNorRemoved) {
    const auto file = Make("site/a.txt", "old");
    ASSERT_EQ(Cli({"-s", "old", "-r", "new", file.string()}), 0) << err_;
    const auto store = std::get<UndoStore>(UndoStore::Open(Store()));
    const UndoRecord first = store.Records().at(0);
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t holder = fork();
    ASSERT_GE(holder, 0);
    if (holder == 0) {
        os::File lock;
        if (UndoStore::Hold(first, lock)) _exit(1);
        (void)!::write(ready[1], "x", 1);
        ::pause();
        _exit(0);
    }
    char x;
    ASSERT_EQ(::read(ready[0], &x, 1), 1);
    EXPECT_EQ(Cli({"--undo"}), 2);
    EXPECT_NE(err_.find("is being undone by another process"), std::string::npos) << err_;
    EXPECT_EQ(ReadBytes(file), "new");
    // Two more runs in a budget of two: the held record stays.
    const UndoBudget budget{1u << 20, 2, 0, 2};
    for (int round = 0; round < 2; ++round) {
        const auto f = Make("site/f" + std::to_string(round), "old");
        auto keeper = std::get<std::shared_ptr<UndoKeeper>>(UndoKeeper::Start(store, {}, budget));
        CorrectionRun run(Corrector("old", "new"), {f}, RunMode::Correct);
        run.KeepUndo(keeper);
        test::Execute(run);
    }
    EXPECT_TRUE(fs::exists(first.folder / "record"));
    ::kill(holder, SIGKILL);
    ::waitpid(holder, nullptr, 0);
    ASSERT_EQ(Cli({"--undo", first.id}), 0) << out_ << err_;
    EXPECT_EQ(ReadBytes(file), "old");
}

// An undo reaches each file as the run did: through the folder it was given,
// then through real folders only. A folder of the tree swapped for a link to
// a folder elsewhere (a user's own, in a tree root corrects) leads nowhere:
// nothing there is read, cleaned or replaced; its files are told as changed.
// What a stopped run left in a folder where it began to write and changed
// nothing is cleaned by the undo too.
TEST_F(UndoTest, UndoStaysInTheTreeAndCleansWhereTheRunBegan) {
    fs::create_directories(Dir() / "site/sub");
    fs::create_directories(Dir() / "site/other");
    fs::create_directories(Dir() / "elsewhere");
    for (const char* name : {"f1", "f2"}) Make(std::string("site/sub/") + name, "old");
    Make("site/other/g.txt", "old and \xFF");  // no UTF-8: 'новый' has no form in windows-1252
    ASSERT_EQ(Cli({"-R", "-s", "old", "-r", "новый", (Dir() / "site").string()}), 1) << out_ << err_;
    EXPECT_NE(out_.find("failed\t" + (Dir() / "site/other/g.txt").string()), std::string::npos) << out_;
    // A stopped run's temporary file in each folder, as a kill would leave it.
    const auto stopped = [](const fs::path& folder) {
        const std::string name = ".~tarnwick-999999999-" + os::MachineTag() + "-00000001-0";
        test::WriteBytes(folder / name, "half");
        return folder / name;
    };
    const fs::path inOther = stopped(Dir() / "site/other");
    // The folder swapped: what is there now is someone else's.
    fs::rename(Dir() / "site/sub", Dir() / "site/sub.old");
    fs::create_directory_symlink(Dir() / "elsewhere", Dir() / "site/sub");
    for (const char* name : {"f1", "f2"}) Make(std::string("elsewhere/") + name, "новый");
    const fs::path inElsewhere = stopped(Dir() / "elsewhere");
    struct stat before {};
    ASSERT_EQ(::stat((Dir() / "elsewhere/f1").c_str(), &before), 0);
    const timespec old[2] = {{1, 0}, before.st_mtim};
    ASSERT_EQ(::utimensat(AT_FDCWD, (Dir() / "elsewhere/f1").c_str(), old, 0), 0);
    EXPECT_EQ(Cli({"--undo"}), 1) << out_ << err_;
    EXPECT_NE(out_.find("changed\t" + (Dir() / "site/sub/f1").string()), std::string::npos) << out_;
    struct stat after {};
    ASSERT_EQ(::stat((Dir() / "elsewhere/f1").c_str(), &after), 0);
    EXPECT_EQ(after.st_atim.tv_sec, 1) << "read through the link";
    for (const char* name : {"f1", "f2"}) EXPECT_EQ(ReadBytes(Dir() / "elsewhere" / name), "новый");
    EXPECT_TRUE(fs::exists(inElsewhere));
    EXPECT_FALSE(fs::exists(inOther));
}

// The records are never corrected, whatever leads a run to them: a walk of a
// tree that holds the store, or their files named in a list.
TEST_F(UndoTest, RecordsAreNeverCorrected) {
    const auto file = Make("site/a.txt", "old");
    ASSERT_EQ(Cli({"-s", "old", "-r", "new", file.string()}), 0) << err_;
    const std::string id = NewestId();
    const fs::path kept = Store() / id / "f1";
    ASSERT_EQ(ReadBytes(kept), "old");
    ASSERT_EQ(Cli({"-R", "--hidden", "-s", "old", "-r", "x", Dir().string()}), 0) << out_ << err_;
    EXPECT_EQ(out_.find(".state"), std::string::npos) << out_;
    std::ostringstream out, err;
    std::istringstream names(kept.string() + '\0' + (Store() / id / "record").string());
    EXPECT_EQ(cli::Run({"-s", "old", "-r", "x", "--files0-from", "-"}, out, err, false, &names), 0) << err.str();
    EXPECT_NE(out.str().find("skipped\t" + kept.string() + "\tone of this program's undo records\n"), std::string::npos)
        << out.str();
    EXPECT_EQ(ReadBytes(kept), "old");
    ASSERT_EQ(Cli({"--undo", id}), 0) << out_ << err_;
    EXPECT_EQ(ReadBytes(file), "old");
}

// Files other runs hold are waited for together: one deadline for the whole
// undo, not one wait a file.
TEST_F(UndoTest, HeldFilesAreWaitedForOnce) {
    std::vector<fs::path> files;
    for (int i = 0; i < 3; ++i) files.push_back(Make("site/f" + std::to_string(i), "old"));
    ASSERT_EQ(Cli({"-s", "old", "-r", "new", (Dir() / "site").string()}), 0) << err_;
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
    const auto store = std::get<UndoStore>(UndoStore::Open(Store()));
    auto made = RestoreRun::Of(store, store.Records().at(0));
    ASSERT_TRUE(std::holds_alternative<RestoreRun>(made));
    RestoreRun& run = std::get<RestoreRun>(made);
    run.SetLockWait(std::chrono::milliseconds(1000));
    std::vector<std::pair<FileOutcome, std::optional<Failure>>> told;
    RunCallbacks sink;
    sink.file = [&](const FileReport& r) {
        told.emplace_back(r.outcome, r.failure ? std::optional<Failure>(*r.failure) : std::nullopt);
        return true;
    };
    const auto started = std::chrono::steady_clock::now();
    run.Execute(sink);
    const auto took = std::chrono::steady_clock::now() - started;
    EXPECT_LT(took, std::chrono::milliseconds(1700));
    ASSERT_EQ(told.size(), 3u);
    EXPECT_EQ(told[1].first, FileOutcome::Restored);
    for (const std::size_t k : {0u, 2u}) {
        ASSERT_TRUE(told[k].second) << k;
        EXPECT_EQ(told[k].second->kind, FailureKind::Busy);
    }
    EXPECT_EQ(ReadBytes(files[1]), "old");

    // A stop (Ctrl+C) ends the wait at once, however long it may be.
    auto again = RestoreRun::Of(store, store.Records().at(1));
    ASSERT_TRUE(std::holds_alternative<RestoreRun>(again));
    RestoreRun& rest = std::get<RestoreRun>(again);
    StopRequest stop{false};
    rest.StopOn(&stop);
    std::thread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        stop = true;
    });
    const auto begun = std::chrono::steady_clock::now();
    EXPECT_FALSE(rest.Execute(sink));
    stopper.join();
    EXPECT_LT(std::chrono::steady_clock::now() - begun, std::chrono::seconds(5));  // (it would wait 30 s)
    ::kill(holder, SIGKILL);
    ::waitpid(holder, nullptr, 0);
    EXPECT_EQ(ReadBytes(files[0]), "new");
}

// Records are the user's alone: a record folder or file that another user
// owns or may write is not used (named once, with why), so no one can forge a
// record for another user's undo; contents are named by SHA-256 digests.
TEST_F(UndoTest, RecordsOthersCouldWriteAreNotUsed) {
    const auto file = Make("site/a.txt", "old");
    ASSERT_EQ(Cli({"-s", "old", "-r", "new", file.string()}), 0) << err_;
    const std::string id = NewestId();
    const std::string record = ReadBytes(Store() / id / "record");
    const auto line = record.substr(record.find("\nfile ") + 1);
    std::size_t digests = 0;
    for (std::size_t at = 0; (at = line.find(' ', at)) != std::string::npos; ++at)
        if (line.size() > at + 65 && line[at + 65] == ' ' &&
            line.substr(at + 1, 64).find_first_not_of("0123456789abcdef") == std::string::npos)
            ++digests;
    EXPECT_EQ(digests, 2u) << line;
    for (const auto& [path, mode] : {std::pair{Store() / id, 0770}, {Store() / id / "record", 0622}}) {
        SCOPED_TRACE(path);
        ASSERT_EQ(::chmod(path.c_str(), static_cast<mode_t>(mode)), 0);
        ASSERT_EQ(Cli({"--history"}), 0);
        EXPECT_EQ(out_.find(id), std::string::npos) << out_;
        EXPECT_NE(err_.find("tarnwick-cli: the undo record " + path.string() +
                            " is not used: it may be written by "
                            "other users"),
                  std::string::npos)
            << err_;
        EXPECT_EQ(Cli({"--undo", id}), 2);
        EXPECT_NE(err_.find("the record of run " + id + " is not used"), std::string::npos) << err_;
        EXPECT_EQ(ReadBytes(file), "new");
        ASSERT_EQ(::chmod(path.c_str(), path.filename() == "record" ? 0600 : 0700), 0);
    }
    if (geteuid() == 0) {
        ASSERT_EQ(::chown((Store() / id).c_str(), 65534, 65534), 0);
        EXPECT_EQ(Cli({"--undo", id}), 2);
        EXPECT_NE(err_.find("belongs to another user"), std::string::npos) << err_;
        ASSERT_EQ(::chown((Store() / id).c_str(), 0, 0), 0);
    }
    // A record's folder that is a link (to a record made elsewhere) is named too.
    fs::rename(Store() / id, Dir() / "moved");
    fs::create_directory_symlink(Dir() / "moved", Store() / id);
    ASSERT_EQ(Cli({"--history"}), 0);
    EXPECT_NE(err_.find("the undo record " + (Store() / id).string() + " is not used: it is a symbolic link"),
              std::string::npos)
        << err_;
    EXPECT_EQ(Cli({"--undo", id}), 2);
    EXPECT_NE(err_.find("the record of run " + id + " is not used"), std::string::npos) << err_;
    fs::remove(Store() / id);
    fs::rename(Dir() / "moved", Store() / id);
    ASSERT_EQ(Cli({"--undo", id}), 0) << out_ << err_;
    EXPECT_EQ(ReadBytes(file), "old");
}

// A write that lands in the file just as a run or an undo replaces it is not
// lost: the file goes back to what it holds with that write (for a run, from
// the original kept for undo, a second name of it), and is told changed.
TEST_F(UndoTest, WriteJustBeforeTheRenameIsKept) {
    const auto file = Make("site/a.txt", "old");
    static fs::path target;
    target = file;
    const auto appendingRun = [&](const std::vector<std::string>& args, const std::string& told) {
        const os::SystemCalls saved = os::Sys();
        os::Sys().renameat = [](int from, const char* x, int to, const char* y) {
            if (std::string_view(y) == "a.txt") std::ofstream(target, std::ios::app) << " and more";
            return ::renameat(from, x, to, y);
        };
        EXPECT_EQ(Cli(args), 1);
        os::Sys() = saved;
        EXPECT_NE(out_.find(told + "\t" + file.string()), std::string::npos) << out_;
        for (const auto& e : fs::directory_iterator(Dir() / "site"))
            EXPECT_EQ(e.path().filename().string().rfind(".~tarnwick-", 0), std::string::npos) << e.path();
    };
    appendingRun({"-s", "old", "-r", "new", file.string()}, "failed");
    EXPECT_EQ(ReadBytes(file), "old and more");
    EXPECT_EQ(Cli({"--undo"}), 2) << "nothing was corrected: " << out_ << err_;

    test::WriteBytes(file, "old");
    ASSERT_EQ(Cli({"-s", "old", "-r", "new", file.string()}), 0) << err_;
    appendingRun({"--undo"}, "changed");
    EXPECT_EQ(ReadBytes(file), "new and more");
}

// A file whose absolute path is longer than the system takes in one call
// (reached by a relative path) is undone all the same.
TEST_F(UndoTest, PathLongerThanTheSystemTakes) {
    const fs::path start = fs::current_path();
    fs::current_path(Dir());
    const std::string part(250, 'd');
    for (int depth = 0; depth < 20; ++depth) {
        fs::create_directory(part);
        fs::current_path(part);
    }
    test::WriteBytes("a.txt", "old");
    const std::string deep = fs::current_path().string();
    EXPECT_GT(deep.size(), 4096u);
    EXPECT_EQ(Cli({"-s", "old", "-r", "new", "a.txt"}), 0) << err_;
    EXPECT_EQ(err_.find("not undoable"), std::string::npos) << err_;
    fs::current_path(Dir());
    EXPECT_EQ(Cli({"--undo"}), 0) << out_ << err_;
    for (int depth = 0; depth < 20; ++depth) fs::current_path(part);
    EXPECT_EQ(ReadBytes("a.txt"), "old");
    fs::current_path(start);
    test::Shell("rm -rf '" + (Dir() / part).string() + "'");
}

// What a power cut can leave in the record folder: a folder that never got its
// name, one whose process file was lost, one whose process file is empty. They
// go; a record of another version of the program, and a live run's folder, stay.
TEST_F(UndoTest, LeftoversOfStoppedRunsInTheStoreGo) {
    const auto store = std::get<UndoStore>(UndoStore::Open(Store()));
    const std::string dead = "2147483600";  // no process has this number
    // A temporary name of this machine, with a process that is gone.
    const std::string temporary = os::TemporaryFileName().string(), pid = std::to_string(os::ProcessId());
    const std::string unnamed = temporary.substr(0, 11) + dead + temporary.substr(11 + pid.size());
    const auto put = [&](const std::string& at, const std::string& content) {
        fs::create_directories((Store() / at).parent_path());
        Make(".state/tarnwick/undo/" + at, content);
    };
    put(unnamed + "/f1", "kept");
    put("20260101-000000-001/f1", "kept");
    put("20260101-000000-002/process", "");
    put("20260101-000000-003/record", "tarnwick-undo-record 9\n");
    put("20260101-000000-004/process", pid + "\n");
    EXPECT_TRUE(store.Records().empty());
    EXPECT_FALSE(fs::exists(Store() / unnamed));
    EXPECT_FALSE(fs::exists(Store() / "20260101-000000-001"));
    EXPECT_FALSE(fs::exists(Store() / "20260101-000000-002"));
    EXPECT_TRUE(fs::exists(Store() / "20260101-000000-003" / "record"));
    EXPECT_TRUE(fs::exists(Store() / "20260101-000000-004"));
}

// A record names files whatever their names hold (spaces, '%', tabs,
// Cyrillic) and is read back exactly; a record damaged in any field of a
// file's line is not read at all (not listed, not undone, left in place).
TEST_F(UndoTest, RecordsReadBackExactlyOrNotAtAll) {
    const std::vector<std::string> names = {"a b.txt", "100% new.txt", "tab\there.txt", "файл.txt"};
    for (const auto& name : names) Make("site/" + name, "old " + name);
    ASSERT_EQ(Cli({"-s", "old", "-r", "new", Site("").string()}), 0) << err_;
    const std::string id = NewestId();
    ASSERT_EQ(Cli({"--undo", id}), 0) << out_ << err_;
    for (const auto& name : names) EXPECT_EQ(ReadBytes(Site(name)), "old " + name) << name;

    ASSERT_EQ(Cli({"-s", "old", "-r", "new", Site("").string()}), 0) << err_;
    const std::string second = NewestId();
    const fs::path record = Store() / second / "record";
    const std::string whole = ReadBytes(record);
    const auto fileLine = whole.find("\nfile ") + 1;
    const auto lineEnd = whole.find('\n', fileLine);
    const std::string line = whole.substr(fileLine, lineEnd - fileLine);
    // Each damage on its own: a field gone, a number that is none, a broken
    // escape, an unknown kind, a digest that is none. ("file TOKEN PATH DEVICE ...")
    const std::size_t token = line.find(' ') + 1, path = line.find(' ', token) + 1, device = line.find(' ', path) + 1;
    const std::vector<std::pair<std::string, std::string>> damages = {
        {line.substr(0, line.rfind(' ')), "the last field gone"},
        {std::string(line).replace(device, 1, "x"), "a number that is none"},
        {line.substr(0, path) + "%G1" + line.substr(device - 1), "a broken escape"},
        {std::string(line).replace(line.rfind("kept"), 4, "lost"), "an unknown kind"},
        {std::string(line).replace(0, 4, "fiel"), "a line of no known key"},
        {std::string(line).replace(line.size() - 1, 1, std::string(1, '\0')), "a NUL byte"},
        {std::string(line).replace(line.find(' ', line.find(' ', line.find(' ', device) + 1) + 1) + 1, 1, "z"),
         "a digest that is none"},
    };
    for (const auto& [damaged, what] : damages) {
        std::ofstream(record, std::ios::binary | std::ios::trunc)
            << whole.substr(0, fileLine) << damaged << whole.substr(lineEnd);
        EXPECT_EQ(Cli({"--history"}), 0) << what;
        EXPECT_EQ(out_.find(second), std::string::npos) << what;
        EXPECT_NE(err_.find(record.string() + " is not used: it cannot be read to its end"), std::string::npos)
            << what << ": " << err_;
        EXPECT_EQ(Cli({"--undo", second}), 2) << what;
        EXPECT_NE(err_.find("the record of run " + second + " cannot be read to its end"), std::string::npos)
            << what << ": " << err_;
        EXPECT_TRUE(fs::exists(record)) << what;
    }
    std::ofstream(record, std::ios::binary | std::ios::trunc) << whole;

    // A run's start reads each record's summary (written once), not its
    // files' lines; a summary of another version of the record, a torn one
    // or one others could write is not read.
    const fs::path summary = Store() / second / "summary";
    const auto history = [&] {
        EXPECT_EQ(Cli({"--history"}), 0);
        const auto at = out_.find(second + "\t");
        return at == std::string::npos ? std::string() : out_.substr(at, out_.find('\n', at) - at);
    };
    EXPECT_NE(history().find("\tundoable\t4\t"), std::string::npos) << out_;
    const std::string summed = ReadBytes(summary);
    ASSERT_NE(summed.find("\ncounts 4 "), std::string::npos) << summed;
    // Its folders are read with its files, by an undo: a summary stays a few
    // lines however many folders its run wrote in.
    EXPECT_EQ(summed.find("\nfolder "), std::string::npos) << summed;
    std::string forged = summed;
    forged.replace(forged.find("\ncounts 4 "), 9, "\ncounts 9 ");
    const auto plant = [&](const std::string& text, fs::perms mode) {
        fs::remove(summary);
        test::WriteBytes(summary, text);
        fs::permissions(summary, mode);
    };
    plant(forged, fs::perms(0600));
    EXPECT_NE(history().find("\tundoable\t9\t"), std::string::npos) << "the summary is what is read";
    // One of an older version, that names its folders, is made again.
    std::string older = forged;
    older.insert(older.find("\ncounts 9 "), "\nfolder /older/one%20two");
    plant(older, fs::perms(0600));
    EXPECT_NE(history().find("\tundoable\t4\t"), std::string::npos) << "a summary with folders";
    EXPECT_EQ(ReadBytes(summary), summed);
    plant(forged, fs::perms(0666));
    EXPECT_NE(history().find("\tundoable\t4\t"), std::string::npos) << "others could write it";
    plant(forged.substr(0, forged.size() / 2), fs::perms(0600));
    EXPECT_NE(history().find("\tundoable\t4\t"), std::string::npos) << "torn";
    plant(forged, fs::perms(0600));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::ofstream(record, std::ios::binary | std::ios::trunc) << whole;  // (a new time)
    EXPECT_NE(history().find("\tundoable\t4\t"), std::string::npos) << "another version of the record";
    ASSERT_EQ(Cli({"--undo", second}), 0) << out_ << err_;
    for (const auto& name : names) EXPECT_EQ(ReadBytes(Site(name)), "old " + name) << name;
}

}  // namespace
}  // namespace tarnwick
