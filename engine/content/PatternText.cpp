#include "engine/content/PatternText.h"

#include <algorithm>
#include <array>
#include <optional>

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

// The matches of `pattern` in `text` (code units), each given to `take` with
// the byte offsets `at` gives; false where a match needs too much work or the
// search runs past `deadline`.
template <class Text, class At, class Take>
bool EachMatch(const Pattern& pattern, Text text, At at, Take take, std::chrono::steady_clock::time_point deadline) {
    Pattern::Match m;
    for (std::size_t from = 0; from <= text.size();) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        const std::size_t last = text.size() - from > kSearchStep ? from + kSearchStep : Pattern::kAnywhere;
        const Pattern::Found found = pattern.Next(text, from, m, last);
        if (found == Pattern::Found::TooMuchWork) return false;
        if (found == Pattern::Found::None) {
            if (last == Pattern::kAnywhere) return true;
            from = CharacterAt(text, last + 1);
            continue;
        }
        take(m, at);
        if (m.end > m.start) {
            from = m.end;
            continue;
        }
        from = CharacterAt(text, m.end + 1);  // after an empty match, a character later
    }
    return true;
}

}  // namespace

std::chrono::milliseconds PatternBudget(std::uint64_t size) {
    return std::chrono::milliseconds(std::max<std::uint64_t>(5000, size / 10'000));
}

PatternPass ReplaceMatches(const Pattern& pattern, std::string_view bytes, Encoding encoding, const CodePage* page,
                           std::string* out, std::optional<std::chrono::milliseconds> budget) {
    PatternPass pass;
    const auto deadline = std::chrono::steady_clock::now() + budget.value_or(PatternBudget(bytes.size()));
    std::vector<std::string> literals;
    if (out && !WriteLiterals(pattern, encoding, page, literals, pass.notWritable)) return pass;
    std::size_t copied = 0;  // bytes of the file written to `out` so far
    const auto take = [&](const Pattern::Match& m, const auto& at) {
        ++pass.replacements;
        if (!out) return;
        out->append(bytes, copied, at(m.start) - copied);
        std::size_t literal = 0;
        for (const ReplacementPart& part : pattern.Replacement()) {
            if (part.group < 0) {
                *out += literals[literal++];
                continue;
            }
            // A group's text is the file's own bytes, copied as they are.
            const auto [start, end] = m.groups[static_cast<std::size_t>(part.group)];
            if (start != std::string::npos) out->append(bytes, at(start), at(end) - at(start));
        }
        copied = at(m.end);
    };
    bool finished = true;
    switch (encoding) {
    case Encoding::Utf8: {
        const std::size_t bom = bytes.starts_with("\xEF\xBB\xBF") ? 3 : 0;
        finished = EachMatch(
            pattern, bytes.substr(bom), [&](std::size_t i) { return bom + i; }, take, deadline);
        break;
    }
    case Encoding::Utf16LE:
    case Encoding::Utf16BE: {
        const std::size_t bom = 2, units = (bytes.size() - std::min<std::size_t>(bom, bytes.size())) / 2;
        std::u16string text(units, u'\0');
        for (std::size_t i = 0; i < units; ++i) {
            const auto a = static_cast<unsigned char>(bytes[bom + 2 * i]),
                       b = static_cast<unsigned char>(bytes[bom + 2 * i + 1]);
            text[i] = static_cast<char16_t>(encoding == Encoding::Utf16LE ? a | b << 8 : b | a << 8);
        }
        finished = EachMatch(
            pattern, std::u16string_view(text), [&](std::size_t i) { return bom + 2 * i; }, take, deadline);
        break;
    }
    case Encoding::Legacy: {
        if (!page) return pass;
        const Decoded d = DecodeLegacy(bytes, *page);
        finished = EachMatch(
            pattern, std::u16string_view(d.text), [&](std::size_t i) { return d.at[i]; }, take, deadline);
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

}  // namespace tarnwick
