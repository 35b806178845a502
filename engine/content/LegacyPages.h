#pragma once

// Which legacy code page a file is read in. A file that is not valid UTF-8
// and has no UTF-16 byte-order mark is in some legacy code page, and a tree
// may hold several (Russian pages in windows-1251 beside Japanese ones in
// Shift_JIS). What decides, strongest first:
//
// 1. the user named the pages (--legacy, LegacyCodePage): only those, the
//    bytes' rules kept: the one a search string of the run shows in, else
//    the detector's where it is one of them, else the first;
// 2. the detector (uchardet), where the file holds enough bytes outside
//    ASCII to trust it (measured: 32);
// 3. a search string of the run that is not ASCII shows in the file in a page
//    (at a character start in a double-byte one): that page, the preferred
//    first — weak evidence (one Latin letter is a Cyrillic one in another
//    page), so it never overrides the two above;
// 4. otherwise a guess: the first preferred page whose rules the bytes keep.
//
// Where the page chosen is single-byte, a file where a double-byte page it
// could be in would count an ASCII search string otherwise (Shift_JIS 83 7B
// is one character, not a lead byte and "{") cannot be read safely: it is
// left alone and the pages are named. The rules and those places are checked
// over the whole file, read a piece at a time; the detector and the search
// strings look at its first MiB.

#include "platform/CodePage.h"
#include "engine/content/StringForms.h"

#include <functional>
#include <memory>
#include <mutex>
#include <system_error>
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
    bool amongNamed = false;  // ambiguous among the pages the user named
    std::error_code error;    // reading the file failed
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
    // Whether any text of a file may be matched (patterns), not only the
    // search strings: a single-byte reading is then unsafe wherever a
    // double-byte page the file keeps the rules of would read it otherwise.
    void AnyText(bool any) { anyText_ = any; }
    // The pairs whose strings are not ASCII (for them a page matters whatever the file holds).
    const std::vector<std::size_t>& NonAscii() const { return nonAscii_; }
    // Reads the file on after what was read so far: the next piece into
    // `piece` (empty at the end).
    using ReadMore = std::function<std::error_code(std::string& piece)>;
    // The page of a file whose first bytes are `head` (all of it where
    // `whole`; otherwise `more` reads the rest): the file is not valid UTF-8
    // and has no UTF-16 byte-order mark.
    PageDecision Decide(std::string_view head, bool whole, const ReadMore& more = {});
    // The page a detector names for `bytes`, if it is one files can be read in.
    std::optional<CodePage> Detect(std::string_view bytes);

private:
    struct Detector;
    class Profile;
    // A page and the forms there of the search strings that are not ASCII.
    struct PageForms {
        CodePage page;
        std::vector<std::string> searches;
    };
    // Whether a search string of the run that is not ASCII occurs in `bytes` in `page`.
    bool Shows(const PageForms& page, std::string_view bytes) const;
    PageDecision Named(std::string_view head, Profile& profile);
    PageDecision Unnamed(std::string_view head, Profile& profile);
    // `chosen`, unless it is single-byte and a double-byte page of `others`
    // the file could be in would count an ASCII search string otherwise.
    PageDecision Safely(const CodePage& chosen, const std::vector<CodePage>& others, Profile& profile,
                        bool guess) const;

    PagePreference preference_;
    bool anyText_ = false;
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
