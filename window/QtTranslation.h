#pragma once

// Qt's own texts (the pickers, message-box buttons, context menus) in Russian, like the window.

class QCoreApplication;

namespace tarnwick::window {

// Installs Qt's Russian translation on `app`, looked for in the program's
// "translations" folder (the Windows layout) and then in Qt's own. Returns
// false, leaving Qt's English texts, when neither holds it.
bool InstallQtTranslation(QCoreApplication& app);

}  // namespace tarnwick::window
