#pragma once

// The replace routine: every occurrence of the search string, left to right,
// without overlap, inserted text never searched again. It works on one window
// of a stream at a time, so files of any size pass through a fixed buffer.

#include "ByteSearcher.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tarnwick {

// Replaces in `window` and hands the result to `emit(data, size)` in order.
// Returns how much of `window` was consumed: unless `last`, the bytes after
// that may still begin an occurrence and must lead the next window.
template <typename Emit>
std::size_t ReplaceWindow(std::string_view window, bool last, const ByteSearcher& search, std::string_view replace,
                          std::uint64_t& count, Emit&& emit) {
    const std::size_t n = search.Needle().size();
    std::size_t pos = 0;
    if (n != 0) {
        for (std::size_t hit; (hit = search.Find(window.substr(pos))) != ByteSearcher::npos;) {
            emit(window.data() + pos, hit);
            emit(replace.data(), replace.size());
            pos += hit + n;
            ++count;
        }
    }
    const std::size_t keep = last || n == 0 ? 0 : std::min(n - 1, window.size() - pos);
    emit(window.data() + pos, window.size() - pos - keep);
    return window.size() - keep;
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
