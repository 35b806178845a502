#pragma once

// The system's folder and file choosers behind two calls. Each shows a modal
// dialog owned by the given window and returns the chosen path, or "" when
// the user cancels. Nothing is kept between calls.

#include <QString>
#include <QStringList>

class QWidget;

namespace tarnwick::pickers {

class CommonDialog {
public:
    // A folder of the file system; a drive or file-system root keeps its separator.
    QString OpenFolder(const QString& Title, QWidget* WindowHwnd) const;

    // One file, existing or typed, starting in the process's current directory,
    // with one filter per description/pattern pair of `Mask`.
    QString OpenFile(const QString& Title, const QString& Mask, QWidget* WindowHwnd) const;
};

// The dialog filters of a mask list "description NUL pattern NUL description
// NUL pattern ...": one filter a pair, named by its description; a pattern
// list such as "*.htm;*.html" admits each pattern.
QStringList NameFilters(const QString& Mask);

}  // namespace tarnwick::pickers
