#pragma once

// The modal interactions of the window, behind one small interface: the real
// one shows Qt dialogs, tests pass one that records and answers at once.

#include "window/Review.h"

#include <QString>
#include <QStringList>

#include <optional>
#include <vector>

class QLineEdit;
class QPoint;

class QWidget;

namespace tarnwick::window {

enum class BoxIcon { Critical, Information, Exclamation };

class Interaction {
public:
    virtual ~Interaction() = default;
    // A modal message box with one OK button; returns once it is closed.
    virtual void MessageBox(QWidget* parent, const QString& text, const QString& title, BoxIcon icon) = 0;
    // The file chooser: a path, or "" when cancelled. `mask` is description NUL pattern.
    virtual QString OpenFile(QWidget* parent, const QString& title, const QString& mask) = 0;
    // The folder chooser: a path, or "" when cancelled.
    virtual QString OpenFolder(QWidget* parent, const QString& title) = 0;
    // The About window, modal; returns once it is closed.
    virtual void ShowAbout() = 0;
    // A context menu of `items` at `at` (in `parent`'s coordinates): the index
    // of the item chosen, or -1 when it is closed without a choice.
    virtual int PopupMenu(QWidget* parent, const QPoint& at, const QStringList& items) = 0;
    // A modal question with the buttons Yes and No: true for Yes.
    virtual bool Question(QWidget* parent, const QString& text, const QString& title) = 0;
    // A text field's own context menu (undo, cut, copy, paste...) at `at`,
    // with checkable items of ours after them, each shown as `checked` says:
    // the index of ours chosen, or -1.
    virtual int FieldMenu(QLineEdit* field, const QPoint& at, const QStringList& items,
                          const std::vector<bool>& checked) = 0;
    // The review window over what `source` finds, modal: the files as the
    // review left them when «Обработать отмеченные» closed it, or nothing
    // when it was cancelled.
    virtual std::optional<std::vector<ReviewedFile>> Review(QWidget* parent, ReviewSource source) = 0;
};

// Real dialogs.
class DialogInteraction : public Interaction {
public:
    void MessageBox(QWidget* parent, const QString& text, const QString& title, BoxIcon icon) override;
    QString OpenFile(QWidget* parent, const QString& title, const QString& mask) override;
    QString OpenFolder(QWidget* parent, const QString& title) override;
    void ShowAbout() override;
    int PopupMenu(QWidget* parent, const QPoint& at, const QStringList& items) override;
    bool Question(QWidget* parent, const QString& text, const QString& title) override;
    int FieldMenu(QLineEdit* field, const QPoint& at, const QStringList& items,
                  const std::vector<bool>& checked) override;
    std::optional<std::vector<ReviewedFile>> Review(QWidget* parent, ReviewSource source) override;
};

}  // namespace tarnwick::window
