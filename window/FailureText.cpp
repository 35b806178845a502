#include "window/FailureText.h"

#include "window/PathText.h"
#include "window/SystemReason.h"
#include "platform/FileSystem.h"

#include <QDateTime>
#include <QStringList>

namespace tarnwick::window {

namespace {

// The engine's list of choices ("a, b or c") in the window's words.
QString Choices(const std::string& list) {
    return QString::fromStdString(list).replace(QStringLiteral(" or "), QStringLiteral(" или "));
}

// What went wrong with the file itself, in words.
QString FileWords(const Failure& failure) {
    switch (failure.kind) {
    case FailureKind::Open: return QStringLiteral("файл не удалось открыть");
    case FailureKind::Missing: return QStringLiteral("файл не найден");
    case FailureKind::NotRegularFile: return QStringLiteral("это не обычный файл");
    case FailureKind::NotWritable: return QStringLiteral("нет права на запись в файл");
    case FailureKind::NotReplaceable:
        return QStringLiteral("папка не позволяет заменить файл (только дозапись, неизменяемая или с битом sticky)");
    case FailureKind::Busy: return QStringLiteral("файл обрабатывается другим запуском программы");
    case FailureKind::Read: return QStringLiteral("ошибка чтения файла");
    case FailureKind::CreateTemporary: return QStringLiteral("не удалось создать временный файл рядом с ним");
    case FailureKind::Write: return QStringLiteral("ошибка записи (нет места на диске?)");
    case FailureKind::Flush: return QStringLiteral("ошибка сброса данных на диск");
    case FailureKind::Backup:
        // A run on another computer sharing the folder, where no lock reaches.
        if (failure.code == std::errc::file_exists)
            return QStringLiteral("другая программа создала файл с именем резервной копии, пока шла обработка");
        return QStringLiteral("не удалось создать резервную копию");
    case FailureKind::BackupNotFile: return QStringLiteral("место резервной копии занято папкой или другим объектом");
    case FailureKind::BadBackupName: return QStringLiteral("расширение резервных копий не задано или недопустимо");
    case FailureKind::Changed:
        return failure.late == Failure::Late::Corrected
                   ? QStringLiteral(
                         "файл изменён другой программой в момент замены: исправленный файл на месте, "
                         "без этого изменения")
               : failure.late == Failure::Late::Restored
                   ? QStringLiteral(
                         "файл изменён другой программой в момент восстановления: прежнее содержимое на "
                         "месте, без этого изменения")
                   : QStringLiteral("файл изменён другой программой во время обработки");
    case FailureKind::ChangedSinceShown: return QStringLiteral("файл изменился после просмотра");
    case FailureKind::Replace:
        if (failure.outcomeUnknown)
            return QStringLiteral(
                "не удалось заменить файл исправленным, и неизвестно, успела ли файловая система принять замену "
                "(отмена вернёт исходный файл в любом случае)");
        return QStringLiteral("не удалось заменить файл исправленным");
    case FailureKind::Recheck: return QStringLiteral("не удалось ещё раз проверить файл перед заменой");
    case FailureKind::PutBack:
        if (failure.outcomeUnknown)
            return QStringLiteral(
                "не удалось вернуть прежнее содержимое файла, и неизвестно, успела ли файловая система принять его "
                "(повторная отмена завершит дело в любом случае)");
        return QStringLiteral("не удалось вернуть прежнее содержимое файла");
    case FailureKind::List: return QStringLiteral("не удалось прочитать содержимое папки");
    case FailureKind::NotRepresentable:
        return QStringLiteral("строку замены нельзя записать в кодировке файла ") +
               QString::fromStdString(failure.detail);
    case FailureKind::PatternWork:
        return QStringLiteral("регулярное выражение требует слишком много работы на этом файле");
    case FailureKind::CharacterNotWritable:
        return QStringLiteral("символ замены «") + QString::fromStdString(failure.detail) +
               QStringLiteral("» нельзя записать в кодировке файла ") + QString::fromStdString(failure.encoding);
    case FailureKind::KeepAccess:
    case FailureKind::BecameLink:
    case FailureKind::FolderSwapped:
    case FailureKind::LinkOutside:
    case FailureKind::LeftoverStuck:
    case FailureKind::EmptyName:
    case FailureKind::AmbiguousPage:
    case FailureKind::AmbiguousNamedPage:
    case FailureKind::OwnRecord:
    case FailureKind::TooLarge:
    case FailureKind::KeepTimes:
    case FailureKind::BackupIsRunFile:
    case FailureKind::OriginalLost: break;
    }
    return {};
}

// What went wrong around the file (its access, links, folder, page, records), in words.
QString PlaceWords(const Failure& failure) {
    switch (failure.kind) {
    case FailureKind::KeepAccess:
        return QStringLiteral("исправленному файлу нельзя дать группу, права доступа (ACL) или атрибуты исходного");
    case FailureKind::BecameLink: return QStringLiteral("во время обработки файл заменён ссылкой");
    case FailureKind::FolderSwapped: return QStringLiteral("во время обработки папка заменена другой");
    case FailureKind::LinkOutside:
        return QStringLiteral("ссылка ведёт за пределы выбранной папки: ") + ShownPath(failure.other, 100);
    case FailureKind::LeftoverStuck:
        return QStringLiteral("временный файл прерванного запуска не удалось удалить (владелец: uid ") +
               QString::fromStdString(failure.detail) + QLatin1Char(')');
    case FailureKind::EmptyName: return QStringLiteral("пустое имя в списке файлов");
    case FailureKind::AmbiguousPage:
        return QStringLiteral("кодировку файла нельзя определить надёжно (") + Choices(failure.detail) +
               QStringLiteral("): укажите её ключом LegacyCodePage в options.ini");
    case FailureKind::AmbiguousNamedPage:
        return QStringLiteral("кодировку файла нельзя определить надёжно (") + Choices(failure.detail) +
               QStringLiteral("): оставьте в ключе LegacyCodePage в options.ini одну кодировку");
    case FailureKind::OwnRecord: return QStringLiteral("файл из записей программы для отмены");
    case FailureKind::TooLarge: return QStringLiteral("файл больше заданного предела размера");
    case FailureKind::KeepTimes: return QStringLiteral("исправленному файлу нельзя дать время изменения исходного");
    case FailureKind::BackupIsRunFile:
        return QStringLiteral("резервная копия заменила бы файл ") + ShownPath(failure.other, 100) +
               QStringLiteral(", исправленный в этом же запуске");
    case FailureKind::OriginalLost:
        return QStringLiteral("сохранённое для отмены содержимое файла утрачено или изменено");
    case FailureKind::Open:
    case FailureKind::Missing:
    case FailureKind::NotRegularFile:
    case FailureKind::NotWritable:
    case FailureKind::NotReplaceable:
    case FailureKind::Busy:
    case FailureKind::Read:
    case FailureKind::CreateTemporary:
    case FailureKind::Write:
    case FailureKind::Flush:
    case FailureKind::Backup:
    case FailureKind::BackupNotFile:
    case FailureKind::BadBackupName:
    case FailureKind::Changed:
    case FailureKind::ChangedSinceShown:
    case FailureKind::Replace:
    case FailureKind::Recheck:
    case FailureKind::PutBack:
    case FailureKind::List:
    case FailureKind::NotRepresentable:
    case FailureKind::PatternWork:
    case FailureKind::CharacterNotWritable: break;
    }
    return {};
}

}  // namespace

QString DescribeFailure(const Failure& failure) {
    QString text = FileWords(failure);
    if (text.isEmpty()) text = PlaceWords(failure);
    if (failure.code) text += QStringLiteral(" (") + SystemReason(failure.code) + QLatin1Char(')');
    // Held by another program: which, where the system tells.
    if (failure.code == std::errc::device_or_resource_busy && !failure.path.empty()) {
        QStringList names;
        for (const std::string& name : os::ProgramsHolding(failure.path)) names << QString::fromStdString(name);
        if (!names.isEmpty()) text += QStringLiteral(", файл занят: ") + names.join(QStringLiteral(", "));
    }
    return text;
}

QString DescribeUndoProblem(const UndoProblem& problem) {
    const QString path = FromPath(problem.path);
    const auto code = [&] { return QStringLiteral(" (") + SystemReason(problem.code) + QLatin1Char(')'); };
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

QString DescribeUndoRefusal(const UndoRefusal& refusal) {
    switch (refusal.kind) {
    case UndoRefusal::Kind::Busy:
        return QStringLiteral(
            "Эта обработка уже отменяется другим запуском программы. "
            "Повторите отмену, когда он закончит.");
    case UndoRefusal::Kind::Unreadable: return QStringLiteral("Отмена невозможна: запись об обработке не читается.");
    case UndoRefusal::Kind::Store:
    case UndoRefusal::Kind::OwnRecord:
        return QStringLiteral("Отмена невозможна: ") + DescribeUndoProblem(*refusal.problem) + QLatin1Char('.');
    case UndoRefusal::Kind::Dropped:
        return QStringLiteral("Отмена невозможна: запись об обработке удалена ") +
               QDateTime::fromSecsSinceEpoch(refusal.when).toString(QStringLiteral("dd.MM.yyyy HH:mm")) +
               QStringLiteral(", чтобы не превысить место для записей отмены.");
    case UndoRefusal::Kind::NothingToUndo:
    case UndoRefusal::Kind::NoSuchRun:
    case UndoRefusal::Kind::NotUsed:
    case UndoRefusal::Kind::Declined: break;
    }
    return QStringLiteral("Отмена невозможна: нет обработки для отмены.");
}

QString DescribePatternProblem(const PatternProblem& problem) {
    const QString at = QString::number(problem.offset + 1);
    switch (problem.kind) {
    case PatternProblem::Kind::Syntax: {
        QString what;
        switch (MistakeOf(problem.code)) {
        case SyntaxMistake::MissingParenthesis: what = QStringLiteral("нет закрывающей скобки «)»"); break;
        case SyntaxMistake::UnmatchedParenthesis: what = QStringLiteral("лишняя закрывающая скобка «)»"); break;
        case SyntaxMistake::MissingBracket: what = QStringLiteral("нет закрывающей скобки «]»"); break;
        case SyntaxMistake::NothingToRepeat: what = QStringLiteral("повторять нечего"); break;
        case SyntaxMistake::EndBackslash: what = QStringLiteral("«\\» в конце выражения"); break;
        case SyntaxMistake::NoSuchGroup: what = QStringLiteral("ссылка на несуществующую группу"); break;
        case SyntaxMistake::RangeOrder: what = QStringLiteral("границы диапазона в обратном порядке"); break;
        case SyntaxMistake::Other: what = QStringLiteral("недопустимая конструкция"); break;
        }
        return QStringLiteral(" Ошибка в регулярном выражении (символ %1): %2").arg(at, what);
    }
    case PatternProblem::Kind::NoSuchGroup:
        return QStringLiteral(" Ошибка в строке замены: в выражении нет группы «%1»")
            .arg(QString::fromStdString(problem.name));
    case PatternProblem::Kind::Unsupported:
        return QStringLiteral(" Ошибка в регулярном выражении (символ %1): %2 не поддерживается")
            .arg(at, QString::fromStdString(problem.name));
    case PatternProblem::Kind::OpenReference:
        return QStringLiteral(" Ошибка в строке замены (символ %1): нет «}» после «${»").arg(at);
    case PatternProblem::Kind::Backslash:
        return QStringLiteral(" Ошибка в строке замены (символ %1): группа обозначается $1, а не \\1").arg(at);
    }
    return QStringLiteral(" Ошибка в регулярном выражении");
}

}  // namespace tarnwick::window
