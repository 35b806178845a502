#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tarnwick {

// Finds one fixed byte string in byte buffers. Built once per needle and
// reused for every buffer, so per-needle preparation is paid once per run.
class ByteSearcher {
public:
    static constexpr std::size_t npos = std::string_view::npos;

    explicit ByteSearcher(std::string needle);

    // Offset of the first occurrence of the needle in `haystack`, or npos.
    // The empty needle occurs at offset 0 of every buffer, the empty one included.
    std::size_t Find(std::string_view haystack) const;

    const std::string& Needle() const { return needle_; }

private:
    std::string needle_;
};

}  // namespace tarnwick
