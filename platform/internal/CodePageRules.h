#pragma once

// What the code pages of both systems share.

#include "CodePage.h"

namespace tarnwick {

// Whether the code page keeps ASCII text byte for byte (a usable code page does).
bool KeepsAscii(const CodePage& cp);

}  // namespace tarnwick
