#include "engine/content/MultiSearcher.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace tarnwick {

MultiSearcher::MultiSearcher(std::vector<std::string> needles) : needles_(std::move(needles)) {
    shortest_ = needles_.empty() ? 0 : needles_[0].size();
    for (const std::string& n : needles_) {
        shortest_ = std::min(shortest_, n.size());
        longest_ = std::max(longest_, n.size());
    }
    if (shortest_ == 0) return;  // nothing to look for, or an empty needle (not taken)
    firstFour_.assign(needles_.size(), 0);
    for (std::size_t i = 0; i < needles_.size(); ++i)
        if (needles_[i].size() >= 4) std::memcpy(&firstFour_[i], needles_[i].data(), 4);
    // Blocks of three bytes where the needles allow: fewer of them are common
    // to text and needles than pairs or single bytes.
    block_ = std::min<std::size_t>(shortest_, 3);
    const std::size_t table = block_ == 1 ? 256 : block_ == 2 ? 65536 : 32768;
    // A block that ends no needle's prefix (its first `shortest_` bytes) lets
    // the window jump past it; one that ends at offset j of some prefix, by
    // shortest_ - 1 - j at most.
    const std::size_t most = std::min<std::size_t>(shortest_ - block_ + 1, 255);
    shift_.assign(table, static_cast<std::uint8_t>(most));
    maxShift_ = most;
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

namespace {

// The hash of the block of `bytes` bytes that ends at `end` (its last byte).
// Three bytes hash into 15 bits; with `wide` they are read as the last three
// of four (the byte before the block may be read).
template <std::size_t bytes, bool wide = false>
inline std::uint32_t BlockHash(const unsigned char* end) {
    if constexpr (bytes == 1) return end[0];
    if constexpr (bytes == 2) return static_cast<std::uint32_t>(end[-1]) | static_cast<std::uint32_t>(end[0]) << 8;
    std::uint32_t block;
    if constexpr (wide) {
        std::memcpy(&block, end - 3, 4);
        block >>= 8;
    } else {
        block = static_cast<std::uint32_t>(end[-2]) | static_cast<std::uint32_t>(end[-1]) << 8 |
                static_cast<std::uint32_t>(end[0]) << 16;
    }
    return block * 0x9E3779B1u >> 17;
}

}  // namespace

std::uint32_t MultiSearcher::Hash(const unsigned char* end) const {
    return block_ == 1 ? BlockHash<1>(end) : block_ == 2 ? BlockHash<2>(end) : BlockHash<3>(end);
}

std::size_t MultiSearcher::Next(std::string_view haystack, std::size_t from,
                                std::span<const std::uint32_t>& candidates) const {
    if (shortest_ == 0 || from >= haystack.size() || haystack.size() - from < shortest_) return npos;
    if (block_ == 1) return Slide<1, false>(haystack, from, candidates);
    if (block_ == 2) return Slide<2, false>(haystack, from, candidates);
    // The window's first byte may be read with its last three from its fourth byte on.
    if (shortest_ >= 4 && std::endian::native == std::endian::little) return Slide<3, true>(haystack, from, candidates);
    return Slide<3, false>(haystack, from, candidates);
}

template <std::size_t bytes, bool wide>
std::size_t MultiSearcher::Slide(std::string_view haystack, std::size_t from,
                                 std::span<const std::uint32_t>& candidates) const {
    const auto* p = reinterpret_cast<const unsigned char*>(haystack.data());
    const std::uint8_t* shift = shift_.data();
    const std::size_t most = maxShift_, size = haystack.size();
    // `end`: the last byte of the window, which starts at end - shortest_ + 1.
    for (std::size_t end = from + shortest_ - 1; end < size;) {
        // Most steps jump the whole way: four of them are looked up at once,
        // since one after the other each waits for the one before.
        if (end + 3 * most < size) {
            const bool far = (shift[BlockHash<bytes, wide>(p + end)] == most) &
                             (shift[BlockHash<bytes, wide>(p + end + most)] == most) &
                             (shift[BlockHash<bytes, wide>(p + end + 2 * most)] == most) &
                             (shift[BlockHash<bytes, wide>(p + end + 3 * most)] == most);
            if (far) {
                end += 4 * most;
                continue;
            }
        }
        const std::uint32_t h = BlockHash<bytes, wide>(p + end);
        if (const std::uint8_t s = shift[h]) {
            end += s;
            continue;
        }
        candidates = std::span<const std::uint32_t>(buckets_.data() + bucketAt_[h], bucketAt_[h + 1] - bucketAt_[h]);
        return end + 1 - shortest_;
    }
    return npos;
}

}  // namespace tarnwick
