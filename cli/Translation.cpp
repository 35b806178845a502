#include "cli/Translation.h"

#include <locale.h>
#include <cstdlib>
#include <libintl.h>

#ifdef _WIN32
#include <windows.h>
#endif

namespace tarnwick::cli {

namespace {

constexpr const char* kDomain = "tarnwick-cli";
bool translating = false;

#ifdef _WIN32
// The language of the user's interface, as gettext names languages ("ru"),
// where the environment names none: libintl would take the language of the
// user's formats instead.
void TakeInterfaceLanguage() {
    for (const wchar_t* name : {L"LANGUAGE", L"LC_ALL", L"LC_MESSAGES", L"LANG"})
        if (const wchar_t* value = _wgetenv(name); value && *value) return;
    wchar_t language[16] = {};
    const LCID id = MAKELCID(::GetUserDefaultUILanguage(), SORT_DEFAULT);
    if (::GetLocaleInfoW(id, LOCALE_SISO639LANGNAME, language, 16) > 0) _wputenv_s(L"LANGUAGE", language);
}
#endif

}  // namespace

void SetUpTranslation(const std::filesystem::path& program) {
    namespace fs = std::filesystem;
#ifdef _WIN32
    TakeInterfaceLanguage();
#endif
    // Only the messages' category: numbers, letters' classes and case stay the program's own.
    setlocale(LC_MESSAGES, "");  // (libintl stands in for it on Windows)
    std::error_code ec;
    const fs::path folder = program.parent_path();
    fs::path catalogues = folder / "locale";
    if (!fs::is_directory(catalogues, ec)) catalogues = folder.parent_path() / "share" / "locale";
#ifdef _WIN32
    wbindtextdomain(kDomain, catalogues.c_str());
#else
    const std::u8string where = catalogues.u8string();
    bindtextdomain(kDomain, reinterpret_cast<const char*>(where.c_str()));
    // The system's reasons (strerror) in the same language and in UTF-8 too.
    bind_textdomain_codeset("libc", "UTF-8");
#endif
    bind_textdomain_codeset(kDomain, "UTF-8");
    translating = true;
}

const char* Tr(const char* english) { return translating ? dgettext(kDomain, english) : english; }

const char* TrN(const char* one, const char* many, std::uint64_t n) {
    const auto count = static_cast<unsigned long>(n > 1000000 ? 1000000 + n % 1000000 : n);
    if (!translating) return n == 1 ? one : many;
    return dngettext(kDomain, one, many, count);
}

std::string Fill(std::string_view pattern, std::initializer_list<std::string_view> values) {
    std::string text;
    const std::string_view* next = values.begin();
    for (std::size_t at = 0;;) {
        const std::size_t mark = pattern.find("{}", at);
        if (mark == std::string_view::npos || next == values.end()) {
            text.append(pattern.substr(at));
            return text;
        }
        text.append(pattern.substr(at, mark - at)).append(*next++);
        at = mark + 2;
    }
}

}  // namespace tarnwick::cli
