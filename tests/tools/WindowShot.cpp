// Takes a screenshot of the main window as the display shows it.
//   tarnwick-window-shot OUT.png [PATH]
// Run it under a virtual display: tests/screenshot does.

#include "Interaction.h"
#include "Main.h"

#include <QApplication>
#include <QPixmap>
#include <QScreen>
#include <QTimer>

#include <cstdio>

namespace {

// Message boxes go to standard error instead of the screen.
class PrintingInteraction : public tarnwick::window::Interaction {
public:
    void MessageBox(QWidget*, const QString& text, const QString& title, tarnwick::window::BoxIcon) override {
        std::fprintf(stderr, "[%s] %s\n", qPrintable(title), qPrintable(text));
    }
};

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    const QStringList args = QApplication::arguments();
    if (args.size() < 2) {
        std::fputs("usage: tarnwick-window-shot OUT.png [PATH]\n", stderr);
        return 2;
    }
    PrintingInteraction interaction;
    tarnwick::window::MainSetup setup;
    setup.arguments = args.mid(2);
    setup.optionsFile = "/nonexistent/options.ini";
    tarnwick::window::Main main(setup, interaction);
    main.show();
    QTimer::singleShot(600, [&] {
        const QPixmap shot = main.screen()->grabWindow(main.winId());
        const bool ok = shot.save(args[1]) &&
                        shot.scaled(shot.size() * 3, Qt::IgnoreAspectRatio, Qt::FastTransformation)
                            .save(QString(args[1]).replace(QStringLiteral(".png"), QStringLiteral("-x3.png")));
        QApplication::exit(ok ? 0 : 1);
    });
    return app.exec();
}
