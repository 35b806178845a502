#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tarnwick {

// Finds many fixed byte strings in byte buffers in one pass (Wu and Manber's
// method): a window as long as the shortest needle slides over the buffer,
// jumping by how far its last few bytes are from the end of any needle's
// start; where they end one, the needles that may start there are confirmed
// whole. With a few hundred needles of some length most steps jump several bytes.
// Built once per set of needles and reused for every buffer.
class MultiSearcher {
public:
    static constexpr std::size_t npos = std::string_view::npos;

    // `needles`: non-empty byte strings; a needle's index is its place here.
    explicit MultiSearcher(std::vector<std::string> needles);

    std::size_t Size() const { return needles_.size(); }
    const std::string& Needle(std::size_t i) const { return needles_[i]; }
    std::size_t Longest() const { return longest_; }

    // Calls `visit(offset, needle)` for every occurrence of every needle in
    // `haystack` starting at `from` or later: by offset, and at one offset by
    // needle index. Stops when `visit` returns false; then false.
    template <typename Visit>
    bool ForEach(std::string_view haystack, std::size_t from, Visit&& visit) const {
        for (std::span<const std::uint32_t> candidates;;) {
            const std::size_t at = Next(haystack, from, candidates);
            if (at == npos) return true;
            for (const std::uint32_t n : candidates)
                if (At(haystack, at, n) && !visit(at, n)) return false;
            from = at + 1;
        }
    }

    // The next offset from `from` on where some needle may start, and the
    // needles that may (in index order; At tells which do); npos when none can.
    // Every needle that starts at an offset is among that offset's candidates.
    std::size_t Next(std::string_view haystack, std::size_t from, std::span<const std::uint32_t>& candidates) const;
    // Whether needle `n` occurs at `at`.
    bool At(std::string_view haystack, std::size_t at, std::uint32_t n) const {
        const std::string& needle = needles_[n];
        if (needle.size() > haystack.size() - at) return false;
        // Most candidates differ in their first bytes: those are compared first.
        if (needle.size() >= 4) {
            std::uint32_t first;
            std::memcpy(&first, haystack.data() + at, 4);
            if (first != firstFour_[n]) return false;
        }
        return std::memcmp(haystack.data() + at, needle.data(), needle.size()) == 0;
    }

private:
    // The hash of the block of bytes that ends at `end` (its last byte).
    std::uint32_t Hash(const unsigned char* end) const;
    // Next's search with blocks of `bytes` bytes.
    template <std::size_t bytes, bool wide>
    std::size_t Slide(std::string_view haystack, std::size_t from, std::span<const std::uint32_t>& candidates) const;

    std::vector<std::string> needles_;
    std::size_t shortest_ = 0, longest_ = 0;
    std::size_t block_ = 1;                 // bytes hashed at a time: 1, 2 or 3
    std::size_t maxShift_ = 1;              // the jump past a block that ends no needle's prefix
    std::vector<std::uint8_t> shift_;       // by block hash: how far the window may jump
    std::vector<std::uint32_t> bucketAt_;   // by block hash: where its needles start in `buckets_`
    std::vector<std::uint32_t> buckets_;    // needle indexes by the hash of their prefix's last block
    std::vector<std::uint32_t> firstFour_;  // by needle: its first four bytes, if it has four
};

}  // namespace tarnwick
