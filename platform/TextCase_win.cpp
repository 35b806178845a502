#include "platform/TextCase.h"

#include <windows.h>

namespace tarnwick::os {

namespace {

// Windows maps case only where the mapping goes both ways; the few of
// Unicode's simple mappings that go one way only (ς → Σ, ſ → S, K → k, the
// title-case letters) are its own: {character, capital, small}, 0 for none.
constexpr struct {
    char32_t c, upper, lower;
} kOneWay[] = {
    {0x00B5, 0x039C, 0},      {0x0131, 0x0049, 0},      {0x017F, 0x0053, 0},      {0x01C5, 0x01C4, 0x01C6},
    {0x01C8, 0x01C7, 0x01C9}, {0x01CB, 0x01CA, 0x01CC}, {0x01F2, 0x01F1, 0x01F3}, {0x0345, 0x0399, 0},
    {0x03C2, 0x03A3, 0},      {0x03D0, 0x0392, 0},      {0x03D1, 0x0398, 0},      {0x03D5, 0x03A6, 0},
    {0x03D6, 0x03A0, 0},      {0x03F0, 0x039A, 0},      {0x03F1, 0x03A1, 0},      {0x03F4, 0, 0x03B8},
    {0x03F5, 0x0395, 0},      {0x1C80, 0x0412, 0},      {0x1C81, 0x0414, 0},      {0x1C82, 0x041E, 0},
    {0x1C83, 0x0421, 0},      {0x1C84, 0x0422, 0},      {0x1C85, 0x0422, 0},      {0x1C86, 0x042A, 0},
    {0x1C87, 0x0462, 0},      {0x1C88, 0xA64A, 0},      {0x1E9B, 0x1E60, 0},      {0x1E9E, 0, 0x00DF},
    {0x1FBE, 0x0399, 0},      {0x2126, 0, 0x03C9},      {0x212A, 0, 0x006B},      {0x212B, 0, 0x00E5},
};

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

char32_t UpperOf(char32_t c) {
    for (const auto& one : kOneWay)
        if (one.c == c) return one.upper ? one.upper : c;
    return Mapped(c, LCMAP_UPPERCASE);
}

char32_t LowerOf(char32_t c) {
    for (const auto& one : kOneWay)
        if (one.c == c) return one.lower ? one.lower : c;
    return Mapped(c, LCMAP_LOWERCASE);
}

}  // namespace tarnwick::os
