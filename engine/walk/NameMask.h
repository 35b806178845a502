#pragma once

#include <filesystem>
#include <string_view>
#include <vector>

namespace tarnwick {

// File or folder name masks as the window's mask field takes them:
// `;`-separated patterns ("*.htm;*.html") with `*` (any run of characters)
// and `?` (one character); ASCII letters match in either case on every
// system, and "*.*" matches every name, with or without a dot.
class NameMask {
public:
    using Name = std::basic_string_view<std::filesystem::path::value_type>;

    // Adds the patterns of `masks`; empty patterns and the spaces around each are left out.
    void Add(Name masks);
    bool Empty() const { return patterns_.empty(); }
    // Whether any pattern matches the whole of `name`.
    bool Matches(Name name) const;

private:
    std::vector<std::filesystem::path::string_type> patterns_;
};

}  // namespace tarnwick
