#include "FailureText.h"

#include <QFile>

#include <algorithm>

namespace tarnwick::window {

QString DescribeFailure(const Failure& failure) {
    QString text;
    switch (failure.kind) {
    case FailureKind::Open: text = QStringLiteral("файл не удалось открыть"); break;
    case FailureKind::Missing: text = QStringLiteral("файл не найден"); break;
    case FailureKind::NotRegularFile: text = QStringLiteral("это не обычный файл"); break;
    case FailureKind::NotWritable: text = QStringLiteral("нет права на запись в файл"); break;
    case FailureKind::NotReplaceable:
        text = QStringLiteral("папка не позволяет заменить файл (только дозапись, неизменяемая или с битом sticky)");
        break;
    case FailureKind::Busy: text = QStringLiteral("файл обрабатывается другим запуском программы"); break;
    case FailureKind::Read: text = QStringLiteral("ошибка чтения файла"); break;
    case FailureKind::CreateTemporary: text = QStringLiteral("не удалось создать временный файл рядом с ним"); break;
    case FailureKind::Write: text = QStringLiteral("ошибка записи (нет места на диске?)"); break;
    case FailureKind::Flush: text = QStringLiteral("ошибка сброса данных на диск"); break;
    case FailureKind::Backup: text = QStringLiteral("не удалось создать резервную копию"); break;
    case FailureKind::BackupNotFile:
        text = QStringLiteral("место резервной копии занято папкой или другим объектом");
        break;
    case FailureKind::BackupIsFile: text = QStringLiteral("резервная копия оказалась бы самим файлом (ссылка)"); break;
    case FailureKind::BadBackupName:
        text = QStringLiteral("расширение резервных копий не задано или недопустимо");
        break;
    case FailureKind::Changed: text = QStringLiteral("файл изменён другой программой во время обработки"); break;
    case FailureKind::Replace: text = QStringLiteral("не удалось заменить файл исправленным"); break;
    case FailureKind::List: text = QStringLiteral("не удалось прочитать содержимое папки"); break;
    case FailureKind::NotRepresentable:
        text =
            QStringLiteral("строку замены нельзя записать в кодировке файла ") + QString::fromStdString(failure.detail);
        break;
    case FailureKind::KeepAccess:
        text = QStringLiteral("исправленному файлу нельзя дать группу, права доступа (ACL) или атрибуты исходного");
        break;
    }
    if (failure.code) text += QStringLiteral(" (") + QString::fromLocal8Bit(failure.code.message()) + QLatin1Char(')');
    return text;
}

#ifndef _WIN32
namespace {

// A byte that is not valid in the locale's encoding travels in the text as a
// lone surrogate U+DC80..U+DCFF and comes back as the same byte.
bool IsEscapedByte(char16_t c) { return c >= 0xDC80 && c <= 0xDCFF; }

}  // namespace
#endif

std::filesystem::path ToPath(const QString& text) {
#ifdef _WIN32
    return std::filesystem::path(text.toStdWString());
#else
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
#endif
}

QString FromPath(const std::filesystem::path& path) {
#ifdef _WIN32
    return QString::fromStdWString(path.native());
#else
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
#endif
}

}  // namespace tarnwick::window
