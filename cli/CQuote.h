#pragma once

#include <string>
#include <string_view>

namespace tarnwick::cli {

// `text` in double quotes with C escapes (\", \\, \t, \n, \r, \ooo for the
// other control characters), as git and GNU diff quote names.
std::string CQuoted(std::string_view text);

}  // namespace tarnwick::cli
