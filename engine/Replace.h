#pragma once

// The replace routine: every occurrence of the search string, left to right,
// without overlap, inserted text never searched again. It works on one window
// of a stream at a time, so files of any size pass through a fixed buffer.

#include "ByteSearcher.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace tarnwick {

// One byte form of the search string and what takes its place; `replace` is
// null where the replace string has no form to go there.
struct ReplaceRule {
    const ByteSearcher* search = nullptr;
    const std::string* replace = nullptr;
    bool atStarts = false;  // an occurrence counts only where the caller says a character starts
};

// The first occurrence of `search` in `window` from `from` on whose offset in
// the stream (`windowOffset` + its offset) is a multiple of `align`, or npos.
inline std::size_t FindAligned(const ByteSearcher& search, std::string_view window, std::size_t from,
                               std::uint64_t windowOffset, unsigned align) {
    while (from <= window.size()) {
        const std::size_t hit = search.Find(window.substr(from));
        if (hit == ByteSearcher::npos) return hit;
        if ((windowOffset + from + hit) % align == 0) return from + hit;
        from += hit + 1;
    }
    return ByteSearcher::npos;
}

// Replaces in `window` by `rules` (several forms of one string: the leftmost
// occurrence of any, the longest where two start together), handing the
// result on in order (below). Returns how much of `window` was
// consumed: unless `last`, the bytes after that may still begin an occurrence
// and must lead the next window. An occurrence whose rule has no replacement
// stops the work there: `blocked` is set to its rule and the result is
// incomplete.
//
// `keep(data, size)` receives the bytes kept, `swap(occurrence, replacement)`
// each occurrence and what takes its place, in order; `startsAt(offset)`
// tells for the rules that ask whether a character starts at that offset of
// the window.
template <typename Keep, typename Swap, typename StartsAt>
std::size_t ReplaceWindowParts(std::string_view window, bool last, std::uint64_t windowOffset, unsigned align,
                               std::span<const ReplaceRule> rules, std::uint64_t& count, const ReplaceRule*& blocked,
                               Keep&& keep, Swap&& swap, StartsAt&& startsAt) {
    constexpr std::size_t kUnknown = ByteSearcher::npos - 1;
    constexpr std::size_t kMaxRules = 4;
    std::size_t next[kMaxRules];
    std::size_t longest = 0;
    for (std::size_t r = 0; r < rules.size(); ++r) {
        next[r] = rules[r].search->Needle().empty() ? ByteSearcher::npos : kUnknown;
        longest = std::max(longest, rules[r].search->Needle().size());
    }
    std::size_t pos = 0;
    for (;;) {
        std::size_t best = ByteSearcher::npos, bestRule = 0;
        for (std::size_t r = 0; r < rules.size(); ++r) {
            if (next[r] == kUnknown || (next[r] != ByteSearcher::npos && next[r] < pos)) {
                next[r] = FindAligned(*rules[r].search, window, pos, windowOffset, align);
                while (rules[r].atStarts && next[r] != ByteSearcher::npos && !startsAt(next[r]))
                    next[r] = FindAligned(*rules[r].search, window, next[r] + 1, windowOffset, align);
            }
            const std::size_t n = rules[r].search->Needle().size();
            if (next[r] < best ||
                (next[r] == best && best != ByteSearcher::npos && n > rules[bestRule].search->Needle().size())) {
                best = next[r];
                bestRule = r;
            }
        }
        if (best == ByteSearcher::npos) break;
        // A longer form may start here and end in the next window: decide there.
        if (!last && window.size() - best < longest) break;
        const ReplaceRule& rule = rules[bestRule];
        if (!rule.replace) {
            blocked = &rule;
            return pos;
        }
        keep(window.data() + pos, best - pos);
        swap(window.substr(best, rule.search->Needle().size()), std::string_view(*rule.replace));
        pos = best + rule.search->Needle().size();
        ++count;
    }
    const std::size_t held = last || longest == 0 ? 0 : std::min(longest - 1, window.size() - pos);
    keep(window.data() + pos, window.size() - pos - held);
    return window.size() - held;
}

// The same, handing the result to `emit(data, size)` in order.
template <typename Emit>
std::size_t ReplaceWindow(std::string_view window, bool last, std::uint64_t windowOffset, unsigned align,
                          std::span<const ReplaceRule> rules, std::uint64_t& count, const ReplaceRule*& blocked,
                          Emit&& emit) {
    return ReplaceWindowParts(
        window, last, windowOffset, align, rules, count, blocked, emit,
        [&](std::string_view, std::string_view replacement) { emit(replacement.data(), replacement.size()); },
        [](std::size_t) { return true; });
}

// One form: replaces every occurrence of `search` with `replace`.
template <typename Emit>
std::size_t ReplaceWindow(std::string_view window, bool last, const ByteSearcher& search, std::string_view replace,
                          std::uint64_t& count, Emit&& emit) {
    const std::string replacement(replace);
    const ReplaceRule rule{&search, &replacement};
    const ReplaceRule* blocked = nullptr;
    return ReplaceWindow(window, last, 0, 1, std::span<const ReplaceRule>(&rule, 1), count, blocked, emit);
}

// The whole of `text` with every occurrence replaced.
inline std::string ReplaceAll(std::string_view text, const ByteSearcher& search, std::string_view replace,
                              std::uint64_t* count = nullptr) {
    std::string out;
    out.reserve(text.size());
    std::uint64_t replaced = 0;
    ReplaceWindow(text, true, search, replace, replaced,
                  [&](const char* data, std::size_t size) { out.append(data, size); });
    if (count) *count = replaced;
    return out;
}

}  // namespace tarnwick
