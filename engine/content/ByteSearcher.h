#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tarnwick {

// Finds one fixed byte string in byte buffers. Built once per needle and
// reused for every buffer. Candidates are found by the two needle bytes least
// likely in text, 32 bytes at a time with AVX2 (16 with SSE2 elsewhere), then
// confirmed whole.
class ByteSearcher {
public:
    static constexpr std::size_t npos = std::string_view::npos;

    // `asciiCaseless`: the needle's ASCII letters match in either case (every
    // other byte as it is).
    explicit ByteSearcher(std::string needle, bool asciiCaseless = false);

    // Offset of the first occurrence of the needle in `haystack`, or npos.
    // The empty needle occurs at offset 0 of every buffer, the empty one included.
    std::size_t Find(std::string_view haystack) const;

    const std::string& Needle() const { return needle_; }

    // One scan for two needles: the offset of `first`'s first occurrence, or
    // npos. When `first` does not occur, `secondFound` is set if `second` does;
    // when it does occur, `secondFound` means nothing. `second` is looked for
    // only while `secondFound` is false.
    static std::size_t FindWatching(const ByteSearcher& first, const ByteSearcher& second, std::string_view haystack,
                                    bool& secondFound);

private:
    std::size_t FindCaseless(std::string_view haystack) const;

    std::string needle_;      // caseless: its letters small
    std::string foldBits_;    // caseless: 0x20 for each letter of the needle (`b | 0x20` is either case), 0 else
    std::size_t probe1_ = 0;  // offset in the needle of its rarest byte
    std::size_t probe2_ = 0;  // offset of the next rarest
    std::size_t reach_ = 0;   // the larger of the two
};

// How many of the bytes at `p` are ASCII before the first that is not (or
// `size`): 64 bytes a step with AVX2.
std::size_t AsciiPrefix(const char* p, std::size_t size);
// How many of the bytes at `p` are ASCII other than NUL before the first that
// is not (or `size`): plain text's bytes, 64 a step with AVX2.
std::size_t PlainTextPrefix(const char* p, std::size_t size);

}  // namespace tarnwick
