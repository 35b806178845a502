// Several pairs of strings replaced together in one pass.

#include "engine/rewrite/Corrector.h"
#include "engine/content/MultiSearcher.h"
#include "TempDir.h"
#include "Told.h"

#include <random>

#ifndef _WIN32
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace tarnwick {
namespace {

using test::ReadBytes;
using test::TempDirTest;

const CodePage kUtf8 = *CodePage::Named("UTF-8");

// The reference: at each place the longest search string that starts there,
// replaced text never searched again; each pair's count in `counts`.
template <typename Text>
Text ReplaceReference(const Text& text, const std::vector<std::pair<Text, Text>>& pairs,
                      std::vector<std::uint64_t>* counts = nullptr) {
    if (counts) counts->assign(pairs.size(), 0);
    Text out;
    for (std::size_t at = 0; at < text.size();) {
        std::size_t best = pairs.size();
        for (std::size_t p = 0; p < pairs.size(); ++p)
            if (text.compare(at, pairs[p].first.size(), pairs[p].first) == 0 &&
                (best == pairs.size() || pairs[p].first.size() > pairs[best].first.size()))
                best = p;
        if (best == pairs.size()) {
            out += text[at++];
            continue;
        }
        out += pairs[best].second;
        at += pairs[best].first.size();
        if (counts) ++(*counts)[best];
    }
    return out;
}

std::vector<TextPair> TextPairs(const std::vector<std::pair<std::u16string, std::u16string>>& pairs) {
    std::vector<TextPair> out;
    for (const auto& [search, replace] : pairs) out.push_back({search, replace});
    return out;
}

TEST(MultiSearcherTest, EveryOccurrenceOfEveryNeedleInOrder) {
    std::mt19937 random(27);
    for (int round = 0; round < 300; ++round) {
        // Few letters, so that needles overlap, share prefixes and recur.
        const auto text = [&](std::size_t length) {
            std::string s;
            for (std::size_t i = 0; i < length; ++i) s += static_cast<char>("abc\xC3"[random() % 4]);
            return s;
        };
        std::vector<std::string> needles;
        // (Of one or two letters there are 20 needles.)
        for (std::size_t n = 1 + random() % (round % 3 == 0 ? 20 : 40); needles.size() < n;) {
            std::string needle = text(1 + random() % (round % 3 == 0 ? 2 : 7));
            if (std::find(needles.begin(), needles.end(), needle) == needles.end()) needles.push_back(needle);
        }
        const MultiSearcher searcher(needles);
        const std::string haystack = text(random() % 300);
        const std::size_t from = haystack.empty() ? 0 : random() % haystack.size();
        std::vector<std::pair<std::size_t, std::uint32_t>> expected, found;
        for (std::size_t at = from; at < haystack.size(); ++at)
            for (std::uint32_t n = 0; n < needles.size(); ++n)
                if (haystack.compare(at, needles[n].size(), needles[n]) == 0) expected.emplace_back(at, n);
        searcher.ForEach(haystack, from, [&](std::size_t at, std::uint32_t n) {
            found.emplace_back(at, n);
            return true;
        });
        ASSERT_EQ(found, expected) << "round " << round;
    }
}

class PairsTest : public TempDirTest {};

// Swaps, the longest search string where two start together, no chaining,
// each pair's count: through both searchers (two pairs and more) and windows
// as small as one byte.
TEST_F(PairsTest, OnePassLongestFirstNeverChained) {
    const std::vector<std::pair<std::string, std::string>> cases[] = {
        {{"cat", "dog"}, {"dog", "cat"}},
        {{"cat", "dog"}, {"dog", "cat"}, {"catalog", "list"}, {"a", "A"}, {"at", ""}},
        {{"A", "B"}, {"B", "C"}, {"C", "A"}},
        {{"ab", "x"}, {"b", "y"}, {"abc", "z"}, {"bc", "w"}, {"c", "abc"}},
    };
    const std::string text = "a cat, a dog, the catalog; dogcat at ABC abcbcab catcatalog c";
    for (const auto& pairs : cases) {
        std::vector<std::pair<std::u16string, std::u16string>> pairs16;
        for (const auto& [s, r] : pairs) pairs16.emplace_back(*Utf8ToUtf16(s), *Utf8ToUtf16(r));
        std::vector<std::uint64_t> counts;
        const std::string expected = ReplaceReference(text, pairs, &counts);
        for (const std::size_t chunk : {1, 2, 3, 7, 64 * 1024}) {
            SCOPED_TRACE(pairs.size());
            const auto file = Make("f.txt", text);
            const auto told = test::Execute(Corrector(StringForms::Only(TextPairs(pairs16), kUtf8), {}, chunk), {file});
            ASSERT_EQ(told.size(), 1u);
            EXPECT_EQ(ReadBytes(file), expected) << "chunk " << chunk;
            EXPECT_EQ(told[0].pairCounts, counts);
        }
    }
}

// To correct when any search string occurs; already corrected when none does
// and a replace string does; unknown otherwise.
TEST_F(PairsTest, VerdictsOverAllPairs) {
    for (const int extra : {0, 3}) {  // two pairs, and five
        std::vector<TextPair> pairs = {{u"old1", u"new1"}, {u"old2", u"new2"}};
        for (int i = 0; i < extra; ++i) pairs.push_back({u"x-" + std::u16string(1, u'a' + i), u"y-z"});
        Corrector corrector(StringForms::Only(pairs, kUtf8));
        EXPECT_EQ(corrector.CheckFile(Make("a", "new1 and old2")).verdict, FileVerdict::ToCorrect);
        EXPECT_EQ(corrector.CheckFile(Make("b", "new1 only, new2")).verdict, FileVerdict::AlreadyCorrected);
        EXPECT_EQ(corrector.CheckFile(Make("c", "at the end: new2")).verdict, FileVerdict::AlreadyCorrected);
        EXPECT_EQ(corrector.CheckFile(Make("d", "old and new")).verdict, FileVerdict::Unknown);
        EXPECT_EQ(corrector.CheckFile(Make("e", std::string(100000, ' ') + "old2")).verdict, FileVerdict::ToCorrect);
    }
}

// Every pair in every encoding: one run over a folder of UTF-8, windows-1251
// and UTF-16 files, each corrected in its own encoding, with three pairs of
// Cyrillic strings (one pass of the many-needle searcher) and with two.
TEST_F(PairsTest, MixedEncodingsWithPairs) {
    const CodePage cp1251 = *CodePage::Named("CP1251");
    for (const std::size_t count : {2, 3}) {
        const std::vector<std::pair<std::u16string, std::u16string>> all = {
            {u"мир", u"свет"}, {u"свет", u"мир"}, {u"ok", u"да"}};
        const std::vector<std::pair<std::u16string, std::u16string>> pairs(all.begin(), all.begin() + count);
        const std::u16string text = u"мир и свет, ok? мирный светлый";
        const std::u16string expected = ReplaceReference(text, pairs);
        const auto utf16 = [](std::u16string_view t, bool bigEndian) {
            std::string out = bigEndian ? "\xFE\xFF" : "\xFF\xFE";
            for (const char16_t c : t) {
                const char hi = static_cast<char>(c >> 8), lo = static_cast<char>(c & 0xFF);
                out += bigEndian ? hi : lo;
                out += bigEndian ? lo : hi;
            }
            return out;
        };
        const auto a = Make("a.txt", *kUtf8.Encode(text)), b = Make("b.txt", *cp1251.Encode(text));
        const auto c = Make("c.txt", utf16(text, false)), d = Make("d.txt", utf16(text, true));
        const StringForms forms = StringForms::Candidates(TextPairs(pairs), cp1251, Encoding::Legacy);
        const auto told = test::Execute(Corrector(forms, {}, 5), {a, b, c, d});
        ASSERT_EQ(told.size(), 4u);
        EXPECT_EQ(ReadBytes(a), *kUtf8.Encode(expected));
        EXPECT_EQ(ReadBytes(b), *cp1251.Encode(expected));
        EXPECT_EQ(ReadBytes(c), utf16(expected, false));
        EXPECT_EQ(ReadBytes(d), utf16(expected, true));
        EXPECT_EQ(forms.Names(told[1].encodings), "windows-1251");
        EXPECT_EQ(forms.Names(told[3].encodings), "utf-16be");
        EXPECT_EQ(told[0].replacements, count == 2 ? 4u : 5u);
    }
}

// Random pairs over random text: the run makes what the reference makes.
TEST_F(PairsTest, AgreesWithTheReference) {
    std::mt19937 random(2712);
    const auto text = [&](std::size_t length) {
        std::string s;
        for (std::size_t i = 0; i < length; ++i) s += "abcd "[random() % 5];
        return s;
    };
    for (int round = 0; round < 60; ++round) {
        std::vector<std::pair<std::string, std::string>> pairs;
        std::vector<TextPair> pairs16;
        for (std::size_t n = 1 + random() % 12; pairs.size() < n;) {
            const std::string search = text(1 + random() % 4), replace = text(random() % 4);
            if (std::any_of(pairs.begin(), pairs.end(), [&](const auto& p) { return p.first == search; })) continue;
            pairs.emplace_back(search, replace);
            pairs16.push_back({*Utf8ToUtf16(search), *Utf8ToUtf16(replace)});
        }
        const std::string content = text(random() % 2000);
        const auto file = Make("r.txt", content);
        test::Execute(Corrector(StringForms::Only(pairs16, kUtf8), {}, 1 + random() % 64), {file});
        ASSERT_EQ(ReadBytes(file), ReplaceReference(content, pairs)) << "round " << round;
    }
}

}  // namespace
}  // namespace tarnwick

