#include "window/About.h"

#include <QKeyEvent>
#include <QPushButton>

namespace tarnwick::window {

About::About(QWidget* parent) : QDialog(parent) {
    form_.setupUi(this);
    connect(form_.Command1, &QPushButton::clicked, this, &QDialog::accept);
}

void About::keyPressEvent(QKeyEvent* event) {
    // The window has no cancel button: Escape does nothing.
    if (event->key() == Qt::Key_Escape) {
        event->ignore();
        return;
    }
    QDialog::keyPressEvent(event);
}

}  // namespace tarnwick::window
