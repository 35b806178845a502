// Draws the program's pictures and writes them beside this file:
//   tarnwick-make-icons DIR
// program.png (32x32: a pencil over a sheet of paper), program.ico, the same
// at 48, 64 and 128 pixels for desktop menus (program-48.png ...), and the
// 16x16 button pictures document.png, open-folder.png, diskette.png, about.png.

#include <QDir>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QPainterPath>

#include <cstdio>

namespace {

QImage Blank(int size) {
    QImage image(size, size, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    return image;
}

// A sheet with a folded top-right corner and lines of text.
void Sheet(QPainter& p, QRectF r, qreal fold, int lines, qreal lineStep) {
    QPainterPath page;
    page.moveTo(r.left(), r.top());
    page.lineTo(r.right() - fold, r.top());
    page.lineTo(r.right(), r.top() + fold);
    page.lineTo(r.right(), r.bottom());
    page.lineTo(r.left(), r.bottom());
    page.closeSubpath();
    p.setPen(QPen(QColor(90, 90, 90), 1));
    p.setBrush(Qt::white);
    p.drawPath(page);
    QPainterPath corner;
    corner.moveTo(r.right() - fold, r.top());
    corner.lineTo(r.right() - fold, r.top() + fold);
    corner.lineTo(r.right(), r.top() + fold);
    p.setBrush(QColor(215, 215, 215));
    p.drawPath(corner);
    p.setPen(QPen(QColor(110, 140, 190), 1));
    for (int i = 0; i < lines; ++i) {
        const qreal y = r.top() + fold + 2 + i * lineStep;
        p.drawLine(QPointF(r.left() + 2, y), QPointF(r.right() - 2 - (i % 3 == 2 ? 3 : 0), y));
    }
}

// Drawn on a 32 by 32 grid and scaled to `size` (desktop menus want larger ones).
QImage Program(int size = 32) {
    QImage image = Blank(size);
    QPainter p(&image);
    if (size != 32) {
        p.setRenderHint(QPainter::Antialiasing);
        p.scale(size / 32.0, size / 32.0);
    }
    p.translate(0.5, 0.5);
    Sheet(p, QRectF(3, 1, 21, 28), 6, 6, 3.5);
    // The pencil, lying from the lower left to the upper right across the sheet.
    p.setRenderHint(QPainter::Antialiasing);
    p.translate(17, 17);
    p.rotate(-45);
    const qreal w = 5;
    p.setPen(QPen(QColor(60, 40, 10), 1));
    p.setBrush(QColor(245, 190, 30));  // body
    p.drawRect(QRectF(-9, -w / 2, 16, w));
    p.setBrush(QColor(235, 130, 150));  // eraser
    p.drawRect(QRectF(9, -w / 2, 4, w));
    p.setBrush(QColor(170, 170, 175));  // ferrule
    p.drawRect(QRectF(7, -w / 2, 2, w));
    QPainterPath tip;
    tip.moveTo(-9, -w / 2);
    tip.lineTo(-15, 0);
    tip.lineTo(-9, w / 2);
    tip.closeSubpath();
    p.setBrush(QColor(240, 215, 170));  // wood
    p.drawPath(tip);
    QPainterPath lead;
    lead.moveTo(-13, -0.8);
    lead.lineTo(-15, 0);
    lead.lineTo(-13, 0.8);
    lead.closeSubpath();
    p.setBrush(QColor(40, 40, 40));
    p.drawPath(lead);
    return image;
}

QImage Document() {
    QImage image = Blank(16);
    QPainter p(&image);
    p.translate(0.5, 0.5);
    Sheet(p, QRectF(2, 0, 11, 15), 4, 4, 2.5);
    return image;
}

QImage OpenFolder() {
    QImage image = Blank(16);
    QPainter p(&image);
    p.translate(0.5, 0.5);
    p.setPen(QPen(QColor(120, 90, 20), 1));
    p.setBrush(QColor(230, 185, 70));  // back of the folder with its tab
    QPainterPath back;
    back.moveTo(0, 3);
    back.lineTo(5, 3);
    back.lineTo(6, 4);
    back.lineTo(12, 4);
    back.lineTo(12, 13);
    back.lineTo(0, 13);
    back.closeSubpath();
    p.drawPath(back);
    p.setBrush(QColor(250, 220, 110));  // the open front flap
    QPainterPath front;
    front.moveTo(0, 13);
    front.lineTo(3, 7);
    front.lineTo(15, 7);
    front.lineTo(12, 13);
    front.closeSubpath();
    p.drawPath(front);
    return image;
}

QImage Diskette() {
    QImage image = Blank(16);
    QPainter p(&image);
    p.translate(0.5, 0.5);
    p.setPen(QPen(QColor(20, 30, 70), 1));
    p.setBrush(QColor(50, 80, 160));
    QPainterPath body;
    body.moveTo(1, 1);
    body.lineTo(13, 1);
    body.lineTo(14, 2);
    body.lineTo(14, 14);
    body.lineTo(1, 14);
    body.closeSubpath();
    p.drawPath(body);
    p.setBrush(Qt::white);  // label
    p.drawRect(QRectF(3, 1, 9, 6));
    p.setBrush(QColor(190, 190, 195));  // shutter
    p.drawRect(QRectF(4, 9, 7, 5));
    p.setBrush(QColor(20, 30, 70));
    p.drawRect(QRectF(8, 10, 1, 3));
    return image;
}

QImage About() {
    QImage image = Blank(16);
    QPainter p(&image);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(90, 90, 90));  // the frame
    p.drawRect(1, 1, 14, 14);
    p.setBrush(Qt::black);
    p.drawRect(3, 3, 10, 10);
    p.setBrush(QColor(250, 210, 0));  // yellow over the upper left half
    QPolygon yellow({QPoint(3, 3), QPoint(13, 3), QPoint(3, 13)});
    p.drawPolygon(yellow);
    return image;
}

}  // namespace

int main(int argc, char** argv) {
    QGuiApplication app(argc, argv);
    if (argc != 2) {
        std::fputs("usage: tarnwick-make-icons DIR\n", stderr);
        return 2;
    }
    const QDir dir(QString::fromLocal8Bit(argv[1]));
    const QImage program = Program();
    bool ok = program.save(dir.filePath("program.png")) && program.save(dir.filePath("program.ico"), "ICO") &&
              Document().save(dir.filePath("document.png")) && OpenFolder().save(dir.filePath("open-folder.png")) &&
              Diskette().save(dir.filePath("diskette.png")) && About().save(dir.filePath("about.png"));
    for (const int size : {48, 64, 128})
        ok = ok && Program(size).save(dir.filePath(QStringLiteral("program-%1.png").arg(size)));
    if (!ok) std::fputs("tarnwick-make-icons: cannot write the pictures\n", stderr);
    return ok ? 0 : 1;
}
