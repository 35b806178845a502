#include "Resources.h"

#include <QSettings>
#include <QString>

// Resources of a static library must be registered by hand.
static void RegisterIcons() { Q_INIT_RESOURCE(icons); }

namespace tarnwick::forms {

namespace {

QIcon Picture(const char* name) {
    static const bool registered = (RegisterIcons(), true);
    (void)registered;
    return QIcon(QStringLiteral(":/icons/") + QString::fromLatin1(name) + QStringLiteral(".png"));
}

}  // namespace

QFont WindowFont() {
#ifdef _WIN32
    // The system's dialog font at 8 points: the face Windows maps "MS Shell
    // Dlg 2" to (Tahoma on every Windows since 2000); Qt's font matching does
    // not follow that mapping itself. Qt scales points with the display, so at
    // a higher DPI the window grows as a whole.
    const QSettings substitutes(
        QStringLiteral("HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\FontSubstitutes"),
        QSettings::NativeFormat);
    QFont font(substitutes.value(QStringLiteral("MS Shell Dlg 2"), QStringLiteral("Tahoma")).toString());
    font.setPointSize(8);
#else
    // Arial metrics at 11 pixels: the captions take the widths the layout was
    // drawn for. Sized in pixels so they keep fitting at any DPI setting.
    QFont font;
    font.setFamilies({QStringLiteral("Liberation Sans"), QStringLiteral("Arial")});
    font.setStyleHint(QFont::SansSerif);
    font.setPixelSize(11);
#endif
    return font;
}

QIcon ProgramIcon() { return Picture("program"); }
QIcon DocumentIcon() { return Picture("document"); }
QIcon OpenFolderIcon() { return Picture("open-folder"); }
QIcon DisketteIcon() { return Picture("diskette"); }
QIcon AboutIcon() { return Picture("about"); }

QFont AboutTitleFont() {
    // Courier New where the system has it; elsewhere the monospace font it maps that name to.
    QFont font(QStringLiteral("Courier New"));
    font.setStyleHint(QFont::TypeWriter);
    font.setPointSizeF(14.25);
    font.setBold(true);
    return font;
}

}  // namespace tarnwick::forms
