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
            for (const std::uint32_t n : candidates) {
                const std::string& needle = needles_[n];
                if (needle.size() <= haystack.size() - at &&
                    std::memcmp(haystack.data() + at, needle.data(), needle.size()) == 0 && !visit(at, n))
                    return false;
            }
            from = at + 1;
        }
    }

private:
    // The next offset from `from` on where some needle may start, and the
    // needles that may (in index order); npos when none can.
    std::size_t Next(std::string_view haystack, std::size_t from, std::span<const std::uint32_t>& candidates) const;
    // The hash of the block of bytes that ends at `end` (its last byte).
    std::uint32_t Hash(const unsigned char* end) const;

    std::vector<std::string> needles_;
    std::size_t shortest_ = 0, longest_ = 0;
    std::size_t block_ = 1;                // bytes hashed at a time: 1, 2 or 3
    std::vector<std::uint8_t> shift_;      // by block hash: how far the window may jump
    std::vector<std::uint32_t> bucketAt_;  // by block hash: where its needles start in `buckets_`
    std::vector<std::uint32_t> buckets_;   // needle indexes by the hash of their prefix's last block
};

}  // namespace tarnwick
