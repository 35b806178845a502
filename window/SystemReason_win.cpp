#include "window/SystemReason.h"

#include <windows.h>

#include <cstring>

namespace tarnwick::window::detail {

QString SystemsRussian(const std::error_code& code) {
    // The platform's own reasons are Windows error codes; the others were
    // mapped to portable conditions and have no system words of their own.
    if (std::strcmp(code.category().name(), "windows") != 0) return {};
    wchar_t* text = nullptr;
    const DWORD n =
        ::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                         nullptr, static_cast<DWORD>(code.value()), MAKELANGID(LANG_RUSSIAN, SUBLANG_DEFAULT),
                         reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    QString words = n && text ? QString::fromWCharArray(text, static_cast<int>(n)) : QString();
    if (text) ::LocalFree(text);
    while (words.endsWith(QLatin1Char('\n')) || words.endsWith(QLatin1Char('\r')) || words.endsWith(QLatin1Char(' ')) ||
           words.endsWith(QLatin1Char('.')))
        words.chop(1);
    return words;
}

}  // namespace tarnwick::window::detail
