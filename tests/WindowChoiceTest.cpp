// What the window chooses and says as its users meet it: the mask over a
// folder, a verdict that follows the strings typed, reasons in Russian, the
// status line whole, the hint about a guessed code page, bounded boxes.

#include "MainWindowFixture.h"

#include <QApplication>
#include <QDir>
#include <QDropEvent>
#include <QFontMetrics>
#include <QMimeData>
#include <QUrl>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QTest>

namespace tarnwick::window {
namespace {

using namespace tarnwick::window::test;
namespace fs = std::filesystem;

class WindowChoiceTest : public MainWindowTest {
protected:
    // Types `text` into `field` as a person does, then waits out the pause after typing.
    void Type(QLineEdit* field, const QString& text) {
        field->selectAll();
        QTest::keyClicks(field, text);
        QTRY_VERIFY_WITH_TIMEOUT(statuses_.size() > seen_, 3000);
        QTest::qWait(50);
        seen_ = statuses_.size();
    }
    qsizetype seen_ = 0;
};

// With a mask, a folder's scan and run take only the files whose names match
// it (ASCII letters in either case); "*.*" takes every file again.
TEST_F(WindowChoiceTest, MaskChoosesAFoldersFiles) {
    Options("abc", "xyz", "Mask=*.htm;*.html\n");
    fs::create_directories(Dir() / "site");
    for (const char* name : {"a.htm", "b.HTML", "c.pdf", "d.log"}) Make(std::string("site/") + name, "abc");
    Main& w = Open({Q(Dir() / "site")});
    WaitForClassification();
    EXPECT_EQ(Status(), " Найдено файлов для обработки - 2 из 2");
    ASSERT_EQ(w.QueueCount(), 2u);
    QTest::mouseClick(F().Command1, Qt::LeftButton);
    EXPECT_EQ(ReadBytes(Dir() / "site" / "a.htm"), "xyz");
    EXPECT_EQ(ReadBytes(Dir() / "site" / "b.HTML"), "xyz");
    EXPECT_EQ(ReadBytes(Dir() / "site" / "c.pdf"), "abc");
    EXPECT_EQ(ReadBytes(Dir() / "site" / "d.log"), "abc");

    seen_ = statuses_.size();
    Type(F().Text4, "*.*");
    EXPECT_EQ(Status(), " Найдено файлов для обработки - 2 из 4");
    EXPECT_EQ(w.QueueCount(), 2u);
    EXPECT_TRUE(ui_.boxes.empty());

    // A mask that matches nothing, typed: no box, nothing chosen, nothing run.
    for (const char* name : {"c.pdf", "d.log"}) tarnwick::test::WriteBytes(Dir() / "site" / name, "abc");
    Type(F().Text4, "*.xml");
    EXPECT_TRUE(ui_.boxes.empty()) << ui_.boxes.front().text.toStdString();
    EXPECT_EQ(Status(), " Найдено файлов для обработки - 0 из 0");
    EXPECT_EQ(w.QueueCount(), 0u);
    EXPECT_FALSE(F().Command1->isEnabled());
    QTest::keyClick(F().Text4, Qt::Key_Return);
    EXPECT_EQ(ReadBytes(Dir() / "site" / "c.pdf"), "abc");

    // The button pressed at once after typing acts on the strings shown, checked first.
    Type(F().Text4, "*.log");
    ASSERT_EQ(w.QueueCount(), 1u);
    F().Text4->selectAll();
    QTest::keyClicks(F().Text4, "*.pdf");
    QTest::mouseClick(F().Command1, Qt::LeftButton);
    EXPECT_EQ(ReadBytes(Dir() / "site" / "c.pdf"), "xyz");
    EXPECT_EQ(ReadBytes(Dir() / "site" / "d.log"), "abc");
    EXPECT_EQ(statuses_.back(), " Готово. Обработано 1 файлов.");
    QTest::qWait(600);  // and no check pending overwrites the result
    EXPECT_EQ(statuses_.back(), " Готово. Обработано 1 файлов.");

    // A folder chosen where the mask takes no file says so.
    F().Text4->setText("*.xml");
    ui_.answer = Q(Dir() / "site");
    QTest::mouseClick(F().Command4, Qt::LeftButton);
    ASSERT_EQ(ui_.boxes.size(), 1u);
    EXPECT_EQ(ui_.boxes[0].text, "В заданном каталоге нет файлов по маске *.xml.") << ui_.boxes[0].text.toStdString();
}

// Typing goes on while the folder is checked again: the key reaches its
// field, the check of strings no longer shown stops, and the next one speaks
// of the strings as typed.
TEST_F(WindowChoiceTest, TypingDuringTheCheckIsKept) {
    Options("abc", "xyz");
    fs::create_directories(Dir() / "site");
    for (int i = 0; i < 3000; ++i) Make("site/f" + std::to_string(i) + ".htm", i == 7 ? "abcd" : "abc");
    Main& w = Open({Q(Dir() / "site")});
    WaitForClassification();
    ASSERT_EQ(w.QueueCount(), 3000u);
    // Keys as the system delivers them: to the window, then its focused field.
    QApplication::setActiveWindow(&w);
    ASSERT_TRUE(QTest::qWaitForWindowActive(&w));
    bool typed = false;
    auto typing = QObject::connect(&w, &Main::statusChanged, [&](const QString& status) {
        if (typed || !status.startsWith(" Чтение файла 100 ")) return;
        typed = true;
        QTest::keyClick(w.windowHandle(), Qt::Key_D);
    });
    F().Text1->setFocus();
    F().Text1->end(false);
    seen_ = statuses_.size();
    QTest::keyClick(F().Text1, Qt::Key_Backspace);  // "ab": the check after the pause is under way when "d" comes
    QTRY_VERIFY_WITH_TIMEOUT(typed, 5000);
    QObject::disconnect(typing);
    EXPECT_EQ(F().Text1->text(), "abd");
    QTRY_COMPARE_WITH_TIMEOUT(Status(), QString(" Найдено файлов для обработки - 0 из 3000"), 10000);
    EXPECT_TRUE(statuses_.contains(" Поиск остановлен, файлы не выбраны"));
    EXPECT_TRUE(ui_.boxes.empty());

    // Escape stops such a check for good: nothing chosen until the next change.
    bool escaped = false;
    auto escaping = QObject::connect(&w, &Main::statusChanged, [&](const QString& status) {
        if (escaped || !status.startsWith(" Чтение файла 100 ")) return;
        escaped = true;
        QTest::keyClick(w.windowHandle(), Qt::Key_Escape);
    });
    QTest::keyClick(w.windowHandle(), Qt::Key_Backspace);  // "ab"
    QTRY_VERIFY_WITH_TIMEOUT(escaped, 5000);
    QObject::disconnect(escaping);
    QTRY_COMPARE_WITH_TIMEOUT(Status(), QString(" Поиск остановлен, файлы не выбраны"), 5000);
    QTest::qWait(800);
    EXPECT_EQ(Status(), " Поиск остановлен, файлы не выбраны");
    EXPECT_EQ(w.QueueCount(), 0u);
    EXPECT_EQ(F().Text1->text(), "ab");
}

// The verdict follows the strings as they are typed: started with an empty
// search field (every non-empty file is then to correct), a search string
// the file does not hold makes it unknown and the button goes off.
TEST_F(WindowChoiceTest, VerdictFollowsTheStringsTyped) {
    Options("", "xyz");
    const auto file = Make("page.htm", "has abc");
    Open({Q(file)});
    WaitForClassification();
    EXPECT_EQ(Status(), " В файле присутствует строка поиска");
    EXPECT_TRUE(F().Command1->isEnabled());
    seen_ = statuses_.size();

    Type(F().Text1, "qqq");
    EXPECT_EQ(Status(), " Неизвестный файл, не может быть обработан!");
    EXPECT_FALSE(F().Command1->isEnabled());
    // One classification after the pause, not one per letter typed.
    Type(F().Text1, "abc");
    EXPECT_EQ(statuses_.mid(statuses_.size() - 1), QStringList{" В файле присутствует строка поиска"});
    EXPECT_TRUE(F().Command1->isEnabled());
    Type(F().Text2, "has abc");
    EXPECT_EQ(Status(), " В файле присутствует строка поиска");
    Type(F().Text1, "zzz");
    EXPECT_EQ(Status(), " Этот файл уже был обработан!");

    // A file gone since it was chosen is not a box while typing.
    fs::remove(file);
    Type(F().Text1, "abc");
    EXPECT_EQ(Status(), " Неизвестный файл, не может быть обработан!");
    EXPECT_TRUE(ui_.boxes.empty());
}

// The system's reasons in a box are Russian, as every other text of the window.
TEST_F(WindowChoiceTest, ReasonsInRussian) {
#ifndef _WIN32
    // (Whatever language the desktop asks of the system's catalogues first.)
    const tarnwick::test::ScopedEnvironment language("LANGUAGE", "fr:de");
#endif
    Options("abc", "xyz");
    fs::create_directories(Dir() / "site");
    Make("site/a.htm", "abc");
    // A name too long for the system: its reason, in words the user reads.
    Make("site/b.htm", "abc");
    ui_.answer = Q(Dir() / "site" / (std::string(300, 'n') + ".htm"));
    QTest::mouseClick(Open().form().Command3, Qt::LeftButton);
    ASSERT_EQ(ui_.boxes.size(), 1u);
    const QString& text = ui_.boxes[0].text;
    ASSERT_TRUE(text.endsWith(')')) << text.toStdString();
    const QString reason = text.mid(text.lastIndexOf('(') + 1).chopped(1);
    EXPECT_TRUE(reason.contains(QRegularExpression("^[А-Яа-яЁё ,./-]+$"))) << text.toStdString();
#ifndef _WIN32
    EXPECT_EQ(reason, "Слишком длинное имя файла");
#endif
}

// A text too long for the status line shows whole: a path in it is shortened
// in the middle, the rest narrowed; the whole text is the line's tool tip.
TEST_F(WindowChoiceTest, StatusLineShowsTextsWhole) {
    Options("abc", "xyz");
    const fs::path deep = Dir() / std::string(120, 'd') / std::string(120, 'e');
    fs::create_directories(deep);
    const auto file = Make((deep / "page.htm").lexically_relative(Dir()).string(), "abc");
    Open({Q(file)});
    WaitForClassification();
    QTest::mouseClick(F().Command1, Qt::LeftButton);
    const QString whole = " Файл " + Q(file) + " успешно обработан";
    EXPECT_EQ(statuses_.back(), whole);
    const QLabel& line = *F().stat;
    EXPECT_LE(line.fontMetrics().horizontalAdvance(line.text()), line.contentsRect().width());
    EXPECT_TRUE(line.text().startsWith(" Файл " + Q(Dir()).left(5))) << line.text().toStdString();
    EXPECT_TRUE(line.text().endsWith("page.htm успешно обработан")) << line.text().toStdString();
    EXPECT_EQ(line.toolTip(), whole);

    // A count is never cut: a line narrower than the text sets it narrower.
    fs::create_directories(Dir() / "site");
    Make("site/a.htm", "abc");
    Main& w = Open({Q(Dir() / "site")});
    const QString done = " Готово. Обработано 1 файлов.";
    F().stat->setFixedWidth(F().stat->fontMetrics().horizontalAdvance(done) * 7 / 10);
    WaitForClassification();
    ASSERT_EQ(w.QueueCount(), 1u);
    QTest::mouseClick(F().Command1, Qt::LeftButton);
    EXPECT_EQ(F().stat->text(), done);
    EXPECT_LE(QFontMetrics(F().stat->font()).horizontalAdvance(done), F().stat->contentsRect().width());
    EXPECT_EQ(F().stat->toolTip(), done);
}

// Where the legacy code page is only the system's guess, a scan that finds
// files not in UTF-8 holding neither string says so once.
TEST_F(WindowChoiceTest, HintWhereTheCodePageIsAGuess) {
    Options("Привет", "Здравствуй");
    fs::create_directories(Dir() / "site");
    Make("site/a.txt", "\xcf\xf0\xe8\xe2\xe5\xf2");  // "Привет" in windows-1251: found in it
    Make("site/b.txt", "\xcf\xee\xea\xe0");          // "Пока" in windows-1251
    Make("site/c.txt", "\xc4\xe0");                  // "Да"
    Make("site/d.txt", "Привет");
    ui_.answer = Q(Dir() / "site");
    Main& w = Open();
    QTest::mouseClick(F().Command4, Qt::LeftButton);
    EXPECT_EQ(w.QueueCount(), 2u);
    ASSERT_EQ(ui_.boxes.size(), 1u);
    EXPECT_TRUE(ui_.boxes[0].text.contains("не в UTF-8")) << ui_.boxes[0].text.toStdString();
    EXPECT_TRUE(ui_.boxes[0].text.contains(": 2.")) << ui_.boxes[0].text.toStdString();
    EXPECT_TRUE(ui_.boxes[0].text.contains("LegacyCodePage")) << ui_.boxes[0].text.toStdString();
    QTest::mouseClick(F().Command4, Qt::LeftButton);
    EXPECT_EQ(ui_.boxes.size(), 1u);  // once for the folder and strings
    F().Text1->setText("Пока");
    QTest::mouseClick(F().Command4, Qt::LeftButton);
    EXPECT_EQ(ui_.boxes.size(), 2u);  // other strings: told for them
    F().Text1->setText("Привет");
    QTest::mouseClick(F().Command4, Qt::LeftButton);
    EXPECT_EQ(ui_.boxes.size(), 2u);  // the first again: told before

    Options("Привет", "Здравствуй", "LegacyCodePage=CP1251\n");  // named: no guess, no hint
    Open();
    QTest::mouseClick(F().Command4, Qt::LeftButton);
    EXPECT_EQ(window_->QueueCount(), 2u);
    EXPECT_EQ(ui_.boxes.size(), 2u) << ui_.boxes.back().text.toStdString();
}

// Paths longer than 260 characters, chosen in the pickers or dropped, are
// classified and corrected as any other (on Windows too).
TEST_F(WindowChoiceTest, LongPathsThroughPickersAndADrop) {
    Options("abc", "xyz");
    const fs::path deep = Dir() / std::string(120, 'd') / std::string(120, 'e');
    fs::create_directories(deep);
    const auto file = Make((deep / "page.htm").lexically_relative(Dir()).string(), "abc");
    const auto other = Make((deep / "other.htm").lexically_relative(Dir()).string(), "abc");
    ASSERT_GT(Q(file).size(), 260);
    Main& w = Open();
    ui_.answer = Q(file);
    QTest::mouseClick(F().Command3, Qt::LeftButton);
    EXPECT_EQ(Status(), " В файле присутствует строка поиска");
    QTest::mouseClick(F().Command1, Qt::LeftButton);
    EXPECT_EQ(ReadBytes(file), "xyz");

    ui_.answer = Q(deep);
    QTest::mouseClick(F().Command4, Qt::LeftButton);
    EXPECT_EQ(w.QueueCount(), 1u);
    EXPECT_TRUE(ui_.boxes.empty()) << ui_.boxes.front().text.toStdString();

    tarnwick::test::WriteBytes(file, "abc");
    ASSERT_TRUE(Drop({QUrl::fromLocalFile(QDir::fromNativeSeparators(Q(deep)))}));
    EXPECT_EQ(w.CurrentPath(), Q(deep));
    EXPECT_EQ(w.QueueCount(), 2u);
    QTest::mouseClick(F().Command1, Qt::LeftButton);
    EXPECT_EQ(ReadBytes(file), "xyz");
    EXPECT_EQ(ReadBytes(other), "xyz");
    EXPECT_TRUE(ui_.boxes.empty()) << ui_.boxes.front().text.toStdString();
}

#ifndef _WIN32
// A box naming 20,000 files (links leading out of the folder chosen, each
// skipped) shows a screenful of them, each line of a length a screen holds,
// then the count of the rest.
TEST_F(WindowChoiceTest, BoxOfTwentyThousandNames) {
    Options("abc", "xyz");
    const fs::path site = Dir() / "site";
    fs::create_directories(site);
    Make("site/a.htm", "abc");
    const auto outside = Make("outside.htm", "abc");
    for (int i = 0; i < 20000; ++i)
        fs::create_symlink(outside, site / ((i == 0 ? std::string(250, 'a') : "p") + std::to_string(i)));
    // Names that would forge a line of the box, or turn the text after them around.
    fs::create_symlink(outside, site / "b\nforged — line");
    fs::create_symlink(outside, site / "c\u202Etxt.exe");
    ui_.answer = Q(site);
    Open();
    QTest::mouseClick(F().Command4, Qt::LeftButton);
    ASSERT_EQ(ui_.boxes.size(), 1u);
    const QStringList lines = ui_.boxes[0].text.split('\n');
    EXPECT_EQ(lines.size(), 2 + 20 + 1);
    EXPECT_EQ(lines.back(), "… и ещё 19982");
    EXPECT_TRUE(lines[3].endsWith("b␊forged — line — ссылка ведёт за пределы выбранной папки: " + Q(outside)))
        << lines[3].toStdString();
    EXPECT_TRUE(lines[4].contains("c<U+202E>txt.exe — ")) << lines[4].toStdString();
    // The long name shortened in its middle, its reason whole.
    EXPECT_TRUE(lines[2].startsWith(Q(site).left(10))) << lines[2].toStdString();
    EXPECT_TRUE(lines[2].contains("…")) << lines[2].toStdString();
    EXPECT_TRUE(lines[2].endsWith("aaa0 — ссылка ведёт за пределы выбранной папки: " + Q(outside)))
        << lines[2].toStdString();
    for (const QString& line : lines) EXPECT_LE(line.size(), 100 + 60 + Q(outside).size()) << line.toStdString();
    EXPECT_EQ(window_->QueueCount(), 1u);
}
#endif

}  // namespace
}  // namespace tarnwick::window
