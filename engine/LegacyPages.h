#pragma once

// Which legacy code page a file is read in. A file that is not valid UTF-8
// and has no UTF-16 byte-order mark is in some legacy code page, and a tree
// may hold several (Russian pages in windows-1251 beside Japanese ones in
// Shift_JIS). The page the run prefers (named by the user, or the system's
// guess) is where a file is read unless its bytes show another:
//
// 1. a search string of the run occurs in the file in a page (at a character
//    start in a double-byte one): that page; the user's preferred first;
// 2. the user named the preferred pages: the first whose rules the bytes keep;
// 3. the detector (uchardet) names a page and the file holds enough letters
//    outside ASCII to trust it (measured: 32 bytes): that page;
// 4. otherwise the first preferred page, only a guess. Where that is a
//    single-byte page, an ASCII search string occurs in the file, and the
//    bytes are valid in a double-byte page where that occurrence would fall
//    inside a character (Shift_JIS 83 7B is one character, not a lead byte
//    and "{"), the file cannot be read safely: it is left alone, and the
//    pages it could be in are named.

#include "CodePage.h"
#include "StringForms.h"

#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tarnwick {

// The run's rule: the preferred pages, in order.
struct PagePreference {
    std::vector<CodePage> preferred;  // the first is read in when nothing tells otherwise
    bool named = false;               // the user named them (--legacy, LegacyCodePage): trusted
};

// What was decided for one file.
struct PageDecision {
    std::optional<CodePage> page;  // the page to read it in
    bool guess = false;            // nothing but the preference chose it
    // When not empty: the file cannot be read safely, and these are the pages
    // (their labels) it could be in.
    std::vector<std::string> ambiguous;
};

// Decides files' pages; keeps its detector between files (one per thread).
class PageDecider {
public:
    // At most this many of a file's first bytes are looked at.
    static constexpr std::size_t kLooked = std::size_t{1} << 20;
    // A detector's answer is trusted from this many bytes outside ASCII on (uchardet; measured).
    static constexpr std::size_t kTrusted = 32;

    PageDecider(PagePreference preference, std::vector<TextPair> pairs);
    PageDecider(const PageDecider& other);
    PageDecider& operator=(const PageDecider& other);
    ~PageDecider();

    const PagePreference& Preference() const { return preference_; }
    // The pairs whose strings are not ASCII (for them a page matters whatever the file holds).
    const std::vector<std::size_t>& NonAscii() const { return nonAscii_; }
    // The page of a file whose first bytes are `head` (all of it where
    // `whole`): the file is not valid UTF-8 and has no UTF-16 byte-order mark.
    PageDecision Decide(std::string_view head, bool whole);
    // The page a detector names for `bytes`, if it is one files can be read in.
    std::optional<CodePage> Detect(std::string_view bytes);

private:
    struct Detector;
    // Whether `bytes` are valid in the double-byte page `page` (a character cut at the end of a head excepted).
    static bool ValidIn(const CodePage& page, std::string_view bytes, bool whole);
    // A page and the forms there of the search strings that are not ASCII.
    struct PageForms {
        CodePage page;
        std::vector<std::string> searches;
    };
    // Whether a search string of the run that is not ASCII occurs in `bytes` in `page`.
    bool Shows(const PageForms& page, std::string_view bytes) const;
    // `chosen`, unless an ASCII search string would fall inside a character of
    // one of `others`, double-byte pages the bytes keep the rules of: then ambiguous.
    PageDecision Safely(const CodePage& chosen, const std::vector<CodePage>& others, std::string_view head,
                        bool guess) const;
    // Whether an ASCII search string occurs in `bytes` where a character of
    // the double-byte `page` does not start.
    bool InsideCharacters(const CodePage& page, std::string_view bytes) const;

    PagePreference preference_;
    std::vector<TextPair> pairs_;
    std::vector<std::string> asciiSearches_;  // the search strings that are ASCII, as bytes
    std::vector<std::size_t> nonAscii_;       // the pairs with a string that is not
    // The pages known here, opened on the first file that needs them (opening
    // a page loads the system's converter for it): shared by the copies.
    struct Known {
        std::once_flag made;
        std::vector<PageForms> looked;     // the pages looked for a search string in, the preferred first
        std::vector<CodePage> doubleByte;  // the double-byte pages whose rules a file's bytes are tested against
    };
    const Known& Pages() const;
    std::shared_ptr<Known> known_;
    std::unique_ptr<Detector> detector_;
};

// The label of a page for records: EncodingLabel, with a detector's synonyms
// made one ("ISO-8859-1" read as windows-1252).
std::optional<CodePage> PageOfDetected(std::string_view name);

}  // namespace tarnwick
