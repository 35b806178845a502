#include "cli/FailureWords.h"
#include "platform/CodePage.h"
#include "engine/rewrite/Corrector.h"
#include "TempDir.h"

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <random>

namespace tarnwick {
namespace {

using test::TempDirTest;
namespace fs = std::filesystem;

class CheckFileTest : public TempDirTest {
protected:
    FileVerdict Verdict(const std::string& content, const std::string& search, const std::string& replace,
                        std::size_t chunk = Corrector::kDefaultChunkSize) {
        const auto path = Make("f.txt", content);
        Corrector corrector(search, replace, {}, chunk);
        const CheckResult result = corrector.CheckFile(path);
        EXPECT_FALSE(result.failure) << cli::Message(*result.failure);
        return result.verdict;
    }
};

// Search string present wins; then replace string; then unknown. Case counts.
TEST_F(CheckFileTest, VerdictRules) {
    EXPECT_EQ(Verdict("xx abc yy", "abc", "xyz"), FileVerdict::ToCorrect);
    EXPECT_EQ(Verdict("xyz and abc", "abc", "xyz"), FileVerdict::ToCorrect);
    EXPECT_EQ(Verdict("only xyz here", "abc", "xyz"), FileVerdict::AlreadyCorrected);
    EXPECT_EQ(Verdict("neither", "abc", "xyz"), FileVerdict::Unknown);
    EXPECT_EQ(Verdict("abc", "Abc", "xyz"), FileVerdict::Unknown);
    EXPECT_EQ(Verdict("", "abc", "xyz"), FileVerdict::Unknown);
}

// An empty string occurs in every non-empty file and in no empty one.
TEST_F(CheckFileTest, EmptyStringRule) {
    EXPECT_EQ(Verdict("anything", "", "xyz"), FileVerdict::ToCorrect);
    EXPECT_EQ(Verdict("", "", "xyz"), FileVerdict::Unknown);
    EXPECT_EQ(Verdict("anything", "abc", ""), FileVerdict::AlreadyCorrected);
    EXPECT_EQ(Verdict("", "abc", ""), FileVerdict::Unknown);
    EXPECT_EQ(Verdict("", "", ""), FileVerdict::Unknown);
}

// Occurrences anywhere relative to chunk boundaries are found, for every chunk size.
TEST_F(CheckFileTest, OccurrencesAcrossChunkBoundaries) {
    const std::string search = "needle";
    const std::string replace = "pin";
    for (std::size_t chunk = 1; chunk <= 12; ++chunk) {
        for (std::size_t at = 0; at < 14; ++at) {
            std::string body(20, '.');
            EXPECT_EQ(Verdict(body.substr(0, at) + search + body, search, replace, chunk), FileVerdict::ToCorrect)
                << "chunk " << chunk << " at " << at;
            EXPECT_EQ(Verdict(body.substr(0, at) + replace + body, search, replace, chunk),
                      FileVerdict::AlreadyCorrected)
                << "chunk " << chunk << " at " << at;
            EXPECT_EQ(Verdict(body.substr(0, at) + "needl" + body + "eedle", search, replace, chunk),
                      FileVerdict::Unknown);
        }
    }
}

// A UTF-8 character split between two reads is followed across them, also
// where plain ASCII text comes next: whole, the file is UTF-8; a lead byte
// whose continuation comes only after a read of plain text is not.
TEST_F(CheckFileTest, Utf8FollowedAcrossReadsOfPlainText) {
    const auto forms = StringForms::Candidates(u"мир", u"свет", CodePage::Named("CP1251"), Encoding::Utf8);
    const std::string word = "\xD0\xBC\xD0\xB8\xD1\x80";  // "мир" in UTF-8
    for (const std::size_t chunk : {1, 2, 3, 7, 63, 64, 65, 130, 4096}) {
        SCOPED_TRACE(chunk);
        const std::string before(chunk - 1, 'a'), plain(chunk + 70, 'b');
        Corrector corrector(forms, {}, chunk);
        const CheckResult whole = corrector.CheckFile(Make("whole.txt", before + "\xC3\xA9" + plain + word));
        EXPECT_EQ(whole.verdict, FileVerdict::ToCorrect);
        EXPECT_FALSE(whole.notUtf8);
        const CheckResult torn = corrector.CheckFile(Make("torn.txt", before + "\xC3" + plain + "\xA9" + plain + word));
        EXPECT_TRUE(torn.notUtf8);
    }
}

// A NUL anywhere makes a file binary, whatever it holds and however it is
// read (a script with an archive after it: the occurrence comes first, the
// NUL 100 KB later); a UTF-16 byte-order mark makes it text. Let in, it is
// judged and corrected as any other, byte for byte.
TEST_F(CheckFileTest, BinaryFilesAreLeftAloneUnlessLetIn) {
    const std::string nul(1, '\0');
    for (const std::size_t chunk : {std::size_t{1}, std::size_t{7}, std::size_t{4096}, Corrector::kDefaultChunkSize}) {
        SCOPED_TRACE(chunk);
        EXPECT_EQ(Verdict("abc" + nul, "abc", "xyz", chunk), FileVerdict::Binary);
        EXPECT_EQ(Verdict(std::string(7999, '.') + nul + "abc", "abc", "xyz", chunk), FileVerdict::Binary);
        EXPECT_EQ(Verdict("abc" + std::string(7996, '.') + nul, "abc", "xyz", chunk), FileVerdict::Binary);
        EXPECT_EQ(Verdict(std::string(8000, '.') + nul + "abc", "abc", "xyz", chunk), FileVerdict::Binary);
        if (chunk > 1) {
            EXPECT_EQ(Verdict("#!/bin/sh\nabc\n" + std::string(100000, '.') + nul + "tar", "abc", "xyz", chunk),
                      FileVerdict::Binary);
        }
        EXPECT_EQ(Verdict(nul + "nothing", "abc", "xyz", chunk), FileVerdict::Binary);
    }
    // UTF-16 text is full of NULs.
    const auto utf16 = Make("u.txt", std::string("\xFF\xFE"
                                                 "a\0b\0c\0",
                                                 8));
    Corrector text(StringForms::Candidates(u"abc", u"xyz", std::nullopt, Encoding::Utf8));
    EXPECT_EQ(text.CheckFile(utf16).verdict, FileVerdict::ToCorrect);
    // UTF-32LE starts as UTF-16LE does, then two NULs: no UTF-16 text, never
    // rewritten as such.
    const std::string utf32("\xFF\xFE\0\0a\0\0\0b\0\0\0c\0\0\0", 16);
    const auto wide = Make("w.txt", utf32);
    EXPECT_EQ(text.CheckFile(wide).verdict, FileVerdict::Binary);
    EXPECT_FALSE(text.ProcessFile(wide).Corrected());
    EXPECT_EQ(test::ReadBytes(wide), utf32);

    const std::string image = "\x89PNG\r\n\x1a\n" + nul + nul + "abc" + nul + "\xFF";
    const auto png = Make("logo.png", image);
    Corrector plain("abc", "xyzw");
    EXPECT_EQ(plain.CheckFile(png).verdict, FileVerdict::Binary);
    EXPECT_FALSE(plain.ProcessFile(png).Corrected());
    EXPECT_EQ(test::ReadBytes(png), image);
    Corrector letIn("abc", "xyzw");
    letIn.TakeBinaryFiles(true);
    EXPECT_EQ(letIn.CheckFile(png).verdict, FileVerdict::ToCorrect);
    EXPECT_TRUE(letIn.ProcessFile(png).Corrected());
    EXPECT_EQ(test::ReadBytes(png), "\x89PNG\r\n\x1a\n" + nul + nul + "xyzw" + nul + "\xFF");

    // Rewritten, a self-extracting installer would lose its archive's offsets.
    const std::string installer = "#!/bin/sh\ntail -c +200 \"$0\" | tar x abc\nexit\n" + std::string(20000, '#') + nul;
    const auto sfx = Make("setup.sh", installer);
    EXPECT_EQ(plain.ProcessFile(sfx).verdict, FileVerdict::Binary);
    EXPECT_EQ(test::ReadBytes(sfx), installer);
}

// Files of binary formats are known by their first bytes even where no NUL
// shows them (a PDF whose first streams come late, a ZIP whose first member
// is text), in windows of any size; text that starts with the same letters
// ("BM", "MZ", "OTTO", "ID3 ") is text.
TEST_F(CheckFileTest, BinaryFormatsKnownByTheirFirstBytes) {
    const std::string body = " abc and more text\n";
    const std::vector<std::string> headers = {
        "%PDF-1.7\n%\xE2\xE3\xCF\xD3\n",
        "PK\x03\x04\x14\x06",
        "\x1F\x8B\x08\x08",
        std::string("\xFD"
                    "7zXZ\0",
                    6),
        "\x28\xB5\x2F\xFD\x24",
        "BZh91AY&SY\x11",
        "7z\xBC\xAF\x27\x1C",
        "Rar!\x1A\x07\x01",
        "\x89PNG\r\n\x1A\n",
        "\xFF\xD8\xFF\xE0",
        "GIF89a\x01\x01",
        "RIFF\x24\x08\x01\x01WEBPVP8 ",
        "RIFF\x24\x08\x01\x01WAVEfmt ",
        "ID3\x04",
        "\xFF\xFB\x90\x44",
        "OggS",
        "fLaC",
        "\x7F"
        "ELF\x02\x01",
        "\xCF\xFA\xED\xFE",
        "\xCA\xFE\xBA\xBE",
        "wOFF"
        "OTTO",
        "wOF2"
        "true",
    };
    for (const std::size_t chunk : {std::size_t{1}, std::size_t{3}, Corrector::kDefaultChunkSize})
        for (const std::string& header : headers)
            EXPECT_EQ(Verdict(header + body, "abc", "xyz", chunk), FileVerdict::Binary) << header << ", " << chunk;
    for (const std::string text : {"BMW and abc", "MZ abc", "OTTO von abc", "ID3 abc", "PK abc", "GIF abc"})
        EXPECT_EQ(Verdict(text, "abc", "xyz"), FileVerdict::ToCorrect) << text;
    Corrector letIn("abc", "xyz");
    letIn.TakeBinaryFiles(true);
    EXPECT_EQ(letIn.CheckFile(Make("doc.pdf", "%PDF-1.4\n" + body)).verdict, FileVerdict::ToCorrect);
}

// A Cyrillic string typed by the user matches a file written in Windows-1251.
TEST_F(CheckFileTest, CyrillicAgainstCp1251File) {
    const auto cp = CodePage::Named("CP1251");
    ASSERT_TRUE(cp);
    const std::string file = "<p>\xCF\xF0\xE8\xE2\xE5\xF2 \x98 \xEC\xE8\xF0</p>";  // "Привет \x98 мир"
    EXPECT_EQ(Verdict(file, *cp->Encode(u"мир"), *cp->Encode(u"свет")), FileVerdict::ToCorrect);
    EXPECT_EQ(Verdict(file, *cp->Encode(u"Мир"), *cp->Encode(u"Привет")), FileVerdict::AlreadyCorrected);
}

// A check never creates a file: a missing path is Unknown, with a reason.
TEST_F(CheckFileTest, MissingFileIsReportedAndNotCreated) {
    Corrector corrector("a", "b");
    const auto path = Dir() / "missing.txt";
    const CheckResult result = corrector.CheckFile(path);
    EXPECT_EQ(result.verdict, FileVerdict::Unknown);
    ASSERT_TRUE(result.failure);
    EXPECT_EQ(result.failure->kind, FailureKind::Missing);
    EXPECT_EQ(result.failure->path, path);
    EXPECT_FALSE(fs::exists(path));
}

// Folders and FIFOs are refused at once; a FIFO with no writer must not hang the check.
TEST_F(CheckFileTest, NonFilesAreRefusedWithoutBlocking) {
    Corrector corrector("a", "b");
    const CheckResult folder = corrector.CheckFile(Dir());
    ASSERT_TRUE(folder.failure);
    EXPECT_EQ(folder.failure->kind, FailureKind::NotRegularFile);

#ifndef _WIN32
    const auto fifo = Dir() / "pipe";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const CheckResult pipe = corrector.CheckFile(fifo);
    EXPECT_EQ(pipe.verdict, FileVerdict::Unknown);
    ASSERT_TRUE(pipe.failure);
    EXPECT_EQ(pipe.failure->kind, FailureKind::NotRegularFile);
#endif
}

}  // namespace
}  // namespace tarnwick
