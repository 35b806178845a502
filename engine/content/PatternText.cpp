#include "engine/content/PatternText.h"

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

// The matches of `pattern` in `text` (code units), each given to `take` with
// the byte offsets `at` gives; a match that needs too much work stops it.
template <class Text, class At, class Take>
bool EachMatch(const Pattern& pattern, Text text, At at, Take take) {
    Pattern::Match m;
    for (std::size_t from = 0; from <= text.size();) {
        const Pattern::Found found = pattern.Next(text, from, m);
        if (found == Pattern::Found::TooMuchWork) return false;
        if (found == Pattern::Found::None) return true;
        take(m, at);
        if (m.end > m.start) {
            from = m.end;
            continue;
        }
        // An empty match: the next search starts a character later.
        from = m.end + 1;
        if constexpr (sizeof(text[0]) == 1)
            while (from < text.size() && (static_cast<unsigned char>(text[from]) & 0xC0) == 0x80) ++from;
        else if (from < text.size() && (text[from] & 0xFC00) == 0xDC00 && (text[from - 1] & 0xFC00) == 0xD800) ++from;
    }
    return true;
}

}  // namespace

PatternPass ReplaceMatches(const Pattern& pattern, std::string_view bytes, Encoding encoding, const CodePage* page,
                           std::string* out) {
    PatternPass pass;
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
            pattern, bytes.substr(bom), [&](std::size_t i) { return bom + i; }, take);
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
            pattern, std::u16string_view(text), [&](std::size_t i) { return bom + 2 * i; }, take);
        break;
    }
    case Encoding::Legacy: {
        if (!page) return pass;
        const Decoded d = DecodeLegacy(bytes, *page);
        finished = EachMatch(
            pattern, std::u16string_view(d.text), [&](std::size_t i) { return d.at[i]; }, take);
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
