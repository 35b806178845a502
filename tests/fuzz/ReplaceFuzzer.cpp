// libFuzzer target: the replace routine, streamed through windows of any size,
// against the plain replace of the whole buffer.
// Input: [search length][replace length][window size][search][replace][text].

#include "engine/content/ByteSearcher.h"
#include "PlainReplace.h"
#include "../ReplaceText.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

using tarnwick::test::PlainReplace;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3) return 0;
    const std::size_t searchSize = data[0] % 48, replaceSize = data[1] % 48, window = 1 + data[2] % 64;
    std::string_view rest(reinterpret_cast<const char*>(data + 3), size - 3);
    if (rest.size() < searchSize + replaceSize) return 0;
    const std::string_view search = rest.substr(0, searchSize), replace = rest.substr(searchSize, replaceSize);
    const std::string_view text = rest.substr(searchSize + replaceSize);

    std::uint64_t expectedCount = 0;
    const std::string expected = PlainReplace(text, search, replace, expectedCount);

    // Stream it as a file is streamed: fixed windows, the unconsumed tail carried over.
    const tarnwick::ByteSearcher searcher{std::string(search)};
    std::string out, carry;
    std::uint64_t count = 0;
    for (std::size_t at = 0;;) {
        const std::size_t take = std::min(window, text.size() - at);
        std::string buffer = carry + std::string(text.substr(at, take));
        at += take;
        const bool last = take == 0;
        const std::size_t used = tarnwick::ReplaceWindow(buffer, last, searcher, replace, count,
                                                         [&](const char* p, std::size_t n) { out.append(p, n); });
        carry = buffer.substr(used);
        if (last) break;
    }
    if (out != expected || count != expectedCount || !carry.empty()) std::abort();
    return 0;
}
