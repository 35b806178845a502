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
    if (smalls == 0 && capitals >= 2) return Shape::Capitals;
    if (capitals == 1 && capitalFirst) return Shape::Capitalized;
    return Shape::AsTyped;
}

void Apply(Shape shape, std::u32string& text) {
    bool first = true;
    for (char32_t& c : text) {
        const bool letter = IsCapital(c) || IsSmall(c);
        switch (shape) {
        case Shape::Small: c = os::LowerOf(c); break;
        case Shape::Capitals: c = os::UpperOf(c); break;
        case Shape::Capitalized: c = first ? os::UpperOf(c) : os::LowerOf(c); break;
        case Shape::AsTyped: return;
        }
        if (letter) first = false;
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
