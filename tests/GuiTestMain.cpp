// Window tests run headless on the offscreen platform unless told otherwise;
// on Windows with the system's own (under Wine: on a virtual display).

#include "window/QtTranslation.h"

#include <gtest/gtest.h>

#include <QApplication>

int main(int argc, char** argv) {
#ifndef _WIN32
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
#endif
    // The tests answer Qt's own dialogs; a platform's native chooser is out of their reach.
    QApplication::setAttribute(Qt::AA_DontUseNativeDialogs);
    QApplication app(argc, argv);
    tarnwick::window::InstallQtTranslation(app);  // as the program does
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
