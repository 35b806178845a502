// What the window adds to the engine's work on a large folder: the same scan
// and the same run (the same strings in the same encodings, the same backup
// extension), once by the engine alone and once through the window
// (offscreen), with its status line and event processing. Each is done a few
// times, the two in turn and in alternating order; the best of each counts.
//   tarnwick-window-bench [FILES] [SHARE]      (default 20000 files, 5% to correct)

#include "engine/run/Run.h"
#include "window/Interaction.h"
#include "window/Main.h"

#include <QApplication>
#include <QKeyEvent>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPushButton>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include <unistd.h>

namespace fs = std::filesystem;

namespace {

const char* const kSearch = "Copyright 2024 Old Corp";
const char* const kReplace = "Copyright 2025 New Corp";

class Answers : public tarnwick::window::Interaction {
public:
    QString folder;
    void MessageBox(QWidget*, const QString& text, const QString&, tarnwick::window::BoxIcon) override {
        std::fprintf(stderr, "message: %s\n", qPrintable(text));
    }
    QString OpenFile(QWidget*, const QString&, const QString&) override { return {}; }
    QString OpenFolder(QWidget*, const QString&) override { return folder; }
    void ShowAbout() override {}
    int PopupMenu(QWidget*, const QPoint&, const QStringList&) override { return -1; }
    bool Question(QWidget*, const QString&, const QString&) override { return false; }
    int FieldMenu(QLineEdit*, const QPoint&, const QStringList&, const std::vector<bool>&) override { return -1; }
    // The review's figures: its first file found, the whole list, a file of
    // many occurrences shown; then every file taken, as a run takes them.
    std::optional<std::vector<tarnwick::window::ReviewedFile>> Review(QWidget*,
                                                                      tarnwick::window::ReviewSource source) override {
        std::vector<tarnwick::window::ReviewedFile> files;
        QElapsedTimer t;
        t.start();
        source.scan([&](const std::filesystem::path& path, std::uint64_t occurrences) {
            if (files.empty()) firstMs = static_cast<double>(t.nsecsElapsed()) / 1e6;
            files.push_back({path, occurrences, true, std::nullopt});
            return true;
        });
        listMs = static_cast<double>(t.nsecsElapsed()) / 1e6;
        if (!manyFile.empty()) {
            t.start();
            tarnwick::OccurrenceChoice shown;
            shownCount = source.show(manyFile, shown).size();
            showMs = static_cast<double>(t.nsecsElapsed()) / 1e6;
        }
        return files;
    }
    double firstMs = 0, listMs = 0, showMs = 0;
    std::filesystem::path manyFile;
    std::size_t shownCount = 0;
};

// `files` files, the first `share` of them holding the search string; with
// `toCorrectOnly` those alone are written again.
void MakeFolder(const fs::path& dir, long files, double share, bool toCorrectOnly = false) {
    fs::create_directories(dir);
    const std::string body(2000, 'x');
    const long count = toCorrectOnly ? static_cast<long>(static_cast<double>(files) * share + 1) : files;
    for (long i = 0; i < count; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "page-%06ld.htm", i);
        std::ofstream(dir / name, std::ios::binary) << body << (i < files * share ? kSearch : "") << body << '\n';
    }
}

double Ms(const QElapsedTimer& t) { return static_cast<double>(t.nsecsElapsed()) / 1e6; }

}  // namespace

