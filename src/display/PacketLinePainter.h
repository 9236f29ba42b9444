#pragma once

#include "capture/CaptureRecord.h"
#include "display/PacketLinePlan.h"

#include <QColor>
#include <QRect>

class QPainter;

namespace vintrace::display {

/// Paints one packet list line for `record` into `rect` of any painter (the list, an image
/// export, a test). `toolkitText` is the list's own text colour for this line, which only the
/// "UnDeciphered PID" label uses.
void PaintPacketLine(QPainter& painter, const QRect& rect, const capture::CaptureRecord& record,
                     WrapMode mode, const QColor& toolkitText = Qt::black);

/// Executes drawing steps made by PlanPacketLine.
void PaintPlan(QPainter& painter, const std::vector<DrawOp>& plan, const QColor& toolkitText);

/// Pixel size of the list font for a point size of the line drawing (8 or 11).
int LinePixelSize(int pointSize);

} // namespace vintrace::display
