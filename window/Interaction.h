#pragma once

// The modal interactions of the window, behind one small interface: the real
// one shows Qt dialogs, tests pass one that records and answers at once.

#include <QString>

class QWidget;

namespace tarnwick::window {

enum class BoxIcon { Critical, Information, Exclamation };

class Interaction {
public:
    virtual ~Interaction() = default;
    // A modal message box with one OK button; returns once it is closed.
    virtual void MessageBox(QWidget* parent, const QString& text, const QString& title, BoxIcon icon) = 0;
};

// Real dialogs.
class DialogInteraction : public Interaction {
public:
    void MessageBox(QWidget* parent, const QString& text, const QString& title, BoxIcon icon) override;
};

}  // namespace tarnwick::window
