#include "FailureText.h"

#include "PathText.h"

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
    case FailureKind::BadBackupName:
        text = QStringLiteral("расширение резервных копий не задано или недопустимо");
        break;
    case FailureKind::Changed:
        text = failure.late == Failure::Late::Corrected
                   ? QStringLiteral(
                         "файл изменён другой программой в момент замены: исправленный файл на месте, "
                         "без этого изменения")
               : failure.late == Failure::Late::Restored
                   ? QStringLiteral(
                         "файл изменён другой программой в момент восстановления: прежнее содержимое на "
                         "месте, без этого изменения")
                   : QStringLiteral("файл изменён другой программой во время обработки");
        break;
    case FailureKind::Replace: text = QStringLiteral("не удалось заменить файл исправленным"); break;
    case FailureKind::List: text = QStringLiteral("не удалось прочитать содержимое папки"); break;
    case FailureKind::NotRepresentable:
        text =
            QStringLiteral("строку замены нельзя записать в кодировке файла ") + QString::fromStdString(failure.detail);
        break;
    case FailureKind::KeepAccess:
        text = QStringLiteral("исправленному файлу нельзя дать группу, права доступа (ACL) или атрибуты исходного");
        break;
    case FailureKind::BecameLink: text = QStringLiteral("во время обработки файл заменён ссылкой"); break;
    case FailureKind::FolderSwapped: text = QStringLiteral("во время обработки папка заменена другой"); break;
    case FailureKind::LinkOutside:
        text = QStringLiteral("ссылка ведёт за пределы выбранной папки: ") + FromPath(failure.other);
        break;
    case FailureKind::LeftoverStuck:
        text = QStringLiteral("временный файл прерванного запуска не удалось удалить (владелец: uid ") +
               QString::fromStdString(failure.detail) + QLatin1Char(')');
        break;
    case FailureKind::EmptyName: text = QStringLiteral("пустое имя в списке файлов"); break;
    case FailureKind::AmbiguousPage:
        text = QStringLiteral("кодировку файла нельзя определить надёжно (") + QString::fromStdString(failure.detail) +
               QStringLiteral("): укажите её ключом LegacyCodePage в options.ini");
        break;
    case FailureKind::AmbiguousNamedPage:
        text = QStringLiteral("кодировку файла нельзя определить надёжно (") + QString::fromStdString(failure.detail) +
               QStringLiteral("): оставьте в ключе LegacyCodePage в options.ini одну кодировку");
        break;
    case FailureKind::OwnRecord: text = QStringLiteral("файл из записей программы для отмены"); break;
    case FailureKind::BackupIsRunFile:
        text = QStringLiteral("резервная копия заменила бы файл ") + FromPath(failure.other) +
               QStringLiteral(", исправленный в этом же запуске");
        break;
    case FailureKind::OriginalLost:
        text = QStringLiteral("сохранённое для отмены содержимое файла утрачено или изменено");
        break;
    }
    if (failure.code) text += QStringLiteral(" (") + QString::fromLocal8Bit(failure.code.message()) + QLatin1Char(')');
    return text;
}

QString DescribeUndoProblem(const UndoProblem& problem) {
    const QString path = FromPath(problem.path);
    const auto code = [&] {
        return QStringLiteral(" (") + QString::fromLocal8Bit(problem.code.message()) + QLatin1Char(')');
    };
    switch (problem.kind) {
    case UndoProblem::Kind::NoFolder:
        return QStringLiteral("нет папки для записей (не заданы ни XDG_STATE_HOME, ни HOME)");
    case UndoProblem::Kind::StoreNotMade:
        return QStringLiteral("папку записей ") + path + QStringLiteral(" не удалось создать") + code();
    case UndoProblem::Kind::NotPrivate:
        switch (problem.privacy) {
        case os::Privacy::OtherOwner:
            return QStringLiteral("папка записей ") + path + QStringLiteral(" принадлежит другому пользователю");
        case os::Privacy::OthersMayWrite:
            return QStringLiteral("в папку записей ") + path + QStringLiteral(" могут писать другие пользователи");
        case os::Privacy::Link:
            return QStringLiteral("папка записей ") + path + QStringLiteral(" — символическая ссылка");
        case os::Privacy::Private:
        case os::Privacy::NotFolder:
        case os::Privacy::NotFile: break;
        }
        return path + QStringLiteral(" — не папка");
    case UndoProblem::Kind::NoRecordFolder: return QStringLiteral("не удалось создать папку записи в ") + path;
    case UndoProblem::Kind::RecordNotWritten: return QStringLiteral("не удалось записать запись в ") + path + code();
    }
    return QStringLiteral("записи для отмены недоступны");
}

}  // namespace tarnwick::window
