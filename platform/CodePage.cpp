#include "platform/CodePage.h"
#include "CodePageRules.h"

#include <cerrno>
#include <cstdint>
#include <cctype>
#include <cstdlib>
#include <initializer_list>
#include <vector>

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
        if (b0 < 0x80) {
            len = 1;
            c = b0;
        } else if (b0 >= 0xC2 && b0 <= 0xDF) {
            len = 2;
            c = b0 & 0x1F;
        } else if (b0 >= 0xE0 && b0 <= 0xEF) {
            len = 3;
            c = b0 & 0x0F;
        } else if (b0 >= 0xF0 && b0 <= 0xF4) {
            len = 4;
            c = b0 & 0x07;
        } else return std::nullopt;
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

}  // namespace

bool KeepsAscii(const CodePage& cp) {
    const auto encoded = cp.Encode(kAsciiProbe);
    return encoded && *encoded == "Az09 .=[]\\/\r\n";
}

CodePage::DoubleByte CodePage::DoubleByteOf(std::string_view name) {
    // Compared in lower case without '-' and '_': "Shift_JIS", "shift-jis", "SJIS".
    std::string key;
    for (const char c : name)
        if (c != '-' && c != '_') key += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    struct Entry {
        DoubleByte scheme;
        std::initializer_list<std::string_view> names;
    };
    static const Entry kTable[] = {
        {DoubleByte::ShiftJis, {"cp932", "932", "ms932", "shiftjis", "sjis", "windows31j"}},
        {DoubleByte::Gbk, {"cp936", "936", "ms936", "gbk", "windows936"}},
        {DoubleByte::Uhc, {"cp949", "949", "uhc", "mscp949"}},
        {DoubleByte::Big5, {"cp950", "950", "big5", "big5hkscs", "cnbig5"}},
        {DoubleByte::Gb18030, {"gb18030", "54936", "cp54936"}},
        {DoubleByte::EucJp, {"eucjp", "20932", "cp20932", "51932", "cp51932"}},
        {DoubleByte::Euc, {"euckr", "51949", "cp51949", "euccn", "gb2312", "51936", "cp51936"}},
    };
    for (const Entry& entry : kTable)
        for (const std::string_view n : entry.names)
            if (key == n) return entry.scheme;
    return DoubleByte::None;
}

unsigned CodePage::WindowsCodePageFor(std::string_view locale) {
    const std::string_view language = locale.substr(0, locale.find_first_of("_.@"));
    if (language == "zh") {
        // Traditional characters in Taiwan, Hong Kong and Macau; simplified elsewhere.
        const std::string_view region = locale.substr(language.size(), 3);
        return region == "_TW" || region == "_HK" || region == "_MO" ? 950 : 936;
    }
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
        {932, {"ja"}},
        {949, {"ko"}},
    };
    for (const Entry& entry : kTable)
        for (const std::string_view l : entry.languages)
            if (language == l) return entry.codePage;
    return 1252;
}

}  // namespace tarnwick
