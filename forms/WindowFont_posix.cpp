// The window font elsewhere than on Windows.

#include "forms/Resources.h"

namespace tarnwick::forms {

// Arial metrics at 11 pixels: the captions take the widths the layout was
// drawn for. Sized in pixels so they keep fitting at any DPI setting.
QFont WindowFont() {
    QFont font;
    font.setFamilies({QStringLiteral("Liberation Sans"), QStringLiteral("Arial")});
    font.setStyleHint(QFont::SansSerif);
    font.setPixelSize(11);
    return font;
}

}  // namespace tarnwick::forms
