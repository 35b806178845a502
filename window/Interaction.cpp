#include "window/Interaction.h"

#include "window/About.h"
#include "window/Review.h"
#include "pickers/CommonDialog.h"

#include <algorithm>
#include <memory>

#include <QLineEdit>
#include <QMenu>
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

QString DialogInteraction::OpenFile(QWidget* parent, const QString& title, const QString& mask) {
    return pickers::CommonDialog().OpenFile(title, mask, parent);
}

QString DialogInteraction::OpenFolder(QWidget* parent, const QString& title) {
    return pickers::CommonDialog().OpenFolder(title, parent);
}

void DialogInteraction::ShowAbout() {
    // Built anew at every opening, so it always shows the same contents.
    About about;
    about.setWindowModality(Qt::ApplicationModal);
    about.exec();
}

std::optional<std::vector<ReviewedFile>> DialogInteraction::Review(QWidget* parent, ReviewSource source) {
    ReviewWindow review(std::move(source), parent);
    review.setWindowModality(Qt::ApplicationModal);
    if (review.exec() != QDialog::Accepted) return std::nullopt;
    return review.Files();
}

int DialogInteraction::PopupMenu(QWidget* parent, const QPoint& at, const QStringList& items) {
    QMenu menu(parent);
    for (const QString& item : items) menu.addAction(item);
    const QAction* chosen = menu.exec(parent->mapToGlobal(at));
    return chosen ? static_cast<int>(menu.actions().indexOf(const_cast<QAction*>(chosen))) : -1;
}

int DialogInteraction::FieldMenu(QLineEdit* field, const QPoint& at, const QStringList& items,
                                 const std::vector<bool>& checked) {
    const std::unique_ptr<QMenu> menu(field->createStandardContextMenu());
    menu->addSeparator();
    std::vector<QAction*> ours;
    for (qsizetype i = 0; i < items.size(); ++i) {
        ours.push_back(menu->addAction(items[i]));
        ours.back()->setCheckable(true);
        ours.back()->setChecked(static_cast<std::size_t>(i) < checked.size() && checked[static_cast<std::size_t>(i)]);
    }
    const QAction* chosen = menu->exec(field->mapToGlobal(at));
    const auto found = std::find(ours.begin(), ours.end(), chosen);
    return found == ours.end() ? -1 : static_cast<int>(found - ours.begin());
}

bool DialogInteraction::Question(QWidget* parent, const QString& text, const QString& title) {
    QMessageBox box(parent);
    box.setWindowTitle(title);
    box.setText(text);
    box.setTextFormat(Qt::PlainText);
    box.setIcon(QMessageBox::Question);
    box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
    box.setDefaultButton(QMessageBox::Yes);
    return box.exec() == QMessageBox::Yes;
}

}  // namespace tarnwick::window
