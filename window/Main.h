#pragma once

#include "platform/CodePage.h"
#include "engine/run/Run.h"
#include "engine/undo/RestoreRun.h"
#include "window/Interaction.h"
#include "forms/MainForm.h"

#include <QDialog>
#include <QElapsedTimer>
#include <QPoint>
#include <QSet>
#include <QStringList>
#include <QTimer>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <vector>

namespace tarnwick::window {

// What the window starts from.
struct MainSetup {
    QStringList arguments;              // the command line after the program name
    std::filesystem::path optionsFile;  // where the settings are loaded from and saved to
    CodePage codePage = CodePage::System();
    std::filesystem::path undoFolder;  // where runs are recorded for undo; empty: the user's
};

// The main window: the program's whole state and its handlers. The work of a
// handler (a folder scan, a batch run) happens on the user-interface thread;
// the status line is painted as it goes, but no user input is taken meanwhile.
// What of a folder is taken: its subfolders too, its hidden files and folders too.
struct FolderScope {
    bool subfolders = false;
    bool hidden = false;
};

class Main : public QDialog {
    Q_OBJECT

public:
    Main(MainSetup setup, Interaction& interaction, QWidget* parent = nullptr);

    const forms::MainForm& form() const { return form_; }

    // What the process button works on: nothing classified yet, the current
    // file, or the queue of a folder.
    enum class Mode : std::int16_t { None = 0, File = 1, Folder = 2 };

    // The window's state, read by tests.
    const QString& CurrentPath() const { return currentPath_; }
    Mode WorkMode() const { return workMode_; }
    const QString& SearchText() const { return searchText_; }
    bool Regex() const { return regex_; }
    bool IgnoreCase() const { return ignoreCase_; }
    bool PreserveCase() const { return preserveCase_; }
    bool WholeWord() const { return wholeWord_; }
    std::size_t QueueCount() const { return workQueue_.size(); }
    const std::vector<std::filesystem::path>& WorkQueue() const { return workQueue_; }

    // The command line as one path: the arguments joined by single spaces, and
    // without the quotes around a path given in quotes.
    static QString CommandLinePath(const QStringList& arguments);

signals:
    // Every text the status line is given, painted or not.
    void statusChanged(const QString& text);

protected:
    void keyPressEvent(QKeyEvent* event) override;
    // During a run, closing stops it; the window closes when it has stopped.
    void closeEvent(QCloseEvent* event) override;
    // A file or folder dropped from a file manager: the current path, as if chosen.
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    // While a run can be stopped: Escape stops it, other input waits.
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void Text1_Change();
    void Text2_Change();
    void Check1_Click();
    void Command1_Click();
    // The process button's context menu: «Просмотреть изменения…» (also F4).
    void Command1_ContextMenu(const QPoint& at);
    // The review window over what the process button works on, then the
    // correction of exactly the occurrences left checked there.
    void ReviewChanges();
    void ApplyReview(const std::vector<ReviewedFile>& files);
    void Command2_Click();
    void Command3_Click();
    void Command4_Click();
    // The folder button's context menu: the same choice, with the folder's
    // subfolders, and with its hidden files and folders too.
    void Command4_ContextMenu(const QPoint& at);
    void Command5_Click();
    void Command6_Click();
    // The search field's context menu: its own items, and «Регулярное выражение».
    void Text1_ContextMenu(const QPoint& at);
    void Timer1_Timer();
    // The search, replace or mask text changed: the current path is classified
    // again once typing pauses (Reclassify), so that the status line and the
    // process button speak of the strings shown.
    void StringsChanged();
    void Reclassify();
    // Before the process button or the review acts: a check still pending is
    // made now; false when nothing is then to be worked on.
    bool StringsSettled();

