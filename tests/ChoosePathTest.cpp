#include "window/About.h"
#include "pickers/CommonDialog.h"
#include "window/Interaction.h"
#include "MainWindowFixture.h"

#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QFontInfo>
#include <QLabel>
#include <QLineEdit>

namespace tarnwick::window {
namespace {

using namespace tarnwick::window::test;
using tarnwick::test::ReadBytes;
namespace fs = std::filesystem;

using ChoosePathTest = MainWindowTest;

// Cancelling either picker changes nothing but the focus.
TEST_F(ChoosePathTest, CancelChangesNothing) {
    Options("abc", "xyz", "Mask=*.*\n");
    const auto file = Make("a.txt", "abc");
    Main& w = Open({Q(file)});
    WaitForClassification();
    QApplication::setActiveWindow(&w);
    ASSERT_TRUE(QTest::qWaitForWindowActive(&w));
    F().Text1->setFocus();
    const QString status = Status();
    for (QPushButton* button : {F().Command3, F().Command4}) {
        QTest::mouseClick(button, Qt::LeftButton);
        EXPECT_EQ(w.CurrentPath(), Q(file));
        EXPECT_EQ(w.WorkMode(), Main::Mode::File);
        EXPECT_EQ(F().Text3->text(), Q(file));
        EXPECT_EQ(Status(), status);
        EXPECT_EQ(QApplication::focusWidget(), F().Command1);
        F().Text1->setFocus();
    }
    EXPECT_EQ(ui_.pickerCalls,
              QStringList({"Выберите файл для обработки|*.*<NUL>*.*", "Выберите каталог для обработки."}));
}

// A chosen file is classified as a file; the mask goes to the picker twice, NUL-separated.
TEST_F(ChoosePathTest, ChosenFile) {
    Options("abc", "xyz", "Mask=*.txt\n");
    fs::create_directory(Dir() / "site");
    Make("site/b.txt", "abc");
    Open({Q(Dir() / "site")});
    WaitForClassification();
    ASSERT_EQ(F().Command1->text(), "Обработать папку");
    const auto file = Make("a.txt", "only xyz");
    ui_.answer = Q(file) + QChar(u'\0');  // a trailing NUL is removed
    QTest::mouseClick(F().Command3, Qt::LeftButton);
    EXPECT_EQ(ui_.pickerCalls.last(), "Выберите файл для обработки|*.txt<NUL>*.txt");
    EXPECT_EQ(window_->CurrentPath(), Q(file));
    EXPECT_EQ(F().Text3->text(), Q(file));
    EXPECT_EQ(F().Label4->text(), "(файл)");
    EXPECT_EQ(F().Command1->text(), "Обработать файл");
    EXPECT_EQ(Status(), " Этот файл уже был обработан!");
    EXPECT_EQ(window_->WorkMode(), Main::Mode::File);
}

// A chosen folder is scanned, then classified and scanned once more.
TEST_F(ChoosePathTest, ChosenFolder) {
    Options("abc", "xyz");
    fs::create_directory(Dir() / "site");
    Make("site/a.htm", "abc");
    Make("site/b.htm", "none");
    Main& w = Open();
    ui_.answer = Q(Dir() / "site");
    QTest::mouseClick(F().Command4, Qt::LeftButton);
    EXPECT_EQ(statuses_, QStringList({" Чтение файла 1 из 2...", " Чтение файла 2 из 2...",
                                      " Найдено файлов для обработки - 1 из 2", " Чтение файла 1 из 2...",
                                      " Чтение файла 2 из 2...", " Найдено файлов для обработки - 1 из 2"}));
    EXPECT_EQ(F().Label4->text(), "(папка)");
    EXPECT_EQ(F().Command1->text(), "Обработать папку");
    EXPECT_TRUE(F().Command1->isEnabled());
    EXPECT_EQ(w.CurrentPath(), Q(Dir() / "site"));
    EXPECT_EQ(w.QueueCount(), 1u);
    EXPECT_EQ(w.WorkMode(), Main::Mode::Folder);
}

// An empty chosen folder: its box, and the path that was current before stays.
TEST_F(ChoosePathTest, EmptyChosenFolderKeepsCurrentPath) {
    Options("abc", "xyz");
    const auto file = Make("a.txt", "abc");
    fs::create_directory(Dir() / "empty");
    Main& w = Open({Q(file)});
    WaitForClassification();
    ui_.answer = Q(Dir() / "empty");
    QTest::mouseClick(F().Command4, Qt::LeftButton);
    ASSERT_EQ(ui_.boxes.size(), 1u);
    EXPECT_EQ(ui_.boxes[0].text, "Заданный каталог пустой.");
    EXPECT_EQ(w.CurrentPath(), Q(file));
    EXPECT_EQ(w.WorkMode(), Main::Mode::File);
    EXPECT_EQ(Status(), " В файле присутствует строка поиска");
}

// The About button opens the About window.
TEST_F(ChoosePathTest, AboutButton) {
    Open();
    QTest::mouseClick(F().Command6, Qt::LeftButton);
    EXPECT_EQ(ui_.abouts, 1);
}

// Mask pairs become dialog filters; a pattern list admits each pattern.
TEST(CommonDialogTest, NameFilters) {
    const QChar nul(u'\0');
    EXPECT_EQ(pickers::NameFilters("*.txt" + QString(nul) + "*.txt"), QStringList{"*.txt (*.txt)"});
    EXPECT_EQ(pickers::NameFilters("*.htm;*.html" + QString(nul) + "*.htm;*.html"),
              QStringList{"*.htm;*.html (*.htm *.html)"});
    EXPECT_EQ(pickers::NameFilters("Pages" + QString(nul) + "*.htm" + nul + "All" + nul + "*.*"),
              QStringList({"Pages (*.htm)", "All (*.*)"}));
    EXPECT_EQ(pickers::NameFilters(QString(nul)), QStringList());
    EXPECT_EQ(pickers::NameFilters(""), QStringList());
}

// Answers the next modal dialog once it is up.
template <typename Dialog, typename Answer>
void WhenModal(Answer answer) {
    QTimer::singleShot(50, [answer] {
        auto* dialog = qobject_cast<Dialog*>(QApplication::activeModalWidget());
        ASSERT_NE(dialog, nullptr);
        answer(dialog);
        // Never leave a dialog open: a failed check must not hang the suite.
        if (dialog->isVisible()) static_cast<QDialog*>(dialog)->done(QDialog::Rejected);
    });
}

// The real file chooser: starts in the current directory, offers the filters,
// returns a typed name that does not exist, and "" when cancelled.
TEST(CommonDialogTest, FileChooser) {
    const QString start = QDir::currentPath();
    WhenModal<QFileDialog>([start](QFileDialog* d) {
        EXPECT_EQ(d->windowTitle(), "Выберите файл");
        EXPECT_EQ(d->directory().absolutePath(), start);
        EXPECT_EQ(d->nameFilters(), QStringList{"*.txt (*.txt)"});
        // Typed by the user, as the name of a file that does not exist yet.
        auto* name = d->findChild<QLineEdit*>("fileNameEdit");
        ASSERT_NE(name, nullptr);
        QTest::keyClicks(name, "no-such-file.txt");
        QMetaObject::invokeMethod(d, "accept");
    });
    const QString chosen =
        pickers::CommonDialog().OpenFile("Выберите файл", "*.txt" + QString(QChar(u'\0')) + "*.txt", nullptr);
    EXPECT_EQ(chosen, QDir::toNativeSeparators(QDir(start).filePath("no-such-file.txt")));

    WhenModal<QFileDialog>([](QFileDialog* d) { d->reject(); });
    EXPECT_EQ(pickers::CommonDialog().OpenFile("Выберите файл", "*.*" + QString(QChar(u'\0')) + "*.*", nullptr), "");
}

// The real folder chooser, in Russian like the window: "" when cancelled.
TEST(CommonDialogTest, FolderChooserCancel) {
    WhenModal<QFileDialog>([](QFileDialog* d) {
        EXPECT_EQ(d->windowTitle(), "Выберите каталог");
        auto* lookIn = d->findChild<QLabel*>("lookInLabel");
        ASSERT_NE(lookIn, nullptr);
        EXPECT_EQ(lookIn->text(), "Перейти к:");
        d->reject();
    });
    EXPECT_EQ(pickers::CommonDialog().OpenFolder("Выберите каталог", nullptr), "");
}

// The About window: modal, its texts, the bold monospace title, OK and Enter close it, Escape does not.
TEST(AboutTest, ContentsAndKeys) {
    WhenModal<About>([](About* about) {
        EXPECT_EQ(about->windowTitle(), "О программе");
        EXPECT_EQ(about->size(), QSize(226, 177));
        const auto& f = about->form();
        EXPECT_EQ(f.Label1->text(), "File Tarnwick");
        EXPECT_EQ(f.Label2->text(), "Версия 1.1");
        EXPECT_TRUE(f.Label3->text().startsWith("Автор: "));
        EXPECT_TRUE(f.Label4->text().startsWith("Сайт программы: "));
        EXPECT_TRUE(f.Label5->text().startsWith("E-mail: "));
        EXPECT_TRUE(QFontInfo(f.Label1->font()).bold());
        EXPECT_TRUE(QFontInfo(f.Label1->font()).fixedPitch());
        EXPECT_GT(QFontInfo(f.Label1->font()).pixelSize(), QFontInfo(f.Label2->font()).pixelSize());
        EXPECT_FALSE(f.Image1->pixmap().isNull());
        for (QLabel* label : {f.Label3, f.Label4, f.Label5})
            EXPECT_LE(label->geometry().right(), f.Frame2->width() - 2) << label->text().toStdString();
        QTest::keyClick(about, Qt::Key_Escape);
        EXPECT_TRUE(about->isVisible());
        QTest::mouseClick(f.Command1, Qt::LeftButton);
    });
    DialogInteraction().ShowAbout();

    // Enter right after opening closes it; the contents are the same the second time.
    About first;
    About second;
    EXPECT_EQ(first.form().Label3->text(), second.form().Label3->text());
    second.show();
    QApplication::setActiveWindow(&second);
    ASSERT_TRUE(QTest::qWaitForWindowActive(&second));
    EXPECT_EQ(QApplication::focusWidget(), second.form().Command1);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
    EXPECT_FALSE(second.isVisible());
}

}  // namespace
}  // namespace tarnwick::window
