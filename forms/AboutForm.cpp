#include "forms/AboutForm.h"

#include "forms/Layout.h"
#include "forms/Resources.h"

#include <QDialog>
#include <QFrame>
#include <QLabel>
#include <QPushButton>

namespace tarnwick::forms {

void AboutForm::setupUi(QDialog* window) {
    window->setObjectName(QStringLiteral("About"));
    window->setWindowTitle(QStringLiteral("О программе"));
    window->setWindowIcon(ProgramIcon());
    window->setFont(WindowFont());
    window->setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                           Qt::WindowCloseButtonHint);
    window->setFixedSize(Px(3390), Px(2655));

    Frame1 = Place(new QFrame(window), "Frame1", 60, 60, 3255, 915);
    Frame1->setFrameStyle(QFrame::Box | QFrame::Sunken);
    Image1 = Place(new QLabel(Frame1), "Image1", 120, 240, 480, 480);
    Image1->setPixmap(ProgramIcon().pixmap(32, 32));
    Label1 = Label(Frame1, "Label1", QStringLiteral("File Tarnwick"), 780, 300, 2310, 330, false);
    Label1->setFont(AboutTitleFont());
    Label1->adjustSize();
    Label2 = Label(Frame1, "Label2", QStringLiteral("Версия 1.1"), 1440, 600, 855, 195, false);

    Frame2 = Place(new QFrame(window), "Frame2", 60, 1020, 3255, 1095);
    Frame2->setFrameStyle(QFrame::Box | QFrame::Sunken);
    Label3 = Label(Frame2, "Label3", QStringLiteral("Автор: команда File Tarnwick"), 120, 240, 2970, 195, true);
    Label4 = Label(Frame2, "Label4", QStringLiteral("Сайт программы: www.example.org"), 120, 480, 2940, 195, true);
    Label5 = Label(Frame2, "Label5", QStringLiteral("E-mail: tarnwick@example.org"), 600, 720, 2115, 195, true);

    Command1 = Place(new QPushButton(QStringLiteral("OK"), window), "Command1", 1680, 2220, 1635, 375);
    // Not the default button, but Enter and Space press it while it has the focus.
    Command1->setAutoDefault(true);
    Command1->setDefault(false);
    Command1->setFocus();
}

}  // namespace tarnwick::forms
