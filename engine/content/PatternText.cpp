#include "engine/content/PatternText.h"

#include <algorithm>
#include <array>
#include <optional>
#include <span>

namespace tarnwick {

namespace {

// A byte that is no character of a legacy page, as a lone surrogate: no
// pattern matches it, not even ".".
constexpr char16_t kStrayByte = 0xDC00;

// The text of a file in a legacy page as UTF-16, and where each unit's bytes begin.
struct Decoded {
    std::u16string text;
    std::vector<std::size_t> at;  // by unit, and one past the end
};

Decoded DecodeLegacy(std::string_view bytes, const CodePage& page) {
    // Each byte read once as a character of its own; a byte that is none
    // begins a character of two bytes in a double-byte page, or stands alone.
    std::array<std::optional<char16_t>, 256> single;
    for (unsigned b = 0; b < 256; ++b) {
        const char c = static_cast<char>(b);
        const auto one = page.Decode(std::string_view(&c, 1));
        if (one && one->size() == 1) single[b] = (*one)[0];
    }
    const bool pairs = page.Scheme() != CodePage::DoubleByte::None;
    Decoded d;
    d.text.reserve(bytes.size());
    d.at.reserve(bytes.size() + 1);
    for (std::size_t i = 0; i < bytes.size();) {
        const auto b = static_cast<unsigned char>(bytes[i]);
        d.at.push_back(i);
        if (single[b]) {
            d.text.push_back(*single[b]);
            ++i;
            continue;
        }
        if (pairs && i + 1 < bytes.size()) {
            const auto two = page.Decode(bytes.substr(i, 2));
            if (two && two->size() == 1) {
                d.text.push_back((*two)[0]);
                i += 2;
                continue;
            }
        }
        d.text.push_back(static_cast<char16_t>(kStrayByte + b));
        ++i;
    }
    d.at.push_back(bytes.size());
    return d;
}

// The code units of a UTF-16 file after its byte-order mark (an odd last byte left out).
std::u16string DecodeUtf16(std::string_view bytes, bool little) {
    const std::size_t bom = 2, units = (bytes.size() - std::min<std::size_t>(bom, bytes.size())) / 2;
    std::u16string text(units, u'\0');
    for (std::size_t i = 0; i < units; ++i) {
        const auto a = static_cast<unsigned char>(bytes[bom + 2 * i]),
                   b = static_cast<unsigned char>(bytes[bom + 2 * i + 1]);
        text[i] = static_cast<char16_t>(little ? a | b << 8 : b | a << 8);
    }
    return text;
}

// The replacement's literal parts written in the file's encoding; false (and
// `bad`) where a character has no form there.
bool WriteLiterals(const Pattern& pattern, Encoding encoding, const CodePage* page, std::vector<std::string>& written,
                   std::u16string& bad) {
    for (const ReplacementPart& part : pattern.Replacement()) {
        if (part.group >= 0) continue;
        std::optional<std::string> bytes;
        switch (encoding) {
        case Encoding::Utf8: bytes = Utf16ToUtf8(part.text); break;
        case Encoding::Legacy: bytes = page ? page->Encode(part.text) : std::nullopt; break;
        case Encoding::Utf16LE:
        case Encoding::Utf16BE:
            bytes.emplace();
            for (const char16_t u : part.text) {
                const char lo = static_cast<char>(u & 0xFF), hi = static_cast<char>(u >> 8);
                bytes->push_back(encoding == Encoding::Utf16LE ? lo : hi);
                bytes->push_back(encoding == Encoding::Utf16LE ? hi : lo);
            }
            break;
        }
        if (!bytes) {
            // The first character that cannot be written, for the reason.
            for (std::size_t i = 0; i < part.text.size(); ++i) {
                const std::size_t n = (part.text[i] & 0xFC00) == 0xD800 && i + 1 < part.text.size() ? 2 : 1;
                const std::u16string one = part.text.substr(i, n);
                const bool ok = encoding == Encoding::Legacy ? page && page->Encode(one) : Utf16ToUtf8(one).has_value();
                if (!ok) {
                    bad = one;
                    return false;
                }
                i += n - 1;
            }
            bad = part.text;
            return false;
        }
        written.push_back(std::move(*bytes));
    }
    return true;
}

// Start places a search looks through in one call at most: between calls the
// time taken is looked at, so a pattern that is slow everywhere (and never
// reaches the library's limit at any one place) is given up on in time.
constexpr std::size_t kSearchStep = std::size_t{1} << 18;

// The first place at or after `at` where a character of `text` begins (the end at most).
template <class Text>
std::size_t CharacterAt(Text text, std::size_t at) {
    if constexpr (sizeof(text[0]) == 1)
        while (at < text.size() && (static_cast<unsigned char>(text[at]) & 0xC0) == 0x80) ++at;
    else if (at > 0 && at < text.size() && (text[at] & 0xFC00) == 0xDC00 && (text[at - 1] & 0xFC00) == 0xD800) ++at;
    return at;
}

// The matches of the patterns in `text` (code units), left to right: at the
// first place where one matches, the first of them in order that matches
// there, as an alternation would. Each is given to `take` with its pattern's
// number; false where a match needs too much work or the search runs past
// `deadline`. Start places are searched a block at a time; each pattern's
// first match in the block is kept until the search passes it.
template <class Text, class Take>
bool EachMatch(std::span<const Pattern> patterns, Text text, Take take,
               std::chrono::steady_clock::time_point deadline) {
    struct Next {
        std::size_t block = Pattern::kAnywhere;  // the block it was searched in
        bool found = false;
        Pattern::Match match;
    };
    std::vector<Next> next(patterns.size());
    for (std::size_t from = 0; from <= text.size();) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        const std::size_t block = from / kSearchStep, blockEnd = (block + 1) * kSearchStep - 1;
        const std::size_t last = blockEnd >= text.size() ? Pattern::kAnywhere : blockEnd;
        std::size_t winner = patterns.size();
        for (std::size_t k = 0; k < patterns.size(); ++k) {
            Next& n = next[k];
            if (n.block != block || (n.found && n.match.start < from)) {
                const Pattern::Found found = patterns[k].Next(text, from, n.match, last);
                if (found == Pattern::Found::TooMuchWork) return false;
                n.block = block;
                n.found = found == Pattern::Found::Match;
            }
            if (n.found && (winner == patterns.size() || n.match.start < next[winner].match.start)) winner = k;
        }
        if (winner == patterns.size()) {
            if (last == Pattern::kAnywhere) return true;
            from = CharacterAt(text, blockEnd + 1);
            continue;
        }
        const Pattern::Match& m = next[winner].match;
        take(winner, m);
        // After an empty match, a character later.
        from = m.end > m.start ? m.end : CharacterAt(text, m.end + 1);
    }
    return true;
}

}  // namespace