    // Scan failures are named in one box after the scan unless `reportScanFailures` is false;
    // a single file's failure in a box unless `reportFileFailure` is false.
    void ClassifyPath(bool reportScanFailures = true, bool reportFileFailure = true);
    void ClassifyPathOnce(bool reportScanFailures, bool reportFileFailure);
    // The folder is scanned as `scope` says, which stays the current path's scope.
    void ScanFolder(const QString& folder, CorrectionRun& run, bool reportFailures, FolderScope scope = {});
    // After a scan stopped midway: the folder is current, with nothing chosen in it.
    void ChooseNothing(const QString& folder, FolderScope scope);
    // The folder chooser, then the scan of the chosen folder as `scope` says.
    void ChooseFolder(FolderScope scope);
    // Ctrl+Z: offers to undo the newest run no later run undid, and does it.
    void UndoNewestRun();
    // One box naming failed files: `lead`, their count, `tail`, then the list (cut after a screenful).
    void FailureBox(const QString& lead, const QString& tail, QStringList failures);
    FileVerdict CheckFile(const QString& file, CorrectionRun& run, bool reportFailure);
    // After a scan: files that are not UTF-8 and hold neither string, where the
    // legacy code page is only a guess, are told of once for a folder and strings.
    void LegacyHint(std::size_t notUtf8, const CorrectionRun& run);
    // The status text and process button of a single file's verdict.
    void ShowVerdict(FileVerdict verdict);
    void ProcessQueue(CorrectionRun& run);
    // Carries `run` out telling `sink`, where Escape or closing the window stops it (Stopped()).
    void ExecuteStoppable(CorrectionRun& run, RunSink& sink);
    void ExecuteStoppable(RestoreRun& run, RunSink& sink);
    // Either run, as the two above say.
    template <class AnyRun>
    void Stoppable(AnyRun& run, RunSink& sink);
    // Whether the user asked the run in progress to stop.
    bool Stopped() const { return stopAsked_; }
    // After a handler's work: the window closes if that was asked during it.
    void CloseIfAsked();
    void ProcessSingleFile(CorrectionRun& run);

    // A run of the current strings over `paths`, or nothing after telling the
    // user why (text the code page cannot hold, an unusable backup extension).
    // `within`: the folder a queue of files was found in, and must be taken in.
    std::optional<CorrectionRun> MakeRun(RunMode mode, std::vector<std::filesystem::path> paths, FolderScope scope = {},
                                         std::filesystem::path within = {});
    int Check1Value() const;
    void SetCheck1Value(int value);
    // Sets the status line; progress texts are painted at most every 30 ms.
    // A text too long for the line shows whole, its `path` shortened in the middle.
    void SetStatus(const QString& text, bool progress = false, const QString& path = {});
    void Box(const QString& text, const QString& title, BoxIcon icon);

    forms::MainForm form_;
    MainSetup setup_;
    Interaction& interaction_;

    QString currentPath_;
    Mode workMode_ = Mode::None;
    QString searchText_;
    std::u16string legacyName_;     // LegacyCodePage as stored, saved again as it is
    std::vector<CodePage> legacy_;  // the code pages it names, if any
    bool regex_ = false;            // the search string is a regular expression
    bool ignoreCase_ = false;       // letters match in any case
    bool preserveCase_ = false;     // each replacement in its occurrence's case shape
    bool wholeWord_ = false;        // only whole words
    QString replaceText_;
    QString pickedPath_;
    std::vector<std::filesystem::path> workQueue_;
    FolderScope scope_;  // what of the current folder was chosen: its subfolders, its hidden files

    bool busy_ = false;
    bool stoppable_ = false;   // a run is going on that Escape or closing stops
    bool stopAsked_ = false;   // ...and the user asked it to stop
    bool closeAsked_ = false;  // the window is to close once the run has stopped
    QElapsedTimer lastPaint_;
    QTimer* retype_ = nullptr;       // the pause in typing after which the path is classified again
    bool legacyGuess_ = false;       // the last run made looks in a legacy code page that is only a guess
    QSet<QString> hinted_;           // the folders and strings the legacy hint was given for
    bool quietScan_ = false;         // the check after a pause in typing is going on
    bool typedDuringCheck_ = false;  // ...and typing stopped it
};

}  // namespace tarnwick::window
