// Paths as the window shows them, on Windows: paths are UTF-16 there.

#include "window/PathText.h"

namespace tarnwick::window {

std::filesystem::path ToPath(const QString& text) { return std::filesystem::path(text.toStdWString()); }

QString FromPath(const std::filesystem::path& path) { return QString::fromStdWString(path.native()); }

}  // namespace tarnwick::window
