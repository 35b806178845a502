#include "CodePage.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <initializer_list>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <iconv.h>
#include <langinfo.h>
#include <locale.h>
#endif

namespace tarnwick {

std::optional<std::string> Utf16ToUtf8(std::u16string_view text) {
    std::string out;
    out.reserve(text.size() * 3);
    for (std::size_t i = 0; i < text.size(); ++i) {
        std::uint32_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF) {
            if (i + 1 == text.size() || text[i + 1] < 0xDC00 || text[i + 1] > 0xDFFF) return std::nullopt;
            c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
        } else if (c >= 0xDC00 && c <= 0xDFFF) {
            return std::nullopt;
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::optional<std::u16string> Utf8ToUtf16(std::string_view bytes) {
    std::u16string out;
    out.reserve(bytes.size());
    for (std::size_t i = 0; i < bytes.size();) {
        const auto b0 = static_cast<unsigned char>(bytes[i]);
        std::size_t len;
        std::uint32_t c;
        if (b0 < 0x80) { len = 1; c = b0; }
        else if (b0 >= 0xC2 && b0 <= 0xDF) { len = 2; c = b0 & 0x1F; }
        else if (b0 >= 0xE0 && b0 <= 0xEF) { len = 3; c = b0 & 0x0F; }
        else if (b0 >= 0xF0 && b0 <= 0xF4) { len = 4; c = b0 & 0x07; }
        else return std::nullopt;
        if (i + len > bytes.size()) return std::nullopt;
        for (std::size_t k = 1; k < len; ++k) {
            const auto b = static_cast<unsigned char>(bytes[i + k]);
            if ((b & 0xC0) != 0x80) return std::nullopt;
            c = (c << 6) | (b & 0x3F);
        }
        const bool overlong = (len == 3 && c < 0x800) || (len == 4 && c < 0x10000);
        if (overlong || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return std::nullopt;
        if (c >= 0x10000) {
            c -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (c >> 10));
            out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
        } else {
            out += static_cast<char16_t>(c);
        }
        i += len;
    }
    return out;
}

namespace {

// Probe text that every usable code page must keep byte for byte.
constexpr std::u16string_view kAsciiProbe = u"Az09 .=[]\\/\r\n";

bool KeepsAscii(const CodePage& cp) {
    const auto encoded = cp.Encode(kAsciiProbe);
    return encoded && *encoded == "Az09 .=[]\\/\r\n";
}

}  // namespace

unsigned CodePage::WindowsCodePageFor(std::string_view locale) {
    const std::string_view language = locale.substr(0, locale.find_first_of("_.@"));
    struct Entry {
        unsigned codePage;
        std::initializer_list<std::string_view> languages;
    };
    static const Entry kTable[] = {
        {1251, {"ru", "uk", "be", "bg", "sr", "mk"}},
        {1250, {"cs", "pl", "hu", "ro", "hr", "sk", "sl"}},
        {1253, {"el"}},
        {1254, {"tr", "az"}},
        {1255, {"he"}},
        {1256, {"ar", "fa", "ur"}},
        {1257, {"lt", "lv", "et"}},
        {1258, {"vi"}},
        {874, {"th"}},
    };
    for (const Entry& entry : kTable)
        for (const std::string_view l : entry.languages)
            if (language == l) return entry.codePage;
    return 1252;
}

#ifdef _WIN32

namespace {

std::optional<std::string> WideToCodePage(unsigned cp, std::u16string_view text) {
    if (text.empty()) return std::string();
    const auto* wide = reinterpret_cast<const wchar_t*>(text.data());
    const int wideLen = static_cast<int>(text.size());
    const bool utf8 = cp == CP_UTF8;
    const DWORD flags = utf8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
    BOOL usedDefault = FALSE;
    BOOL* usedDefaultPtr = utf8 ? nullptr : &usedDefault;
    const int size = WideCharToMultiByte(cp, flags, wide, wideLen, nullptr, 0, nullptr, usedDefaultPtr);
    if (size <= 0 || usedDefault) return std::nullopt;
    std::string out(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(cp, flags, wide, wideLen, out.data(), size, nullptr, usedDefaultPtr);
    if (usedDefault) return std::nullopt;
    // WC_NO_BEST_FIT_CHARS alone does not catch every substitution: round-trip.
    if (!utf8) {
        const int back = MultiByteToWideChar(cp, MB_ERR_INVALID_CHARS, out.data(), size, nullptr, 0);
        std::u16string check(static_cast<std::size_t>(back > 0 ? back : 0), u'\0');
        if (back <= 0 || MultiByteToWideChar(cp, MB_ERR_INVALID_CHARS, out.data(), size,
                                             reinterpret_cast<wchar_t*>(check.data()), back) != back ||
            check != text)
            return std::nullopt;
    }
    return out;
}

std::optional<std::u16string> CodePageToWide(unsigned cp, std::string_view bytes) {
    if (bytes.empty()) return std::u16string();
    const int len = static_cast<int>(bytes.size());
    const int size = MultiByteToWideChar(cp, MB_ERR_INVALID_CHARS, bytes.data(), len, nullptr, 0);
    if (size <= 0) return std::nullopt;
    std::u16string out(static_cast<std::size_t>(size), u'\0');
    MultiByteToWideChar(cp, MB_ERR_INVALID_CHARS, bytes.data(), len, reinterpret_cast<wchar_t*>(out.data()), size);
    return out;
}

}  // namespace

namespace {

bool IsSingleByteOrUtf8(unsigned number) {
    if (number == CP_UTF8) return true;
    CPINFOEXW info{};
    return ::GetCPInfoExW(number, 0, &info) && info.MaxCharSize == 1;
}

}  // namespace

CodePage CodePage::System() {
    const unsigned acp = GetACP();
    CodePage cp("CP" + std::to_string(acp), acp);
    cp.usable_ = IsSingleByteOrUtf8(acp);
    return cp;
}

std::optional<CodePage> CodePage::Legacy() {
    unsigned acp = GetACP();
    if (acp == CP_UTF8) {
        DWORD number = 0;
        if (!GetLocaleInfoEx(LOCALE_NAME_USER_DEFAULT, LOCALE_IDEFAULTANSICODEPAGE | LOCALE_RETURN_NUMBER,
                             reinterpret_cast<LPWSTR>(&number), sizeof number / sizeof(wchar_t)))
            return std::nullopt;
        acp = number;
    }
    if (acp == CP_UTF8) return std::nullopt;
    return Named(std::to_string(acp));
}

std::optional<CodePage> CodePage::Named(std::string_view name) {
    std::string digits(name);
    if (digits == "UTF-8" || digits == "utf-8" || digits == "UTF8" || digits == "utf8") digits = "65001";
    if (digits.size() > 2 && (digits[0] == 'C' || digits[0] == 'c') && (digits[1] == 'P' || digits[1] == 'p'))
        digits.erase(0, 2);
    if (digits.empty() || digits.size() > 5 || digits.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    const unsigned number = static_cast<unsigned>(std::stoul(digits));
    if (!IsValidCodePage(number) || !IsSingleByteOrUtf8(number)) return std::nullopt;
    CodePage cp("CP" + digits, number);
    if (!KeepsAscii(cp)) return std::nullopt;
    return cp;
}

std::optional<std::string> CodePage::Encode(std::u16string_view text) const { return WideToCodePage(number_, text); }

std::optional<std::u16string> CodePage::Decode(std::string_view bytes) const { return CodePageToWide(number_, bytes); }

#else  // POSIX: iconv

namespace {

bool IsUtf8Name(std::string_view name) {
    return name == "UTF-8" || name == "utf-8" || name == "UTF8" || name == "utf8";
}

// Runs `bytes` through iconv from `from` to `to`; nothing on any conversion
// error, so no character is ever dropped or replaced.
std::optional<std::string> Convert(const std::string& from, const std::string& to, std::string_view bytes) {
    iconv_t cd = iconv_open(to.c_str(), from.c_str());
    if (cd == reinterpret_cast<iconv_t>(-1)) return std::nullopt;
    std::string out;
    std::vector<char> buffer(4096);
    char* in = const_cast<char*>(bytes.data());
    std::size_t inLeft = bytes.size();
    bool ok = true;
    for (bool flushing = false;;) {
        char* outPtr = buffer.data();
        std::size_t outLeft = buffer.size();
        const std::size_t rc = flushing ? iconv(cd, nullptr, nullptr, &outPtr, &outLeft)
                                        : iconv(cd, &in, &inLeft, &outPtr, &outLeft);
        out.append(buffer.data(), outPtr);
        if (rc == static_cast<std::size_t>(-1)) {
            if (errno == E2BIG) continue;
            ok = false;  // EILSEQ or EINVAL: not representable / not valid
            break;
        }
        // glibc counts irreversible conversions in rc; those are substitutions.
        if (rc != 0) { ok = false; break; }
        if (flushing) break;
        flushing = true;
    }
    iconv_close(cd);
    if (!ok) return std::nullopt;
    return out;
}

}  // namespace

CodePage CodePage::System() {
    // Ask the environment's locale without touching the process's own locale.
    std::string codeset;
    if (locale_t loc = newlocale(LC_CTYPE_MASK, "", static_cast<locale_t>(0))) {
        codeset = nl_langinfo_l(CODESET, loc);
        freelocale(loc);
    }
    if (codeset.empty() || codeset == "ANSI_X3.4-1968" || codeset == "ASCII" || codeset == "US-ASCII")
        codeset = "UTF-8";
    if (auto cp = Named(codeset)) return *cp;
    CodePage known{codeset};
    if (KeepsAscii(known)) {
        // A multibyte locale (EUC-JP, GB18030, Big5...): known, but not for correcting files.
        known.usable_ = false;
        return known;
    }
    return CodePage("UTF-8");
}

std::optional<CodePage> CodePage::Legacy() {
    const CodePage system = System();
    if (system.Usable() && !IsUtf8Name(system.name_)) return system;
    std::string locale;
    for (const char* name : {"LC_ALL", "LC_CTYPE", "LANG"}) {
        const char* value = std::getenv(name);
        if (value && *value) {
            locale = value;
            break;
        }
    }
    return Named("CP" + std::to_string(WindowsCodePageFor(locale)));
}

namespace {

// Whether every byte is one whole character or an invalid one by itself, and
// every ASCII byte stands for itself: no byte starts a longer character and
// no shift state changes what ASCII bytes mean.
bool IsSingleByte(const std::string& name) {
    iconv_t cd = iconv_open("UTF-8", name.c_str());
    if (cd == reinterpret_cast<iconv_t>(-1)) return false;
    bool single = true;
    for (int b = 0; b < 256 && single; ++b) {
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
        char in[1] = {static_cast<char>(b)};
        char out[8];
        char* inPtr = in;
        char* outPtr = out;
        std::size_t inLeft = 1, outLeft = sizeof out;
        std::size_t rc = iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft);
        // A character held back for a combining mark that may follow (CP1258) comes out on a flush.
        if (rc != static_cast<std::size_t>(-1) && outPtr == out) rc = iconv(cd, nullptr, nullptr, &outPtr, &outLeft);
        if (rc == static_cast<std::size_t>(-1)) single = errno == EILSEQ && b >= 0x80;
        else single = inLeft == 0 && (b >= 0x80 || (outPtr - out == 1 && out[0] == in[0]));
    }
    iconv_close(cd);
    return single;
}

}  // namespace

std::optional<CodePage> CodePage::Named(std::string_view name) {
    if (name.empty()) return std::nullopt;
    CodePage cp{std::string(name)};
    if (!KeepsAscii(cp)) return std::nullopt;
    if (!IsUtf8Name(cp.name_) && !IsSingleByte(cp.name_)) return std::nullopt;
    return cp;
}

std::optional<std::string> CodePage::Encode(std::u16string_view text) const {
    auto utf8 = Utf16ToUtf8(text);
    if (!utf8 || IsUtf8Name(name_)) return utf8;
    return Convert("UTF-8", name_, *utf8);
}

std::optional<std::u16string> CodePage::Decode(std::string_view bytes) const {
    if (IsUtf8Name(name_)) return Utf8ToUtf16(bytes);
    const auto utf8 = Convert(name_, "UTF-8", bytes);
    if (!utf8) return std::nullopt;
    return Utf8ToUtf16(*utf8);
}

#endif

std::string PathText(const std::filesystem::path& path) {
#ifdef _WIN32
    const std::wstring& wide = path.native();
    const auto utf8 = Utf16ToUtf8(std::u16string_view(reinterpret_cast<const char16_t*>(wide.data()), wide.size()));
    return utf8 ? *utf8 : std::string("?");
#else
    return path.native();
#endif
}

std::filesystem::path PathFromText(std::string_view text) {
#ifdef _WIN32
    const auto wide = Utf8ToUtf16(text);
    if (!wide) return std::filesystem::path(std::string(text));
    return std::filesystem::path(std::wstring(wide->begin(), wide->end()));
#else
    return std::filesystem::path(std::string(text));
#endif
}

}  // namespace tarnwick
