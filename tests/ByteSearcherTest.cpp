#include "engine/content/ByteSearcher.h"
#include "PlainReplace.h"
#include "ReplaceText.h"

#include <gtest/gtest.h>

#include <cctype>
#include <random>

namespace tarnwick {
namespace {

std::string Random(std::mt19937& random, std::size_t size, int alphabet, int base = 'a') {
    std::string s(size, '\0');
    for (auto& c : s) c = static_cast<char>(base + static_cast<int>(random() % alphabet));
    return s;
}

// The block search agrees with a plain search on every size, alphabet and position,
// all 256 byte values included.
TEST(ByteSearcherTest, AgreesWithPlainSearch) {
    std::mt19937 random(7);
    for (int round = 0; round < 20000; ++round) {
        const int alphabet = round % 5 == 4 ? 256 : 2 + round % 4;
        const int base = alphabet == 256 ? 0 : 'a';
        const std::string needle = Random(random, 1 + random() % 40, alphabet, base);
        std::string hay = Random(random, random() % 120, alphabet, base);
        if (round % 3 == 0 && hay.size() >= needle.size())  // plant it, sometimes at the very end
            hay.replace(random() % (hay.size() - needle.size() + 1), needle.size(), needle);
        const ByteSearcher searcher(needle);
        ASSERT_EQ(searcher.Find(hay), std::string_view(hay).find(needle)) << "needle of " << needle.size();
    }
    // ...and with ASCII letters in either case, past the blocks of 64 bytes,
    // where only letters fold (@ and `, [ and { stay apart).
    const auto folded = [](std::string s) {
        for (char& c : s)
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c | 0x20);
        return s;
    };
    const std::string letters = "aAbB1@`[{";
    for (int round = 0; round < 20000; ++round) {
        const bool bytes = round % 5 == 4;
        const auto text = [&](std::size_t size) {
            std::string t(size, '\0');
            for (char& c : t) c = bytes ? static_cast<char>(random()) : letters[random() % letters.size()];
            return t;
        };
        const std::string needle = text(1 + random() % 12);
        std::string hay = text(random() % 300);
        if (round % 3 == 0 && hay.size() >= needle.size()) {
            std::string other = needle;  // planted in other cases
            for (char& c : other)
                if (std::isalpha(static_cast<unsigned char>(c)) && random() % 2) c = static_cast<char>(c ^ 0x20);
            hay.replace(random() % (hay.size() - needle.size() + 1), needle.size(), other);
        }
        ASSERT_EQ(ByteSearcher(needle, true).Find(hay), folded(hay).find(folded(needle)))
            << "needle of " << needle.size() << " in " << hay.size();
    }
}

// The scan for two needles agrees with two plain searches.
TEST(ByteSearcherTest, FindWatchingAgreesWithTwoSearches) {
    std::mt19937 random(8);
    for (int round = 0; round < 20000; ++round) {
        const int alphabet = 2 + round % 4;
        const std::string a = Random(random, 1 + random() % 12, alphabet), b = Random(random, random() % 12, alphabet);
        const std::string hay = Random(random, random() % 200, alphabet);
        bool bFound = round % 7 == 0;
        const bool bBefore = bFound;
        const std::size_t hit = ByteSearcher::FindWatching(ByteSearcher(a), ByteSearcher(b), hay, bFound);
        const std::string_view h(hay);
        ASSERT_EQ(hit, h.find(a));
        const std::size_t bAt = h.find(b);
        if (hit == std::string_view::npos) {
            ASSERT_EQ(bFound, bBefore || bAt != std::string_view::npos) << a << " / " << b << " in " << hay;
        }
    }
}

// The buffer routine: the worked examples, and the output length rule.
TEST(ByteSearcherTest, ReplaceAll) {
    std::uint64_t count = 0;
    EXPECT_EQ(ReplaceAll("abcabc", ByteSearcher("abc"), "x", &count), "xx");
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(ReplaceAll("aaa", ByteSearcher("aa"), "b"), "ba");
    EXPECT_EQ(ReplaceAll("aXa", ByteSearcher("a"), "aa"), "aaXaa");
    EXPECT_EQ(ReplaceAll("same", ByteSearcher(""), "x", &count), "same");
    EXPECT_EQ(count, 0u);
    std::mt19937 random(9);
    for (int round = 0; round < 2000; ++round) {
        const std::string text = Random(random, random() % 300, 3);
        const std::string search = Random(random, 1 + random() % 4, 3), replace = Random(random, random() % 6, 3);
        std::uint64_t expected = 0;
        ASSERT_EQ(ReplaceAll(text, ByteSearcher(search), replace, &count),
                  test::PlainReplace(text, search, replace, expected));
        ASSERT_EQ(count, expected);
    }
}

// The run of ASCII before the first byte that is not: a byte above 127 at
// every place of the wide steps and of the tail, in buffers of every length
// around them, at offsets that leave no alignment.
TEST(ByteSearcherTest, AsciiPrefixStopsAtTheFirstHighByte) {
    std::string buffer(300, 'a');
    for (std::size_t size = 0; size <= 200; ++size)
        for (std::size_t offset : {0, 1, 7}) {
            EXPECT_EQ(AsciiPrefix(buffer.data() + offset, size), size);
            for (std::size_t high = 0; high < size; ++high) {
                buffer[offset + high] = static_cast<char>(high % 2 ? 0x80 : 0xFF);
                ASSERT_EQ(AsciiPrefix(buffer.data() + offset, size), high) << size << " " << offset;
                buffer[offset + high] = 0x7F;
                ASSERT_EQ(AsciiPrefix(buffer.data() + offset, size), size);
                buffer[offset + high] = 'a';
            }
        }
}

// Plain text's run stops at a NUL as at a byte above 127, wherever it is.
TEST(ByteSearcherTest, PlainTextPrefixStopsAtNulOrHighByte) {
    std::string buffer(300, 'a');
    for (std::size_t size = 0; size <= 200; ++size)
        for (std::size_t offset : {0, 1, 7}) {
            EXPECT_EQ(PlainTextPrefix(buffer.data() + offset, size), size);
            for (std::size_t at = 0; at < size; ++at)
                for (const char stop : {'\0', '\x80', '\xFF'}) {
                    buffer[offset + at] = stop;
                    ASSERT_EQ(PlainTextPrefix(buffer.data() + offset, size), at) << size << " " << offset;
                    buffer[offset + at] = at % 2 ? '\x01' : '\x7F';
                    ASSERT_EQ(PlainTextPrefix(buffer.data() + offset, size), size);
                    buffer[offset + at] = 'a';
                }
        }
}

}  // namespace
}  // namespace tarnwick
