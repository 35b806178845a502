// Takes a screenshot of the main window, or of the About window, as the display shows it.
//   tarnwick-window-shot OUT.png [PATH]
//   tarnwick-window-shot OUT.png --about
// Run it under a virtual display: tests/screenshot does.

#include "About.h"
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
    QString OpenFile(QWidget*, const QString&, const QString&) override { return {}; }
    QString OpenFolder(QWidget*, const QString&) override { return {}; }
    void ShowAbout() override {}
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
    const bool aboutShot = args.mid(2) == QStringList{QStringLiteral("--about")};
    if (!aboutShot) setup.arguments = args.mid(2);
    setup.optionsFile = "/nonexistent/options.ini";
    tarnwick::window::Main main(setup, interaction);
    tarnwick::window::About about;
    QWidget* shown = &main;
    if (aboutShot) shown = &about;
    shown->show();
    QTimer::singleShot(600, [&] {
        const QPixmap shot = shown->screen()->grabWindow(shown->winId());
        const bool ok = shot.save(args[1]) &&
                        shot.scaled(shot.size() * 3, Qt::IgnoreAspectRatio, Qt::FastTransformation)
                            .save(QString(args[1]).replace(QStringLiteral(".png"), QStringLiteral("-x3.png")));
        QApplication::exit(ok ? 0 : 1);
    });
    return app.exec();
}
