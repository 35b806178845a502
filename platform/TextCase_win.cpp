#include "platform/TextCase.h"

#include <windows.h>

namespace tarnwick::os {

namespace {

// The invariant locale maps case by Unicode's simple mappings, whatever the user's language.
char32_t Mapped(char32_t c, DWORD how) {
    wchar_t in[2], out[2];
    int n = 1;
    if (c >= 0x10000 && c <= 0x10FFFF) {
        in[0] = static_cast<wchar_t>(0xD800 + ((c - 0x10000) >> 10));
        in[1] = static_cast<wchar_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
        n = 2;
    } else if (c < 0xD800 || (c > 0xDFFF && c < 0x10000)) {
        in[0] = static_cast<wchar_t>(c);
    } else {
        return c;
    }
    if (LCMapStringEx(LOCALE_NAME_INVARIANT, how, in, n, out, 2, nullptr, nullptr, 0) != n) return c;
    if (n == 1) return out[0];
    if ((out[0] & 0xFC00) != 0xD800 || (out[1] & 0xFC00) != 0xDC00) return c;
    return 0x10000 + ((static_cast<char32_t>(out[0]) - 0xD800) << 10) + (static_cast<char32_t>(out[1]) - 0xDC00);
}

}  // namespace

char32_t UpperOf(char32_t c) { return Mapped(c, LCMAP_UPPERCASE); }
char32_t LowerOf(char32_t c) { return Mapped(c, LCMAP_LOWERCASE); }

}  // namespace tarnwick::os
