#include "Interaction.h"

#include <QMessageBox>

namespace tarnwick::window {

void DialogInteraction::MessageBox(QWidget* parent, const QString& text, const QString& title, BoxIcon icon) {
    QMessageBox box(parent);
    box.setWindowTitle(title);
    box.setText(text);
    box.setTextFormat(Qt::PlainText);
    box.setIcon(icon == BoxIcon::Critical      ? QMessageBox::Critical
                : icon == BoxIcon::Information ? QMessageBox::Information
                                               : QMessageBox::Warning);
    box.setStandardButtons(QMessageBox::Ok);
    box.exec();
}

}  // namespace tarnwick::window
