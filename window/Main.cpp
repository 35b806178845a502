#include "window/Main.h"

#include "engine/undo/UndoSetup.h"
#include "engine/run/RunSetup.h"

#include "window/FailureText.h"
#include "window/PathText.h"
#include "window/SystemReason.h"
#include "settings/Options.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QKeyEvent>
#include <QMimeData>
#include <QUrl>
#include <QKeySequence>
#include <QFontMetrics>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>

#include <map>
#include <set>

namespace tarnwick::window {

namespace {

const QString kErrorTitle = QStringLiteral("Ошибка");
const QString kBadParameterTitle = QStringLiteral("Неверный параметр");
constexpr qint64 kPaintIntervalMs = 30;
// The longest list of failed files one message box shows.
constexpr int kMaxListedFailures = 20;
// The pause in typing after which the current path is classified again.
constexpr int kRetypePauseMs = 400;

QString Number(std::size_t n) { return QString::number(static_cast<qulonglong>(n)); }

// A path as a box lists it: one that would make the box wider than a screen
// shortened in its middle (never inside a character), so that its start and
// its name show.
QString ListedPath(const std::filesystem::path& path) { return ShownPath(path, 100); }

QString InvalidKeys(const std::vector<std::string>& keys) {
    QStringList names;
    for (const std::string& key : keys) names << QString::fromStdString(key);
    return names.join(QStringLiteral(", "));
}

// Shows `text` whole in the status label: a `path` in it shortened in its
// middle, else the letters set narrower (to three quarters) and smaller (to
// four fifths), only then cut at the end; the whole text is the label's tool
// tip when it had to change.
void ShowFitted(QLabel& label, const QString& text, const QString& path) {
    const QFont base = label.parentWidget() ? label.parentWidget()->font() : label.font();
    QFont font = base;
    const int room = label.contentsRect().width() - 2 * label.margin() - 2;
    const auto width = [&](const QFont& f, const QString& t) { return QFontMetrics(f).horizontalAdvance(t); };
    QString shown = text;
    if (room > 0 && width(font, text) > room) {
        const qsizetype at = path.isEmpty() ? -1 : text.indexOf(path);
        if (at >= 0) {
            const QString around = QString(text).remove(at, path.size());
            shown = text.left(at) +
                    QFontMetrics(font).elidedText(path, Qt::ElideMiddle, std::max(0, room - width(font, around))) +
                    text.mid(at + path.size());
        }
        for (int stretch = 95; width(font, shown) > room && stretch >= 75; stretch -= 5) font.setStretch(stretch);
        const qreal points = font.pointSizeF();
        const int pixels = font.pixelSize();
        for (qreal smaller = 0.95; width(font, shown) > room && smaller >= 0.8; smaller -= 0.05) {
            if (points > 0) font.setPointSizeF(points * smaller);
            else if (pixels > 0) font.setPixelSize(std::max(1, qRound(pixels * smaller)));
        }
        if (width(font, shown) > room) shown = QFontMetrics(font).elidedText(shown, Qt::ElideRight, room);
    }
    label.setFont(font);
    label.setText(shown);
    label.setToolTip(shown == text && font == base ? QString() : text);
}

// Marks the window busy for the length of a handler's work.
class BusyScope {
public:
    explicit BusyScope(bool& busy) : busy_(busy) { busy_ = true; }
    ~BusyScope() { busy_ = false; }

private:
    bool& busy_;
};

}  // namespace

Main::Main(MainSetup setup, Interaction& interaction, QWidget* parent)
    : QDialog(parent), setup_(std::move(setup)), interaction_(interaction) {
    form_.setupUi(this);
    connect(form_.Text1, &QLineEdit::textChanged, this, &Main::Text1_Change);
    connect(form_.Text2, &QLineEdit::textChanged, this, &Main::Text2_Change);
    connect(form_.Check1, &QCheckBox::stateChanged, this, &Main::Check1_Click);
    connect(form_.Command1, &QPushButton::clicked, this, &Main::Command1_Click);
    connect(form_.Command2, &QPushButton::clicked, this, &Main::Command2_Click);
    connect(form_.Command3, &QPushButton::clicked, this, &Main::Command3_Click);
    connect(form_.Command4, &QPushButton::clicked, this, &Main::Command4_Click);
    form_.Command1->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(form_.Command1, &QWidget::customContextMenuRequested, this, &Main::Command1_ContextMenu);
    form_.Command4->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(form_.Command4, &QWidget::customContextMenuRequested, this, &Main::Command4_ContextMenu);
    connect(form_.Command5, &QPushButton::clicked, this, &Main::Command5_Click);
    form_.Text1->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(form_.Text1, &QWidget::customContextMenuRequested, this, &Main::Text1_ContextMenu);
    connect(form_.Command6, &QPushButton::clicked, this, &Main::Command6_Click);
    connect(form_.Timer1, &QTimer::timeout, this, &Main::Timer1_Timer);
    retype_ = new QTimer(this);
    retype_->setSingleShot(true);
    retype_->setInterval(kRetypePauseMs);
    connect(retype_, &QTimer::timeout, this, &Main::Reclassify);
    setAcceptDrops(true);
    // A click on a grey box makes it a plain two-state box again.
    connect(form_.Check1, &QCheckBox::clicked, this, [this] { form_.Check1->setTristate(false); });

    // Start-up: the stored options, then the command line.
    const settings::Options options = settings::LoadOptions(setup_.optionsFile, setup_.codePage);
    form_.Text1->setText(QString::fromStdU16String(options.searchString));
    form_.Text2->setText(QString::fromStdU16String(options.replaceString));
    SetCheck1Value(options.backupCopy);
    form_.Text4->setText(QString::fromStdU16String(options.mask));
    form_.Text5->setText(QString::fromStdU16String(options.backupExt));
    regex_ = options.regex;
    ignoreCase_ = options.ignoreCase;
    preserveCase_ = options.preserveCase;
    wholeWord_ = options.wholeWord;

    // Values that cannot be used as stored are left out, and said so in one message.
    QStringList unusable;
    if (!options.invalidKeys.empty())
        unusable << QStringLiteral("Значения %1 не являются текстом в кодировке %2.")
                        .arg(InvalidKeys(options.invalidKeys), QString::fromStdString(setup_.codePage.Name()));
    if (!options.cutKeys.empty())
        unusable << QStringLiteral("Значения %1 длиннее 254 символов или содержат символ NUL.")
                        .arg(InvalidKeys(options.cutKeys));
    // The legacy code page, written by hand: kept for the next save whatever it is.
    legacyName_ = options.legacyCodePage;
    if (!legacyName_.empty()) {
        std::string bad;
        legacy_ = LegacyCodePages(Utf16ToUtf8(legacyName_).value_or(""), bad).value_or(std::vector<CodePage>{});
        if (legacy_.empty())
            unusable << QStringLiteral(
                            "Значение LegacyCodePage «%1» не является поддерживаемой кодовой страницей, "
                            "используется кодовая страница системы.")
                            .arg(QString::fromStdU16String(legacyName_));
    }
    if (!unusable.isEmpty())
        Box(QStringLiteral("В файле параметров %1: %2 Эти поля оставлены пустыми.")
                .arg(FromPath(setup_.optionsFile), unusable.join(QLatin1Char(' '))),
            kErrorTitle, BoxIcon::Exclamation);

    for (QLineEdit* field : {form_.Text1, form_.Text2, form_.Text4})
        connect(field, &QLineEdit::textChanged, this, &Main::StringsChanged);

    currentPath_ = CommandLinePath(setup_.arguments);
    form_.Text3->setText(currentPath_);
    if (currentPath_.isEmpty()) form_.Command1->setEnabled(false);
    else form_.Timer1->start();
}

QString Main::CommandLinePath(const QStringList& arguments) {
    QString path = arguments.join(QLatin1Char(' '));
    if (path.size() >= 2 && path.startsWith(QLatin1Char('"')) && path.endsWith(QLatin1Char('"')))
        path = path.mid(1, path.size() - 2);
    return path;
}

void Main::keyPressEvent(QKeyEvent* event) {
    // Escape does not close the main window.
    if (event->key() == Qt::Key_Escape) {
        event->ignore();
        return;
    }
    if (event->key() == Qt::Key_F4 && event->modifiers() == Qt::NoModifier) {
        ReviewChanges();
        return;
    }
    // Ctrl+Z: the text fields keep it for their typing; elsewhere it undoes the newest run.
    if (event->matches(QKeySequence::Undo)) {
        UndoNewestRun();
        return;
    }
    QDialog::keyPressEvent(event);
}

void Main::closeEvent(QCloseEvent* event) {
    if (!busy_) return QDialog::closeEvent(event);
    // Nothing half done: the run stops after the files in progress, then the window closes.
    event->ignore();
    closeAsked_ = true;
    if (stoppable_) stopAsked_ = true;
}

bool Main::eventFilter(QObject* watched, QEvent* event) {
    if (!stoppable_) return QDialog::eventFilter(watched, event);
    // Typing goes on during the check made after a pause in typing: the key
    // reaches its field, and the check, now of strings no longer shown, stops
    // (Reclassify checks again once typing pauses).
    // (A key reaches the window first and its focused field after: where
    // typing goes is the field that has the focus.)
    if (quietScan_ && (event->type() == QEvent::KeyPress || event->type() == QEvent::KeyRelease ||
                       event->type() == QEvent::ShortcutOverride || event->type() == QEvent::InputMethod)) {
        const QWidget* focus = QApplication::focusWidget();
        const bool typing = focus == form_.Text1 || focus == form_.Text2 || focus == form_.Text4;
        const bool escape =
            event->type() == QEvent::KeyPress && static_cast<QKeyEvent*>(event)->key() == Qt::Key_Escape;
        if (typing && !escape) {
            if (event->type() == QEvent::KeyPress || event->type() == QEvent::InputMethod)
                stopAsked_ = true, typedDuringCheck_ = true;
            return QDialog::eventFilter(watched, event);
        }
    }
    switch (event->type()) {
    case QEvent::KeyPress:
        if (static_cast<QKeyEvent*>(event)->key() == Qt::Key_Escape) stopAsked_ = true;
        return true;
    case QEvent::KeyRelease:
    case QEvent::ShortcutOverride:
    case QEvent::Shortcut:
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::Wheel:
    case QEvent::ContextMenu:
    case QEvent::DragEnter:
    case QEvent::DragMove:
    case QEvent::Drop:
    case QEvent::InputMethod:
    case QEvent::TouchBegin:
    case QEvent::TouchUpdate:
    case QEvent::TouchEnd: return true;  // nothing else happens during a run
    default: return QDialog::eventFilter(watched, event);
    }
}

template <class AnyRun>
void Main::Stoppable(AnyRun& run, RunSink& sink) {
    stopAsked_ = closeAsked_;  // closing asked already: nothing starts
    stoppable_ = true;
    qApp->installEventFilter(this);
    run.Execute(sink);
    qApp->removeEventFilter(this);
    stoppable_ = false;
}

void Main::ExecuteStoppable(CorrectionRun& run, RunSink& sink) { Stoppable(run, sink); }
void Main::ExecuteStoppable(RestoreRun& run, RunSink& sink) { Stoppable(run, sink); }

void Main::CloseIfAsked() {
    if (closeAsked_ && !busy_) close();
}

namespace {

// One local file or folder, as a file manager drags it; nothing else.
std::optional<QString> DroppedPath(const QMimeData* data) {
    if (!data || !data->hasUrls() || data->urls().size() != 1 || !data->urls()[0].isLocalFile()) return std::nullopt;
    const QString path = QDir::toNativeSeparators(data->urls()[0].toLocalFile());
    if (path.isEmpty() || !QFileInfo::exists(path)) return std::nullopt;
    return path;
}

}  // namespace

void Main::dragEnterEvent(QDragEnterEvent* event) {
    if (!busy_ && DroppedPath(event->mimeData())) event->acceptProposedAction();
}

void Main::dropEvent(QDropEvent* event) {
    const auto path = DroppedPath(event->mimeData());
    if (busy_ || !path) return;
    event->acceptProposedAction();
    currentPath_ = *path;
    scope_ = {};
    form_.Text3->setText(currentPath_);
    ClassifyPath();
}

void Main::UndoNewestRun() {
    if (busy_) return;
    const auto ask = [&](const UndoRecord& target) {
        // The run named in a box of ordinary size, however many files it changed.
        constexpr std::size_t kPathsShown = 5;
        QStringList paths;
        for (std::size_t i = 0; i < target.paths.size() && i < kPathsShown; ++i)
            paths << ShownPath(PathFromText(target.paths[i]), 100);
        if (target.paths.size() > kPathsShown)
            paths << QStringLiteral("и ещё ") + Number(target.paths.size() - kPathsShown);
        const auto clipped = [](const std::string& text) {
            constexpr qsizetype kLongest = 60;
            const QString whole = QString::fromStdString(text);
            return whole.size() > kLongest ? whole.left(kLongest) + QStringLiteral("…") : whole;
        };
        QString strings;
        if (!target.pairs.empty())
            strings = QStringLiteral("\n«") + clipped(target.pairs[0].first) + QStringLiteral("» → «") +
                      clipped(target.pairs[0].second) + QStringLiteral("»");
        const QString when = QDateTime::fromSecsSinceEpoch(target.time).toString(QStringLiteral("dd.MM.yyyy HH:mm"));
        const QString question = QStringLiteral("Отменить последнюю обработку (") + when + QStringLiteral(")?\n\n") +
                                 paths.join(QLatin1Char('\n')) + strings + QStringLiteral("\n\nИзменено файлов: ") +
                                 Number(target.fileCount) +
                                 QStringLiteral(". Файлы, изменённые после обработки, останутся как есть.");
        return interaction_.Question(this, question, QStringLiteral("Отмена обработки"));
    };
    auto undo = PrepareUndo({setup_.undoFolder, {}, ask});
    if (auto* refusal = std::get_if<UndoRefusal>(&undo)) {
        const auto kind = refusal->kind;
        if (kind != UndoRefusal::Kind::NothingToUndo && kind != UndoRefusal::Kind::Declined)
            Box(DescribeUndoRefusal(*refusal), kErrorTitle, BoxIcon::Critical);
        return;
    }
    RestoreRun& run = std::get<RestoreRun>(undo);
    const UndoRecord* target = &run.Undone();
    std::size_t restored = 0, told = 0;
    QStringList others, backups;
    RunCallbacks sink;
    sink.file = [&](const FileReport& report) {
        if (report.outcome == FileOutcome::Restored) ++restored;
        if (report.backupLeft)
            backups << ListedPath(*report.backupLeft) +
                           (report.backupLeftWhy
                                ? QStringLiteral(" — не удалось удалить: ") + SystemReason(report.backupLeftWhy)
                                : QStringLiteral(" — изменена после обработки"));
        else if (report.outcome == FileOutcome::Changed)
            others << ListedPath(report.path) + QStringLiteral(" — изменён после обработки");
        else if (report.failure)
            others << ListedPath(report.path) + QStringLiteral(" — ") + DescribeFailure(*report.failure);
        // Progress as a run shows it; Escape stops (the file in flight finished, the record written).
        SetStatus(QStringLiteral("Отмена обработки: файл ") + Number(++told) + QStringLiteral(" из ") +
                      Number(target->fileCount) + QStringLiteral("..."),
                  true);
        return !Stopped();
    };
    {
        BusyScope busy(busy_);
        ExecuteStoppable(run, sink);
    }
    const bool stopped = Stopped();
    ClassifyPath(false);  // what the current file or folder holds now
    SetStatus((stopped ? QStringLiteral(" Отмена остановлена. Восстановлено ")
                       : QStringLiteral(" Отмена выполнена. Восстановлено ")) +
              Number(restored) + QStringLiteral(" из ") + Number(target->fileCount) + QStringLiteral(" файлов."));
    if (!others.isEmpty())
        FailureBox(QStringLiteral("Не восстановлено файлов: "), QStringLiteral(". Эти файлы оставлены как есть:\n\n"),
                   others);
    if (run.RecordUnreadable())
        Box(QStringLiteral("Запись обработки не удалось прочитать до конца: отмена остановлена."), kErrorTitle,
            BoxIcon::Critical);
    if (!backups.isEmpty())
        FailureBox(QStringLiteral("Резервных копий не удалено: "), QStringLiteral(". Они оставлены как есть:\n\n"),
                   backups);
}

void Main::Text1_Change() { searchText_ = form_.Text1->text(); }

void Main::StringsChanged() {
    if (!currentPath_.isEmpty()) retype_->start();
}

void Main::Reclassify() {
    // Never during a run or a scan, nor while a box of one waits: after it.
    if (busy_) return retype_->start();
    if (currentPath_.isEmpty()) return;
    // Quietly: what could not be read was told when the path was chosen.
    quietScan_ = true;
    typedDuringCheck_ = false;
    stopAsked_ = closeAsked_;
    ClassifyPath(false, false);
    quietScan_ = false;
    // Stopped by typing: checked again once typing pauses. (Stopped by
    // Escape, it stays stopped, nothing chosen, until the next change.)
    if (stopAsked_ && typedDuringCheck_ && !closeAsked_) retype_->start();
}

bool Main::StringsSettled() {
    // The button works on what the status line tells of the strings shown:
    // strings typed a moment ago are checked first, and then it may be off.
    if (!retype_->isActive()) return true;
    retype_->stop();
    Reclassify();
    return !retype_->isActive() && form_.Command1->isEnabled();
}

void Main::Text2_Change() { replaceText_ = form_.Text2->text(); }

void Main::Check1_Click() { form_.Text5->setEnabled(Check1Value() != 0); }

int Main::Check1Value() const {
    switch (form_.Check1->checkState()) {
    case Qt::Unchecked: return 0;
    case Qt::Checked: return 1;
    case Qt::PartiallyChecked: return 2;
    }
    return 0;
}

void Main::SetCheck1Value(int value) {
    form_.Check1->setTristate(value == 2);
    form_.Check1->setCheckState(value == 0 ? Qt::Unchecked : value == 2 ? Qt::PartiallyChecked : Qt::Checked);
}

void Main::Timer1_Timer() {
    // One classification only, even while a box it opens keeps the loop running.
    form_.Timer1->stop();
    ClassifyPath();
}

void Main::SetStatus(const QString& text, bool progress, const QString& path) {
    emit statusChanged(text);
    // Progress goes to the label only as often as it can be seen; any other text at once.
    if (progress && lastPaint_.isValid() && lastPaint_.elapsed() < kPaintIntervalMs) return;
    ShowFitted(*form_.stat, text, path);
    if (!progress) return;
    form_.stat->repaint();
    // While a run can be stopped, input arrives (eventFilter keeps all but Escape and closing back).
    QCoreApplication::processEvents(stoppable_ ? QEventLoop::AllEvents : QEventLoop::ExcludeUserInputEvents);
    lastPaint_.restart();
}

void Main::Box(const QString& text, const QString& title, BoxIcon icon) {
    interaction_.MessageBox(this, text, title, icon);
}

std::optional<CorrectionRun> Main::MakeRun(RunMode mode, std::vector<std::filesystem::path> paths, FolderScope scope,
                                           std::filesystem::path within) {
    RunRequest request;
    request.pairs = {{searchText_.toStdU16String(), replaceText_.toStdU16String()}};
    request.system = setup_.codePage;
    request.legacy = legacy_;
    request.backup.enabled = (mode == RunMode::Correct || mode == RunMode::Review) && Check1Value() != 0;
    request.backup.extension = ToPath(form_.Text5->text()).native();
    request.emptySearchAllowed = true;  // found in every non-empty file, as described
    request.patterns = regex_;
    request.ignoreCase = ignoreCase_;
    request.word = wholeWord_;
    request.preserveCase = preserveCase_;
    request.paths = std::move(paths);
    request.mode = mode;
    request.selection.subfolders = scope.subfolders;
    request.selection.hidden = scope.hidden;
    request.selection.within = std::move(within);
    // A folder's files as the mask chooses them (an empty mask, "*" or "*.*": every file).
    request.selection.include.Add(ToPath(form_.Text4->text()).native());
    request.keepUndo = true;
    request.undoFolder = setup_.undoFolder;
    legacyGuess_ = LegacyIsAGuess(request);
    auto prepared = PrepareRun(request);
    if (auto* run = std::get_if<CorrectionRun>(&prepared)) return std::move(*run);
    QString text;
    const SetupFailure& failure = std::get<SetupFailure>(prepared);
    // A pattern that cannot be used is told in the status line, before any file is read.
    if (failure.error == SetupError::BadPattern || failure.error == SetupError::CaseOfPattern ||
        (failure.error == SetupError::EmptySearch && (regex_ || ignoreCase_ || wholeWord_ || preserveCase_))) {
        SetStatus(failure.pattern ? DescribePatternProblem(*failure.pattern)
                  : failure.error == SetupError::CaseOfPattern
                      ? QStringLiteral(" Сохранение регистра не действует для регулярного выражения")
                  : regex_ ? QStringLiteral(" Регулярное выражение пусто")
                           : QStringLiteral(" Строка поиска пуста"));
        form_.Command1->setEnabled(false);
        return std::nullopt;
    }
    switch (failure.error) {
    case SetupError::UnusableEncoding:
        text = QStringLiteral(
                   "Кодировка системы %1 не поддерживается: файлы можно обрабатывать только в UTF-8, "
                   "в однобайтовых кодировках и в двухбайтовых кодировках Восточной Азии. Файлы не изменены.")
                   .arg(QString::fromStdString(failure.encoding));
        break;
    case SetupError::UnusableLegacy:
        text = QStringLiteral(
                   "Кодировка %1 из параметра LegacyCodePage не подходит: нужна однобайтовая или двухбайтовая "
                   "кодовая страница, например CP1251. Файлы не изменены.")
                   .arg(QString::fromStdString(failure.encoding));
        break;
    case SetupError::EmptySearch:  // allowed here
    case SetupError::SearchNotWritable:
    case SetupError::ReplaceNotWritable:
        text = QStringLiteral("Строка поиска содержит символы, которых нет ни в одной кодировке. Файлы не изменены.");
        break;
    case SetupError::UndoRecords:
        text = QStringLiteral("Папка записей для отмены не может быть использована: ") +
               (failure.undo ? DescribeUndoProblem(*failure.undo) : QString()) + QStringLiteral(". Файлы не изменены.");
        break;
    case SetupError::BadPattern:
    case SetupError::CaseOfPattern: break;  // told above
    case SetupError::EmptyBackupExtension:
    case SetupError::BadBackupExtension:
        text = QStringLiteral(
            "Расширение резервных копий не задано или содержит недопустимые символы. "
            "Файлы не изменены.");
        break;
    }
    Box(text, kBadParameterTitle, BoxIcon::Exclamation);
    return std::nullopt;
}

void Main::ClassifyPath(bool reportScanFailures, bool reportFileFailure) {
    retype_->stop();  // classified now, with the strings as they are
    ClassifyPathOnce(reportScanFailures, reportFileFailure);
    CloseIfAsked();
}

void Main::ClassifyPathOnce(bool reportScanFailures, bool reportFileFailure) {
    if (currentPath_.isEmpty()) return;  // nothing chosen yet
    // A folder gone or shut since it was chosen is still the folder (a check
    // after typing then tells it cannot be read), never taken for a file.
    const bool folder = QFileInfo(currentPath_).isDir() || (!reportFileFailure && workMode_ == Mode::Folder);
    auto run = MakeRun(RunMode::Check, {ToPath(currentPath_)}, folder ? scope_ : FolderScope{});
    if (!run) return;
    BusyScope busy(busy_);
    if (folder) {
        form_.Label4->setText(forms::MainForm::FolderCaption());
        form_.Command1->setText(QStringLiteral("Обработать папку"));
        workMode_ = Mode::Folder;
        ScanFolder(currentPath_, *run, reportScanFailures, scope_);
        return;
    }
    form_.Label4->setText(forms::MainForm::FileCaption());
    form_.Command1->setText(QStringLiteral("Обработать файл"));
    workMode_ = Mode::File;
    ShowVerdict(CheckFile(currentPath_, *run, reportFileFailure));
}

void Main::ShowVerdict(FileVerdict verdict) {
    switch (verdict) {
    case FileVerdict::ToCorrect:
        SetStatus(QStringLiteral(" В файле присутствует строка поиска"));
        form_.Command1->setEnabled(true);
        break;
    case FileVerdict::AlreadyCorrected:
        SetStatus(QStringLiteral(" Этот файл уже был обработан!"));
        form_.Command1->setEnabled(true);
        break;
    case FileVerdict::Unknown:
        SetStatus(QStringLiteral(" Неизвестный файл, не может быть обработан!"));
        form_.Command1->setEnabled(false);
        break;
    case FileVerdict::Binary:
        SetStatus(QStringLiteral(" Двоичный файл, не может быть обработан!"));
        form_.Command1->setEnabled(false);
        break;
    }
}

FileVerdict Main::CheckFile(const QString& file, CorrectionRun& run, bool reportFailure) {
    FileVerdict verdict = FileVerdict::Unknown;
    std::optional<Failure> failure;
    RunCallbacks told;
    told.file = [&](const FileReport& report) {
        if (report.failure) failure = *report.failure;
        verdict = report.verdict;
        return true;
    };
    run.Execute(told);
    if (failure && reportFailure)
        Box(QStringLiteral("Ошибка открытия файла ") + ShownPath(file, 200) + QStringLiteral("\n\n") +
                DescribeFailure(*failure),
            kErrorTitle, BoxIcon::Critical);
    return verdict;
}

void Main::ScanFolder(const QString& folder, CorrectionRun& run, bool reportFailures, FolderScope scope) {
    std::optional<Failure> listFailure;
    std::optional<std::size_t> count;  // the files of the folders listed so far
    std::size_t told = 0, notUtf8 = 0;
    std::vector<std::filesystem::path> queue;
    QStringList failures;
    const auto failed = [&](const std::filesystem::path& path, const Failure& failure) {
        failures << ListedPath(path) + QStringLiteral(" — ") + DescribeFailure(failure);
    };
    RunCallbacks scan;
    scan.pathFailed = [&](const Failure& failure) {
        if (!count) listFailure = failure;  // the folder itself
        else failed(failure.path, failure);
        return count.has_value();
    };
    scan.listed = [&](const std::filesystem::path&, std::size_t files) {
        count = count.value_or(0) + files;
        return !Stopped();
    };
    scan.file = [&](const FileReport& report) {
        if (!count) return false;  // the path is no longer a folder
        SetStatus(QStringLiteral(" Чтение файла ") + Number(++told) + QStringLiteral(" из ") + Number(*count) +
                      QStringLiteral("..."),
                  true);
        if (report.outcome == FileOutcome::Failed || report.outcome == FileOutcome::Skipped)
            failed(report.path, *report.failure);
        else if (report.outcome == FileOutcome::Checked && report.verdict == FileVerdict::ToCorrect)
            queue.push_back(report.path);
        else if (report.outcome == FileOutcome::Checked && report.verdict == FileVerdict::Unknown && report.notUtf8)
            ++notUtf8;
        return !Stopped();
    };
    ExecuteStoppable(run, scan);
    if (Stopped() && count) return ChooseNothing(folder, scope);
    if (!reportFailures && (listFailure || !count || *count == 0)) {
        // Checked again as the strings or the mask changed: nothing to choose
        // now, said in the status line, not in a box while the user types.
        workQueue_.clear();
        form_.Command1->setEnabled(false);
        SetStatus(listFailure || !count ? QStringLiteral(" Ошибка чтения папки ") + ShownPath(folder)
                                        : QStringLiteral(" Найдено файлов для обработки - 0 из 0"),
                  false, ShownPath(folder));
        return;
    }
    if (listFailure || !count) {
        if (listFailure)
            Box(QStringLiteral("Ошибка чтения папки ") + ShownPath(folder, 200) + QStringLiteral("\n\n") +
                    DescribeFailure(*listFailure),
                kErrorTitle, BoxIcon::Critical);
        return;
    }
    form_.Text3->setText(folder);
    if (*count == 0) {
        const QString mask = form_.Text4->text().trimmed();
        const bool everyFile = mask.isEmpty() || mask == QStringLiteral("*") || mask == QStringLiteral("*.*");
        Box(everyFile ? QStringLiteral("Заданный каталог пустой.")
                      : QStringLiteral("В заданном каталоге нет файлов по маске ") + mask + QLatin1Char('.'),
            kBadParameterTitle, BoxIcon::Information);
        return;
    }
    workQueue_ = std::move(queue);
    SetStatus(QStringLiteral(" Найдено файлов для обработки - ") + Number(workQueue_.size()) + QStringLiteral(" из ") +
              Number(*count));
    form_.Command1->setEnabled(!workQueue_.empty());
    currentPath_ = folder;
    scope_ = scope;
    if (!reportFailures) return;
    // Files that could not be read: one box after the scan, not one per file.
    if (!failures.empty())
        FailureBox(QStringLiteral("Ошибка открытия файлов: "), QStringLiteral(". Эти файлы пропущены:\n\n"), failures);
    LegacyHint(notUtf8, run);
}

void Main::LegacyHint(std::size_t notUtf8, const CorrectionRun& run) {
    if (notUtf8 == 0 || !legacyGuess_) return;
    const QString key = currentPath_ + QChar(u'\0') + searchText_ + QChar(u'\0') + replaceText_;
    if (hinted_.contains(key)) return;
    hinted_.insert(key);
    const std::string legacy = run.Forms().Name(Encoding::Legacy);
    const QString guess =
        legacy.empty() ? QString() : QStringLiteral(" (%1, кодировка системы)").arg(QString::fromStdString(legacy));
    Box(QStringLiteral("Файлов не в UTF-8, в которых нет ни строки поиска, ни строки замены: %1. "
                       "Их кодировка определена лишь предположительно%2. "
                       "Если они в другой кодировке, укажите её ключом LegacyCodePage в options.ini, "
                       "например LegacyCodePage=CP1251.")
            .arg(Number(notUtf8), guess),
        QStringLiteral("Кодировка файлов"), BoxIcon::Information);
}

void Main::ChooseNothing(const QString& folder, FolderScope scope) {
    workQueue_.clear();
    form_.Command1->setEnabled(false);
    currentPath_ = folder;
    scope_ = scope;
    SetStatus(QStringLiteral(" Поиск остановлен, файлы не выбраны"));
}

void Main::FailureBox(const QString& lead, const QString& tail, QStringList failures) {
    const int total = failures.size();
    if (total > kMaxListedFailures) {
        failures = failures.mid(0, kMaxListedFailures);
        failures << QStringLiteral("… и ещё ") + QString::number(total - kMaxListedFailures);
    }
    Box(lead + QString::number(total) + tail + failures.join(QLatin1Char('\n')), kErrorTitle, BoxIcon::Critical);
}

void Main::Command1_Click() {
    if (busy_ || workMode_ == Mode::None || !StringsSettled()) return;
    // A folder's queue is taken inside that folder only, as the scan found it.
    const bool file = workMode_ == Mode::File;
    auto run = MakeRun(RunMode::Correct, file ? std::vector{ToPath(currentPath_)} : workQueue_, {},
                       file ? std::filesystem::path() : ToPath(currentPath_));
    if (!run) return;
    {
        BusyScope busy(busy_);
        if (workMode_ == Mode::File) ProcessSingleFile(*run);
        if (workMode_ == Mode::Folder) ProcessQueue(*run);
    }
    CloseIfAsked();
}

void Main::Command1_ContextMenu(const QPoint& at) {
    if (busy_ || workMode_ == Mode::None) return;
    if (interaction_.PopupMenu(form_.Command1, at, {QStringLiteral("Просмотреть изменения…")}) == 0) ReviewChanges();
}

void Main::ReviewChanges() {
    if (busy_ || workMode_ == Mode::None || !StringsSettled() || !form_.Command1->isEnabled()) return;
    const bool file = workMode_ == Mode::File;
    const std::vector<std::filesystem::path> paths = file ? std::vector{ToPath(currentPath_)} : workQueue_;
    const std::filesystem::path within = file ? std::filesystem::path() : ToPath(currentPath_);
    auto scan = MakeRun(RunMode::Preview, paths, {}, within);
    if (!scan) return;
    Corrector shower = scan->Checker();
    ReviewSource source = PreviewSource(*scan, shower);
    std::optional<std::vector<ReviewedFile>> reviewed;
    {
        BusyScope busy(busy_);
        reviewed = interaction_.Review(this, std::move(source));
    }
    if (reviewed) ApplyReview(*reviewed);
    CloseIfAsked();
}

void Main::ApplyReview(const std::vector<ReviewedFile>& files) {
    std::vector<std::filesystem::path> paths;
    std::map<std::filesystem::path, OccurrenceChoice> choices;
    for (const ReviewedFile& f : files) {
        OccurrenceChoice choice = f.Choice();
        if (!choice.Any()) continue;
        paths.push_back(f.path);
        choices.emplace(f.path, std::move(choice));
    }
    if (paths.empty()) {
        SetStatus(QStringLiteral(" Не отмечено ни одного изменения. Файлы не изменены."));
        return;
    }
    const bool file = workMode_ == Mode::File;
    auto run = MakeRun(RunMode::Review, paths, {}, file ? std::filesystem::path() : ToPath(currentPath_));
    if (!run) return;
    BusyScope busy(busy_);
    const std::size_t count = paths.size();
    std::size_t told = 0, corrected = 0;
    QStringList failures;
    struct Chosen : RunCallbacks {
        std::map<std::filesystem::path, OccurrenceChoice>* choices = nullptr;
        bool ReviewAsks() const override { return false; }  // (chosen already: rewritten in groups)
        bool Review(const FileReport& report, const ShowForReview&, OccurrenceChoice& choice) override {
            if (const auto it = choices->find(report.path); it != choices->end()) choice = it->second;
            return true;
        }
    } sink;
    sink.choices = &choices;
    sink.file = [&](const FileReport& report) {
        if (report.failure)
            failures << ListedPath(report.path) + QStringLiteral(" — ") + DescribeFailure(*report.failure);
        if (report.outcome == FileOutcome::Leftover) return true;
        if (report.outcome == FileOutcome::Corrected) ++corrected;
        SetStatus(QStringLiteral("Обработка файла ") + Number(++told) + QStringLiteral(" из ") + Number(count) +
                      QStringLiteral("..."),
                  true);
        return !Stopped();
    };
    ExecuteStoppable(*run, sink);
    SetStatus((Stopped() ? QStringLiteral(" Остановлено. Обработано ") : QStringLiteral(" Готово. Обработано ")) +
              Number(corrected) + (Stopped() ? QStringLiteral(" из ") + Number(count) : QString()) +
              QStringLiteral(" файлов."));
    if (!failures.isEmpty())
        FailureBox(QStringLiteral("Не удалось обработать файлов: "),
                   QStringLiteral(". Эти файлы оставлены без изменений:\n\n"), failures);
}

void Main::ProcessSingleFile(CorrectionRun& run) {
    std::optional<Failure> failure;
    FileVerdict verdict = FileVerdict::Unknown;
    bool corrected = false;
    RunCallbacks told;
    told.file = [&](const FileReport& report) {
        if (report.outcome == FileOutcome::Leftover) return true;  // (no file of the run)
        corrected = report.outcome == FileOutcome::Corrected;
        if (report.failure) failure = *report.failure;
        verdict = report.verdict;
        return true;
    };
    run.Execute(told);
    if (corrected) {
        SetStatus(QStringLiteral(" Файл ") + ShownPath(currentPath_) + QStringLiteral(" успешно обработан"), false,
                  ShownPath(currentPath_));
        return;
    }
    // Nothing to correct any more (a second press, other strings): what the file holds now.
    if (!failure) return ShowVerdict(verdict);
    SetStatus(QStringLiteral(" Файл ") + ShownPath(currentPath_) + QStringLiteral(" не обработан"), false,
              ShownPath(currentPath_));
    Box(QStringLiteral("Ошибка обработки файла ") + ShownPath(currentPath_, 200) + QStringLiteral("\n\n") +
            DescribeFailure(*failure) + QStringLiteral("\n\nФайл оставлен без изменений."),
        kErrorTitle, BoxIcon::Critical);
}

void Main::ProcessQueue(CorrectionRun& run) {
    const std::size_t count = workQueue_.size();
    std::size_t told = 0, corrected = 0;
    QStringList failures;
    std::set<std::filesystem::path> done;  // told: corrected, failed or no longer to correct
    RunCallbacks process;
    process.file = [&](const FileReport& report) {
        if (report.failure)
            failures << ListedPath(report.path) + QStringLiteral(" — ") + DescribeFailure(*report.failure);
        if (report.outcome == FileOutcome::Leftover) return true;  // (named, but no file of the queue)
        else if (report.outcome == FileOutcome::Corrected) ++corrected;
        done.insert(report.path);
        SetStatus(QStringLiteral("Обработка файла ") + Number(++told) + QStringLiteral(" из ") + Number(count) +
                      QStringLiteral("..."),
                  true);
        return !Stopped();
    };
    ExecuteStoppable(run, process);
    if (Stopped()) {
        // The files not yet done stay to correct: the next press goes on with them.
        std::erase_if(workQueue_, [&](const std::filesystem::path& file) { return done.count(file) != 0; });
        form_.Command1->setEnabled(!workQueue_.empty());
        SetStatus(QStringLiteral(" Остановлено. Обработано ") + Number(corrected) + QStringLiteral(" из ") +
                  Number(count) + QStringLiteral(" файлов."));
    } else {
        SetStatus(QStringLiteral(" Готово. Обработано ") + Number(corrected) + QStringLiteral(" файлов."));
    }
    if (!failures.isEmpty())
        FailureBox(QStringLiteral("Не удалось обработать файлов: "),
                   QStringLiteral(". Эти файлы оставлены без изменений:\n\n"), failures);
}

void Main::Command2_Click() {
    // Ends the program at once; nothing is saved.
    close();
}

void Main::Command3_Click() {
    if (busy_) return;
    pickedPath_.clear();
    const QString mask = form_.Text4->text();
    pickedPath_ =
        interaction_.OpenFile(this, QStringLiteral("Выберите файл для обработки"), mask + QChar(u'\0') + mask);
    pickedPath_.remove(QChar(u'\0'));
    if (!pickedPath_.isEmpty()) {
        currentPath_ = pickedPath_;
        scope_ = {};
        form_.Text3->setText(currentPath_);
        ClassifyPath();
    }
    form_.Command1->setFocus();  // no effect while it is disabled
}

void Main::Command4_Click() { ChooseFolder({}); }

void Main::Command4_ContextMenu(const QPoint& at) {
    if (busy_) return;
    const int chosen = interaction_.PopupMenu(form_.Command4, at,
                                              {QStringLiteral("Выбрать папку с подпапками…"),
                                               QStringLiteral("Выбрать папку с подпапками и скрытыми файлами…")});
    if (chosen == 0) ChooseFolder({true, false});
    if (chosen == 1) ChooseFolder({true, true});
}

void Main::ChooseFolder(FolderScope scope) {
    if (busy_) return;
    pickedPath_.clear();
    pickedPath_ = interaction_.OpenFolder(this, QStringLiteral("Выберите каталог для обработки."));
    if (!pickedPath_.isEmpty()) {
        if (auto run = MakeRun(RunMode::Check, {ToPath(pickedPath_)}, scope)) {
            {
                BusyScope busy(busy_);
                ScanFolder(pickedPath_, *run, true, scope);
            }
            // Classifies the folder just scanned, or, when it was empty, what was current before;
            // the files that could not be read were named a moment ago. A stopped scan stays stopped.
            if (Stopped()) CloseIfAsked();
            else ClassifyPath(false);
        }
    }
    form_.Command1->setFocus();
}

void Main::Text1_ContextMenu(const QPoint& at) {
    if (busy_) return;
    const int chosen =
        interaction_.FieldMenu(form_.Text1, at,
                               {QStringLiteral("Регулярное выражение"), QStringLiteral("Без учёта регистра"),
                                QStringLiteral("Только слова целиком"), QStringLiteral("Сохранять регистр при замене")},
                               {regex_, ignoreCase_, wholeWord_, preserveCase_});
    bool* const switches[] = {&regex_, &ignoreCase_, &wholeWord_, &preserveCase_};
    if (chosen < 0 || chosen >= static_cast<int>(std::size(switches))) return;
    *switches[chosen] = !*switches[chosen];
    // The current path's verdict, as the search string is now read.
    if (!currentPath_.isEmpty()) ClassifyPath();
}

void Main::Command6_Click() {
    if (busy_) return;
    interaction_.ShowAbout();
}

void Main::Command5_Click() {
    if (busy_) return;
    const settings::Options options{form_.Text1->text().toStdU16String(),
                                    form_.Text2->text().toStdU16String(),
                                    static_cast<std::int16_t>(Check1Value()),
                                    form_.Text4->text().toStdU16String(),
                                    form_.Text5->text().toStdU16String(),
                                    legacyName_,
                                    regex_,
                                    ignoreCase_,
                                    wholeWord_,
                                    preserveCase_};
    if (const auto failure = settings::SaveOptions(setup_.optionsFile, options, setup_.codePage)) {
        Box(QStringLiteral("Параметры программы не сохранены в файл ") + FromPath(failure->path) +
                QStringLiteral("\n\n") + SystemReason(failure->code),
            kErrorTitle, BoxIcon::Critical);
        return;
    }
    SetStatus(QStringLiteral(" Параметры программы сохранены"));
}

}  // namespace tarnwick::window
