#pragma once

// The main window opened as the program opens it, with its modal interactions
// recorded and answered by the test.

#include "window/FailureText.h"
#include "window/PathText.h"
#include "window/Main.h"
#include "TempDir.h"

#include <QApplication>
#include <QCheckBox>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QPushButton>
#include <QTest>
#include <QTimer>

// Readable failure messages for Qt text.
inline void PrintTo(const QString& text, std::ostream* os) { *os << '"' << text.toStdString() << '"'; }

namespace tarnwick::window::test {

using tarnwick::test::ReadBytes;
using tarnwick::test::TempDirTest;

namespace fs = std::filesystem;

struct Box {
    QString text, title;
    BoxIcon icon;
};

// Records message boxes instead of showing them.
class RecordingInteraction : public Interaction {
public:
    void MessageBox(QWidget*, const QString& text, const QString& title, BoxIcon icon) override {
        boxes.push_back({text, title, icon});
        // A real box runs an event loop until the user closes it.
        if (openMs) QTest::qWait(openMs);
    }
    QString OpenFile(QWidget*, const QString& title, const QString& mask) override {
        pickerCalls << title + "|" + QString(mask).replace(QChar(u'\0'), "<NUL>");
        return answer;
    }
    QString OpenFolder(QWidget*, const QString& title) override {
        pickerCalls << title;
        return answer;
    }
    void ShowAbout() override { ++abouts; }
    int PopupMenu(QWidget*, const QPoint&, const QStringList& items) override {
        menus << items.join("|");
        return menuAnswer;
    }
    bool Question(QWidget*, const QString& text, const QString& title) override {
        questions << title + "|" + text;
        return questionAnswer;
    }
    int FieldMenu(QLineEdit*, const QPoint&, const QStringList& items, const std::vector<bool>& checked) override {
        QStringList shown;
        for (qsizetype i = 0; i < items.size(); ++i)
            shown << items[i] + (checked[static_cast<std::size_t>(i)] ? "+" : "");
        fieldMenus << shown.join("|");
        return fieldMenuAnswer;
    }
    // The review: the files the scan finds, then `reviewAnswer` narrows them
    // (false: Отмена).
    std::optional<std::vector<ReviewedFile>> Review(QWidget*, ReviewSource source) override {
        ++reviews;
        std::vector<ReviewedFile> files;
        source.scan([&](const std::filesystem::path& path, std::uint64_t occurrences) {
            files.push_back({path, occurrences, true, std::nullopt});
            return true;
        });
        if (!reviewAnswer || !reviewAnswer(files, source)) return std::nullopt;
        return files;
    }

    std::vector<Box> boxes;
    int openMs = 0;
    QString answer;  // what the next picker returns
    QStringList pickerCalls;
    int abouts = 0;
    QStringList menus;           // the items of each context menu shown
    int menuAnswer = -1;         // what the next context menu returns
    QStringList questions;       // title|text of each question asked
    bool questionAnswer = true;  // Yes
    QStringList fieldMenus;      // our item of each text field's menu shown, and its state
    int fieldMenuAnswer = -1;    // the item of ours the next one chooses
    int reviews = 0;
    std::function<bool(std::vector<ReviewedFile>&, ReviewSource&)> reviewAnswer;
};

class MainWindowTest : public TempDirTest {
protected:
    // Opens the window as the program does: options from the test folder, the
    // given command line, the given code page (null: the system's).
    Main& Open(QStringList arguments = {}, const char* codePage = "UTF-8") {
        MainSetup setup;
        setup.arguments = std::move(arguments);
        setup.optionsFile = Dir() / "options.ini";
        setup.codePage = codePage ? *CodePage::Named(codePage) : CodePage::System();
        setup.undoFolder = Dir() / ".undo";  // records for undo in the test's own folder
        window_ = std::make_unique<Main>(std::move(setup), ui_);
        statuses_.clear();
        QObject::connect(window_.get(), &Main::statusChanged, [this](const QString& s) { statuses_ << s; });
        window_->show();
        return *window_;
    }
    void Options(const std::string& search, const std::string& replace, const std::string& more = "") {
        Make("options.ini", "[Main]\nSearchString=" + search + "\nReplaceString=" + replace + "\n" + more);
    }
    // Waits for the start-up classification of a command-line path.
    void WaitForClassification() {
        QTRY_VERIFY_WITH_TIMEOUT(!window_->form().Timer1->isActive(), 2000);
        QTest::qWait(10);
    }
    QString Q(const fs::path& p) const { return FromPath(p); }
    // Drops `urls` on the window as a file manager does; false when the window refuses them.
    bool Drop(const QList<QUrl>& urls) {
        QMimeData data;
        data.setUrls(urls);
        QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        enter.setAccepted(false);
        QApplication::sendEvent(window_.get(), &enter);
        if (!enter.isAccepted()) return false;
        QDropEvent dropped(QPointF(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(window_.get(), &dropped);
        return true;
    }
    const forms::MainForm& F() const { return window_->form(); }
    QString Status() const { return F().stat->text(); }

    RecordingInteraction ui_;
    std::unique_ptr<Main> window_;
    QStringList statuses_;
};

}  // namespace tarnwick::window::test
