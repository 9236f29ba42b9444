#include "app/Pictures.h"

#include "display/Fonts.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>

namespace vintrace::app {

QPixmap LampPicture(Lamp lamp) {
    QColor core;
    switch (lamp) {
    case Lamp::Unlit:
        core = QColor(150, 150, 150);
        break;
    case Lamp::Green:
        core = QColor(30, 210, 60);
        break;
    case Lamp::Red:
        core = QColor(235, 30, 30);
        break;
    case Lamp::Yellow:
        core = QColor(250, 220, 20);
        break;
    }
    QPixmap pixmap(29, 31);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    // Bezel, then the glass with a highlight towards the top left.
    p.setPen(QPen(QColor(60, 60, 60), 1));
    p.setBrush(QColor(200, 200, 200));
    p.drawEllipse(QRectF(1.5, 2.5, 26, 26));
    QRadialGradient glass(QPointF(11, 11), 14);
    glass.setColorAt(0.0, core.lighter(lamp == Lamp::Unlit ? 120 : 170));
    glass.setColorAt(0.6, core);
    glass.setColorAt(1.0, core.darker(160));
    p.setPen(Qt::NoPen);
    p.setBrush(glass);
    p.drawEllipse(QRectF(4.5, 5.5, 20, 20));
    return pixmap;
}

namespace {
// A stylised bus trace: idle, a burst of bit cells, idle.
QPainterPath TracePath(QRectF area) {
    QPainterPath path;
    const qreal high = area.top() + area.height() * 0.25;
    const qreal low = area.top() + area.height() * 0.75;
    const int bits[] = {1, 0, 1, 0, 1, 0, 1, 1, 0, 0, 1, 0, 1, 1, 1, 0};
    const qreal cell = area.width() / (std::size(bits) + 4);
    qreal x = area.left();
    path.moveTo(x, high);
    x += 2 * cell;
    path.lineTo(x, high);
    qreal level = high;
    for (int bit : bits) {
        const qreal next = bit ? high : low;
        if (next != level) {
            path.lineTo(x, next);
            level = next;
        }
        x += cell;
        path.lineTo(x, level);
    }
    path.lineTo(x, high);
    path.lineTo(area.right(), high);
    return path;
}
} // namespace

namespace {
// The window icon's drawing, on a 32 x 32 grid; the SVG below states the same shapes.
const QRectF kIconFrame(1.5, 1.5, 29, 29);
constexpr qreal kIconCorner = 5;
const QColor kIconEdge(20, 40, 90);
const QColor kIconFill(40, 90, 200);
const QRectF kIconTrace(4, 8, 24, 16);
constexpr qreal kIconTracePen = 2;

void PaintWindowIcon(QPainter& p) {
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(kIconEdge, 1));
    p.setBrush(kIconFill);
    p.drawRoundedRect(kIconFrame, kIconCorner, kIconCorner);
    p.setPen(QPen(Qt::white, kIconTracePen));
    p.setBrush(Qt::NoBrush);
    p.drawPath(TracePath(kIconTrace));
}
} // namespace

QIcon WindowIcon() {
    return QIcon(QPixmap::fromImage(WindowIconImage(32)));
}

QImage WindowIconImage(int size) {
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.scale(size / 32.0, size / 32.0);
    PaintWindowIcon(p);
    return image;
}

QString WindowIconSvg() {
    const QPainterPath trace = TracePath(kIconTrace);
    QString d;
    for (int i = 0; i < trace.elementCount(); ++i) {
        const QPainterPath::Element e = trace.elementAt(i);
        d += QStringLiteral("%1%2 %3 ")
                 .arg(e.isMoveTo() ? QLatin1Char('M') : QLatin1Char('L'))
                 .arg(e.x, 0, 'g', 6)
                 .arg(e.y, 0, 'g', 6);
    }
    return QStringLiteral(
               "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
               "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"32\" height=\"32\" "
               "viewBox=\"0 0 32 32\">\n"
               "  <rect x=\"%1\" y=\"%2\" width=\"%3\" height=\"%4\" rx=\"%5\" ry=\"%5\" "
               "fill=\"%6\" stroke=\"%7\" stroke-width=\"1\"/>\n"
               "  <path d=\"%8\" fill=\"none\" stroke=\"#ffffff\" stroke-width=\"%9\"/>\n"
               "</svg>\n")
        .arg(kIconFrame.x())
        .arg(kIconFrame.y())
        .arg(kIconFrame.width())
        .arg(kIconFrame.height())
        .arg(kIconCorner)
        .arg(kIconFill.name(), kIconEdge.name(), d.trimmed())
        .arg(kIconTracePen);
}

QPixmap AboutPicture() {
    QPixmap pixmap(265, 151);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    QLinearGradient sky(0, 0, 0, 151);
    sky.setColorAt(0, QColor(18, 32, 70));
    sky.setColorAt(1, QColor(40, 90, 160));
    p.fillRect(pixmap.rect(), sky);
    p.setPen(QPen(QColor(120, 230, 160), 2));
    p.drawPath(TracePath(QRectF(12, 30, 241, 50)));
    p.setPen(QPen(QColor(250, 200, 80), 2));
    p.drawPath(TracePath(QRectF(12, 80, 241, 50)).translated(0, 6));
    p.setFont(display::UiFont(22, QFont::Bold));
    p.setPen(Qt::white);
    p.drawText(QRect(0, 4, 265, 28), Qt::AlignCenter, QStringLiteral("Vintrace"));
    return pixmap;
}

} // namespace vintrace::app
