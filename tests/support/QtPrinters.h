#pragma once

#include <QRect>
#include <QSize>
#include <QString>

#include <ostream>

// Readable GoogleTest failure messages for Qt value types.
QT_BEGIN_NAMESPACE
inline void PrintTo(const QSize& s, std::ostream* os) {
    *os << s.width() << "x" << s.height();
}
inline void PrintTo(const QRect& r, std::ostream* os) {
    *os << "(" << r.x() << "," << r.y() << " " << r.width() << "x" << r.height() << ")";
}
inline void PrintTo(const QString& s, std::ostream* os) {
    *os << '"' << s.toStdString() << '"';
}
QT_END_NAMESPACE
