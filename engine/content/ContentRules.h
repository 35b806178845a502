#pragma once

// What a file holds and how each occurrence in it is replaced: the forms of the
// two strings as needles, the scan that tells a file's verdict, layout and the
// forms that count in it, and the stream that replaces. No file is changed here.

#include "engine/content/ByteSearcher.h"
#include "engine/content/CharacterStarts.h"
#include "engine/content/Replace.h"
#include "platform/FileSystem.h"
#include "engine/content/MultiSearcher.h"
#include "engine/content/Pattern.h"
#include "engine/content/PatternText.h"
#include "engine/content/Verdict.h"
#include "engine/content/StringForms.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <system_error>
#include <vector>

namespace tarnwick {

// Which forms count in a file: a file that starts with a UTF-16 byte-order
// mark is searched for the UTF-16 forms of that byte order, at whole code
// units; any other file for the UTF-8 and legacy forms, where the legacy forms
// count only in a file that is not valid UTF-8 (in valid UTF-8 their bytes
// belong to other characters). Each occurrence is replaced by the replace
// string in its own encoding. Where the search string's forms coincide (ASCII)
// and the replace string's do not, the file decides: UTF-8 for a UTF-8
// byte-order mark or valid UTF-8 with a non-ASCII character, the legacy code
// page for a file that is not valid UTF-8, the encoding of ASCII files
// otherwise. Whole files are read to tell this only where the forms differ.
// In a double-byte legacy code page its forms count only where a character
// starts (CharacterStarts); there whole files are read whenever UTF-8 is
// looked for too, since a valid UTF-8 file is not read in that code page.
//
// Keeps its read buffer between files; one per thread.
class ContentRules {
public:
    using Keep = std::function<void(std::string_view kept)>;
    using Swap = std::function<void(std::string_view occurrence, std::string_view replacement)>;

    ContentRules(StringForms forms, std::size_t chunkSize);

    // A file is binary when it has no UTF-16 byte-order mark and a NUL byte
    // occurs anywhere in it: images, archives and programs, which a
    // replacement would break. Such files are judged as text too only when
    // asked to; otherwise every file of bytes is read to its end.
    void TakeBinaryFiles(bool take) { takeBinary_ = take; }
    // Whether a file of bytes read whole is checked for valid UTF-8 even where
    // the forms do not ask it (Findings::notUtf8): to tell the user of files
    // perhaps in another legacy code page.
    void WatchUtf8(bool watch) { watchUtf8_ = watch; }
    bool TakesBinaryFiles() const { return takeBinary_; }

    const StringForms& Forms() const { return t_->forms; }

    // Every pair's search string taken as a pattern (compiled with its pair's
    // replacement, in pair order): a file is matched as the text it holds, in
    // one encoding (Findings::text), a window at a time (PatternStream).
    // Files that are not UTF-8 are read in the forms' legacy code page,
    // `page`, where they have one.
    void UsePatterns(std::vector<Pattern> patterns, const std::optional<CodePage>& page);
    bool UsesPatterns() const { return !patterns_.empty(); }
    const std::vector<Pattern>& Patterns() const { return patterns_; }
    // Why the last Stream of patterns failed where it did not fail to read:
    // too much work, or a character of a replacement the encoding cannot hold.
    const PatternPass& LastPatternPass() const { return patternPass_; }
    std::size_t ChunkSize() const { return chunkSize_; }

    // How a file is laid out: bytes, or UTF-16 with a byte-order mark.
    enum class Layout : std::uint8_t { Bytes, Utf16LE, Utf16BE };
    // What a scan found, and how the file is to be corrected.
    struct Findings {
        FileVerdict verdict = FileVerdict::Unknown;
        EncodingSet encodings;  // of the search string's occurrences
        Layout layout = Layout::Bytes;
        bool legacyCounts = true;               // the legacy forms count here
        bool atStarts = false;                  // ...and only where a character of its double-byte code page starts
        Encoding asciiTarget = Encoding::Utf8;  // the replacement's encoding where the search forms coincide
        bool notUtf8 = false;                   // read whole (the forms differ) and found not to be valid UTF-8
        bool binaryTaken = false;               // binary, taken as bytes (TakeBinaryFiles): no code page's rules
        // Which legacy code page it is read in, where not the run's first
        // (Corrector's page decision): the rules' index, 0 for the run's own.
        std::size_t page = 0;
        bool pageGuess = false;              // the page was only the preferred one's guess
        std::vector<std::size_t> notInPage;  // ...and these pairs' search strings cannot be written in it
        // With patterns: the encoding the file's text is matched in, and
        // whether matching needed too much work (the verdict is then Unknown).
        Encoding text = Encoding::Utf8;
        bool tooMuchWork = false;
        std::uint64_t size = 0;  // the bytes scanned
    };

    // The verdict on the open file's content from its current position, up to
    // `size` bytes. Reads the whole file, to tell a binary one, unless binary
    // files are taken as text; then only as far as the first occurrence of
    // the search string unless the forms differ. An
    // empty search string occurs in any byte when `emptySearchOccurs`.
    Findings Scan(os::File& in, std::uint64_t size, bool emptySearchOccurs, std::error_code& ec);

