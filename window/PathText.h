#pragma once

// Paths between Qt text and the file system's native form. On POSIX a byte
// that is no text in the locale's encoding is kept as the lone surrogate
// U+DC00 + byte, so that every path goes back to its own bytes.

#include <QString>
#include <filesystem>

namespace tarnwick::window {

std::filesystem::path ToPath(const QString& text);
QString FromPath(const std::filesystem::path& path);

}  // namespace tarnwick::window
