#pragma once

// One search string replaced in a text, for the tests, the fuzzer and the
// benchmarks that check the windowed replace against the plain one.

#include "engine/content/Replace.h"

#include <string>
#include <string_view>

namespace tarnwick {

// One form: replaces every occurrence of `search` with `replace`.
template <typename Emit>
std::size_t ReplaceWindow(std::string_view window, bool last, const ByteSearcher& search, std::string_view replace,
                          std::uint64_t& count, Emit&& out) {
    const std::string replacement(replace);
    const ReplaceRule rule{&search, &replacement};
    const ReplaceRule* blocked = nullptr;
    return ReplaceWindow(window, last, 0, 1, std::span<const ReplaceRule>(&rule, 1), count, blocked, out);
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
