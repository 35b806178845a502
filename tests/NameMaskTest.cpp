// File masks as the window's mask field and tarnwick-cli's --include take them.

#include "engine/walk/NameMask.h"

#include <gtest/gtest.h>

namespace tarnwick {
namespace {

bool Match(const char* masks, const char* name) {
    NameMask mask;
    mask.Add(std::filesystem::path(masks).native());
    return mask.Matches(std::filesystem::path(name).native());
}

TEST(NameMaskTest, StarsQuestionMarksAndCase) {
    EXPECT_TRUE(Match("*.htm;*.html", "index.HTML"));
    EXPECT_TRUE(Match("*.htm; *.html ", "a.html"));
    EXPECT_FALSE(Match("*.htm", "a.html"));
    EXPECT_FALSE(Match("*.htm", "htm"));
    EXPECT_TRUE(Match("page-??.txt", "page-07.txt"));
    EXPECT_FALSE(Match("page-??.txt", "page-7.txt"));
    EXPECT_TRUE(Match("*a*b*c", "xxaxxbxxbc"));
    EXPECT_FALSE(Match("*a*b*c", "xxaxxbxxb"));
    EXPECT_TRUE(Match("**", ""));
    // One character for `?`, whatever its length in UTF-8; only ASCII letters fold.
    EXPECT_TRUE(Match("?.txt", "я.txt"));
    EXPECT_FALSE(Match("я.txt", "Я.txt"));
    EXPECT_TRUE(Match("*ж*", "ёжик"));
}

TEST(NameMaskTest, EveryNameAndEmptyPatterns) {
    EXPECT_TRUE(Match("*.*", "Makefile"));
    EXPECT_TRUE(Match("*.*", ".hidden"));
    NameMask empty;
    empty.Add(std::filesystem::path(" ; ;").native());
    EXPECT_TRUE(empty.Empty());
    EXPECT_FALSE(empty.Matches(std::filesystem::path("a").native()));
}

}  // namespace
}  // namespace tarnwick
