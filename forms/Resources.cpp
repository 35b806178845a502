#include "Resources.h"

#include <QApplication>
#include <QStyle>

namespace tarnwick::forms {

QFont WindowFont() {
    // Arial metrics at 11 pixels: the captions take the widths the layout was
    // drawn for. Sized in pixels so they keep fitting at any DPI setting.
    QFont font;
    font.setFamilies({QStringLiteral("Liberation Sans"), QStringLiteral("Arial")});
    font.setStyleHint(QFont::SansSerif);
    font.setPixelSize(11);
    return font;
}

QIcon ProgramIcon() { return QApplication::style()->standardIcon(QStyle::SP_FileDialogDetailedView); }
QIcon DocumentIcon() { return QApplication::style()->standardIcon(QStyle::SP_FileIcon); }
QIcon OpenFolderIcon() { return QApplication::style()->standardIcon(QStyle::SP_DirOpenIcon); }
QIcon DisketteIcon() { return QApplication::style()->standardIcon(QStyle::SP_DialogSaveButton); }
QIcon AboutIcon() { return QApplication::style()->standardIcon(QStyle::SP_MessageBoxInformation); }

}  // namespace tarnwick::forms
