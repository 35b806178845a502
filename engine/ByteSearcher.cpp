#include "ByteSearcher.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <utility>

namespace tarnwick {

ByteSearcher::ByteSearcher(std::string needle) : needle_(std::move(needle)) {}

std::size_t ByteSearcher::Find(std::string_view haystack) const {
    const std::size_t n = needle_.size();
    if (n == 0) return 0;
    if (haystack.size() < n) return npos;
    if (n == 1) {
        const void* hit = std::memchr(haystack.data(), static_cast<unsigned char>(needle_[0]), haystack.size());
        return hit ? static_cast<const char*>(hit) - haystack.data() : npos;
    }
#if defined(__GLIBC__)
    const void* hit = memmem(haystack.data(), haystack.size(), needle_.data(), n);
    return hit ? static_cast<const char*>(hit) - haystack.data() : npos;
#else
    const auto it = std::search(haystack.begin(), haystack.end(),
                                std::boyer_moore_horspool_searcher(needle_.begin(), needle_.end()));
    return it == haystack.end() ? npos : static_cast<std::size_t>(it - haystack.begin());
#endif
}

}  // namespace tarnwick
