// Takes a screenshot of the main window, or of the About window, as the display shows it.
//   tarnwick-window-shot OUT.png [PATH]
//   tarnwick-window-shot OUT.png --about
//   tarnwick-window-shot OUT.png --review FOLDER SEARCH REPLACE   (the review window over FOLDER)
//   tarnwick-window-shot OUT.png --area X Y WIDTH HEIGHT   (any program's window, e.g. under Wine)
//   tarnwick-window-shot OUT.png --process OPTIONS.ini PATH   (after the process button, options from the file)
// Run it under a virtual display: tests/screenshot does.

#include "window/About.h"
#include "window/Interaction.h"
#include "window/Main.h"
#include "window/PathText.h"
#include "window/Review.h"
#include "engine/run/RunSetup.h"

#include <QApplication>
#include <QPushButton>
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
    int PopupMenu(QWidget*, const QPoint&, const QStringList&) override { return -1; }
    bool Question(QWidget*, const QString&, const QString&) override { return false; }
    int FieldMenu(QLineEdit*, const QPoint&, const QStringList&, const std::vector<bool>&) override { return -1; }
    std::optional<std::vector<tarnwick::window::ReviewedFile>> Review(QWidget*,
                                                                      tarnwick::window::ReviewSource) override {
        return std::nullopt;
    }
};

// OUT.png, and OUT-x3.png enlarged three times for a close look.
bool SaveShot(const QPixmap& shot, const QString& out) {
    return shot.save(out) && shot.scaled(shot.size() * 3, Qt::IgnoreAspectRatio, Qt::FastTransformation)
                                 .save(QString(out).replace(QStringLiteral(".png"), QStringLiteral("-x3.png")));
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    const QStringList args = QApplication::arguments();
    if (args.size() < 2) {
        std::fputs("usage: tarnwick-window-shot OUT.png [PATH]\n", stderr);
        return 2;
    }
    if (args.size() == 7 && args[2] == QStringLiteral("--area")) {
        const QPixmap shot = QGuiApplication::primaryScreen()->grabWindow(0, args[3].toInt(), args[4].toInt(),
                                                                          args[5].toInt(), args[6].toInt());
        return SaveShot(shot, args[1]) ? 0 : 1;
    }
    if (args.size() == 6 && args[2] == QStringLiteral("--review")) {
        // The window as the process button's «Просмотреть изменения…» opens it.
        tarnwick::RunRequest request;
        request.pairs = {{args[4].toStdU16String(), args[5].toStdU16String()}};
        request.paths = {tarnwick::window::ToPath(args[3])};
        request.mode = tarnwick::RunMode::Preview;
        auto prepared = tarnwick::PrepareRun(request);
        auto* run = std::get_if<tarnwick::CorrectionRun>(&prepared);
        if (!run) return 1;
        tarnwick::Corrector shower = run->Checker();
        const tarnwick::window::ReviewSource source = tarnwick::window::PreviewSource(*run, shower);
        tarnwick::window::ReviewWindow review(source);
        review.show();
        QTimer::singleShot(
            800, [&] { QApplication::exit(SaveShot(review.screen()->grabWindow(review.winId()), args[1]) ? 0 : 1); });
        return app.exec();
    }
    PrintingInteraction interaction;
    tarnwick::window::MainSetup setup;
    const bool aboutShot = args.mid(2) == QStringList{QStringLiteral("--about")};
    const bool processShot = args.size() == 5 && args[2] == QStringLiteral("--process");
    if (!aboutShot) setup.arguments = processShot ? args.mid(4) : args.mid(2);
    setup.optionsFile = processShot ? tarnwick::window::ToPath(args[3]) : "/nonexistent/options.ini";
    tarnwick::window::Main main(setup, interaction);
    if (processShot) QTimer::singleShot(300, [&] { main.form().Command1->click(); });
    tarnwick::window::About about;
    QWidget* shown = &main;
    if (aboutShot) shown = &about;
    shown->show();
    QTimer::singleShot(
        600, [&] { QApplication::exit(SaveShot(shown->screen()->grabWindow(shown->winId()), args[1]) ? 0 : 1); });
    return app.exec();
}
