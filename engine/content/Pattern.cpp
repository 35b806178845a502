#include "engine/content/Pattern.h"

#include "platform/CodePage.h"

#include <algorithm>
#include <optional>

#define PCRE2_CODE_UNIT_WIDTH 0
#include <pcre2.h>

namespace tarnwick {

namespace {

// Work a match may take before it is given up as too much (backtracking
// steps); a catastrophic pattern reaches it within a second or two.
constexpr std::uint32_t kMatchLimit = 10'000'000;
// The JIT's own stack: patterns that nest deeply need more than its default.
constexpr std::size_t kJitStackFirst = std::size_t{32} << 10, kJitStackMost = std::size_t{4} << 20;
// (\C, one code unit, would split a character: refused.)
constexpr std::uint32_t kOptions = PCRE2_UTF | PCRE2_UCP | PCRE2_MULTILINE | PCRE2_MATCH_INVALID_UTF |
                                   PCRE2_USE_OFFSET_LIMIT | PCRE2_NEVER_BACKSLASH_C;

class Category : public std::error_category {
public:
    const char* name() const noexcept override { return "pattern"; }
    std::string message(int code) const override {
        PCRE2_UCHAR8 text[256];
        const int length = pcre2_get_error_message_8(code, text, sizeof text);
        return length < 0 ? "error " + std::to_string(code) : std::string(reinterpret_cast<const char*>(text));
    }
};

bool IsDigit(char16_t c) { return c >= u'0' && c <= u'9'; }

template <class Ovector>
void Fill(const Ovector* ovector, std::size_t pairs, Pattern::Match& match) {
    match.groups.resize(pairs);
    for (std::size_t i = 0; i < pairs; ++i) {
        const auto start = ovector[2 * i], end = ovector[2 * i + 1];
        match.groups[i] = start == PCRE2_UNSET ? std::pair{std::string::npos, std::string::npos}
                                               : std::pair<std::size_t, std::size_t>{start, end};
    }
    match.start = match.groups[0].first;
    match.end = match.groups[0].second;
}

// The text every match of `pattern` holds, where its syntax shows it plainly;
// none wherever the reading below is not sure (it then gives up rather than guess).
Pattern::Required RequiredTextOf(std::u16string_view pattern) {
    Pattern::Required none, found;
    std::size_t i = 0;
    // A leading (?i) or (?s); any other setting of options, anywhere, and nothing is known.
    if (pattern.starts_with(u"(?")) {
        const std::size_t close = pattern.find(u')');
        if (close == std::u16string_view::npos) return none;
        for (std::size_t k = 2; k < close; ++k) {
            if (pattern[k] == u'i') found.caseless = true;
            else if (pattern[k] != u's') return none;
        }
        i = close + 1;
    }
    const auto isQuantifier = [&](std::size_t at) {
        return at < pattern.size() && (pattern[at] == u'?' || pattern[at] == u'*' || pattern[at] == u'+' ||
                                       (pattern[at] == u'{' && at + 1 < pattern.size() && IsDigit(pattern[at + 1])));
    };
    // Past a quantifier at `at` (with its lazy or possessive mark), or `at` itself.
    const auto skipQuantifier = [&](std::size_t at) {
        if (!isQuantifier(at)) return at;
        if (pattern[at] == u'{') {
            const std::size_t close = pattern.find(u'}', at);
            at = close == std::u16string_view::npos ? pattern.size() : close + 1;
        } else {
            ++at;
        }
        if (at < pattern.size() && (pattern[at] == u'?' || pattern[at] == u'+')) ++at;
        return at;
    };
    std::u16string run, best;
    const auto endRun = [&] {
        if (run.size() > best.size()) best = run;
        run.clear();
    };
    while (i < pattern.size()) {
        const char16_t c = pattern[i];
        if (c == u'|') return none;
        if (c == u'(') {
            // A group is passed over whole: what it holds may be optional.
            if (pattern.substr(i).starts_with(u"(*")) return none;
            int depth = 0;
            bool inClass = false;
            for (; i < pattern.size(); ++i) {
                if (pattern[i] == u'\\') ++i;
                else if (inClass) inClass = pattern[i] != u']';
                else if (pattern[i] == u'[') inClass = true, i += i + 1 < pattern.size() && pattern[i + 1] == u']';
                else if (pattern[i] == u'(') ++depth;
                else if (pattern[i] == u')' && --depth == 0) break;
            }
            if (i >= pattern.size()) return none;
            endRun();
            i = skipQuantifier(i + 1);
            continue;
        }
        if (c == u'[') {
            std::size_t k = i + 1;
            if (k < pattern.size() && pattern[k] == u'^') ++k;
            if (k < pattern.size() && pattern[k] == u']') ++k;
            for (; k < pattern.size() && pattern[k] != u']'; ++k)
                if (pattern[k] == u'\\') ++k;
                else if (pattern[k] == u'[' && k + 1 < pattern.size() && pattern[k + 1] == u':') {
                    const std::size_t close = pattern.find(u":]", k);
                    if (close == std::u16string_view::npos) return none;
                    k = close + 1;
                }
            if (k >= pattern.size()) return none;
            endRun();
            i = skipQuantifier(k + 1);
            continue;
        }
        if (c == u'\\') {
            if (i + 1 >= pattern.size()) return none;
            const char16_t e = pattern[i + 1];
            const bool letter = (e >= u'a' && e <= u'z') || (e >= u'A' && e <= u'Z');
            if (IsDigit(e) || (letter && std::u16string_view(u"xopPNgkcQE").find(e) != std::u16string_view::npos)) {
                // \p{...} and \P{...}: a class; the other escapes with arguments are not read here.
                if (e != u'p' && e != u'P') return none;
                std::size_t k = i + 2;
                if (k < pattern.size() && pattern[k] == u'{') {
                    k = pattern.find(u'}', k);
                    if (k == std::u16string_view::npos) return none;
                }
                endRun();
                i = skipQuantifier(k + 1);
                continue;
            }
            if (letter || e >= 0x80) {
                endRun();  // \d, \b, \n...: no plain character
                i = skipQuantifier(i + 2);
                continue;
            }
            // An escaped sign stands for itself.
            if (isQuantifier(i + 2)) {
                endRun();
                i = skipQuantifier(i + 2);
            } else {
                run.push_back(e);
                i += 2;
            }
            continue;
        }
        if (c == u'.' || c == u'^' || c == u'$' || isQuantifier(i) || c == u')' || c == u'#' ||
            ((c & 0xFC00) == 0xD800)) {
            endRun();
            i = skipQuantifier(i + 1);
            continue;
        }
        if (isQuantifier(i + 1)) {
            // Repeated, perhaps never there.
            endRun();
            i = skipQuantifier(i + 1);
            continue;
        }
        const bool asciiLetter = (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z');
        if (found.caseless && (c >= 0x80 || c == u'k' || c == u'K' || c == u's' || c == u'S')) {
            endRun();  // folds beyond ASCII (K: the Kelvin sign; S: the long s)
        } else {
            run.push_back(found.caseless && asciiLetter ? static_cast<char16_t>(c | 0x20) : c);
        }
        ++i;
    }
    endRun();
    if (best.size() < 3) return none;
    found.text = std::move(best);
    return found;
}

// (A match only at `from` is asked for by the offset limit, not PCRE2_ANCHORED:
// the JIT takes no ANCHORED at match time, and the interpreter then checks the
// text's UTF from `from` to its end at every call, quadratic over many empty
// matches.)
std::uint32_t Flags(bool more, bool longerHere) {
    return (more ? PCRE2_PARTIAL_HARD : 0) | (longerHere ? PCRE2_NOTEMPTY_ATSTART : 0);
}

std::size_t LimitOf(std::size_t from, std::size_t lastStart, bool longerHere) {
    return longerHere ? std::min(from, lastStart) : lastStart;
}

Pattern::Found FoundOf(int rc) {
    if (rc >= 0) return Pattern::Found::Match;
    if (rc == PCRE2_ERROR_NOMATCH) return Pattern::Found::None;
    if (rc == PCRE2_ERROR_PARTIAL) return Pattern::Found::Partial;
    // The limits, the JIT's stack, or anything else the library gives up on.
    return Pattern::Found::TooMuchWork;
}

}  // namespace

const std::error_category& PatternCategory() {
    static const Category category;
    return category;
}

SyntaxMistake MistakeOf(const std::error_code& code) {
    if (code.category() != PatternCategory()) return SyntaxMistake::Other;
    switch (code.value()) {
    case PCRE2_ERROR_MISSING_CLOSING_PARENTHESIS: return SyntaxMistake::MissingParenthesis;
    case PCRE2_ERROR_UNMATCHED_CLOSING_PARENTHESIS: return SyntaxMistake::UnmatchedParenthesis;
    case PCRE2_ERROR_MISSING_SQUARE_BRACKET: return SyntaxMistake::MissingBracket;
    case PCRE2_ERROR_QUANTIFIER_INVALID: return SyntaxMistake::NothingToRepeat;
    case PCRE2_ERROR_END_BACKSLASH: return SyntaxMistake::EndBackslash;
    case PCRE2_ERROR_BAD_SUBPATTERN_REFERENCE: return SyntaxMistake::NoSuchGroup;
    case PCRE2_ERROR_CLASS_RANGE_ORDER:
    case PCRE2_ERROR_QUANTIFIER_OUT_OF_ORDER: return SyntaxMistake::RangeOrder;
    default: return SyntaxMistake::Other;
    }
}

struct Pattern::Compiled {
    pcre2_code_8* utf8 = nullptr;
    pcre2_code_16* utf16 = nullptr;
    Compiled() = default;
    Compiled(const Compiled&) = delete;
    Compiled& operator=(const Compiled&) = delete;
    ~Compiled() {
        pcre2_code_free_8(utf8);
        pcre2_code_free_16(utf16);
    }
};

struct Pattern::Scratch {
    explicit Scratch(const Compiled& code)
        : data8(pcre2_match_data_create_from_pattern_8(code.utf8, nullptr)),
          data16(pcre2_match_data_create_from_pattern_16(code.utf16, nullptr)),
          context8(pcre2_match_context_create_8(nullptr)),
          context16(pcre2_match_context_create_16(nullptr)),
          stack8(pcre2_jit_stack_create_8(kJitStackFirst, kJitStackMost, nullptr)),
          stack16(pcre2_jit_stack_create_16(kJitStackFirst, kJitStackMost, nullptr)) {
        pcre2_set_match_limit_8(context8, kMatchLimit);
        pcre2_set_match_limit_16(context16, kMatchLimit);
        pcre2_jit_stack_assign_8(context8, nullptr, stack8);
        pcre2_jit_stack_assign_16(context16, nullptr, stack16);
    }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;
    ~Scratch() {
        pcre2_match_data_free_8(data8);
        pcre2_match_data_free_16(data16);
        pcre2_match_context_free_8(context8);
        pcre2_match_context_free_16(context16);
        pcre2_jit_stack_free_8(stack8);
        pcre2_jit_stack_free_16(stack16);
    }
    pcre2_match_data_8* data8;
    pcre2_match_data_16* data16;
    pcre2_match_context_8* context8;
    pcre2_match_context_16* context16;
    pcre2_jit_stack_8* stack8;
    pcre2_jit_stack_16* stack16;
};

std::variant<Pattern, PatternProblem> Pattern::Compile(std::u16string_view pattern, std::u16string_view replacement) {
    // \G matches where a search starts: here also where one resumes after a
    // stretch of text or at a window of a large file, so it is refused.
    for (std::size_t i = 0; i + 1 < pattern.size(); ++i) {
        if (pattern[i] != u'\\') continue;
        if (pattern[i + 1] == u'G') return PatternProblem{PatternProblem::Kind::Unsupported, i, {}, "\\G"};
        ++i;
    }
    return Compile(pattern, replacement, kOptions);
}

std::optional<Pattern> Pattern::Literal(std::u16string_view text, bool anyCase) {
    // (The only options literal text may take with it.)
    auto made = Compile(
        text, {},
        PCRE2_LITERAL | PCRE2_UTF | PCRE2_MATCH_INVALID_UTF | PCRE2_USE_OFFSET_LIMIT | (anyCase ? PCRE2_CASELESS : 0));
    if (auto* pattern = std::get_if<Pattern>(&made)) return std::move(*pattern);
    return std::nullopt;
}

std::variant<Pattern, PatternProblem> Pattern::ForText(std::u16string_view search, std::u16string_view replace,
                                                       bool anyCase, bool word, bool keepCase) {
    anyCase = anyCase || keepCase;
    // Every sign escaped: the text's characters stand for themselves, and the
    // text is one run that the required text is read from.
    std::u16string pattern = anyCase ? u"(?i)" : u"";
    if (word) pattern.append(u"(?<!").append(kWordCharacter).append(u")");
    for (std::size_t i = 0; i < search.size(); ++i) {
        const char16_t c = search[i];
        // (A CR LF typed is a line end as a line feed is.)
        if (c == u'\r' && i + 1 < search.size() && search[i + 1] == u'\n') continue;
        if (c == u'\n') {
            pattern += u"(?:\\r\\n|\\r(?!\\n)|(?<!\\r)\\n)";  // (a CR LF is one line end, never two)
            continue;
        }
        const bool plain =
            (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || c >= 0x80;
        if (!plain) pattern += u'\\';
        pattern += c;
    }
    if (word) pattern.append(u"(?!").append(kWordCharacter).append(u")");
    auto made = Compile(pattern, {}, kOptions);
    if (auto* compiled = std::get_if<Pattern>(&made)) {
        compiled->replacement_.clear();
        if (!replace.empty()) compiled->replacement_.push_back({std::u16string(replace), -1});
        compiled->fromText_ = true;
        compiled->replacementAnyCase_ = anyCase;
        compiled->word_ = word;
        compiled->keepsCase_ = keepCase;
        compiled->anyLineEnd_ = search.find(u'\n') != std::u16string_view::npos;
        // The replacement's line ends are written as each occurrence's: a CR LF typed is one of them.
        if (compiled->anyLineEnd_ && !compiled->replacement_.empty())
            for (std::u16string& text = compiled->replacement_[0].text;;) {
                const std::size_t at = text.find(u"\r\n");
                if (at == std::u16string::npos) break;
                text.erase(at, 1);
            }
        // (Folded as the required text is: a replacement that differs from
        // the search string there differs from every occurrence.)
        const auto fold = [&](std::u16string_view t) {
            std::u16string folded(t);
            for (char16_t& c : folded)
                if (anyCase && c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c | 0x20);
            return folded;
        };
        compiled->requiredIsMatch_ = !word && !compiled->anyLineEnd_ &&
                                     compiled->required_.text.size() == search.size() && fold(search) != fold(replace);
    }
    return made;
}

std::variant<Pattern, PatternProblem> Pattern::Compile(std::u16string_view pattern, std::u16string_view replacement,
                                                       std::uint32_t options) {
    auto code = std::make_shared<Compiled>();
    int error = 0;
    PCRE2_SIZE at = 0;
    pcre2_compile_context_16* context16 = pcre2_compile_context_create_16(nullptr);
    pcre2_set_newline_16(context16, PCRE2_NEWLINE_ANYCRLF);
    code->utf16 = pcre2_compile_16(reinterpret_cast<PCRE2_SPTR16>(pattern.data()), pattern.size(), options, &error, &at,
                                   context16);
    pcre2_compile_context_free_16(context16);
    if (!code->utf16) return PatternProblem{PatternProblem::Kind::Syntax, at, {error, PatternCategory()}};
    // The same pattern for UTF-8 text (it compiled as UTF-16, so it is whole text).
    const std::string utf8 = Utf16ToUtf8(pattern).value_or(std::string());
    if (utf8.empty() != pattern.empty())
        return PatternProblem{PatternProblem::Kind::Syntax, 0, {PCRE2_ERROR_UTF16_ERR1, PatternCategory()}};
    pcre2_compile_context_8* context8 = pcre2_compile_context_create_8(nullptr);
    pcre2_set_newline_8(context8, PCRE2_NEWLINE_ANYCRLF);
    code->utf8 =
        pcre2_compile_8(reinterpret_cast<PCRE2_SPTR8>(utf8.data()), utf8.size(), options, &error, &at, context8);
    pcre2_compile_context_free_8(context8);
    if (!code->utf8) return PatternProblem{PatternProblem::Kind::Syntax, at, {error, PatternCategory()}};
    // Where the JIT is missing (or cannot take the pattern), the interpreter matches: slower, as exact.
    // (Partial matching, at the end of a window of a larger file, has code of its own.)
    pcre2_jit_compile_8(code->utf8, PCRE2_JIT_COMPLETE | PCRE2_JIT_PARTIAL_HARD);
    pcre2_jit_compile_16(code->utf16, PCRE2_JIT_COMPLETE | PCRE2_JIT_PARTIAL_HARD);
    std::uint32_t groups = 0, lookBehind = 0;
    pcre2_pattern_info_16(code->utf16, PCRE2_INFO_CAPTURECOUNT, &groups);
    pcre2_pattern_info_16(code->utf16, PCRE2_INFO_MAXLOOKBEHIND, &lookBehind);
    auto parts = ParseReplacement(*code, replacement);
    if (auto* problem = std::get_if<PatternProblem>(&parts)) return std::move(*problem);
    Pattern made;
    made.code_ = std::move(code);
    made.scratch_ = std::make_unique<Scratch>(*made.code_);
    made.replacement_ = std::get<std::vector<ReplacementPart>>(std::move(parts));
    made.groups_ = groups;
    made.lookBehind_ = lookBehind;
    if (!(options & PCRE2_LITERAL)) made.required_ = RequiredTextOf(pattern);
    return made;
}

std::variant<std::vector<ReplacementPart>, PatternProblem> Pattern::ParseReplacement(const Compiled& code,
                                                                                     std::u16string_view text) {
    std::uint32_t groups = 0;
    pcre2_pattern_info_16(code.utf16, PCRE2_INFO_CAPTURECOUNT, &groups);
    std::vector<ReplacementPart> parts;
    const auto literal = [&](std::u16string_view piece) {
        if (parts.empty() || parts.back().group >= 0) parts.emplace_back();
        parts.back().text += piece;
    };
    const auto reference = [&](std::u16string_view name, std::size_t at) -> std::optional<PatternProblem> {
        int number = -1;
        if (!name.empty() && std::all_of(name.begin(), name.end(), IsDigit)) {
            number = 0;
            for (const char16_t c : name) number = number * 10 + (c - u'0');
            if (name.size() > 2 || static_cast<std::uint32_t>(number) > groups) number = -1;
        } else if (!name.empty()) {
            const std::u16string zero(name);
            number = pcre2_substring_number_from_name_16(code.utf16, reinterpret_cast<PCRE2_SPTR16>(zero.c_str()));
        }
        if (number < 0)
            return PatternProblem{PatternProblem::Kind::NoSuchGroup, at, {}, Utf16ToUtf8(name).value_or("?")};
        parts.push_back({{}, number});
        return std::nullopt;
    };
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char16_t c = text[i];
        if (c == u'\\' && i + 1 < text.size() && IsDigit(text[i + 1]))
            return PatternProblem{PatternProblem::Kind::Backslash, i};
        if (c != u'$' || i + 1 == text.size()) {
            literal(text.substr(i, 1));
            continue;
        }
        const char16_t next = text[i + 1];
        if (next == u'$') {
            literal(u"$");
            ++i;
        } else if (IsDigit(next)) {
            const std::size_t digits = i + 2 < text.size() && IsDigit(text[i + 2]) ? 2 : 1;
            if (auto problem = reference(text.substr(i + 1, digits), i)) return *problem;
            i += digits;
        } else if (next == u'{') {
            const std::size_t close = text.find(u'}', i + 2);
            if (close == std::u16string_view::npos) return PatternProblem{PatternProblem::Kind::OpenReference, i};
            if (auto problem = reference(text.substr(i + 2, close - i - 2), i)) return *problem;
            i = close;
        } else {
            literal(u"$");
        }
    }
    return parts;
}

bool Pattern::ReplacementIsPlain() const {
    return std::all_of(replacement_.begin(), replacement_.end(), [](const ReplacementPart& p) { return p.group < 0; });
}

Pattern::Found Pattern::Next(std::string_view utf8, std::size_t from, Match& match, std::size_t lastStart, bool more,
                             bool longerHere) const {
    lastStart = LimitOf(from, lastStart, longerHere);
    pcre2_set_offset_limit_8(scratch_->context8, lastStart == kAnywhere ? PCRE2_UNSET : lastStart);
    const int rc = pcre2_match_8(code_->utf8, reinterpret_cast<PCRE2_SPTR8>(utf8.data()), utf8.size(), from,
                                 Flags(more, longerHere), scratch_->data8, scratch_->context8);
    const Found found = FoundOf(rc);
    if (found == Found::Partial) match.start = pcre2_get_ovector_pointer_8(scratch_->data8)[0];
    if (found == Found::Match)
        Fill(pcre2_get_ovector_pointer_8(scratch_->data8), pcre2_get_ovector_count_8(scratch_->data8), match);
    return found;
}

Pattern::Found Pattern::Next(std::u16string_view utf16, std::size_t from, Match& match, std::size_t lastStart,
                             bool more, bool longerHere) const {
    lastStart = LimitOf(from, lastStart, longerHere);
    pcre2_set_offset_limit_16(scratch_->context16, lastStart == kAnywhere ? PCRE2_UNSET : lastStart);
    const int rc = pcre2_match_16(code_->utf16, reinterpret_cast<PCRE2_SPTR16>(utf16.data()), utf16.size(), from,
                                  Flags(more, longerHere), scratch_->data16, scratch_->context16);
    const Found found = FoundOf(rc);
    if (found == Found::Partial) match.start = pcre2_get_ovector_pointer_16(scratch_->data16)[0];
    if (found == Found::Match)
        Fill(pcre2_get_ovector_pointer_16(scratch_->data16), pcre2_get_ovector_count_16(scratch_->data16), match);
    return found;
}

Pattern::Pattern(const Pattern& other)
    : code_(other.code_),
      scratch_(other.code_ ? std::make_unique<Scratch>(*other.code_) : nullptr),
      replacement_(other.replacement_),
      groups_(other.groups_),
      lookBehind_(other.lookBehind_),
      required_(other.required_),
      fromText_(other.fromText_),
      replacementAnyCase_(other.replacementAnyCase_),
      anyLineEnd_(other.anyLineEnd_),
      requiredIsMatch_(other.requiredIsMatch_),
      keepsCase_(other.keepsCase_),
      word_(other.word_) {}

Pattern& Pattern::operator=(const Pattern& other) {
    if (this != &other) *this = Pattern(other);
    return *this;
}

Pattern::Pattern(Pattern&&) noexcept = default;
Pattern& Pattern::operator=(Pattern&&) noexcept = default;
Pattern::~Pattern() = default;

}  // namespace tarnwick
