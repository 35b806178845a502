#include "forms/MainForm.h"

#include "forms/Resources.h"

#include <QCheckBox>
#include <QDialog>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>

#include <algorithm>

namespace tarnwick::forms {

namespace {

QPushButton* PictureButton(QWidget* parent, const char* name, const QIcon& icon, int left, int top, int width,
                           int height) {
    auto* button = Place(new QPushButton(parent), name, left, top, width, height);
    button->setIcon(icon);
    button->setIconSize(QSize(16, 16));
    return button;
}

}  // namespace

QString MainForm::FileCaption() { return QStringLiteral("(файл)"); }
QString MainForm::FolderCaption() { return QStringLiteral("(папка)"); }

void MainForm::SetupPathRow(QWidget* frame) {
    Text3 = Place(new QLineEdit(frame), "Text3", 600, 960, 2595, 285);
    Text3->setReadOnly(true);  // selectable and copyable, never edited
    QPalette face = Text3->palette();
    face.setColor(QPalette::Base, face.color(QPalette::Button));
    Text3->setPalette(face);

    Command3 = PictureButton(frame, "Command3", DocumentIcon(), 3240, 960, 375, 315);
    Command4 = PictureButton(frame, "Command4", OpenFolderIcon(), 3660, 960, 375, 315);
    Command3->setFocusPolicy(Qt::ClickFocus);
    Command4->setFocusPolicy(Qt::ClickFocus);

    Label4 = Label(frame, "Label4", QString(), 4080, 1020, 540, 195, false);
    Label4->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    // Where the window font is wider than the design font (Windows' Tahoma),
    // the label grows about its centre to its wider caption, up to the folder button.
    const int need = std::max(Label4->fontMetrics().horizontalAdvance(FileCaption()),
                              Label4->fontMetrics().horizontalAdvance(FolderCaption()));
    if (need > Label4->width()) {
        QRect area = Label4->geometry();
        area.setLeft(std::max(area.center().x() - need / 2, Command4->geometry().right() + 1));
        area.setWidth(need);
        Label4->setGeometry(area);
    }
}

void MainForm::setupUi(QDialog* window) {
    window->setObjectName(QStringLiteral("Main"));
    window->setWindowTitle(QStringLiteral("File Tarnwick"));
    window->setWindowIcon(ProgramIcon());
    window->setFont(WindowFont());
    // Fixed single border: system menu, minimize and close; no maximize, no resize.
    window->setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                           Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    window->setFixedSize(Px(4815), Px(2670));
    window->setSizeGripEnabled(false);

    Frame1 = Place(new QFrame(window), "Frame1", 0, 0, 4815, 2655);
    Frame1->setFrameStyle(QFrame::Box | QFrame::Sunken);
    QWidget* f = Frame1;

    Label1 = Label(f, "Label1", QStringLiteral("Строка поиска:"), 120, 300, 1170, 195, true);
    Text1 = Place(new QLineEdit(f), "Text1", 1380, 240, 3255, 285);
    Label2 = Label(f, "Label2", QStringLiteral("Строка замены:"), 120, 660, 1230, 195, true);
    Text2 = Place(new QLineEdit(f), "Text2", 1380, 600, 3255, 285);
    Label3 = Label(f, "Label3", QStringLiteral("Путь:"), 120, 1020, 405, 195, true);

    SetupPathRow(f);

    Check1 = Place(new QCheckBox(QStringLiteral("Создавать резервные копии"), f), "Check1", 120, 1440, 2535, 195);
    // The row is 13 pixels high: the box must fit it whole.
    Check1->setStyleSheet(QStringLiteral("QCheckBox::indicator { width: 11px; height: 11px; }"));
    Text5 = Place(new QLineEdit(QStringLiteral("bak"), f), "Text5", 2700, 1380, 435, 285);
    Text5->setEnabled(false);
    Label5 = Label(f, "Label5", QStringLiteral("Маска:"), 3480, 1440, 540, 195, true);
    Text4 = Place(new QLineEdit(QStringLiteral("*.*"), f), "Text4", 4080, 1380, 555, 285);

    Command1 = Place(new QPushButton(QStringLiteral("Обработать файл"), f), "Command1", 120, 1800, 1875, 435);
    Command1->setDefault(true);
    Command6 = PictureButton(f, "Command6", AboutIcon(), 2040, 1860, 315, 315);
    Command6->setToolTip(QStringLiteral("О программе"));
    Command5 = PictureButton(f, "Command5", DisketteIcon(), 2460, 1860, 315, 315);
    Command5->setToolTip(QStringLiteral("Сохранить параметры"));
    Command2 = Place(new QPushButton(QStringLiteral("Выход"), f), "Command2", 2820, 1800, 1875, 435);

    stat = Label(f, "stat", QStringLiteral(" Ready"), 60, 2340, 4680, 255, false);
    stat->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    stat->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);

    Timer1 = new QTimer(window);
    Timer1->setObjectName(QStringLiteral("Timer1"));
    Timer1->setInterval(50);
    Timer1->setSingleShot(true);

    // Tab order: Command5, Command2, Command1, Check1, Text4, Text3, Text2, Text1, Command6, Text5.
    QWidget* order[] = {Command5, Command2, Command1, Check1, Text4, Text3, Text2, Text1, Command6, Text5};
    for (std::size_t i = 1; i < std::size(order); ++i) QWidget::setTabOrder(order[i - 1], order[i]);
    Command5->setFocus();
}

}  // namespace tarnwick::forms
