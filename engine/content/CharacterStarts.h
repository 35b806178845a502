#pragma once

// Where characters start in a stream of bytes in a double-byte code page.
// There a later byte of a character can be any ASCII letter or sign (CP932
// 83 41 is one katakana, 95 5C one kanji), so a match of a string's bytes
// counts only where a character starts. A byte below a scheme's limit
// (0x40; 0x30 in GB18030, 0x80 in EUC) is never part of a longer character,
// so a start is found by reading back to such a byte and forward from there:
// the search stays one pass over the file.

#include "platform/CodePage.h"

#include <cstdint>
#include <string_view>

namespace tarnwick {

class CharacterStarts {
public:
    explicit CharacterStarts(CodePage::DoubleByte scheme);

    // Whether a character starts at `at` (an offset in the file) of `window`,
    // whose first byte is at `offset`. Asked of windows in file order, each
    // from where the last one was left (below).
    bool At(std::string_view window, std::uint64_t offset, std::uint64_t at);
    // The bytes of `window` before `next` are dropped: the next window starts there.
    void Leave(std::string_view window, std::uint64_t offset, std::uint64_t next);

private:
    // A place where a unit (a character, or a part of one that tells its own
    // length) begins, and whether that unit continues a character.
    struct Mark {
        std::uint64_t at = 0;
        bool inside = false;
    };
    // One unit from `b0` and the byte after it (-1 where not known yet).
    struct Unit {
        unsigned length = 0;  // 0: the byte after must be known first
        bool start = true;    // a character starts here
        bool nextInside = false;
    };
    Unit Read(int b0, int b1, bool inside) const;
    int Byte(std::string_view window, std::uint64_t offset, std::uint64_t at) const;
    // From `from` on to `at` or the first unit past it; stops where a unit
    // cannot be read yet.
    Mark Walk(std::string_view window, std::uint64_t offset, Mark from, std::uint64_t at, bool& stopped) const;
    // The best place at or before `at` to walk from.
    Mark From(std::string_view window, std::uint64_t offset, std::uint64_t at) const;

    CodePage::DoubleByte scheme_;
    unsigned low_;       // bytes below this are characters of their own
    Mark base_;          // a unit begins here, in the window or just before it
    int baseByte_ = -1;  // the byte at base_ when it is before the window
    Mark last_;          // where the last question left off
};

}  // namespace tarnwick
