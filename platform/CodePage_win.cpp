#include "platform/CodePage.h"
#include "CodePageRules.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include <windows.h>

namespace tarnwick {

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
        if (back <= 0 ||
            MultiByteToWideChar(cp, MB_ERR_INVALID_CHARS, out.data(), size, reinterpret_cast<wchar_t*>(check.data()),
                                back) != back ||
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
    cp.scheme_ = DoubleByteOf(std::to_string(acp));
    cp.usable_ = IsSingleByteOrUtf8(acp) || cp.scheme_ != DoubleByte::None;
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
    const DoubleByte scheme = DoubleByteOf(digits);
    if (!IsValidCodePage(number) || (!IsSingleByteOrUtf8(number) && scheme == DoubleByte::None)) return std::nullopt;
    CodePage cp("CP" + digits, number);
    cp.scheme_ = scheme;
    if (!KeepsAscii(cp)) return std::nullopt;
    return cp;
}

std::optional<std::string> CodePage::Encode(std::u16string_view text) const { return WideToCodePage(number_, text); }

std::optional<std::u16string> CodePage::Decode(std::string_view bytes) const { return CodePageToWide(number_, bytes); }

CodePage CodePage::Arguments() { return *Named("UTF-8"); }

std::optional<std::string> PathTextFromUtf16(std::u16string_view text, const CodePage&) { return Utf16ToUtf8(text); }

std::string PathText(const std::filesystem::path& path) {
    const std::wstring& wide = path.native();
    const auto utf8 = Utf16ToUtf8(std::u16string_view(reinterpret_cast<const char16_t*>(wide.data()), wide.size()));
    return utf8 ? *utf8 : std::string("?");
}

std::filesystem::path PathFromText(std::string_view text) {
    const auto wide = Utf8ToUtf16(text);
    if (!wide) return std::filesystem::path(std::string(text));
    return std::filesystem::path(std::wstring(wide->begin(), wide->end()));
}

}  // namespace tarnwick