namespace tarnwick {
namespace {

#ifndef _WIN32
// The pairs' tables are shared by a run's workers, not copied for each: the
// peak memory of a run of 20,000 pairs is the same with 1 worker and with 4
// (which may hire 32 threads to wait for flushes).
TEST_F(PairsTest, TablesAreSharedByTheWorkers) {
    std::vector<TextPair> pairs;
    for (int i = 0; i < 20000; ++i)
        pairs.push_back({u"word" + std::u16string(1, char16_t(u'a' + i % 26)) + u"x" +
                             std::u16string(i / 26 % 30 + 1, u'y') + std::u16string(1, char16_t(u'a' + i / 780 % 26)),
                         u"new"});
    for (int i = 0; i < 40; ++i) Make("f" + std::to_string(i), "lorem wordaxya ipsum");
    const auto peak = [&](unsigned workers) {
        const pid_t child = fork();
        if (child == 0) {
            Corrector corrector(StringForms::Candidates(pairs, std::nullopt, Encoding::Utf8));
            CorrectionRun run(std::move(corrector), {Dir()}, RunMode::Correct, workers);
            test::Execute(run);
            _exit(0);
        }
        int status = 0;
        struct rusage usage {};
        ::wait4(child, &status, 0, &usage);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        return usage.ru_maxrss;  // KiB
    };
    const long one = peak(1), four = peak(4);
#ifndef __SANITIZE_ADDRESS__  // (which keeps what is freed for a while, to catch its use)
    EXPECT_LT(four, one + one / 2) << "1 worker: " << one << " KiB, 4 workers: " << four << " KiB";
#endif
}
#endif

}  // namespace
}  // namespace tarnwick
