#pragma once

// Placing controls the way the window layouts give them: in twips, relative
// to the container, each named as in the layout.

#include <QLabel>
#include <QString>
#include <QWidget>

namespace tarnwick::forms {

// Layout units: twips, 15 to a device-independent pixel.
constexpr int Px(int twips) { return twips / 15; }

template <typename W>
W* Place(W* widget, const char* name, int left, int top, int width, int height) {
    widget->setObjectName(QString::fromLatin1(name));
    widget->setGeometry(Px(left), Px(top), Px(width), Px(height));
    return widget;
}

// A label of plain text; one that sizes itself takes its caption's size and keeps its top left corner.
inline QLabel* Label(QWidget* parent, const char* name, const QString& caption, int left, int top, int width,
                     int height, bool sizesItself) {
    auto* label = Place(new QLabel(caption, parent), name, left, top, width, height);
    label->setTextFormat(Qt::PlainText);
    if (sizesItself) label->adjustSize();
    return label;
}

}  // namespace tarnwick::forms