std::chrono::milliseconds PatternBudget(std::uint64_t size) {
    return std::chrono::milliseconds(std::max<std::uint64_t>(5000, size / 10'000));
}

PatternPass ReplaceMatches(const Pattern& pattern, std::string_view bytes, Encoding encoding, const CodePage* page,
                           std::string* out, std::optional<std::chrono::milliseconds> budget) {
    return ReplaceMatches(std::span<const Pattern>(&pattern, 1), bytes, encoding, page, out, budget);
}

PatternPass ReplaceMatches(std::span<const Pattern> patterns, std::string_view bytes, Encoding encoding,
                           const CodePage* page, std::string* out, std::optional<std::chrono::milliseconds> budget) {
    PatternPass pass;
    const auto deadline = std::chrono::steady_clock::now() + budget.value_or(PatternBudget(bytes.size()));
    if (patterns.size() > 1) pass.pairCounts.assign(patterns.size(), 0);
    std::vector<std::vector<std::string>> literals(patterns.size());
    for (std::size_t k = 0; k < patterns.size() && out; ++k)
        if (!WriteLiterals(patterns[k], encoding, page, literals[k], pass.notWritable)) return pass;
    std::size_t copied = 0;  // bytes of the file written to `out` so far
    const auto replace = [&](const auto& at) {
        return [&, at](std::size_t k, const Pattern::Match& m) {
            ++pass.replacements;
            if (!pass.pairCounts.empty()) ++pass.pairCounts[k];
            if (!out) return;
            out->append(bytes, copied, at(m.start) - copied);
            std::size_t literal = 0;
            for (const ReplacementPart& part : patterns[k].Replacement()) {
                if (part.group < 0) {
                    *out += literals[k][literal++];
                    continue;
                }
                // A group's text is the file's own bytes, copied as they are.
                const auto [start, end] = m.groups[static_cast<std::size_t>(part.group)];
                if (start != std::string::npos) out->append(bytes, at(start), at(end) - at(start));
            }
            copied = at(m.end);
        };
    };
    bool finished = true;
    switch (encoding) {
    case Encoding::Utf8: {
        const std::size_t bom = bytes.starts_with("\xEF\xBB\xBF") ? 3 : 0;
        finished = EachMatch(patterns, bytes.substr(bom), replace([bom](std::size_t i) { return bom + i; }), deadline);
        break;
    }
    case Encoding::Utf16LE:
    case Encoding::Utf16BE: {
        const std::size_t bom = 2;
        const std::u16string text = DecodeUtf16(bytes, encoding == Encoding::Utf16LE);
        finished = EachMatch(patterns, std::u16string_view(text), replace([bom](std::size_t i) { return bom + 2 * i; }),
                             deadline);
        break;
    }
    case Encoding::Legacy: {
        if (!page) return pass;
        const Decoded d = DecodeLegacy(bytes, *page);
        finished = EachMatch(patterns, std::u16string_view(d.text), replace([&d](std::size_t i) { return d.at[i]; }),
                             deadline);
        break;
    }
    }
    if (!finished) {
        pass.tooMuchWork = true;
        return pass;
    }
    if (out) out->append(bytes, copied, std::string_view::npos);
    return pass;
}

PatternVerdict JudgeByPatterns(std::span<const Pattern> patterns, std::string_view bytes, Encoding encoding,
                               const CodePage* page, std::optional<std::chrono::milliseconds> budget) {
    PatternVerdict judged;
    const PatternPass pass = ReplaceMatches(patterns, bytes, encoding, page, nullptr, budget);
    judged.tooMuchWork = pass.tooMuchWork;
    judged.matches = pass.replacements;
    if (pass.tooMuchWork || pass.replacements) {
        judged.verdict = pass.tooMuchWork ? FileVerdict::Unknown : FileVerdict::ToCorrect;
        return judged;
    }
    // A plain replacement found in the file's text (a double-byte page's on
    // character boundaries), decoded only once one is to be looked for.
    std::u16string wide;
    bool decoded = encoding == Encoding::Utf8;
    for (const Pattern& p : patterns) {
        if (!p.ReplacementIsPlain()) continue;
        std::u16string text;
        for (const ReplacementPart& part : p.Replacement()) text += part.text;
        if (text.empty()) continue;
        if (!decoded) {
            if (encoding == Encoding::Utf16LE || encoding == Encoding::Utf16BE)
                wide = DecodeUtf16(bytes, encoding == Encoding::Utf16LE);
            else if (page) wide = DecodeLegacy(bytes, *page).text;
            decoded = true;
        }
        const bool found = encoding == Encoding::Utf8
                               ? bytes.find(Utf16ToUtf8(text).value_or(std::string())) != std::string_view::npos
                               : wide.find(text) != std::u16string::npos;
        if (found) {
            judged.verdict = FileVerdict::AlreadyCorrected;
            break;
        }
    }
    return judged;
}

}  // namespace tarnwick
