#include "engine/content/CaseShape.h"

#include "platform/TextCase.h"

#include <cstddef>
#include <span>
#include <vector>

namespace tarnwick {

namespace {

// Code points, lone surrogates kept as they are (they have no case).
std::u32string CodePoints(std::u16string_view text) {
    std::u32string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char16_t u = text[i];
        if ((u & 0xFC00) == 0xD800 && i + 1 < text.size() && (text[i + 1] & 0xFC00) == 0xDC00) {
            out.push_back(0x10000 + ((static_cast<char32_t>(u) - 0xD800) << 10) + (text[++i] - 0xDC00));
        } else {
            out.push_back(u);
        }
    }
    return out;
}

std::u16string Units(std::u32string_view text) {
    std::u16string out;
    out.reserve(text.size());
    for (const char32_t c : text) {
        if (c >= 0x10000) {
            out.push_back(static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(c));
        }
    }
    return out;
}

bool IsCapital(char32_t c) { return os::LowerOf(c) != c; }
bool IsSmall(char32_t c) { return !IsCapital(c) && os::UpperOf(c) != c; }

enum class Shape { Small, Capitals, Capitalized, AsTyped };

// (A single capital is all capitals: "A" gives "XYZ", as the rules are taken in order.)
Shape ShapeOf(std::u32string_view text) {
    std::size_t capitals = 0, smalls = 0;
    bool capitalFirst = false;
    for (const char32_t c : text) {
        if (IsCapital(c)) {
            if (capitals + smalls == 0) capitalFirst = true;
            ++capitals;
        } else if (IsSmall(c)) {
            ++smalls;
        }
    }
    if (capitals + smalls == 0) return Shape::AsTyped;
    if (capitals == 0) return Shape::Small;
    if (smalls == 0) return Shape::Capitals;
    if (capitals == 1 && capitalFirst) return Shape::Capitalized;
    return Shape::AsTyped;
}

// A word's first letter: the title-case form where a letter has one of its
// own (the digraphs ǅ, ǈ, ǋ, ǲ), none where a script has no capitals at the
// start of a word (Georgian, whose capitals are for whole words only).
char32_t TitleOf(char32_t c) {
    switch (os::LowerOf(c)) {
    case 0x01C6: return 0x01C5;
    case 0x01C9: return 0x01C8;
    case 0x01CC: return 0x01CB;
    case 0x01F3: return 0x01F2;
    default: break;
    }
    if ((c >= 0x10D0 && c <= 0x10FA) || (c >= 0x10FD && c <= 0x10FF)) return c;
    return os::UpperOf(c);
}

// The small form of text[k]: a capital sigma at the end of a word is the final ς.
char32_t SmallAt(const std::u32string& text, std::size_t k) {
    constexpr char32_t kSigma = 0x03A3, kFinalSigma = 0x03C2;
    if (text[k] != kSigma) return os::LowerOf(text[k]);
    const bool letterBefore = k > 0 && (IsCapital(text[k - 1]) || IsSmall(text[k - 1]));
    const bool letterAfter = k + 1 < text.size() && (IsCapital(text[k + 1]) || IsSmall(text[k + 1]));
    return letterBefore && !letterAfter ? kFinalSigma : os::LowerOf(text[k]);
}

// (Capitalized: the first character capital where it has a capital, whatever
// it is; never a later one in its place.)
void Apply(Shape shape, std::u32string& text) {
    const std::u32string typed = text;
    for (std::size_t k = 0; k < text.size(); ++k) {
        switch (shape) {
        case Shape::Small: text[k] = SmallAt(typed, k); break;
        case Shape::Capitals: text[k] = os::UpperOf(text[k]); break;
        case Shape::Capitalized: text[k] = k == 0 ? TitleOf(text[k]) : SmallAt(typed, k); break;
        case Shape::AsTyped: return;
        }
    }
}

// Where pieces begin and end: [begin, end) each, the separators between them left out.
std::vector<std::pair<std::size_t, std::size_t>> Pieces(std::u32string_view text) {
    std::vector<std::pair<std::size_t, std::size_t>> pieces;
    std::size_t begin = 0;
    for (std::size_t i = 0; i <= text.size(); ++i) {
        const bool end = i == text.size();
        if (end || text[i] == U'-' || text[i] == U'_') {
            if (i > begin) pieces.emplace_back(begin, i);
            begin = i + 1;
        } else if (i > begin && IsSmall(text[i - 1]) && IsCapital(text[i])) {
            pieces.emplace_back(begin, i);
            begin = i;
        }
    }
    return pieces;
}

}  // namespace

std::u16string InCaseOf(std::u16string_view occurrence, std::u16string_view replacement) {
    const std::u32string found = CodePoints(occurrence);
    std::u32string out = CodePoints(replacement);
    if (const Shape whole = ShapeOf(found); whole != Shape::AsTyped) {
        Apply(whole, out);
        return Units(out);
    }
    const auto foundPieces = Pieces(found), outPieces = Pieces(out);
    if (foundPieces.size() < 2 || foundPieces.size() != outPieces.size()) return std::u16string(replacement);
    for (std::size_t k = 0; k < foundPieces.size(); ++k) {
        const auto [fb, fe] = foundPieces[k];
        const auto [ob, oe] = outPieces[k];
        std::u32string piece = out.substr(ob, oe - ob);
        Apply(ShapeOf(std::u32string_view(found).substr(fb, fe - fb)), piece);
        out.replace(ob, oe - ob, piece);
    }
    return Units(out);
}

}  // namespace tarnwick
