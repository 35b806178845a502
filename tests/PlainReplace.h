#pragma once

// The plain replace every streaming replace must agree with: left to right,
// no overlap, inserted text never searched again; the empty search string
// replaces nothing. Adds the number of replacements to `count`.

#include <cstdint>
#include <string>
#include <string_view>

namespace tarnwick::test {

inline std::string PlainReplace(std::string_view text, std::string_view search, std::string_view replace,
                                std::uint64_t& count) {
    if (search.empty()) return std::string(text);
    std::string out;
    std::size_t pos = 0;
    for (std::size_t hit; (hit = text.find(search, pos)) != std::string_view::npos; pos = hit + search.size()) {
        out.append(text.substr(pos, hit - pos)).append(replace);
        ++count;
    }
    return out.append(text.substr(pos));
}

}  // namespace tarnwick::test
