#include "platform/TextCase.h"

#include <clocale>
#include <cwctype>
#include <locale.h>

namespace tarnwick::os {

namespace {

// C.UTF-8's character classes are Unicode's own, whatever locale the user runs in.
locale_t Unicode() {
    static const locale_t locale = [] {
        locale_t made = newlocale(LC_CTYPE_MASK, "C.UTF-8", locale_t{});
        return made ? made : newlocale(LC_CTYPE_MASK, "C.utf8", locale_t{});
    }();
    return locale;
}

}  // namespace

char32_t UpperOf(char32_t c) {
    const locale_t locale = Unicode();
    if (!locale) return c < 0x80 && c >= U'a' && c <= U'z' ? c - 0x20 : c;
    return static_cast<char32_t>(towupper_l(static_cast<wint_t>(c), locale));
}

char32_t LowerOf(char32_t c) {
    const locale_t locale = Unicode();
    if (!locale) return c < 0x80 && c >= U'A' && c <= U'Z' ? c + 0x20 : c;
    return static_cast<char32_t>(towlower_l(static_cast<wint_t>(c), locale));
}

}  // namespace tarnwick::os
