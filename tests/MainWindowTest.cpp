#include "MainWindowFixture.h"
#include "window/FailureText.h"
#include "window/PathText.h"
#include "HideFolder.h"

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QTreeWidget>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QPushButton>
#include <QSignalSpy>
#include <QStyle>
#include <QTest>
#include <QTimer>
#include <QUrl>

#include <cstdlib>
#include <functional>
#include <memory>

namespace tarnwick::window {
namespace {

using namespace tarnwick::window::test;
using tarnwick::test::ReadBytes;
#ifndef _WIN32
using tarnwick::test::ScopedEnvironment;
#endif
namespace fs = std::filesystem;

// Without arguments: empty path, process button off, no classification.
TEST_F(MainWindowTest, StartWithoutArguments) {
    Main& w = Open();
    EXPECT_EQ(F().Text3->text(), "");
    EXPECT_FALSE(F().Command1->isEnabled());
    EXPECT_FALSE(F().Timer1->isActive());
    EXPECT_EQ(F().Label4->text(), "");
    EXPECT_EQ(Status(), " Ready");
    EXPECT_EQ(w.WorkMode(), Main::Mode::None);
    // The defaults of a first start.
    EXPECT_EQ(F().Text4->text(), "*.*");
    EXPECT_EQ(F().Text5->text(), "bak");
    EXPECT_FALSE(F().Check1->isChecked());
    EXPECT_FALSE(F().Text5->isEnabled());
}

// A stored string the reader would cut is not used in part: its field stays
// empty, and one message names it.
TEST_F(MainWindowTest, StoredStringTooLongToReadWhole) {
    Options(std::string(258, 'S'), "R", "Mask=" + std::string("*.h\0tm", 7) + "\n");
    Open();
    EXPECT_EQ(F().Text1->text(), "");
    EXPECT_EQ(F().Text2->text(), "R");
    EXPECT_EQ(F().Text4->text(), "");
    ASSERT_EQ(ui_.boxes.size(), 1u);
    EXPECT_TRUE(ui_.boxes[0].text.contains("SearchString, Mask")) << ui_.boxes[0].text.toStdString();
    EXPECT_TRUE(ui_.boxes[0].text.contains("254")) << ui_.boxes[0].text.toStdString();
}

// A file holding the search string, given on the command line, is classified after the window shows.
TEST_F(MainWindowTest, StartWithFileToCorrect) {
    Options("abc", "xyz");
    const auto file = Make("page.htm", "has abc");
    Main& w = Open({Q(file)});
    EXPECT_TRUE(F().Timer1->isActive());
    WaitForClassification();
    EXPECT_EQ(F().Label4->text(), "(файл)");
    EXPECT_EQ(Status(), " В файле присутствует строка поиска");
    EXPECT_TRUE(F().Command1->isEnabled());
    EXPECT_EQ(F().Command1->text(), "Обработать файл");
    EXPECT_EQ(w.WorkMode(), Main::Mode::File);
    EXPECT_EQ(w.SearchText(), "abc");
}

// The verdict texts and the button state; page.html is a file, a folder old.bak a folder.
TEST_F(MainWindowTest, VerdictTextsAndClassificationByDisk) {
    Options("abc", "xyz");
    Open({Q(Make("page.html", "only xyz"))});
    WaitForClassification();
    EXPECT_EQ(F().Label4->text(), "(файл)");
    EXPECT_EQ(Status(), " Этот файл уже был обработан!");
    EXPECT_TRUE(F().Command1->isEnabled());

    Open({Q(Make("other.txt", "neither"))});
    WaitForClassification();
    EXPECT_EQ(Status(), " Неизвестный файл, не может быть обработан!");
    EXPECT_FALSE(F().Command1->isEnabled());

    fs::create_directory(Dir() / "old.bak");
    Make("old.bak/a.txt", "abc");
    Open({Q(Dir() / "old.bak")});
    WaitForClassification();
    EXPECT_EQ(F().Label4->text(), "(папка)");
    EXPECT_EQ(F().Command1->text(), "Обработать папку");
    EXPECT_TRUE(ui_.boxes.empty());
}

// A folder: progress for each file, the count, the queue, the current path.
TEST_F(MainWindowTest, StartWithFolder) {
    Options("abc", "xyz");
    fs::create_directory(Dir() / "site");
    Make("site/a.htm", "xyz");
    Make("site/b.htm", "abc");
    Make("site/c.htm", "none");
    Main& w = Open({Q(Dir() / "site")});
    WaitForClassification();
    EXPECT_EQ(statuses_, QStringList({" Чтение файла 1 из 3...", " Чтение файла 2 из 3...", " Чтение файла 3 из 3...",
                                      " Найдено файлов для обработки - 1 из 3"}));
    EXPECT_EQ(w.WorkMode(), Main::Mode::Folder);
    EXPECT_EQ(w.QueueCount(), 1u);
    EXPECT_EQ(w.WorkQueue().at(0), Dir() / "site" / "b.htm");
    EXPECT_TRUE(F().Command1->isEnabled());
    EXPECT_EQ(w.CurrentPath(), Q(Dir() / "site"));
}

// An empty folder: one box, the path field shows it, nothing else changes.
TEST_F(MainWindowTest, EmptyFolder) {
    fs::create_directory(Dir() / "empty");
    Main& w = Open({Q(Dir() / "empty")});
    WaitForClassification();
    ASSERT_EQ(ui_.boxes.size(), 1u);
    EXPECT_EQ(ui_.boxes[0].text, "Заданный каталог пустой.");
    EXPECT_EQ(ui_.boxes[0].title, "Неверный параметр");
    EXPECT_EQ(ui_.boxes[0].icon, BoxIcon::Information);
    EXPECT_EQ(F().Text3->text(), Q(Dir() / "empty"));
    EXPECT_EQ(Status(), " Ready");
    EXPECT_EQ(w.QueueCount(), 0u);
}

// A command-line path that names nothing: a box with the path and reason; no file appears.
TEST_F(MainWindowTest, MissingPathIsReportedNotCreated) {
    Options("abc", "xyz");
    const auto missing = Dir() / "missing.txt";
    Open({Q(missing)});
    WaitForClassification();
    ASSERT_EQ(ui_.boxes.size(), 1u);
    EXPECT_TRUE(ui_.boxes[0].text.startsWith("Ошибка открытия файла " + Q(missing))) << ui_.boxes[0].text.toStdString();
    EXPECT_TRUE(ui_.boxes[0].text.contains("файл не найден"));
    EXPECT_EQ(ui_.boxes[0].title, "Ошибка");
    EXPECT_EQ(ui_.boxes[0].icon, BoxIcon::Critical);
    EXPECT_EQ(Status(), " Неизвестный файл, не может быть обработан!");
    EXPECT_FALSE(fs::exists(missing));
}

// The start-up classification runs once, even while its box keeps events flowing for a while.
TEST_F(MainWindowTest, ClassifiesOnceWhileABoxIsOpen) {
    ui_.openMs = 300;
    Open({Q(Dir() / "missing.txt")});
    QTest::qWait(500);
    EXPECT_EQ(ui_.boxes.size(), 1u);
}

// Enter does nothing while the process button is disabled.
TEST_F(MainWindowTest, EnterWithProcessDisabled) {
    Options("abc", "xyz");
    const auto file = Make("a.txt", "neither");
    Main& w = Open({Q(file)});
    WaitForClassification();
    ASSERT_FALSE(F().Command1->isEnabled());
    QApplication::setActiveWindow(&w);
    ASSERT_TRUE(QTest::qWaitForWindowActive(&w));
    F().Text1->setFocus();
    statuses_.clear();
    QTest::keyClick(F().Text1, Qt::Key_Return);
    EXPECT_TRUE(statuses_.isEmpty());
    EXPECT_TRUE(w.isVisible());
}

// Arguments are joined by spaces; a quoted path loses its quotes.
TEST_F(MainWindowTest, CommandLinePath) {
    EXPECT_EQ(Main::CommandLinePath({"C:\\My", "Documents\\a.txt"}), "C:\\My Documents\\a.txt");
    EXPECT_EQ(Main::CommandLinePath({"\"/tmp/my", "file.txt\""}), "/tmp/my file.txt");
    EXPECT_EQ(Main::CommandLinePath({}), "");
    Options("abc", "xyz");
    const auto file = Make("my file.txt", "abc");
    Open({"\"" + Q(Dir() / "my"), "file.txt\""});
    WaitForClassification();
    EXPECT_EQ(F().Text3->text(), Q(file));
    EXPECT_EQ(Status(), " В файле присутствует строка поиска");
}

// Enter in the search field runs a single-file correction; a second press finds
// nothing to correct, says so and keeps the backup of the original.
TEST_F(MainWindowTest, SingleFileRun) {
    Options("abc", "xyz", "BackupCopy=1\nBackupExt=bak\n");
    const auto file = Make("page.htm", "abc abc");
    Open({Q(file)});
    WaitForClassification();
    QApplication::setActiveWindow(window_.get());
    ASSERT_TRUE(QTest::qWaitForWindowActive(window_.get()));
    F().Text1->setFocus();
    QTest::keyClick(F().Text1, Qt::Key_Return);
    EXPECT_EQ(ReadBytes(file), "xyz xyz");
    EXPECT_EQ(ReadBytes(Dir() / "page.htm.bak"), "abc abc");
    // (The status line shows it whole, the path shortened where the line is too narrow.)
    EXPECT_EQ(statuses_.back(), " Файл " + Q(file) + " успешно обработан");
    EXPECT_TRUE(Status().endsWith("page.htm успешно обработан")) << Status().toStdString();
    QTest::mouseClick(F().Command1, Qt::LeftButton);
    EXPECT_EQ(ReadBytes(file), "xyz xyz");
    EXPECT_EQ(ReadBytes(Dir() / "page.htm.bak"), "abc abc");
    EXPECT_EQ(Status(), " Этот файл уже был обработан!");
    EXPECT_TRUE(ui_.boxes.empty());
}

// A folder run: progress after each file and the total of files really corrected.
TEST_F(MainWindowTest, FolderRun) {
    Options("abc", "xyz");
    fs::create_directory(Dir() / "site");
    const auto a = Make("site/a.htm", "abc");
    const auto b = Make("site/b.htm", "abc");
    Open({Q(Dir() / "site")});
    WaitForClassification();
    statuses_.clear();
    QTest::mouseClick(F().Command1, Qt::LeftButton);
    EXPECT_EQ(statuses_,
              QStringList({"Обработка файла 1 из 2...", "Обработка файла 2 из 2...", " Готово. Обработано 2 файлов."}));
    EXPECT_EQ(ReadBytes(a), "xyz");
    EXPECT_EQ(ReadBytes(b), "xyz");
    EXPECT_TRUE(F().Command1->isEnabled());
}

// A folder of files in different encodings on a CP1251 system: one run corrects each in its own.
TEST_F(MainWindowTest, MixedEncodingsFolder) {
    Options("\xEC\xE8\xF0", "\xF1\xE2\xE5\xF2");  // "мир", "свет", stored in the system's CP1251
    fs::create_directory(Dir() / "site");
    const auto ansi = Make("site/a.htm", "<p>\xEC\xE8\xF0</p>");
    const auto utf8 = Make("site/b.htm", "<p>мир</p>");
    const auto utf16 = Make("site/c.htm", std::string("\xFF\xFE\x3C\x04\x38\x04\x40\x04", 8));
    Open({Q(Dir() / "site")}, "CP1251");
    WaitForClassification();
    EXPECT_EQ(Status(), " Найдено файлов для обработки - 3 из 3");
    QTest::mouseClick(F().Command1, Qt::LeftButton);
    EXPECT_EQ(Status(), " Готово. Обработано 3 файлов.");
    EXPECT_EQ(ReadBytes(ansi), "<p>\xF1\xE2\xE5\xF2</p>");
    EXPECT_EQ(ReadBytes(utf8), "<p>свет</p>");
    EXPECT_EQ(ReadBytes(utf16), std::string("\xFF\xFE\x41\x04\x32\x04\x35\x04\x42\x04", 10));
}

// LegacyCodePage in the options file: files in that code page are found
// whatever the system's, and a save keeps the key.
TEST_F(MainWindowTest, LegacyCodePageFromTheOptionsFile) {
    Options("κόσμος", "ειρήνη", "LegacyCodePage=CP1253\n");
    fs::create_directory(Dir() / "site");
    const auto greek = Make("site/a.htm", "<p>\xEA\xFC\xF3\xEC\xEF\xF2</p>");  // "κόσμος" in CP1253
    Make("site/b.htm", "<p>κόσμος</p>");
    Open({Q(Dir() / "site")});
    WaitForClassification();
    EXPECT_EQ(Status(), " Найдено файлов для обработки - 2 из 2");
    QTest::mouseClick(F().Command1, Qt::LeftButton);
    EXPECT_EQ(ReadBytes(greek), "<p>\xE5\xE9\xF1\xDE\xED\xE7</p>");
    QTest::mouseClick(F().Command5, Qt::LeftButton);
    EXPECT_NE(ReadBytes(Dir() / "options.ini").find("LegacyCodePage=CP1253"), std::string::npos);
}

// A Japanese system (under Wine: the ANSI code page 932; elsewhere a ja
// locale, whose legacy code page is 932): a Shift_JIS and a UTF-8 file in one
// run, "A" replaced where it is a character and not inside "ア" (CP932 83 41).
TEST_F(MainWindowTest, JapaneseSystemCorrectsShiftJisAndUtf8) {
#ifdef _WIN32
    if (CodePage::System().Scheme() != CodePage::DoubleByte::ShiftJis) {
        // tests/windows/run runs this under a Japanese locale, and says so.
        if (std::getenv("TARNWICK_JAPANESE")) FAIL() << "the ANSI code page is " << CodePage::System().Name();
        GTEST_SKIP() << "the ANSI code page is not 932";
    }
#else
    const ScopedEnvironment japanese("LC_ALL", "ja_JP.UTF-8");
#endif
    Options("A", "B");
    fs::create_directory(Dir() / "site");
    const auto sjis = Make("site/a.htm", "<p>\x83\x41 A</p>");
    const auto utf8 = Make("site/b.htm", "<p>ア A</p>");
    const auto none = Make("site/c.htm", "<p>\x83\x41\x83\x41</p>");
    Open({Q(Dir() / "site")}, nullptr);
    WaitForClassification();
    EXPECT_EQ(Status(), " Найдено файлов для обработки - 2 из 3");
    QTest::mouseClick(F().Command1, Qt::LeftButton);
    EXPECT_EQ(Status(), " Готово. Обработано 2 файлов.");
    EXPECT_EQ(ReadBytes(sjis), "<p>\x83\x41 B</p>");
    EXPECT_EQ(ReadBytes(utf8), "<p>ア B</p>");
    EXPECT_EQ(ReadBytes(none), "<p>\x83\x41\x83\x41</p>");
}

// Ctrl+Z offers to undo the newest run, and undoes it: a file edited since
// stays as it is and is named; with nothing to undo it does nothing.
TEST_F(MainWindowTest, CtrlZUndoesTheNewestRun) {
    Options("abc", "xyz");
    fs::create_directory(Dir() / "site");
    const auto a = Make("site/a.htm", "abc 1");
    const auto b = Make("site/b.htm", "abc 2");
    Open({Q(Dir() / "site")});
    WaitForClassification();
    F().Command1->setFocus();
    QTest::keyClick(F().Command1, Qt::Key_Z, Qt::ControlModifier);
    EXPECT_TRUE(ui_.questions.isEmpty());  // nothing to undo yet
    QTest::mouseClick(F().Command1, Qt::LeftButton);
    ASSERT_EQ(ReadBytes(a), "xyz 1");
    tarnwick::test::WriteBytes(b, "edited");

    ui_.questionAnswer = false;
    QTest::keyClick(F().Command1, Qt::Key_Z, Qt::ControlModifier);
    ASSERT_EQ(ui_.questions.size(), 1);
    EXPECT_TRUE(ui_.questions[0].contains(Q(Dir() / "site"))) << ui_.questions[0].toStdString();
    EXPECT_TRUE(ui_.questions[0].contains("Изменено файлов: 2")) << ui_.questions[0].toStdString();
    // The run named by its folder and strings, never by a line for each file: a box of ordinary size.
    EXPECT_FALSE(ui_.questions[0].contains("a.htm")) << ui_.questions[0].toStdString();
    EXPECT_TRUE(ui_.questions[0].contains("«abc» → «xyz»")) << ui_.questions[0].toStdString();
    EXPECT_LE(ui_.questions[0].count('\n'), 8) << ui_.questions[0].toStdString();
    EXPECT_EQ(ReadBytes(a), "xyz 1");  // No: nothing happens

    ui_.questionAnswer = true;
    QTest::keyClick(F().Command1, Qt::Key_Z, Qt::ControlModifier);
    EXPECT_EQ(ReadBytes(a), "abc 1");
    EXPECT_EQ(ReadBytes(b), "edited");
    EXPECT_EQ(Status(), " Отмена выполнена. Восстановлено 1 из 2 файлов.");
    ASSERT_EQ(ui_.boxes.size(), 1u);
    const QString named = Q(Dir() / "site" / "b.htm") + " — изменён после обработки";  // as the record names it
    EXPECT_TRUE(ui_.boxes[0].text.contains(named)) << ui_.boxes[0].text.toStdString();
    EXPECT_TRUE(F().Command1->isEnabled());  // a.htm is to correct again
}

// An undo of thousands of files asks in a box of ordinary size, shows its
// progress in the status line and stops on Escape (the files done stay done);
// a second Ctrl+Z goes on with the rest.
TEST_F(MainWindowTest, UndoShowsProgressAndStopsOnEscape) {
    Options("abc", "xyz");
    fs::create_directory(Dir() / "site");
    constexpr int kFiles = 5000;
    for (int i = 0; i < kFiles; ++i) Make("site/f" + std::to_string(1000 + i) + ".htm", "abc");
    Open({Q(Dir() / "site")});
    WaitForClassification();
    QTest::mouseClick(F().Command1, Qt::LeftButton);
    ASSERT_EQ(ReadBytes(Dir() / "site/f1000.htm"), "xyz");
    bool escaped = false;
    const auto connection = QObject::connect(window_.get(), &Main::statusChanged, [&](const QString& s) {
        if (!escaped && s.startsWith("Отмена обработки: файл 20 из ")) {
            escaped = true;
            QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
            QApplication::sendEvent(window_.get(), &escape);
        }
    });
    F().Command1->setFocus();
    QTest::keyClick(F().Command1, Qt::Key_Z, Qt::ControlModifier);
    QObject::disconnect(connection);
    ASSERT_EQ(ui_.questions.size(), 1);
    EXPECT_TRUE(ui_.questions[0].contains("Изменено файлов: 5000")) << ui_.questions[0].toStdString();
    EXPECT_LE(ui_.questions[0].count('\n'), 8) << ui_.questions[0].toStdString();
    ASSERT_TRUE(escaped);
    EXPECT_TRUE(Status().startsWith(" Отмена остановлена. Восстановлено ")) << Status().toStdString();
    int restored = 0;
    for (int i = 0; i < kFiles; ++i)
        restored += ReadBytes(Dir() / ("site/f" + std::to_string(1000 + i) + ".htm")) == "abc";
    EXPECT_GE(restored, 20);
    EXPECT_LT(restored, kFiles);
    QTest::keyClick(F().Command1, Qt::Key_Z, Qt::ControlModifier);
    for (int i = 0; i < kFiles; ++i)
        EXPECT_EQ(ReadBytes(Dir() / ("site/f" + std::to_string(1000 + i) + ".htm")), "abc") << i;
}

// Undo records others may write are not used, and the window says so in
// its own language, naming the folder: never in another's words.
TEST_F(MainWindowTest, UnusableRecordsAreToldInRussian) {
#ifdef _WIN32
    GTEST_SKIP() << "the profile folder's access list protects the records on Windows";
#endif
    Options("abc", "xyz");
    fs::create_directory(Dir() / "site");
    Make("site/a.htm", "abc");
    fs::create_directories(Dir() / ".undo");
    fs::permissions(Dir() / ".undo", fs::perms::all);
    Open({Q(Dir() / "site")});
    WaitForClassification();
    F().Command1->setFocus();
    QTest::keyClick(F().Command1, Qt::Key_Z, Qt::ControlModifier);
    ASSERT_EQ(ui_.boxes.size(), 1u);
    EXPECT_EQ(ui_.boxes[0].text,
              "Отмена невозможна: в папку записей " + Q(Dir() / ".undo") + " могут писать другие пользователи.");
    QTest::mouseClick(F().Command1, Qt::LeftButton);
    ASSERT_EQ(ui_.boxes.size(), 2u);
    EXPECT_TRUE(ui_.boxes[1].text.contains("могут писать другие пользователи. Файлы не изменены."))
        << ui_.boxes[1].text.toStdString();
    EXPECT_EQ(ReadBytes(Dir() / "site/a.htm"), "abc");
}

// Binary files are left alone: not queued by a folder scan, and one chosen
// alone says so and cannot be processed.
TEST_F(MainWindowTest, BinaryFilesAreLeftAlone) {
    Options("abc", "xyz");
    fs::create_directory(Dir() / "site");
    const std::string png("\x89PNG\r\n\x1a\n\0\0\0\rIHDR abc", 21);
    const auto image = Make("site/logo.png", png);
    const auto page = Make("site/a.htm", "abc");
    Open({Q(Dir() / "site")});
    WaitForClassification();
    EXPECT_EQ(Status(), " Найдено файлов для обработки - 1 из 2");
    QTest::mouseClick(F().Command1, Qt::LeftButton);
    EXPECT_EQ(Status(), " Готово. Обработано 1 файлов.");
    EXPECT_EQ(ReadBytes(page), "xyz");
    EXPECT_EQ(ReadBytes(image), png);

    Open({Q(image)});
    WaitForClassification();
    EXPECT_EQ(Status(), " Двоичный файл, не может быть обработан!");
    EXPECT_FALSE(F().Command1->isEnabled());
}

// A file that cannot be rewritten: the run goes on, counts only real corrections, one box lists it.
TEST_F(MainWindowTest, FolderRunWithFailure) {
    Options("abc", "xyz");
    fs::create_directory(Dir() / "site");
    const auto a = Make("site/a.htm", "abc");
    const auto b = Make("site/b.htm", "abc");
    Open({Q(Dir() / "site")});
    WaitForClassification();
    if (!MakeImmutable(a)) GTEST_SKIP() << "chattr +i not available here";
    QTest::mouseClick(F().Command1, Qt::LeftButton);
    tarnwick::test::Shell("chattr -i '" + a.string() + "'");
    EXPECT_EQ(Status(), " Готово. Обработано 1 файлов.");
    EXPECT_EQ(ReadBytes(a), "abc");
    EXPECT_EQ(ReadBytes(b), "xyz");
    ASSERT_EQ(ui_.boxes.size(), 1u);
    EXPECT_TRUE(ui_.boxes[0].text.contains(Q(a))) << ui_.boxes[0].text.toStdString();
    EXPECT_TRUE(ui_.boxes[0].text.contains("нет права на запись"));
}

// A single file that fails is not reported as done.
TEST_F(MainWindowTest, SingleFileFailure) {
    Options("abc", "xyz");
    const auto file = Make("page.htm", "abc");
    Open({Q(file)});
    WaitForClassification();
    if (!MakeImmutable(file)) GTEST_SKIP() << "chattr +i not available here";
    QTest::mouseClick(F().Command1, Qt::LeftButton);
    tarnwick::test::Shell("chattr -i '" + file.string() + "'");
    EXPECT_FALSE(Status().contains("успешно"));
    ASSERT_EQ(ui_.boxes.size(), 1u);
    EXPECT_TRUE(ui_.boxes[0].text.startsWith("Ошибка обработки файла " + Q(file)));
    EXPECT_EQ(ReadBytes(file), "abc");
}

// Backups on without an extension: a box. A replace string the file's encoding
// cannot hold (an ASCII file on a CP1251 system): that file fails, unchanged.
TEST_F(MainWindowTest, BadParametersChangeNothing) {
    const auto file = Make("page.htm", "abc");
    Options("abc", "xyz", "BackupCopy=1\nBackupExt=\n");
    Open({Q(file)}, "CP1251");
    WaitForClassification();
    QTest::mouseClick(F().Command1, Qt::LeftButton);
    ASSERT_EQ(ui_.boxes.size(), 1u);
    EXPECT_TRUE(ui_.boxes[0].text.startsWith("Расширение резервных копий не задано"));
    EXPECT_EQ(ReadBytes(file), "abc");

    F().Text5->setText("bak");
    F().Text2->setText("日本");
    QTest::mouseClick(F().Command1, Qt::LeftButton);
    ASSERT_EQ(ui_.boxes.size(), 2u);
    EXPECT_TRUE(ui_.boxes[1].text.contains("строку замены нельзя записать в кодировке файла windows-1251"))
        << ui_.boxes[1].text.toStdString();
    EXPECT_EQ(ReadBytes(file), "abc");
    // No temporary left, and no record for undo of a run that changed nothing.
    EXPECT_EQ(Names(), (std::vector<std::string>{".undo", "options.ini", "page.htm"}));
    EXPECT_TRUE(fs::is_empty(Dir() / ".undo"));
}

// Before any classification the process button does nothing.
TEST_F(MainWindowTest, WorkModeZeroDoesNothing) {
    Options("abc", "xyz");
    Main& w = Open();
    F().Command1->setEnabled(true);
    QTest::mouseClick(F().Command1, Qt::LeftButton);
    EXPECT_EQ(w.WorkMode(), Main::Mode::None);
    EXPECT_EQ(Status(), " Ready");
    EXPECT_TRUE(ui_.boxes.empty());
}

// Options load at start-up; the save writes them back and says so; a failed save says that instead.
TEST_F(MainWindowTest, OptionsLoadAndSave) {
    Options("Старое", "Новое", "BackupCopy=1\nMask=*.htm\nBackupExt=orig\n");
    Open();
    EXPECT_EQ(F().Text1->text(), "Старое");
    EXPECT_EQ(F().Text2->text(), "Новое");
    EXPECT_TRUE(F().Check1->isChecked());
    EXPECT_TRUE(F().Text5->isEnabled());
    EXPECT_EQ(F().Text4->text(), "*.htm");
    EXPECT_EQ(F().Text5->text(), "orig");

    F().Text1->setText("другое");
    QTest::mouseClick(F().Command5, Qt::LeftButton);
    EXPECT_EQ(Status(), " Параметры программы сохранены");
    EXPECT_EQ(ReadBytes(Dir() / "options.ini"),
              tarnwick::test::Eol(
                  "[Main]\nSearchString=другое\nReplaceString=Новое\nBackupCopy=1\nMask=*.htm\nBackupExt=orig\n"));

    if (!MakeImmutable(Dir())) GTEST_SKIP() << "chattr +i not available here";
    F().Text1->setText("третье");
    QTest::mouseClick(F().Command5, Qt::LeftButton);
    tarnwick::test::Shell("chattr -i '" + Dir().string() + "'");
    ASSERT_EQ(ui_.boxes.size(), 1u);
    EXPECT_TRUE(ui_.boxes[0].text.startsWith("Параметры программы не сохранены"));
    EXPECT_TRUE(ReadBytes(Dir() / "options.ini").find("другое") != std::string::npos);
}

// The path field cannot be edited; the backup extension only while backups are on.
TEST_F(MainWindowTest, FieldStates) {
    Open({Q(Make("a.txt", "x"))});
    QTest::keyClicks(F().Text3, "typed");
    EXPECT_TRUE(F().Text3->isReadOnly());
    EXPECT_EQ(F().Text3->text(), Q(Dir() / "a.txt"));
    EXPECT_FALSE(F().Text5->isEnabled());
    QTest::mouseClick(F().Check1, Qt::LeftButton, {}, QPoint(6, 6));
    EXPECT_TRUE(F().Check1->isChecked());
    EXPECT_TRUE(F().Text5->isEnabled());
    F().Check1->setChecked(false);
    EXPECT_FALSE(F().Text5->isEnabled());
}

// Tab walks the controls in the layout's order and never stops on the pick buttons.
TEST_F(MainWindowTest, TabOrder) {
    Options("", "", "BackupCopy=1\n");
    Main& w = Open();
    F().Command1->setEnabled(true);
    QApplication::setActiveWindow(&w);
    ASSERT_TRUE(QTest::qWaitForWindowActive(&w));
    F().Command5->setFocus();
    QStringList order;
    for (int i = 0; i < 11; ++i) {
        order << QApplication::focusWidget()->objectName();
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    }
    EXPECT_EQ(order, QStringList({"Command5", "Command2", "Command1", "Check1", "Text4", "Text3", "Text2", "Text1",
                                  "Command6", "Text5", "Command5"}));
}

// The window: fixed size, title, names, tooltips; every caption fits its control.
TEST_F(MainWindowTest, Layout) {
    Main& w = Open();
    EXPECT_EQ(w.windowTitle(), "File Tarnwick");
    EXPECT_EQ(w.size(), QSize(321, 178));
    EXPECT_EQ(w.minimumSize(), w.maximumSize());
    EXPECT_FALSE(w.windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_TRUE(w.windowFlags() & Qt::WindowMinimizeButtonHint);
    EXPECT_EQ(F().Command5->toolTip(), "Сохранить параметры");
    EXPECT_EQ(F().Command6->toolTip(), "О программе");
    EXPECT_EQ(F().Command3->toolTip(), "");
    for (const char* name : {"Text1", "Text2", "Text3", "Text4", "Text5", "Command1", "Command2", "Command3",
                             "Command4", "Command5", "Command6", "Check1", "stat", "Label1", "Label5", "Frame1"})
        EXPECT_NE(w.findChild<QWidget*>(name), nullptr) << name;

    const QFontMetrics metrics(w.font());
    const auto fits = [&](QWidget* widget, const QString& caption, int reserved) {
        const int need = metrics.horizontalAdvance(caption) + reserved;
        EXPECT_LE(need, widget->width()) << widget->objectName().toStdString() << ": " << caption.toStdString();
        EXPECT_LE(metrics.height(), widget->height() + 2) << widget->objectName().toStdString();
        EXPECT_LE(widget->geometry().right(), F().Frame1->width()) << widget->objectName().toStdString();
    };
    for (QLabel* label : {F().Label1, F().Label2, F().Label3, F().Label5}) fits(label, label->text(), 0);
    fits(F().Label4, "(папка)", 0);
    fits(F().Label4, "(файл)", 0);
    fits(F().stat, " Найдено файлов для обработки - 32767 из 32767", 4);
    const int indicator = F().Check1->style()->pixelMetric(QStyle::PM_IndicatorWidth, nullptr, F().Check1);
    fits(F().Check1, F().Check1->text(), indicator + 4);
    fits(F().Command1, "Обработать папку", 8);
    fits(F().Command2, "Выход", 8);
    // Labels sit left of their fields.
    EXPECT_LE(F().Label1->geometry().right(), F().Text1->x());
    EXPECT_LE(F().Label2->geometry().right(), F().Text2->x());
    EXPECT_LE(F().Label5->geometry().right(), F().Text4->x());
}

// Escape leaves the window open; the exit button closes it.
TEST_F(MainWindowTest, EscapeAndExit) {
    Main& w = Open();
    QTest::keyClick(&w, Qt::Key_Escape);
    EXPECT_TRUE(w.isVisible());
    QTest::mouseClick(F().Command2, Qt::LeftButton);
    EXPECT_FALSE(w.isVisible());
}

// A folder of `count` files holding "old text" for a run to be stopped in.
void MakeSite(const fs::path& dir, int count) {
    fs::create_directory(dir / "site");
    for (int i = 0; i < count; ++i)
        tarnwick::test::WriteBytes(dir / "site" / (std::to_string(1000 + i) + ".htm"), "old text");
}

// Calls `act` once, at the first status text of `window` that starts with `prefix`.
QMetaObject::Connection OnceAt(Main& window, const QString& prefix, std::function<void()> act) {
    auto done = std::make_shared<bool>(false);
    return QObject::connect(&window, &Main::statusChanged, [done, prefix, act = std::move(act)](const QString& status) {
        if (*done || !status.startsWith(prefix)) return;
        *done = true;
        act();
    });
}

// How many files of the folder hold `content`, and how many entries it has.
std::pair<std::size_t, std::size_t> Holding(const fs::path& folder, const std::string& content) {
    std::size_t holding = 0, entries = 0;
    for (const auto& entry : fs::directory_iterator(folder)) {
        ++entries;
        holding += ReadBytes(entry.path()) == content;
    }
    return {holding, entries};
}

// Escape during a folder run stops it after the files in progress: each file
// corrected or untouched, nothing left behind, the status says how many, and
// the next press goes on with the rest. Escape during a scan chooses nothing.
TEST_F(MainWindowTest, EscapeStopsARunAndAScan) {
    Options("old", "new");
    MakeSite(Dir(), 600);
    Main& w = Open({Q(Dir() / "site")});
    WaitForClassification();
    ASSERT_EQ(w.QueueCount(), 600u);
    bool asked = false;  // Escape was pressed
    const auto pressAt = [&](const QString& prefix) {
        asked = false;
        Main* window = window_.get();  // the window open now
        return OnceAt(*window, prefix, [&asked, window] {
            asked = true;
            QTest::keyClick(window, Qt::Key_Escape);
        });
    };
    auto pressing = pressAt(QStringLiteral("Обработка файла"));
    QTest::mouseClick(F().Command1, Qt::LeftButton);
    QObject::disconnect(pressing);
    const auto [corrected, entries] = Holding(Dir() / "site", "new text");
    EXPECT_GT(corrected, 0u);
    EXPECT_LT(corrected, 600u);
    EXPECT_EQ(entries, 600u);  // no temporary file, no backup
    EXPECT_EQ(Holding(Dir() / "site", "old text").first, 600u - corrected);
    EXPECT_EQ(Status(), QStringLiteral(" Остановлено. Обработано %1 из 600 файлов.").arg(corrected));
    EXPECT_EQ(w.QueueCount(), 600u - corrected);
    // The status line holds the longest of these texts whole.
    for (const QString& longest : {QStringLiteral(" Остановлено. Обработано 99999 из 99999 файлов."),
                                   QStringLiteral(" Поиск остановлен, файлы не выбраны")})
        EXPECT_LE(F().stat->fontMetrics().horizontalAdvance(longest), F().stat->contentsRect().width())
            << longest.toStdString();
    QTest::mouseClick(F().Command1, Qt::LeftButton);  // goes on with the rest
    EXPECT_EQ(Status(), QStringLiteral(" Готово. Обработано %1 файлов.").arg(600 - corrected));
    EXPECT_EQ(Holding(Dir() / "site", "new text").first, 600u);

    Options("new", "old");
    Open();
    pressing = pressAt(QStringLiteral(" Чтение файла"));
    ui_.answer = Q(Dir() / "site");
    QTest::mouseClick(F().Command4, Qt::LeftButton);
    QObject::disconnect(pressing);
    EXPECT_TRUE(asked);
    EXPECT_EQ(Status(), QStringLiteral(" Поиск остановлен, файлы не выбраны"));
    EXPECT_EQ(window_->QueueCount(), 0u);
    EXPECT_FALSE(F().Command1->isEnabled());
    EXPECT_TRUE(window_->isVisible());
}

// Closing the window during a run stops it the same way, then the window closes.
TEST_F(MainWindowTest, ClosingDuringARunStopsItFirst) {
    Options("old", "new");
    MakeSite(Dir(), 600);
    Main& w = Open({Q(Dir() / "site")});
    WaitForClassification();
    OnceAt(w, QStringLiteral("Обработка файла"), [&] {
        w.close();
        EXPECT_TRUE(w.isVisible());  // not before the run has stopped
    });
    QTest::mouseClick(F().Command1, Qt::LeftButton);
    EXPECT_FALSE(w.isVisible());
    const auto [corrected, entries] = Holding(Dir() / "site", "new text");
    EXPECT_GT(corrected, 0u);
    EXPECT_LT(corrected, 600u);
    EXPECT_EQ(entries, 600u);
    EXPECT_EQ(Holding(Dir() / "site", "old text").first, 600u - corrected);
}

// During a run, keys other than Escape and clicks do nothing: the exit button
// does not end it, a key does not reach the fields.
TEST_F(MainWindowTest, InputWaitsDuringARun) {
    Options("old", "new");
    MakeSite(Dir(), 100);
    Main& w = Open({Q(Dir() / "site")});
    WaitForClassification();
    bool pressed = false;
    OnceAt(w, QStringLiteral("Обработка файла"), [&] {
        pressed = true;
        QTest::mouseClick(F().Command2, Qt::LeftButton);
        QTest::keyClick(F().Text1, Qt::Key_X);
    });
    QTest::mouseClick(F().Command1, Qt::LeftButton);
    EXPECT_TRUE(pressed);
    EXPECT_TRUE(w.isVisible());
    EXPECT_EQ(F().Text1->text(), QStringLiteral("old"));
    EXPECT_EQ(Status(), QStringLiteral(" Готово. Обработано 100 файлов."));
}

// A file or folder dropped on the window is the current path, classified at
// once; several items, or one that is no local path, change nothing.
TEST_F(MainWindowTest, DropAFileOrFolder) {
    Options("old", "new");
    fs::create_directory(Dir() / "site");
    Make("site/a.htm", "old");
    const auto file = Make("b.htm", "old");
    Main& w = Open();
    const auto drop = [&](const QList<QUrl>& urls) { return Drop(urls); };
    const auto url = [&](const fs::path& p) { return QUrl::fromLocalFile(QDir::fromNativeSeparators(Q(p))); };
    EXPECT_TRUE(drop({url(Dir() / "site")}));
    EXPECT_EQ(w.CurrentPath(), Q(Dir() / "site"));
    EXPECT_EQ(F().Text3->text(), Q(Dir() / "site"));
    EXPECT_EQ(Status(), " Найдено файлов для обработки - 1 из 1");
    EXPECT_TRUE(drop({url(file)}));
    EXPECT_EQ(w.CurrentPath(), Q(file));
    EXPECT_EQ(Status(), " В файле присутствует строка поиска");
    EXPECT_FALSE(drop({url(file), url(Dir() / "site")}));
    EXPECT_FALSE(drop({QUrl(QStringLiteral("https://example.org/a.htm"))}));
    EXPECT_FALSE(drop({url(Dir() / "gone.htm")}));
    EXPECT_EQ(w.CurrentPath(), Q(file));
}

// The search field's context menu makes its text a regular expression: the
// verdict follows at once, `$1` takes a group, a wrong pattern is said in the
// status line before any file is read, and the choice is saved as Regex=1.
TEST_F(MainWindowTest, RegularExpressionFromTheSearchFieldsMenu) {
    Options("(\\w+)@old\\.example", "$1@new.example");
    const auto page = Make("page.htm", "mail me@old.example\r\n");
    Open({Q(page)});
    WaitForClassification();
    EXPECT_EQ(Status(), " Неизвестный файл, не может быть обработан!");
    ui_.fieldMenuAnswer = 0;
    emit F().Text1->customContextMenuRequested(QPoint(5, 5));
    EXPECT_EQ(ui_.fieldMenus, QStringList{"Регулярное выражение|Без учёта регистра|Только слова целиком|"
                                          "Сохранять регистр при замене"});
    EXPECT_TRUE(window_->Regex());
    EXPECT_EQ(Status(), " В файле присутствует строка поиска");
    QTest::mouseClick(F().Command1, Qt::LeftButton);
    EXPECT_EQ(ReadBytes(page), "mail me@new.example\r\n");
    QTest::mouseClick(F().Command5, Qt::LeftButton);
    EXPECT_NE(ReadBytes(Dir() / "options.ini").find("Regex=1"), std::string::npos);
    F().Text1->setText("(me");
    Make("page.htm", "mail me@old.example\r\n");
    ui_.answer = Q(page);
    QTest::mouseClick(F().Command3, Qt::LeftButton);  // the file chooser: the same file
    EXPECT_TRUE(ui_.boxes.empty());
    EXPECT_EQ(Status(), " Ошибка в регулярном выражении (символ 4): нет закрывающей скобки «)»");
    EXPECT_FALSE(F().Command1->isEnabled());
    // Chosen again, the item is shown checked and turns patterns off.
    F().Text1->setText("me@old");
    emit F().Text1->customContextMenuRequested(QPoint(5, 5));
    EXPECT_EQ(ui_.fieldMenus.back(),
              "Регулярное выражение+|Без учёта регистра|Только слова целиком|Сохранять регистр при замене");
    EXPECT_FALSE(window_->Regex());
    EXPECT_EQ(Status(), " В файле присутствует строка поиска");
}

// «Без учёта регистра» and «Только слова целиком», kept as IgnoreCase=1 and
// WholeWord=1: a file in windows-1251 is corrected in every case, whole words only.
TEST_F(MainWindowTest, AnyCaseAndWholeWordsFromTheSearchFieldsMenu) {
    Options("москва", "Петербург", "LegacyCodePage=CP1251\nIgnoreCase=1\n");
    const auto page =
        Make("page.htm", "\xCC\xCE\xD1\xCA\xC2\xC0 \xCC\xEE\xF1\xEA\xE2\xE0\xE1\xE0\xE4");  // "МОСКВА Москвабад"
    Open({Q(page)});
    WaitForClassification();
    EXPECT_TRUE(window_->IgnoreCase());
    ui_.fieldMenuAnswer = 2;
    emit F().Text1->customContextMenuRequested(QPoint(5, 5));
    EXPECT_EQ(ui_.fieldMenus, QStringList{"Регулярное выражение|Без учёта регистра+|Только слова целиком|"
                                          "Сохранять регистр при замене"});
    EXPECT_TRUE(window_->WholeWord());
    EXPECT_EQ(Status(), " В файле присутствует строка поиска");
    QTest::mouseClick(F().Command1, Qt::LeftButton);
    EXPECT_EQ(ReadBytes(page), "\xCF\xE5\xF2\xE5\xF0\xE1\xF3\xF0\xE3 \xCC\xEE\xF1\xEA\xE2\xE0\xE1\xE0\xE4");
    QTest::mouseClick(F().Command5, Qt::LeftButton);
    EXPECT_NE(ReadBytes(Dir() / "options.ini").find(tarnwick::test::Eol("IgnoreCase=1\nWholeWord=1\n")),
              std::string::npos);
}

// «Сохранять регистр при замене», kept as PreserveCase=1: each occurrence
// keeps its case shape; with «Регулярное выражение» the status line says it
// does not apply and nothing can be started.
TEST_F(MainWindowTest, PreserveCaseFromTheSearchFieldsMenu) {
    Options("москва", "петербург", "LegacyCodePage=CP1251\n");
    const auto page = Make("page.htm", "\xCC\xCE\xD1\xCA\xC2\xC0 \xCC\xEE\xF1\xEA\xE2\xE0");  // "МОСКВА Москва"
    Open({Q(page)});
    WaitForClassification();
    ui_.fieldMenuAnswer = 3;
    emit F().Text1->customContextMenuRequested(QPoint(5, 5));
    EXPECT_TRUE(window_->PreserveCase());
    WaitForClassification();
    EXPECT_EQ(Status(), " В файле присутствует строка поиска");
    ui_.fieldMenuAnswer = 0;
    emit F().Text1->customContextMenuRequested(QPoint(5, 5));
    WaitForClassification();
    EXPECT_EQ(Status(), " Сохранение регистра не действует для регулярного выражения");
    EXPECT_FALSE(F().Command1->isEnabled());
    emit F().Text1->customContextMenuRequested(QPoint(5, 5));
    WaitForClassification();
    QTest::mouseClick(F().Command1, Qt::LeftButton);
    EXPECT_EQ(ReadBytes(page), "\xCF\xC5\xD2\xC5\xD0\xC1\xD3\xD0\xC3 \xCF\xE5\xF2\xE5\xF0\xE1\xF3\xF0\xE3");
    QTest::mouseClick(F().Command5, Qt::LeftButton);
    EXPECT_NE(ReadBytes(Dir() / "options.ini").find("PreserveCase=1"), std::string::npos);
}

// «Просмотреть изменения…» from the process button's menu (and F4): the
// files to correct with their counts; a file unchecked and one occurrence
// left are not written, the rest is, with the run's status line; Отмена
// changes nothing.
TEST_F(MainWindowTest, ReviewBeforeWriting) {
    Options("foo", "bar");
    fs::create_directories(Dir() / "site");
    const auto a = Make("site/a.htm", "foo 1 foo 2\nfoo 3"), b = Make("site/b.htm", "foo"),
               c = Make("site/c.htm", "x foo");
    Make("site/d.htm", "nothing");
    Open();
    ui_.answer = Q(Dir() / "site");
    QTest::mouseClick(F().Command4, Qt::LeftButton);
    ASSERT_EQ(window_->QueueCount(), 3u);
    // Отмена: nothing written.
    ui_.reviewAnswer = [](std::vector<ReviewedFile>&, ReviewSource&) { return false; };
    QTest::keyClick(window_.get(), Qt::Key_F4);
    EXPECT_EQ(ui_.reviews, 1);
    EXPECT_EQ(ReadBytes(a) + ReadBytes(b) + ReadBytes(c), "foo 1 foo 2\nfoo 3foox foo");
    std::vector<std::uint64_t> counts;
    std::vector<ShownChange> shown;
    ui_.reviewAnswer = [&](std::vector<ReviewedFile>& files, ReviewSource& source) {
        for (const ReviewedFile& f : files) counts.push_back(f.occurrences);
        OccurrenceChoice choice;
        shown = source.show(files[0].path, choice);
        choice.taken[1] = false;  // "foo 2" stays
        files[0].choice = choice;
        files[1].checked = false;  // b.htm stays
        return true;
    };
    ui_.menuAnswer = 0;
    emit F().Command1->customContextMenuRequested(QPoint(5, 5));
    EXPECT_EQ(ui_.menus.back(), "Просмотреть изменения…");
    EXPECT_EQ(counts, (std::vector<std::uint64_t>{3, 1, 1}));
    ASSERT_EQ(shown.size(), 3u);
    EXPECT_EQ(shown[2].line, 2u);
    EXPECT_EQ(QString::fromStdU16String(shown[1].after), "foo 1 bar 2");
    EXPECT_EQ(ReadBytes(a), "bar 1 foo 2\nbar 3");
    EXPECT_EQ(ReadBytes(b), "foo");
    EXPECT_EQ(ReadBytes(c), "x bar");
    EXPECT_EQ(Status(), " Готово. Обработано 2 файлов.");
    EXPECT_TRUE(ui_.boxes.empty());
}

// The review window itself, offscreen: the list filled by the scan, a file's
// occurrences when it is selected, Space on an occurrence leaves it (its
// file then partly checked), unchecking a file leaves every occurrence, the
// accessible names, Escape as Отмена, «Обработать отмеченные» accepting.
TEST_F(MainWindowTest, ReviewWindow) {
    const auto a = Make("a.txt", "foo foo"), b = Make("b.txt", "one\nfoo");
    ReviewSource source;
    source.scan = [&](const std::function<bool(const std::filesystem::path&, std::uint64_t)>& found) {
        found(a, 2) && found(b, 1);
    };
    source.show = [&](const std::filesystem::path& path, OccurrenceChoice& shown) {
        const bool first = path == a;
        shown.kind = OccurrenceChoice::Kind::Chosen;
        shown.taken.assign(first ? 2 : 1, true);
        shown.length = first ? 7 : 7;
        shown.hash = first ? 1 : 2;
        std::vector<ShownChange> changes;
        for (std::size_t i = 0; i < shown.taken.size(); ++i)
            changes.push_back({first ? 1u : 2u, first ? u"foo foo" : u"foo", first ? u"bar foo" : u"bar", 4 * i, 3, 3});
        return changes;
    };
    for (const bool apply : {false, true}) {
        ReviewWindow review(source);
        review.show();
        review.Scan();
        ASSERT_EQ(review.Files().size(), 2u);
        EXPECT_EQ(review.windowTitle(), "Просмотр изменений");
        auto* files = review.findChild<QTreeWidget*>("Files");
        auto* changes = review.findChild<QTreeWidget*>("Changes");
        ASSERT_TRUE(files && changes);
        EXPECT_EQ(files->accessibleName(), "Файлы");
        EXPECT_EQ(review.findChild<QPushButton*>("Apply")->accessibleName(), "Обработать отмеченные");
        EXPECT_EQ(files->topLevelItem(0)->text(1), "2");
        ASSERT_EQ(changes->topLevelItemCount(), 2);  // the first file's, selected at once
        changes->setFocus();
        changes->setCurrentItem(changes->topLevelItem(1));
        QTest::keyClick(changes, Qt::Key_Space);
        EXPECT_EQ(changes->topLevelItem(1)->checkState(0), Qt::Unchecked);
        EXPECT_EQ(files->topLevelItem(0)->checkState(0), Qt::PartiallyChecked);
        files->topLevelItem(1)->setCheckState(0, Qt::Unchecked);
        if (!apply) {
            QTest::keyClick(&review, Qt::Key_Escape);
            EXPECT_EQ(review.result(), QDialog::Rejected);
            continue;
        }
        QTest::mouseClick(review.findChild<QPushButton*>("Apply"), Qt::LeftButton);
        EXPECT_EQ(review.result(), QDialog::Accepted);
        const OccurrenceChoice first = review.Files()[0].Choice(), second = review.Files()[1].Choice();
        EXPECT_EQ(first.kind, OccurrenceChoice::Kind::Chosen);
        EXPECT_EQ(first.taken, (std::vector<bool>{true, false}));
        EXPECT_EQ(second.kind, OccurrenceChoice::Kind::None);
    }
}

// The folder button's context menu chooses a folder with its subfolders: the
// scan, the counts and the run cover the whole tree, hidden folders and
// backup copies left out; the plain button goes back to one folder.
TEST_F(MainWindowTest, FolderWithSubfoldersFromTheContextMenu) {
    Options("abc", "xyz", "BackupExt=bak\n");
    for (const char* folder : {"site/sub/deep", "site/.git", "site/empty"}) fs::create_directories(Dir() / folder);
    const auto top = Make("site/a.htm", "abc");
    const auto deep = Make("site/sub/deep/b.htm", "abc");
    Make("site/sub/deep/b.htm.bak", "abc");
    Make("site/sub/c.htm", "nothing");
    const auto hidden = Make("site/.git/d.htm", "abc");
    tarnwick::test::HideFolder(Dir() / "site/.git");
    Open();
    ui_.answer = Q(Dir() / "site");
    ui_.menuAnswer = 0;
    emit F().Command4->customContextMenuRequested(QPoint(5, 5));
    EXPECT_EQ(ui_.menus, QStringList{"Выбрать папку с подпапками…|Выбрать папку с подпапками и скрытыми файлами…"});
    EXPECT_TRUE(ui_.boxes.empty());
    EXPECT_EQ(Status(), " Найдено файлов для обработки - 2 из 4");
    EXPECT_EQ(window_->WorkQueue(), (std::vector<fs::path>{top, deep}));
    statuses_.clear();
    QTest::mouseClick(F().Command1, Qt::LeftButton);
    EXPECT_EQ(statuses_.back(), " Готово. Обработано 2 файлов.");
    EXPECT_EQ(ReadBytes(deep), "xyz");
    EXPECT_EQ(ReadBytes(hidden), "abc");
    EXPECT_EQ(ReadBytes(Dir() / "site/sub/deep/b.htm.bak"), "abc");
    // A menu closed without a choice does nothing; the button itself takes the folder alone.
    ui_.menuAnswer = -1;
    emit F().Command4->customContextMenuRequested(QPoint(5, 5));
    EXPECT_EQ(ui_.pickerCalls.size(), 1);
    Make("site/a.htm", "abc");
    QTest::mouseClick(F().Command4, Qt::LeftButton);
    EXPECT_EQ(Status(), " Найдено файлов для обработки - 1 из 1");
    // With hidden files too: .htaccess is taken, the folder of version control never.
    const auto access = Make("site/.htaccess", "abc");
    tarnwick::test::HideFolder(access);
    ui_.menuAnswer = 1;
    emit F().Command4->customContextMenuRequested(QPoint(5, 5));
    EXPECT_EQ(window_->WorkQueue(), (std::vector<fs::path>{access, top}));
    QTest::mouseClick(F().Command1, Qt::LeftButton);
    EXPECT_EQ(ReadBytes(access), "xyz");
    EXPECT_EQ(ReadBytes(hidden), "abc");
}

#ifndef _WIN32
// Unreadable files of a chosen folder are named in one box, not one box each
// and not again by the scan that follows the choice.
TEST_F(MainWindowTest, ScanFailuresInOneBox) {
    Options("abc", "xyz");
    fs::create_directory(Dir() / "site");
    Make("site/good.htm", "abc");
    for (const char* name : {"bad1.htm", "bad2.htm", "bad3.htm"})
        fs::create_symlink("/proc/self/mem", Dir() / "site" / name);  // a regular file that fails to read
    Open();
    ui_.answer = Q(Dir() / "site");
    QTest::mouseClick(F().Command4, Qt::LeftButton);
    ASSERT_EQ(ui_.boxes.size(), 1u);
    EXPECT_TRUE(ui_.boxes[0].text.startsWith("Ошибка открытия файлов: 3")) << ui_.boxes[0].text.toStdString();
    EXPECT_TRUE(ui_.boxes[0].text.contains("bad3.htm"));
    EXPECT_EQ(Status(), " Найдено файлов для обработки - 1 из 4");
}

// A command-line path with bytes that are no text in the locale still names its
// file; stored options that are no text leave their field empty and are named once.
TEST_F(MainWindowTest, RawPathAndInvalidOptions) {
    Options("abc", "\xff\xfe");
    const auto file = Make("f\xff.txt", "abc");
    Open({FromPath(file)});
    WaitForClassification();
    EXPECT_EQ(Status(), " В файле присутствует строка поиска");
    EXPECT_EQ(F().Text2->text(), "");
    ASSERT_EQ(ui_.boxes.size(), 1u);
    EXPECT_TRUE(ui_.boxes[0].text.contains("ReplaceString")) << ui_.boxes[0].text.toStdString();
}

#endif

}  // namespace
}  // namespace tarnwick::window
