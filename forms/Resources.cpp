#include "Resources.h"

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
    // Arial metrics at 11 pixels: the captions take the widths the layout was
    // drawn for. Sized in pixels so they keep fitting at any DPI setting.
    QFont font;
    font.setFamilies({QStringLiteral("Liberation Sans"), QStringLiteral("Arial")});
    font.setStyleHint(QFont::SansSerif);
    font.setPixelSize(11);
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
