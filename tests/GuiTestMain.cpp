// Window tests run headless on the offscreen platform unless told otherwise.

#include <gtest/gtest.h>

#include <QApplication>


int main(int argc, char** argv) {
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    // The tests answer Qt's own dialogs; a platform's native chooser is out of their reach.
    QApplication::setAttribute(Qt::AA_DontUseNativeDialogs);
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
