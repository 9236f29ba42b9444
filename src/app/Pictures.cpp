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

QIcon WindowIcon() {
    QPixmap pixmap(32, 32);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(QColor(20, 40, 90), 1));
    p.setBrush(QColor(40, 90, 200));
    p.drawRoundedRect(QRectF(1.5, 1.5, 29, 29), 5, 5);
    p.setPen(QPen(Qt::white, 2));
    p.setBrush(Qt::NoBrush);
    p.drawPath(TracePath(QRectF(4, 8, 24, 16)));
    return QIcon(pixmap);
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
