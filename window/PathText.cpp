#include "window/PathText.h"

namespace tarnwick::window {

namespace {

// Characters that would change how the rest of a line shows: controls, and
// the marks that embed, override or isolate a direction of text.
bool Unsafe(char16_t c) {
    return c < 0x20 || c == 0x7F || (c >= 0x80 && c < 0xA0) || c == 0x200E || c == 0x200F ||
           (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069) || c == 0x2028 || c == 0x2029;
}

bool Joins(QChar c) {
    const auto category = c.category();
    return c.isLowSurrogate() || category == QChar::Mark_NonSpacing || category == QChar::Mark_SpacingCombining ||
           category == QChar::Mark_Enclosing || c.unicode() == 0x200D;
}

}  // namespace

QString ShownPath(const QString& path, qsizetype longest) {
    QString shown;
    shown.reserve(path.size());
    for (const QChar c : path) {
        if (!Unsafe(c.unicode())) {
            shown += c;
        } else if (c.unicode() < 0x20) {
            shown += QChar(char16_t(0x2400 + c.unicode()));  // ␊, ␉ ...: the control pictures
        } else {
            shown += QStringLiteral("<U+%1>").arg(QString::number(c.unicode(), 16).toUpper().rightJustified(4, u'0'));
        }
    }
    if (longest <= 0 || shown.size() <= longest) return shown;
    qsizetype head = longest / 2 - 1, tail = shown.size() - longest / 2;
    // Never inside a character: a surrogate pair, or a letter and its accents.
    while (head > 0 && Joins(shown[head])) --head;
    while (tail < shown.size() && Joins(shown[tail])) ++tail;
    return shown.left(head) + QChar(u'…') + shown.mid(tail);
}

}  // namespace tarnwick::window
