#include "display/PacketLinePainter.h"

#include "display/Fonts.h"

#include <QFontMetrics>
#include <QPainter>

namespace vintrace::display {

namespace {
QColor ToQColor(Rgb c) {
    return QColor(c.r, c.g, c.b);
}
} // namespace

// The classic UI font was a bitmap font: at 96 dpi its 8 pt face is 11 px and a request for
// 11 pt got its 13 px face. Those sizes keep a 16-byte row inside its wrapped data frame.
int LinePixelSize(int pointSize) {
    return pointSize == 11 ? 13 : 11;
}

void PaintPlan(QPainter& painter, const std::vector<DrawOp>& plan, const QColor& toolkitText) {
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing, false);
    const QFont small = UiFont(LinePixelSize(8));
    const QFont large = UiFont(LinePixelSize(11));
    for (const DrawOp& op : plan) {
        const QColor fill = ToQColor(op.fill);
        switch (op.type) {
        case DrawOp::Type::Fill:
            if (op.x2 > op.x1 && op.y2 > op.y1) {
                painter.fillRect(QRect(op.x1, op.y1, op.x2 - op.x1, op.y2 - op.y1), fill);
            }
            break;
        case DrawOp::Type::Frame:
            // The outline covers x1..x2-1 and y1..y2-1; the inside takes the fill colour.
            if (op.x2 > op.x1 && op.y2 > op.y1) {
                painter.setPen(QPen(Qt::black, 1));
                painter.setBrush(fill);
                painter.drawRect(QRect(op.x1, op.y1, op.x2 - op.x1 - 1, op.y2 - op.y1 - 1));
            }
            break;
        case DrawOp::Type::Text: {
            const QFont& font = op.pointSize == 11 ? large : small;
            painter.setFont(font);
            const QFontMetrics metrics(font);
            const QString text =
                QString::fromLatin1(op.text.data(), static_cast<qsizetype>(op.text.size()));
            // Opaque text: the character cells take the current fill colour.
            painter.fillRect(QRect(op.x1, op.y1, metrics.horizontalAdvance(text), metrics.height()),
                             fill);
            painter.setPen(op.toolkitTextColour ? toolkitText : ToQColor(op.textColour));
            painter.drawText(op.x1, op.y1 + metrics.ascent(), text);
            break;
        }
        }
    }
    painter.restore();
}

void PaintPacketLine(QPainter& painter, const QRect& rect, const capture::CaptureRecord& record,
                     WrapMode mode, const QColor& toolkitText) {
    const LineRect line{rect.left(), rect.top(), rect.left() + rect.width(),
                        rect.top() + rect.height()};
    PaintPlan(painter, PlanPacketLine(record, mode, line), toolkitText);
}

} // namespace vintrace::display
