// Paths as the window shows them, on POSIX: a path's bytes decoded in the
// locale's encoding, a byte that is no text there kept as an escape.

#include "window/PathText.h"

#include <QFile>

#include <algorithm>

namespace tarnwick::window {

namespace {

// A byte that is not valid in the locale's encoding travels in the text as a
// lone surrogate U+DC80..U+DCFF and comes back as the same byte.
bool IsEscapedByte(char16_t c) { return c >= 0xDC80 && c <= 0xDCFF; }

}  // namespace

std::filesystem::path ToPath(const QString& text) {
    const auto escaped = [](QChar c) { return IsEscapedByte(c.unicode()); };
    if (std::none_of(text.begin(), text.end(), escaped))
        return std::filesystem::path(QFile::encodeName(text).toStdString());
    std::string bytes;
    QString run;
    for (const QChar c : text) {
        if (!escaped(c)) {
            run += c;
            continue;
        }
        bytes += QFile::encodeName(run).toStdString();
        run.clear();
        bytes += static_cast<char>(c.unicode() - 0xDC00);
    }
    bytes += QFile::encodeName(run).toStdString();
    return std::filesystem::path(bytes);
}

QString FromPath(const std::filesystem::path& path) {
    const std::string& bytes = path.native();
    QString text = QFile::decodeName(QByteArray::fromStdString(bytes));
    if (QFile::encodeName(text).toStdString() == bytes) return text;
    // Some bytes are not text in the locale's encoding: decode what is, keep the rest as escapes.
    text.clear();
    for (std::size_t i = 0; i < bytes.size();) {
        std::size_t len = 1;
        QString part;
        for (; len <= 4 && i + len <= bytes.size(); ++len) {
            const std::string piece = bytes.substr(i, len);
            part = QFile::decodeName(QByteArray::fromStdString(piece));
            if (QFile::encodeName(part).toStdString() == piece) break;
            part.clear();
        }
        if (part.isEmpty()) {
            text += QChar(static_cast<char16_t>(0xDC00 + static_cast<unsigned char>(bytes[i])));
            ++i;
        } else {
            text += part;
            i += len;
        }
    }
    return text;
}

}  // namespace tarnwick::window
