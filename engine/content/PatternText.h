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
//
// A file is given a piece at a time and matched a window at a time, so that
// memory stays bounded whatever its size: a window of text (kPatternWindow
// bytes at least), plus what a match not yet ended at the window's end
// holds, plus the characters a pattern may look back at. A match that could
// go on past a window's end is matched again with the next window.

#include "engine/content/Pattern.h"
#include "engine/content/StringForms.h"
#include "engine/content/Verdict.h"
#include "platform/CodePage.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tarnwick {

// Start places one search call looks through at first.
inline constexpr std::size_t kFirstSearchStep = 64;

// The bytes a file is matched in at once, at least.
inline constexpr std::size_t kPatternWindow = std::size_t{2} << 20;

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

// The characters of a legacy code page as patterns read them, learnt once
// (a copy for each thread: it learns a double-byte page's pairs as it meets them).
class PageText {
public:
    explicit PageText(const CodePage& page);
    const CodePage& Page() const { return page_; }
    // The characters of `bytes` (a stray byte as a lone surrogate) and where
    // each begins, and one past the last; with `more` (the file goes on), a
    // last byte that may begin a pair is left for the next window.
    void Decode(std::string_view bytes, bool more, std::u16string& text, std::vector<std::uint32_t>& at);

private:
    // How many bytes the character that `bytes` begins with has where it has
    // three or four (EUC-JP, GB18030), whether or not they are all there; 0 otherwise.
    std::size_t LongCharacter(std::string_view bytes) const;

    CodePage page_;
    std::array<char16_t, 256> single_{};  // 0: no character on its own
    bool pairs_ = false;
    std::vector<std::uint32_t> pairTable_;  // by the pair's two bytes: 0 not yet learnt, else kLearnt | unit or kNone
};

// One pass of patterns over one file, fed a piece at a time.
class PatternStream {
public:
    using Keep = std::function<void(std::string_view kept)>;
    using Swap = std::function<void(std::string_view occurrence, std::string_view replacement)>;
    // Every match of the patterns (several: at each place the first in order
    // that matches there, as an alternation would; replaced text is never
    // searched again) in a file in `encoding` (`page` for a legacy one).
    // With `keep` and `swap`, the bytes that stay and each match with its
    // replacement written in that encoding go to them, in file order;
    // without, the matches are only counted, or with `firstOnly` found.
    PatternStream(std::span<const Pattern> patterns, Encoding encoding, PageText* page,
                  std::chrono::steady_clock::time_point deadline, Keep keep = {}, Swap swap = {},
                  bool firstOnly = false, std::size_t window = kPatternWindow);

