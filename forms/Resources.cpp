#include "forms/Resources.h"

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
