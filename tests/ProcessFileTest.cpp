#include "cli/FailureWords.h"
#include "engine/rewrite/Corrector.h"
#include "platform/FileSystem.h"
#include "PlainReplace.h"
#include "TempDir.h"

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <random>

namespace tarnwick {
namespace {

using test::ReadBytes;
using test::TempDirTest;
namespace fs = std::filesystem;

BackupPolicy Backups(const std::string& extension = "bak") { return {true, fs::path(extension).native()}; }

class ProcessFileTest : public TempDirTest {
protected:
    // The file's bytes after a correction; binary files are let in (NUL is a byte like any other here).
    std::string Corrected(const std::string& content, const std::string& search, const std::string& replace,
                          std::size_t chunk = Corrector::kDefaultChunkSize) {
        const auto path = Make("f.txt", content);
        Corrector corrector(search, replace, {}, chunk);
        corrector.TakeBinaryFiles(true);
        const ProcessResult result = corrector.ProcessFile(path);
        EXPECT_FALSE(result.failure) << cli::Message(*result.failure);
        return ReadBytes(path);
    }
};

// The three classic cases: repeated, overlapping and self-containing patterns.
TEST_F(ProcessFileTest, ReplaceRules) {
    EXPECT_EQ(Corrected("abcabc", "abc", "x"), "xx");
    EXPECT_EQ(Corrected("aaa", "aa", "b"), "ba");
    EXPECT_EQ(Corrected("aXa", "a", "aa"), "aaXaa");
    EXPECT_EQ(Corrected("no match", "abc", "x"), "no match");
    EXPECT_EQ(Corrected("abc", "abc", ""), "");
    EXPECT_EQ(Corrected("", "abc", "x"), "");
}

// Random content, needles and chunk sizes (1 included, needles longer than a
// chunk) give exactly the reference result and count.
TEST_F(ProcessFileTest, StreamingMatchesReference) {
    std::mt19937 random(12345);
    const auto text = [&](std::size_t size, int alphabet) {
        std::string s(size, '\0');
        for (auto& c : s) c = static_cast<char>(alphabet == 256 ? random() % 256 : 'a' + random() % alphabet);
        return s;
    };
    for (int round = 0; round < 400; ++round) {
        const int alphabet = round % 4 == 3 ? 256 : 2 + round % 3;
        const std::string search = text(1 + random() % 6, alphabet);
        const std::string replace = text(random() % 8, alphabet);
        const std::string content = text(random() % 200, alphabet);
        const std::size_t chunk = 1 + random() % 9;
        std::uint64_t expectedCount = 0;
        const std::string expected = test::PlainReplace(content, search, replace, expectedCount);

        const auto path = Make("f.txt", content);
        Corrector corrector(search, replace, {}, chunk);
        corrector.TakeBinaryFiles(true);
        const ProcessResult result = corrector.ProcessFile(path);
        ASSERT_FALSE(result.failure);
        ASSERT_EQ(ReadBytes(path), expected) << content << " / " << search << " -> " << replace << " chunk " << chunk;
        ASSERT_EQ(result.replacements, expectedCount);
        ASSERT_EQ(expected.size(), content.size() + expectedCount * replace.size() - expectedCount * search.size());
    }
}

// Every byte outside an occurrence survives: all 256 values, NUL, CR/LF, BOM, bad UTF-8.
TEST_F(ProcessFileTest, BytesOutsideOccurrencesSurvive) {
    std::string all;
    for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
    const std::string content = "\xEF\xBB\xBF" + all + "\r\nOLD\r\n\x98\xFF\xC0\x80OLD\0tail" + all;
    std::string expected = content;
    for (std::size_t p; (p = expected.find("OLD")) != std::string::npos;) expected.replace(p, 3, "new");
    EXPECT_EQ(Corrected(std::string(content.data(), content.size()), "OLD", "new", 7), expected);
}

// A file without an occurrence (an empty search string, or one corrected
// meanwhile) is left alone, backup included, and its verdict is returned.
TEST_F(ProcessFileTest, NoOccurrenceChangesNothing) {
    const auto path = Make("f.txt", "same content");
    const auto backup = Make("f.txt.bak", "the original");
    os::FileInfo before, after;
    ASSERT_FALSE(os::Stat(path, before));
    for (const auto& [search, replace, verdict] : {std::tuple{"", "x", FileVerdict::Unknown},
                                                   {"", "same", FileVerdict::AlreadyCorrected},
                                                   {"old", "content", FileVerdict::AlreadyCorrected},
                                                   {"old", "new", FileVerdict::Unknown}}) {
        Corrector corrector(search, replace, Backups());
        const ProcessResult result = corrector.ProcessFile(path);
        ASSERT_FALSE(result.failure) << cli::Message(*result.failure);
        EXPECT_FALSE(result.Corrected());
        EXPECT_EQ(result.verdict, verdict) << search << "/" << replace;
    }
    ASSERT_FALSE(os::Stat(path, after));
    EXPECT_TRUE(before.SameFileAs(after));  // not replaced
    EXPECT_EQ(ReadBytes(backup), "the original");
    EXPECT_EQ(Names(), (std::vector<std::string>{"f.txt", "f.txt.bak"}));
}

// Backups on: the first run keeps the original; the second keeps the once-corrected file.
TEST_F(ProcessFileTest, BackupsOnFirstAndSecondRun) {
    const auto path = Make("page.htm", "old old");
    Corrector first("old", "new", Backups());
    ASSERT_FALSE(first.ProcessFile(path).failure);
    EXPECT_EQ(ReadBytes(path), "new new");
    EXPECT_EQ(ReadBytes(Dir() / "page.htm.bak"), "old old");

    Corrector second("new", "newer", Backups());
    ASSERT_FALSE(second.ProcessFile(path).failure);
    EXPECT_EQ(ReadBytes(path), "newer newer");
    EXPECT_EQ(ReadBytes(Dir() / "page.htm.bak"), "new new");
    EXPECT_EQ(Names(), (std::vector<std::string>{"page.htm", "page.htm.bak"}));
}

#ifndef _WIN32
// Backups off: no file but the corrected one remains, and it keeps its permission bits.
TEST_F(ProcessFileTest, NoBackupLeavesOnlyTheFileWithItsMode) {
    const auto path = Make("run.sh", "echo old");
    ASSERT_EQ(chmod(path.c_str(), 0751), 0);
    Corrector corrector("old", "new");
    ASSERT_FALSE(corrector.ProcessFile(path).failure);
    EXPECT_EQ(Names(), std::vector<std::string>{"run.sh"});
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0751u);
}

// A symbolic link is followed: the target is corrected and the link stays a link.
TEST_F(ProcessFileTest, SymbolicLinkIsFollowed) {
    fs::create_directory(Dir() / "real");
    const auto target = Make("real/page.htm", "old");
    const auto link = Dir() / "page.htm";
    fs::create_symlink("real/page.htm", link);
    Corrector corrector("old", "new", Backups());
    ASSERT_FALSE(corrector.ProcessFile(link).failure);
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(ReadBytes(target), "new");
    // Corrected as its target: the backup is the target's.
    EXPECT_EQ(ReadBytes(Dir() / "real/page.htm.bak"), "old");
    EXPECT_FALSE(fs::exists(Dir() / "page.htm.bak"));
}

#endif

// A hard-linked file gets a new content under its own name; its other names keep the old one.
TEST_F(ProcessFileTest, HardLinkKeepsOtherNamesUnchanged) {
    const auto path = Make("a.txt", "old");
    fs::create_hard_link(path, Dir() / "b.txt");
    Corrector corrector("old", "new");
    ASSERT_FALSE(corrector.ProcessFile(path).failure);
    EXPECT_EQ(ReadBytes(path), "new");
    EXPECT_EQ(ReadBytes(Dir() / "b.txt"), "old");
}

// Backups on with no usable extension are refused before anything changes.
TEST_F(ProcessFileTest, UnusableBackupExtensionIsRefused) {
    const auto path = Make("a.txt", "old");
    for (const std::string ext : {"", "x/y"}) {
        Corrector corrector("old", "new", Backups(ext));
        const ProcessResult result = corrector.ProcessFile(path);
        ASSERT_TRUE(result.failure);
        EXPECT_EQ(result.failure->kind, FailureKind::BadBackupName);
    }
    EXPECT_EQ(ReadBytes(path), "old");
    EXPECT_EQ(Names(), std::vector<std::string>{"a.txt"});
}

// Large files stream through a small chunk: result exact, memory bounded by the chunk.
TEST_F(ProcessFileTest, LargeFileThroughSmallChunks) {
    std::string content;
    for (int i = 0; i < 20000; ++i) content += "line " + std::to_string(i) + " has OLD text\n";
    std::uint64_t count = 0;
    const std::string expected = test::PlainReplace(content, "OLD", "NEWER", count);
    const auto path = Make("big.txt", content);
    Corrector corrector("OLD", "NEWER", {}, 4096);
    const ProcessResult result = corrector.ProcessFile(path);
    ASSERT_FALSE(result.failure);
    EXPECT_EQ(result.replacements, 20000u);
    EXPECT_EQ(ReadBytes(path), expected);
}

}  // namespace
}  // namespace tarnwick
