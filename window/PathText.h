#pragma once

// Paths between Qt text and the file system's native form. On POSIX a byte
// that is no text in the locale's encoding is kept as the lone surrogate
// U+DC00 + byte, so that every path goes back to its own bytes.

#include <QString>
#include <filesystem>

namespace tarnwick::window {

std::filesystem::path ToPath(const QString& text);
QString FromPath(const std::filesystem::path& path);
// A path as a box or the status line shows it: control characters and the
// marks that turn the direction of text shown as visible signs (a name cannot
// forge a line or reverse the text after it); with `longest`, shortened in
// its middle to that many characters, never inside a character.
QString ShownPath(const QString& path, qsizetype longest = 0);
inline QString ShownPath(const std::filesystem::path& path, qsizetype longest = 0) {
    return ShownPath(FromPath(path), longest);
}

}  // namespace tarnwick::window
