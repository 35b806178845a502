#include "engine/walk/NameMask.h"

#include <algorithm>
#include <cstdint>

namespace tarnwick {

namespace {

using Char = std::filesystem::path::value_type;

Char Folded(Char c) { return c >= 'A' && c <= 'Z' ? static_cast<Char>(c - 'A' + 'a') : c; }

// How many code units the character starting at `i` takes: a UTF-8 sequence
// or a UTF-16 surrogate pair is one character for `?`.
std::size_t CharacterAt(NameMask::Name name, std::size_t i) {
    std::size_t n = 1;
    if constexpr (sizeof(Char) == 1) {
        while (i + n < name.size() && (static_cast<unsigned char>(name[i + n]) & 0xC0) == 0x80 &&
               static_cast<unsigned char>(name[i]) >= 0xC0)
            ++n;
    } else {
        const auto unit = [&](std::size_t k) { return static_cast<std::uint32_t>(name[k]); };
        if (unit(i) >= 0xD800 && unit(i) < 0xDC00 && i + 1 < name.size() && unit(i + 1) >= 0xDC00 &&
            unit(i + 1) < 0xE000)
            n = 2;
    }
    return n;
}

// `*` and `?` over the whole name; the last `*` seen is where a mismatch backs up to.
bool Glob(NameMask::Name pattern, NameMask::Name name) {
    std::size_t p = 0, n = 0, starP = NameMask::Name::npos, starN = 0;
    while (n < name.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            starP = p++;
            starN = n;
        } else if (p < pattern.size() && pattern[p] == '?') {
            ++p;
            n += CharacterAt(name, n);
        } else if (p < pattern.size() && Folded(pattern[p]) == Folded(name[n])) {
            ++p;
            ++n;
        } else if (starP != NameMask::Name::npos) {
            p = starP + 1;
            starN += CharacterAt(name, starN);
            n = starN;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*') ++p;
    return p == pattern.size();
}

}  // namespace

void NameMask::Add(Name masks) {
    while (!masks.empty()) {
        const std::size_t end = std::min(masks.find(Char(';')), masks.size());
        Name pattern = masks.substr(0, end);
        masks.remove_prefix(std::min(end + 1, masks.size()));
        while (!pattern.empty() && pattern.front() == ' ') pattern.remove_prefix(1);
        while (!pattern.empty() && pattern.back() == ' ') pattern.remove_suffix(1);
        if (!pattern.empty()) patterns_.emplace_back(pattern);
    }
}

bool NameMask::Matches(Name name) const {
    static constexpr Char kEveryName[] = {'*', '.', '*', 0};
    for (const auto& pattern : patterns_)
        if (pattern == kEveryName || Glob(pattern, name)) return true;
    return false;
}

}  // namespace tarnwick
