#pragma once

// The replace routine: every occurrence of the search string, left to right,
// without overlap, inserted text never searched again. It works on one window
// of a stream at a time, so files of any size pass through a fixed buffer.

#include "engine/content/ByteSearcher.h"
#include "engine/content/MultiSearcher.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace tarnwick {

// One byte form of a search string and what takes its place; `replace` is
// null where the replace string has no form to go there.
struct ReplaceRule {
    const ByteSearcher* search = nullptr;
    const std::string* replace = nullptr;
    bool atStarts = false;   // an occurrence counts only where the caller says characters start and end
    std::uint32_t pair = 0;  // the pair of strings it belongs to, for counting
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

// The longest form among `rules`: what may still begin an occurrence at a window's end.
inline std::size_t LongestForm(std::span<const ReplaceRule> rules) {
    std::size_t longest = 0;
    for (const ReplaceRule& rule : rules) longest = std::max(longest, rule.search->Needle().size());
    return longest;
}

// Where the next occurrence of any rule's form is, and whose.
struct ReplaceHit {
    std::size_t at = ByteSearcher::npos;
    std::size_t rule = 0;
};

// Finds occurrences for a few rules, each by its own searcher; each rule's next
// occurrence in a window is remembered until passed.
class FewRules {
public:
    static constexpr std::size_t kMaxRules = 4;

