#include "pickers/CommonDialog.h"

#include <QDir>
#include <QFileDialog>

namespace tarnwick::pickers {

QStringList NameFilters(const QString& Mask) {
    const QStringList parts = Mask.split(QChar(u'\0'));
    QStringList filters;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        QStringList patterns = parts[i + 1].split(QLatin1Char(';'), Qt::SkipEmptyParts);
        for (QString& p : patterns) p = p.trimmed();
        patterns.removeAll(QString());
        if (patterns.isEmpty()) continue;
        const QString description = parts[i].trimmed().isEmpty() ? patterns.join(QLatin1Char(';')) : parts[i];
        // Qt reads the patterns from the last parentheses; the dialog hides them.
        filters << description + QStringLiteral(" (") + patterns.join(QLatin1Char(' ')) + QLatin1Char(')');
    }
    return filters;
}

QString CommonDialog::OpenFolder(const QString& Title, QWidget* WindowHwnd) const {
    const QString folder = QFileDialog::getExistingDirectory(WindowHwnd, Title, QString(), QFileDialog::ShowDirsOnly);
    return QDir::toNativeSeparators(folder);
}

QString CommonDialog::OpenFile(const QString& Title, const QString& Mask, QWidget* WindowHwnd) const {
    QFileDialog dialog(WindowHwnd, Title, QDir::currentPath());
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::AnyFile);  // a typed name that does not exist is returned too
    dialog.setOption(QFileDialog::HideNameFilterDetails);
    const QStringList filters = NameFilters(Mask);
    if (!filters.isEmpty()) dialog.setNameFilters(filters);
    dialog.setWindowModality(Qt::WindowModal);
    if (dialog.exec() != QDialog::Accepted) return QString();
    const QStringList chosen = dialog.selectedFiles();
    return chosen.isEmpty() ? QString() : QDir::toNativeSeparators(chosen.first());
}

}  // namespace tarnwick::pickers
