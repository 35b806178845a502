#pragma once

// The first bytes by which files of common binary formats are known: a file
// that starts so is no text, even where no NUL byte shows it (a PDF, a ZIP
// archive whose first members are text, a JPEG).

#include <cstddef>
#include <string_view>

namespace tarnwick {

// The most bytes BinaryFormatOf looks at.
constexpr std::size_t kSignatureBytes = 16;

// The name of the binary format whose signature `head` (a file's first bytes,
// up to kSignatureBytes; fewer where the file is shorter) starts with, or
// empty for none.
std::string_view BinaryFormatOf(std::string_view head);

}  // namespace tarnwick
