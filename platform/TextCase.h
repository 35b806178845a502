#pragma once

// Letter case of a character by Unicode's simple mappings (one character to
// one, as UnicodeData.txt gives them), the same in every locale: the system's
// own tables, never the user's language rules (no Turkish dotless i).

namespace tarnwick::os {

// `c` in capitals / small letters; `c` itself where it has no such form.
char32_t UpperOf(char32_t c);
char32_t LowerOf(char32_t c);

}  // namespace tarnwick::os
