#pragma once

#include "forms/AboutForm.h"

#include <QDialog>

namespace tarnwick::window {

// The About window: the program's name, version, author and contacts. OK or
// the close button closes it; Escape does not.
class About : public QDialog {
    Q_OBJECT

public:
    explicit About(QWidget* parent = nullptr);
    const forms::AboutForm& form() const { return form_; }

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    forms::AboutForm form_;
};

}  // namespace tarnwick::window