int main(int argc, char** argv) {
    if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    const long files = argc > 1 ? std::atol(argv[1]) : 20000;
    const double share = argc > 2 ? std::atof(argv[2]) : 0.05;
    const fs::path root = fs::temp_directory_path() / ("tarnwick-window-bench-" + std::to_string(::getpid()));
    const fs::path engineDir = root / "engine", windowDir = root / "window";
    MakeFolder(engineDir, files, share);
    MakeFolder(windowDir, files, share);
    ::sync();  // no writeback of the new files during the measurements

    // The choose-folder command scans twice (the scan, then the classification's scan).
    constexpr int kRounds = 5;
    // The corrector the window makes: the strings in every encoding, the backup extension set.
    const auto corrector = [] {
        return tarnwick::Corrector(
            tarnwick::StringForms::ForSystem(u"Copyright 2024 Old Corp", u"Copyright 2025 New Corp",
                                             tarnwick::CodePage::System()),
            {false, "bak"});
    };
    double engineScan = 1e300, windowScan = 1e300, engineRun = 1e300, windowRun = 1e300;
    std::size_t queued = 0;
    QElapsedTimer t;
    Answers answers;
    answers.folder = QString::fromStdString(windowDir.string());
    tarnwick::window::MainSetup setup;
    setup.optionsFile = root / "options.ini";
    setup.undoFolder = root / ".undo-window";  // both sides keep records for undo, each its own
    tarnwick::window::Main window(setup, answers);
    window.show();
    QApplication::processEvents();
    // The strings as a user would have them in the fields.
    window.findChild<QLineEdit*>("Text1")->setText(kSearch);
    window.findChild<QLineEdit*>("Text2")->setText(kReplace);
    for (int round = 0; round < kRounds; ++round) {
        if (round > 0) {
            MakeFolder(engineDir, files, share, true);
            MakeFolder(windowDir, files, share, true);
            ::sync();
        }
        std::vector<fs::path> queue;
        const auto engineScans = [&] {
            // What the engine tells the window: each file's verdict, in order.
            tarnwick::RunCallbacks sink;
            sink.file = [&](const tarnwick::FileReport& r) {
                if (r.outcome == tarnwick::FileOutcome::Checked && r.verdict == tarnwick::FileVerdict::ToCorrect)
                    queue.push_back(r.path);
                return true;
            };
            t.start();
            for (int scan = 0; scan < 2; ++scan) {
                queue.clear();
                tarnwick::CorrectionRun run(corrector(), {engineDir}, tarnwick::RunMode::Check);
                run.Execute(sink);
            }
            engineScan = std::min(engineScan, Ms(t));
        };
        const auto windowScans = [&] {
            t.start();
            window.form().Command4->click();
            windowScan = std::min(windowScan, Ms(t));
        };
        const auto engineRuns = [&] {
            t.start();
            tarnwick::CorrectionRun run(corrector(), queue, tarnwick::RunMode::Correct);
            const auto store = std::get<tarnwick::UndoStore>(tarnwick::UndoStore::Open(root / ".undo-engine"));
            run.KeepUndo(std::get<std::shared_ptr<tarnwick::UndoKeeper>>(tarnwick::UndoKeeper::Start(store, {})));
            tarnwick::RunCallbacks sink;
            run.Execute(sink);
            engineRun = std::min(engineRun, Ms(t));
        };
        const auto windowRuns = [&] {
            t.start();
            window.form().Command1->click();
            windowRun = std::min(windowRun, Ms(t));
        };
        if (round % 2) {
            windowScans();
            engineScans();
            windowRuns();
            engineRuns();
        } else {
            engineScans();
            windowScans();
            engineRuns();
            windowRuns();
        }
        queued = queue.size();
    }
    // The review over a fresh folder: its figures, and applying every file against a plain run of the window.
    const fs::path reviewDir = root / "review";
    MakeFolder(reviewDir, files, share);
    {
        std::ofstream many(reviewDir / "many.htm", std::ios::binary);
        for (int i = 0; i < 10000; ++i) many << "line " << i << ' ' << kSearch << '\n';
    }
    answers.manyFile = reviewDir / "many.htm";
    answers.folder = QString::fromStdString(reviewDir.string());
    ::sync();
    window.form().Command4->click();
    t.start();
    QKeyEvent f4(QEvent::KeyPress, Qt::Key_F4, Qt::NoModifier);
    QApplication::sendEvent(&window, &f4);
    const double reviewed = Ms(t);
    std::printf("window-bench: %ld files, %zu to correct\n", files, queued);
    std::printf("  scan twice  engine %8.1f ms  window %8.1f ms  ratio %.3f\n", engineScan, windowScan,
                windowScan / engineScan);
    std::printf("  run         engine %8.1f ms  window %8.1f ms  ratio %.3f\n", engineRun, windowRun,
                windowRun / engineRun);
    std::printf("  total       engine %8.1f ms  window %8.1f ms  ratio %.3f (target <= 1.10)\n", engineScan + engineRun,
                windowScan + windowRun, (windowScan + windowRun) / (engineScan + engineRun));
    std::printf("  review      first file %6.1f ms (target <= 500)  whole list %8.1f ms\n", answers.firstMs,
                answers.listMs);
    std::printf("  review      a file of %zu occurrences shown in %6.1f ms (target <= 500)\n", answers.shownCount,
                answers.showMs);
    std::printf("  review      list, show and applying every file %8.1f ms  (plain run of the window %8.1f ms)\n",
                reviewed, windowRun);
    std::error_code ec;
    fs::remove_all(root, ec);
    return window.QueueCount() == queued ? 0 : 1;
}