    // Streams `in` from its position through the replace rules of `found`:
    // kept bytes to `keep`, occurrences to `swap`, everything read to `read`
    // (which stops it by returning false); counts the replacements, and with
    // `perPair` (PairCount() counters) each pair's.
    // An occurrence whose encoding has no replacement stops it, with `blocked` set.
    std::error_code Stream(os::File& in, const Findings& found, std::uint64_t& count, std::uint64_t* perPair,
                           std::optional<Encoding>& blocked, const Keep& keep, const Swap& swap,
                           const std::function<bool(const char*, std::size_t)>& read);

    // The read buffer, for other reading between files (at least one chunk once used).
    std::vector<char>& Buffer() { return buffer_; }

private:
    // Scan and Stream with patterns.
    Findings ScanPatterns(os::File& in, std::uint64_t size, std::error_code& ec);
    std::error_code StreamPatterns(os::File& in, const Findings& found, std::uint64_t& count, std::uint64_t* perPair,
                                   const Keep& keep, const Swap& swap,
                                   const std::function<bool(const char*, std::size_t)>& read);
    // Whether one of `patterns` matches in the rest of `in` (or the text held in `whole_`).
    PatternPass FindPatterns(os::File& in, std::span<const Pattern> patterns, const Findings& found, bool held,
                             std::error_code& ec);
    struct Tables;
    struct Pass;  // one scan of a file: what was seen so far
    // Each pair's needles in each encoding: indexes into needles_, -1 for none.
    struct PairNeedles {
        std::array<int, kEncodingCount> search, replace;
        bool emptySearch = false;  // the search string is empty
    };
    // A search and a replace needle looked for together in a file (either may be -1).
    struct Watch {
        int search, replace;
    };
    // With more than two pairs, a layout's needles are looked for in one pass.
    struct ManySearch {
        MultiSearcher all;           // every needle of the layout
        std::vector<int> allIds;     // their indexes in needles_
        std::vector<bool> isSearch;  // by index in `all`: a search form in one of the layout's encodings
        MultiSearcher search;        // the search forms alone
        std::vector<int> searchOf;   // by needle: its index in `search`, or -1
    };
    static std::size_t LayoutIndex(Layout layout) { return static_cast<std::size_t>(layout); }
    // The encodings whose forms a file of `layout` is searched for.
    static std::span<const Encoding> EncodingsOf(Layout layout);
    // Whether a file of bytes must be read whole to tell which forms count.
    static bool NeedsWholeFile(const Tables& t);
    // The searchers for many pairs, one per layout.
    static void BuildManySearch(Tables& t);
    // From the first bytes: the layout and the forms to look for.
    void Start(Pass& pass, const char* first, std::size_t got) const;
    // Looks for the forms not yet seen in one window of the file at `offset`.
    void Search(Pass& pass, std::string_view window, std::uint64_t offset, bool wholeHere) const;
    // The same with one pass over the window for all forms.
    void SearchMany(Pass& pass, std::string_view window, std::uint64_t offset, bool wholeHere) const;
    // The verdict, the encodings and the forms that count, from what was seen.
    void Conclude(Pass& pass, bool emptySearchOccurs) const;
    // The replace rules of a file with these findings, and each rule's encoding.
    void RulesFor(const Findings& found, std::vector<ReplaceRule>& rules, std::vector<Encoding>& encodings) const;
    // Stream's work with the rules in rules_, found by `finder`.
    template <typename Finder>
    std::error_code StreamWith(os::File& in, Finder& finder, unsigned align, std::optional<CharacterStarts>& starts,
                               std::uint64_t& count, std::uint64_t* perPair, std::optional<Encoding>& blocked,
                               const Keep& keep, const Swap& swap,
                               const std::function<bool(const char*, std::size_t)>& read);

    // What the strings make, built once and shared by every copy (a crew's
    // workers): with many pairs, the larger part of a run's memory.
    struct Tables {
        StringForms forms;
        std::vector<ByteSearcher> needles;     // the distinct non-empty forms of all strings
        std::vector<PairNeedles> pairNeedles;  // by pair
        std::vector<bool> doubleByte;  // by needle: counts only where characters of a double-byte page start and end
        std::vector<std::size_t> lengths;           // by needle: its length
        std::array<std::vector<Watch>, 3> watches;  // by layout: the needles looked for, each pair's in each encoding
        std::vector<ManySearch> many;               // by layout; none for one or two pairs
        bool whole = false;                         // NeedsWholeFile()
        bool emptySearch = false;
        bool emptyReplace = false;
        std::size_t longest = 0;  // the longest needle
    };
    std::shared_ptr<const Tables> t_;
    bool takeBinary_ = false;
    bool watchUtf8_ = false;
    std::size_t chunkSize_;
    std::vector<char> buffer_;
    std::vector<bool> seen_, started_;  // Scan's marks by needle, kept between files
    std::vector<ReplaceRule> rules_;    // Stream's, kept between files
    std::vector<Encoding> ruleEncodings_;
    std::vector<int> ruleOf_;
    std::vector<Pattern> patterns_;       // with UsePatterns: each pair's
    std::vector<Pattern> plainPatterns_;  // ...the plain replacements, to find as text
    bool emptyPlain_ = false;             // ...one of which is empty
    std::optional<PageText> pageText_;    // ...the legacy code page's characters
    std::string whole_;                   // a file scanned whole, kept for its matching
    PatternPass patternPass_;
};

}  // namespace tarnwick
