#include "window/SystemReason.h"

#include <algorithm>
#include <clocale>
#include <cstring>
#include <locale.h>
#include <string.h>

namespace tarnwick::window::detail {

QString SystemsRussian(const std::error_code& code) {
    if (code.category() != std::generic_category() && code.category() != std::system_category()) return {};
    // glibc translates its reasons by the catalogue of a locale's messages;
    // the locale must be one the system has (locale-gen), else there is none.
    static const locale_t russian = [] {
        for (const char* name : {"ru_RU.UTF-8", "ru_RU.utf8"})
            if (const locale_t made = ::newlocale(LC_ALL_MASK, name, nullptr)) return made;
        return locale_t{};
    }();
    static const locale_t plain = ::newlocale(LC_ALL_MASK, "C", nullptr);
    if (!russian || !plain) return {};
    const std::string english = ::strerror_l(code.value(), plain);
    const char* words = ::strerror_l(code.value(), russian);
    // Where the catalogue is missing, the English words come back unchanged;
    // where LANGUAGE names another language first, its words: neither is Russian.
    if (!words || english == words) return {};
    const QString text = QString::fromUtf8(words);
    const bool cyrillic =
        std::any_of(text.begin(), text.end(), [](QChar c) { return c.script() == QChar::Script_Cyrillic; });
    return cyrillic ? text : QString();
}

}  // namespace tarnwick::window::detail
