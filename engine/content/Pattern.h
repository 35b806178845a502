#pragma once

// A search string taken as a Perl-compatible regular expression (PCRE2, with
// its JIT), and the replacement that goes with it: `$1`…`$99`, `${1}`,
// `${name}`, `$0` for the whole match, `$$` for a dollar sign, everything else
// literal. Matching is on text, Unicode-aware (\w, \b, classes and (?i) in
// every script); `^` and `$` match at every line start and end (LF, CR LF or
// CR) and `.` matches no line end unless (?s). Text is UTF-8 (bytes that are
// no UTF-8 never match) or UTF-16 code units (lone surrogates never match).
// A match that needs too much work (catastrophic backtracking) is told as
// such, never waited for.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <variant>
#include <vector>

namespace tarnwick {

// The library's errors, as the system's are: their words come from it.
const std::error_category& PatternCategory();

// The commonest mistakes in a pattern, for front ends that word the library's
// errors in a language of their own; Other for the rest.
enum class SyntaxMistake : std::uint8_t {
    Other,
    MissingParenthesis,    // a "(" without its ")"
    UnmatchedParenthesis,  // a ")" without its "("
    MissingBracket,        // a "[" without its "]"
    NothingToRepeat,       // a quantifier after nothing that repeats: "*a", "a**"
    EndBackslash,          // a "\" at the very end
    NoSuchGroup,           // a reference to a group the pattern does not have
    RangeOrder,            // a range out of order: [z-a], {3,2}
};
SyntaxMistake MistakeOf(const std::error_code& code);

// What is wrong with a pattern or its replacement, as a value (the front ends word it).
struct PatternProblem {
    enum class Kind : std::uint8_t {
        Syntax,         // the pattern cannot be compiled: `code` at `offset` (characters into the pattern)
        NoSuchGroup,    // the replacement refers to group `name`, which the pattern does not have
        OpenReference,  // a "${" in the replacement without its "}", at `offset`
        Backslash,      // "\N" in the replacement at `offset`, where "$N" refers to a group
        Unsupported,    // `name` ("\\G") at `offset` in the pattern: it would match where a search resumes
    };
    Kind kind;
    std::size_t offset = 0;
    std::error_code code = {};
    std::string name = {};  // UTF-8
};

// A piece of a replacement: literal text, or (group >= 0) what that group matched.
struct ReplacementPart {
    std::u16string text;
    int group = -1;
};

class Pattern {
public:
    // `pattern` and `replacement` as typed.
    static std::variant<Pattern, PatternProblem> Compile(std::u16string_view pattern, std::u16string_view replacement);

    // Where a match is: [start, end) and each group's range ({npos, npos}
    // where a group took no part), in code units of the text searched.
    struct Match {
        std::size_t start = 0, end = 0;
        std::vector<std::pair<std::size_t, std::size_t>> groups;  // [0] is the whole match
    };
    // Partial: with `more` (the text goes on past its end), a match may start
    // at `match.start` whose end the text does not yet show; only
    // match.start is set.
    enum class Found : std::uint8_t { Match, None, TooMuchWork, Partial };
    // The first match at or after `from` that starts at or before
    // `lastStart` (a bound on one call's work; the match may end past it).
    // `longerHere`: only a match that starts at `from` and is not empty (the
    // one after an empty match there, as Perl and Python take them).
    Found Next(std::string_view utf8, std::size_t from, Match& match, std::size_t lastStart = kAnywhere,
               bool more = false, bool longerHere = false) const;
    Found Next(std::u16string_view utf16, std::size_t from, Match& match, std::size_t lastStart = kAnywhere,
               bool more = false, bool longerHere = false) const;
    static constexpr std::size_t kAnywhere = std::size_t(-1);

    // Text as it stands, matched as a pattern would (no replacement): to look
    // for a plain replacement in a file's text the way patterns look
    // (`anyCase`: letters in either case). None for text that is no whole
    // text (a lone surrogate).
    static std::optional<Pattern> Literal(std::u16string_view text, bool anyCase = false);
    // A search string of plain text with its plain replacement, matched as a
    // pattern: `anyCase`, its letters in any case (Unicode's simple case
    // folding, every script); `word`, only where the characters on both
    // sides are no letter, digit or underscore of any script; `keepCase`
    // (in any case, then), each replacement written in its occurrence's case
    // shape (InCaseOf).
    static std::variant<Pattern, PatternProblem> ForText(std::u16string_view search, std::u16string_view replace,
                                                         bool anyCase, bool word, bool keepCase = false);
    // A character of a word, in any script: a letter, a mark that goes with
    // one (a decomposed accent), a digit or an underscore.
    static constexpr std::u16string_view kWordCharacter = u"[\\p{L}\\p{M}\\p{N}_]";
    // Made by ForText: at one place the longest of several wins, as for plain text.
    bool FromText() const { return fromText_; }
    // Made by ForText from a search string with a line feed, which matches a
    // line end of any kind (LF, CR LF, CR): the replacement's line feeds are
    // then written as the occurrence's first line end is.
    bool AnyLineEnd() const { return anyLineEnd_; }
    // Its required text is the whole of what it matches (plain text, no word
    // rule), and no match can be its own replacement: text holding the
    // required text holds a replacement to make.
    bool RequiredIsMatch() const { return requiredIsMatch_; }
    // Its replacement is looked for in any case (ForText with anyCase).
    bool ReplacementInAnyCase() const { return replacementAnyCase_; }
    // Each replacement takes its occurrence's case shape (ForText with keepCase).
    bool KeepsCase() const { return keepsCase_; }
    // Matches whole words only (ForText with word).
    bool Word() const { return word_; }
    // How many characters before a match's start it may look at (look-behind, \b).
    std::size_t LookBehind() const { return lookBehind_; }

    // Text every match holds, where the pattern shows some (the longest run
    // of plain characters outside groups, classes and repeats, in a pattern
    // without a "|" outside groups): text without it holds no match.
    // `caseless` under a leading (?i): ASCII letters in either case (no letter
    // that folds to a character beyond ASCII, as K and S do, is ever in it).
    struct Required {
        std::u16string text;  // empty: none known
        bool caseless = false;
    };
    const Required& RequiredText() const { return required_; }

    const std::vector<ReplacementPart>& Replacement() const { return replacement_; }
    // The replacement refers to no group: it is the same text wherever it goes.
    bool ReplacementIsPlain() const;
    std::size_t Groups() const { return groups_; }

    // Each copy has match data of its own: copies may match on different threads.
    Pattern(const Pattern& other);
    Pattern& operator=(const Pattern& other);
    Pattern(Pattern&&) noexcept;
    Pattern& operator=(Pattern&&) noexcept;
    ~Pattern();

private:
    struct Compiled;  // the codes for UTF-8 and UTF-16 text, shared by copies
    struct Scratch;   // this copy's match data
    Pattern() = default;
    static std::variant<Pattern, PatternProblem> Compile(std::u16string_view pattern, std::u16string_view replacement,
                                                         std::uint32_t options);
    static std::variant<std::vector<ReplacementPart>, PatternProblem> ParseReplacement(const Compiled& code,
                                                                                       std::u16string_view text);

    std::shared_ptr<const Compiled> code_;
    std::unique_ptr<Scratch> scratch_;
    std::vector<ReplacementPart> replacement_;
    std::size_t groups_ = 0;
    std::size_t lookBehind_ = 0;
    Required required_;
    bool fromText_ = false, replacementAnyCase_ = false, anyLineEnd_ = false, requiredIsMatch_ = false,
         keepsCase_ = false, word_ = false;
};

}  // namespace tarnwick
