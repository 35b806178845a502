#pragma once

// A file's content as a pattern matches it: the text it holds in its own
// encoding, each code unit tied to the bytes it came from, so that a match is
// replaced in the file's own bytes and every byte outside a match stays as it
// was (line ends, byte-order marks, bytes no character of the encoding).
//
// UTF-8 is matched as it is (bytes that are no UTF-8 never match); UTF-16 by
// its code units, after its byte-order mark; a legacy code page character by
// character (on character boundaries in a double-byte page), a byte that is
// no character of the page standing for itself, matched by nothing.

#include "engine/content/ContentRules.h"
#include "engine/content/Pattern.h"
#include "engine/content/StringForms.h"
#include "platform/CodePage.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tarnwick {

// What became of a pattern pass over a file.
struct PatternPass {
    std::uint64_t replacements = 0;
    std::vector<std::uint64_t> pairCounts;  // with several patterns: each one's replacements, in order
    bool tooMuchWork = false;               // a match needed more work than allowed: nothing is to be written
    // A character of the replacement that the file's encoding cannot hold
    // (nothing is to be written); empty when every one could be written.
    std::u16string notWritable;
    bool Done() const { return !tooMuchWork && notWritable.empty(); }
};

// Every match of `pattern` in `bytes` (a file's whole content, in
// `encoding`; `page` for a legacy one), left to right and never overlapping,
// replaced by the pattern's replacement written in that encoding, into `out`.
// With `out` null, only counted (a check). Matching that takes longer than
// `budget` (by default PatternBudget of the size) gives up: tooMuchWork.
PatternPass ReplaceMatches(const Pattern& pattern, std::string_view bytes, Encoding encoding, const CodePage* page,
                           std::string* out, std::optional<std::chrono::milliseconds> budget = std::nullopt);

// The same with several patterns (a pair each), tried together in one pass:
// at the first place where one matches, the first in order that matches
// there wins, as an alternation would; replaced text is never searched again.
PatternPass ReplaceMatches(std::span<const Pattern> patterns, std::string_view bytes, Encoding encoding,
                           const CodePage* page, std::string* out,
                           std::optional<std::chrono::milliseconds> budget = std::nullopt);

// What a file holds, as a run of patterns judges it: ToCorrect where a pattern
// matches; else AlreadyCorrected where a pair's replacement is plain text
// (it refers to no group) that occurs in the file's text; else Unknown (also
// where matching needed too much work, which is told).
struct PatternVerdict {
    FileVerdict verdict = FileVerdict::Unknown;
    std::uint64_t matches = 0;
    bool tooMuchWork = false;
};
PatternVerdict JudgeByPatterns(std::span<const Pattern> patterns, std::string_view bytes, Encoding encoding,
                               const CodePage* page, std::optional<std::chrono::milliseconds> budget = std::nullopt);

// How long matching a file of `size` bytes may take: 5 s, and more for a
// file so large that even a quick pattern needs longer (10 MB a second).
std::chrono::milliseconds PatternBudget(std::uint64_t size);

}  // namespace tarnwick