    // The file's next bytes; `last` when nothing follows them. False once
    // the pass is over (the last piece taken, the first match found where
    // that is all that is asked, or a failure in `Result()`).
    bool Add(std::string_view piece, bool last);
    const PatternPass& Result() const { return pass_; }
    bool Found() const { return pass_.replacements != 0; }

private:
    struct Window;
    // Matches what the buffer holds as far as it can tell; false once over.
    bool Match(bool last);
    // The window's text (narrow_ or text_) from data_, up to the last character held whole.
    void Decode(bool more);
    // Where a unit of the window's text begins in data_, and the unit at a byte.
    std::size_t ByteOf(std::size_t unit) const;
    std::size_t UnitOf(std::size_t byte) const;
    // The file's bytes before `upTo` (in the file) given to keep_.
    void Emit(std::uint64_t upTo);
    // Pattern k's literal parts for match `m` (with its line end where that decides them).
    // The kind of the first line end a match holds: 0 CR LF, 1 CR, -1 LF or none.
    int LineEndIn(const Pattern::Match& m) const;
    const std::vector<std::string>& LiteralsFor(std::size_t k, const Pattern::Match& m) const;
    // The replacement of pattern `k` in the case shape of match `m`, in
    // replacement_; false (and `bad`) where the encoding cannot hold it.
    bool ShapedReplacement(std::size_t k, const Pattern::Match& m, std::u16string& bad);
    // Match `m` of pattern k counted and replaced; false where the search is to stop.
    bool Take(std::size_t k, const Pattern::Match& m);
    // Whether the required text alone settles a whole file (not there, or its presence a match).
    bool SettledByRequiredText();
    // The buffer cut for the next window, which goes on at unit `goOn`.
    void CarryOver(std::size_t goOn);
    // The byte-order mark at the start of `bytes`, which stays and which no match begins in.
    std::size_t MarkLength(std::string_view bytes) const;
    std::span<const Pattern> patterns_;
    Encoding encoding_;
    PageText* page_;
    std::chrono::steady_clock::time_point deadline_;
    Keep keep_;
    Swap swap_;
    bool firstOnly_;
    std::size_t window_;
    std::size_t lookBehind_ = 0;
    std::size_t step_ = kFirstSearchStep;             // start places searched in one call (grown while quick)
    std::vector<std::vector<std::string>> literals_;  // each replacement's literal parts, in the encoding
    std::vector<std::u16string> notWritable_;         // ...or each one's character the encoding cannot hold
    std::vector<std::vector<std::vector<std::string>>> lineLiterals_;  // ...with CR LF and with CR (AnyLineEnd)
    std::string buffer_;                                               // the file's bytes from base_
    std::string_view whole_;                                           // ...or all of them, given at once (not copied)
    std::uint64_t base_ = 0, copied_ = 0, from_ = 0;  // in the file: buffer_'s first byte, the bytes given, the search
    std::size_t need_ = 0;                            // the buffer's size at which it is matched next
    bool started_ = false, over_ = false;
    std::string_view data_, narrow_;  // a window's bytes, and its text in UTF-8
    std::u16string_view text_;        // ...or in UTF-16 (UTF-16 and legacy pages)
    std::u16string wide_;             // a window's text, for UTF-16 and legacy pages
    std::vector<std::uint32_t> at_;   // ...where each unit's bytes begin (legacy)
    std::string replacement_;
    PatternPass pass_;
};

// Every match of `pattern` in `bytes` (a file's whole content, in
// `encoding`; `page` for a legacy one), left to right and never overlapping,
// replaced by the pattern's replacement written in that encoding, into `out`.
// With `out` null, only counted (a check). Matching that takes longer than
// `budget` (by default PatternBudget of the size) gives up: tooMuchWork.
// `window`: the bytes matched at once (smaller only to test).
PatternPass ReplaceMatches(const Pattern& pattern, std::string_view bytes, Encoding encoding, const CodePage* page,
                           std::string* out, std::optional<std::chrono::milliseconds> budget = std::nullopt,
                           std::size_t window = kPatternWindow);

// The same with several patterns (a pair each), tried together in one pass:
// at the first place where one matches, the first in order that matches
// there wins, as an alternation would; replaced text is never searched again.
PatternPass ReplaceMatches(std::span<const Pattern> patterns, std::string_view bytes, Encoding encoding,
                           const CodePage* page, std::string* out,
                           std::optional<std::chrono::milliseconds> budget = std::nullopt,
                           std::size_t window = kPatternWindow);

// What a file holds, as a run of patterns judges it: ToCorrect where a pattern
// matches; else AlreadyCorrected where a pair's replacement is plain text
// (it refers to no group) that occurs in the file's text, or is empty in a
// file that is not; else Unknown (also where matching needed too much work,
// which is told).
struct PatternVerdict {
    FileVerdict verdict = FileVerdict::Unknown;
    std::uint64_t matches = 0;
    bool tooMuchWork = false;
};
PatternVerdict JudgeByPatterns(std::span<const Pattern> patterns, std::string_view bytes, Encoding encoding,
                               const CodePage* page, std::optional<std::chrono::milliseconds> budget = std::nullopt);

// The plain replacements of `patterns` as patterns of literal text, to find
// them as JudgeByPatterns does; `empty` is set where one is empty.
std::vector<Pattern> PlainReplacements(std::span<const Pattern> patterns, bool& empty);

// How long matching a file of `size` bytes may take: 5 s, and more for a
// file so large that even a quick pattern needs longer (10 MB a second).
std::chrono::milliseconds PatternBudget(std::uint64_t size);

}  // namespace tarnwick
