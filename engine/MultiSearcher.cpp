#include "MultiSearcher.h"

#include <algorithm>

namespace tarnwick {

MultiSearcher::MultiSearcher(std::vector<std::string> needles) : needles_(std::move(needles)) {
    shortest_ = needles_.empty() ? 0 : needles_[0].size();
    for (const std::string& n : needles_) {
        shortest_ = std::min(shortest_, n.size());
        longest_ = std::max(longest_, n.size());
    }
    if (shortest_ == 0) return;  // nothing to look for, or an empty needle (not taken)
    // Blocks of three bytes where the needles allow: fewer of them are common
    // to text and needles than pairs or single bytes.
    block_ = std::min<std::size_t>(shortest_, 3);
    const std::size_t table = block_ == 1 ? 256 : block_ == 2 ? 65536 : 32768;
    // A block that ends no needle's prefix (its first `shortest_` bytes) lets
    // the window jump past it; one that ends at offset j of some prefix, by
    // shortest_ - 1 - j at most.
    const std::size_t most = std::min<std::size_t>(shortest_ - block_ + 1, 255);
    shift_.assign(table, static_cast<std::uint8_t>(most));
    std::vector<std::uint32_t> count(table + 1, 0);
    for (const std::string& n : needles_) {
        const auto* p = reinterpret_cast<const unsigned char*>(n.data());
        for (std::size_t j = block_ - 1; j < shortest_; ++j) {
            std::uint8_t& s = shift_[Hash(p + j)];
            s = std::min<std::uint8_t>(s, static_cast<std::uint8_t>(std::min<std::size_t>(shortest_ - 1 - j, 255)));
        }
        ++count[Hash(p + shortest_ - 1)];
    }
    // The needles by the hash of their prefix's last block, in index order.
    bucketAt_.assign(table + 1, 0);
    for (std::size_t h = 0; h < table; ++h) bucketAt_[h + 1] = bucketAt_[h] + count[h];
    buckets_.resize(needles_.size());
    std::vector<std::uint32_t> fill(bucketAt_.begin(), bucketAt_.end() - 1);
    for (std::size_t i = 0; i < needles_.size(); ++i) {
        const auto* p = reinterpret_cast<const unsigned char*>(needles_[i].data());
        buckets_[fill[Hash(p + shortest_ - 1)]++] = static_cast<std::uint32_t>(i);
    }
}

std::uint32_t MultiSearcher::Hash(const unsigned char* end) const {
    switch (block_) {
    case 1: return end[0];
    case 2: return static_cast<std::uint32_t>(end[-1]) | static_cast<std::uint32_t>(end[0]) << 8;
    default:
        return (static_cast<std::uint32_t>(end[-2]) | static_cast<std::uint32_t>(end[-1]) << 8 |
                static_cast<std::uint32_t>(end[0]) << 16) *
                   0x9E3779B1u >>
               17;
    }
}

std::size_t MultiSearcher::Next(std::string_view haystack, std::size_t from,
                                std::span<const std::uint32_t>& candidates) const {
    if (shortest_ == 0 || from >= haystack.size() || haystack.size() - from < shortest_) return npos;
    const auto* p = reinterpret_cast<const unsigned char*>(haystack.data());
    // `end`: the last byte of the window, which starts at end - shortest_ + 1.
    for (std::size_t end = from + shortest_ - 1; end < haystack.size();) {
        const std::uint32_t h = Hash(p + end);
        if (const std::uint8_t s = shift_[h]) {
            end += s;
            continue;
        }
        if (bucketAt_[h] != bucketAt_[h + 1]) {
            candidates =
                std::span<const std::uint32_t>(buckets_.data() + bucketAt_[h], bucketAt_[h + 1] - bucketAt_[h]);
            return end + 1 - shortest_;
        }
        ++end;  // the block ends some needle's prefix elsewhere than at its end
    }
    return npos;
}

}  // namespace tarnwick
