#pragma once

// The pairs file of --pairs: one replacement a line, SEARCH<TAB>REPLACE.

#include "engine/content/StringForms.h"

#include <istream>
#include <string>
#include <variant>
#include <vector>

namespace tarnwick::cli {

// Reads the pairs of `in`: UTF-8 (a byte-order mark skipped), one pair a line
// as SEARCH, a TAB, REPLACE, with the escapes \t, \n, \r, \# (a '#', so a
// line may start with one) and \\; empty lines and lines starting with #
// skipped (a skipped line holding a TAB goes to `warnings`: it was perhaps
// meant as a pair); a line may end in CR LF. The pairs, or what is wrong and
// on which line ("line 3: ...").
std::variant<std::vector<TextPair>, std::string> ReadPairs(std::istream& in,
                                                           std::vector<std::string>* warnings = nullptr);

}  // namespace tarnwick::cli
