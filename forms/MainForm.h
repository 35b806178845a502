#pragma once

// The layout of the main window: every control with its name, caption,
// position, size, tab order and state when first shown. No logic.

class QCheckBox;
class QDialog;
class QFrame;
class QLabel;
class QLineEdit;
class QPushButton;
class QTimer;
class QWidget;

#include "forms/Layout.h"

namespace tarnwick::forms {

struct MainForm {
    // The two captions of Label4: what the chosen path is.
    static QString FileCaption();
    static QString FolderCaption();

    QFrame* Frame1 = nullptr;
    QLabel* Label1 = nullptr;
    QLabel* Label2 = nullptr;
    QLabel* Label3 = nullptr;
    QLabel* Label4 = nullptr;
    QLabel* Label5 = nullptr;
    QLineEdit* Text1 = nullptr;
    QLineEdit* Text2 = nullptr;
    QLineEdit* Text3 = nullptr;
    QLineEdit* Text4 = nullptr;
    QLineEdit* Text5 = nullptr;
    QCheckBox* Check1 = nullptr;
    QPushButton* Command1 = nullptr;
    QPushButton* Command2 = nullptr;
    QPushButton* Command3 = nullptr;
    QPushButton* Command4 = nullptr;
    QPushButton* Command5 = nullptr;
    QPushButton* Command6 = nullptr;
    QLabel* stat = nullptr;
    QTimer* Timer1 = nullptr;

    // Builds the controls on `window` and fixes its size, title, icon and font.
    void setupUi(QDialog* window);

private:
    // The path row: the path, the file and folder buttons and the caption between them.
    void SetupPathRow(QWidget* frame);
};

}  // namespace tarnwick::forms
