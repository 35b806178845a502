#pragma once

// The layout of the About window: title block, author and contact block, OK.

class QDialog;
class QFrame;
class QLabel;
class QPushButton;

namespace tarnwick::forms {

struct AboutForm {
    QFrame* Frame1 = nullptr;
    QLabel* Image1 = nullptr;
    QLabel* Label1 = nullptr;
    QLabel* Label2 = nullptr;
    QFrame* Frame2 = nullptr;
    QLabel* Label3 = nullptr;
    QLabel* Label4 = nullptr;
    QLabel* Label5 = nullptr;
    QPushButton* Command1 = nullptr;

    void setupUi(QDialog* window);
};

}  // namespace tarnwick::forms