    explicit FewRules(std::span<const ReplaceRule> rules) : rules_(rules), longest_(LongestForm(rules)) {}
    std::size_t Longest() const { return longest_; }
    void NewWindow() {
        for (std::size_t r = 0; r < rules_.size(); ++r)
            next_[r] = rules_[r].search->Needle().empty() ? ByteSearcher::npos : kUnknown;
    }
    // The leftmost occurrence at or after `pos` (the longest where two start
    // together, else the first rule's) whose offset is a multiple of `align`
    // and, for the rules that ask, where `startsAt` says a character starts.
    template <typename StartsAt>
    ReplaceHit Next(std::string_view window, std::size_t pos, std::uint64_t windowOffset, unsigned align,
                    StartsAt&& startsAt) {
        ReplaceHit best;
        for (std::size_t r = 0; r < rules_.size(); ++r) {
            const ReplaceRule& rule = rules_[r];
            if (next_[r] == kUnknown || (next_[r] != ByteSearcher::npos && next_[r] < pos)) {
                const std::size_t length = rule.search->Needle().size();
                next_[r] = FindAligned(*rule.search, window, pos, windowOffset, align);
                while (rule.atStarts && next_[r] != ByteSearcher::npos &&
                       !(startsAt(next_[r]) && startsAt(next_[r] + length)))
                    next_[r] = FindAligned(*rule.search, window, next_[r] + 1, windowOffset, align);
            }
            const std::size_t n = rule.search->Needle().size();
            if (next_[r] < best.at ||
                (next_[r] == best.at && best.at != ByteSearcher::npos && n > rules_[best.rule].search->Needle().size()))
                best = {next_[r], r};
        }
        return best;
    }

private:
    static constexpr std::size_t kUnknown = ByteSearcher::npos - 1;
    std::span<const ReplaceRule> rules_;
    std::size_t next_[kMaxRules] = {};
    std::size_t longest_ = 0;
};

// Finds occurrences for many rules in one pass of a MultiSearcher whose needle
// n is the form of rule `ruleOf[n]` (-1: of none of these rules).
class ManyRules {
public:
    ManyRules(const MultiSearcher& searcher, std::span<const int> ruleOf, std::span<const ReplaceRule> rules)
        : searcher_(searcher), ruleOf_(ruleOf), rules_(rules), longest_(LongestForm(rules)) {}
    std::size_t Longest() const { return longest_; }
    void NewWindow() {}
    // As FewRules::Next.
    template <typename StartsAt>
    ReplaceHit Next(std::string_view window, std::size_t pos, std::uint64_t windowOffset, unsigned align,
                    StartsAt&& startsAt) {
        // The offsets where a needle may start, in turn, until one where a rule's form does.
        std::span<const std::uint32_t> candidates;
        for (std::size_t from = pos;; ++from) {
            from = searcher_.Next(window, from, candidates);
            if (from == MultiSearcher::npos) return {};
            ReplaceHit best;
            std::size_t bestLength = 0;
            for (const std::uint32_t n : candidates) {
                const int r = ruleOf_[n];
                const std::size_t length = searcher_.Needle(n).size();
                if (r < 0 || length <= bestLength || (windowOffset + from) % align != 0 ||
                    !searcher_.At(window, from, n))
                    continue;
                if (rules_[static_cast<std::size_t>(r)].atStarts && !(startsAt(from) && startsAt(from + length)))
                    continue;
                best = {from, static_cast<std::size_t>(r)};
                bestLength = length;
            }
            if (best.at != ByteSearcher::npos) return best;
        }
    }

private:
    const MultiSearcher& searcher_;
    std::span<const int> ruleOf_;
    std::span<const ReplaceRule> rules_;
    std::size_t longest_ = 0;
};

// Replaces in `window` by `rules` (forms of one or more strings: the leftmost
// occurrence of any, the longest where two start together, as `finder` tells),
// handing the result on in order (below). Returns how much of `window` was
// consumed: unless `last`, the bytes after that may still begin an occurrence
// and must lead the next window. An occurrence whose rule has no replacement
// stops the work there: `blocked` is set to its rule and the result is
// incomplete. Each replacement is counted in `count` and, when given, in
// `perPair[rule.pair]`.
//
// `keep(data, size)` receives the bytes kept, `swap(occurrence, replacement)`
// each occurrence and what takes its place, in order; `startsAt(offset)`
// tells for the rules that ask whether a character starts at that offset of
// the window.
template <typename Finder, typename Keep, typename Swap, typename StartsAt>
std::size_t ReplaceWindowParts(std::string_view window, bool last, std::uint64_t windowOffset, unsigned align,
                               std::span<const ReplaceRule> rules, Finder& finder, std::uint64_t& count,
                               std::uint64_t* perPair, const ReplaceRule*& blocked, Keep&& keep, Swap&& swap,
                               StartsAt&& startsAt) {
    const std::size_t longest = finder.Longest();
    finder.NewWindow();
    std::size_t pos = 0;
    for (;;) {
        const ReplaceHit hit = finder.Next(window, pos, windowOffset, align, startsAt);
        if (hit.at == ByteSearcher::npos) break;
        // A longer form may start here and end in the next window: decide there.
        if (!last && window.size() - hit.at < longest) break;
        const ReplaceRule& rule = rules[hit.rule];
        if (!rule.replace) {
            blocked = &rule;
            return pos;
        }
        keep(window.data() + pos, hit.at - pos);
        swap(window.substr(hit.at, rule.search->Needle().size()), std::string_view(*rule.replace));
        pos = hit.at + rule.search->Needle().size();
        ++count;
        if (perPair) ++perPair[rule.pair];
    }
    const std::size_t held = last || longest == 0 ? 0 : std::min(longest - 1, window.size() - pos);
    keep(window.data() + pos, window.size() - pos - held);
    return window.size() - held;
}

// The same, handing the result to `out(data, size)` in order.
template <typename Emit>
std::size_t ReplaceWindow(std::string_view window, bool last, std::uint64_t windowOffset, unsigned align,
                          std::span<const ReplaceRule> rules, std::uint64_t& count, const ReplaceRule*& blocked,
                          Emit&& out) {
    FewRules finder(rules);
    return ReplaceWindowParts(
        window, last, windowOffset, align, rules, finder, count, nullptr, blocked, out,
        [&](std::string_view, std::string_view replacement) { out(replacement.data(), replacement.size()); },
        [](std::size_t) { return true; });
}

}  // namespace tarnwick
