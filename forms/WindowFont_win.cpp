// The window font on Windows.

#include "forms/Resources.h"

#include <QSettings>

namespace tarnwick::forms {

// The system's dialog font at 8 points: the face Windows maps "MS Shell Dlg 2"
// to (Tahoma on every Windows since 2000); Qt's font matching does not follow
// that mapping itself. Qt scales points with the display, so at a higher DPI
// the window grows as a whole.
QFont WindowFont() {
    const QSettings substitutes(
        QStringLiteral("HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\FontSubstitutes"),
        QSettings::NativeFormat);
    QFont font(substitutes.value(QStringLiteral("MS Shell Dlg 2"), QStringLiteral("Tahoma")).toString());
    font.setPointSize(8);
    return font;
}

}  // namespace tarnwick::forms
