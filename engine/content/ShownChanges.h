#pragma once

// The occurrences of a file as a review shows them: each with the number of
// the line it starts on, and that line before and after the change, as text
// (decoded from the file's own encoding), so that a person can take or leave
// each one.

#include "engine/content/StringForms.h"
#include "platform/CodePage.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarnwick {

struct ShownChange {
    std::uint64_t line = 0;  // 1 for the first
    // The line (or lines, where the occurrence holds a line end) with the
    // occurrence, without its line end; long lines cut around it ("…").
    std::u16string before, after;
    std::size_t at = 0;                     // where the occurrence starts in both
    std::size_t length = 0, newLength = 0;  // its length in `before`, its replacement's in `after`
};

// Fed a file's correction as a preview streams it (the bytes kept and each
// occurrence with its replacement), in the file's layout.
class ShownChanges {
public:
    // `layout`: UTF-16 (LE or BE) for a file with that mark; else bytes, shown
    // as UTF-8 where they are UTF-8 and in `page` (if any) where not.
    ShownChanges(Encoding layout, std::optional<CodePage> page);
    void Keep(std::string_view bytes);
    void Swap(std::string_view occurrence, std::string_view replacement);
    // After the last piece: every change, in file order.
    std::vector<ShownChange> Finish();

    // Characters of a line shown on each side of an occurrence, at most.
    static constexpr std::size_t kContext = 120;

private:
    struct Pending {
        std::size_t offset;  // of the occurrence in line_
        std::size_t length;
        std::string replacement;
        std::uint64_t line;
        std::size_t lineStart;  // where its own line starts in line_ (after a change holding line ends)
    };
    // Bytes of the current line; at a line feed, its pending changes are made.
    void Add(std::string_view bytes, bool occurrence);
    void EndLine();
    std::u16string Text(std::string_view bytes) const;

    Encoding layout_;
    std::optional<CodePage> page_;
    std::size_t unit_;  // bytes of a code unit: 2 in UTF-16, else 1
    std::string line_;
    std::uint64_t lineNumber_ = 1, offset_ = 0;
    char previous_ = 0;  // the byte before
    std::size_t lineStart_ = 0;
    bool utf8_ = true;  // the line being shown is read as UTF-8
    std::vector<Pending> pending_;
    std::vector<ShownChange> done_;
};

}  // namespace tarnwick
