#pragma once

#include <QIcon>
#include <QImage>
#include <QPixmap>
#include <QString>

namespace vintrace::app {

/// The status lamps (29 x 31 pictures) that stand left of the group boxes.
enum class Lamp { Unlit, Green, Red, Yellow };

/// A lamp picture, drawn in code so that no binary asset is needed.
QPixmap LampPicture(Lamp lamp);
/// The 32 x 32 window icon: a plug over a trace.
QIcon WindowIcon();
/// The window icon drawn at `size` x `size` pixels, for the desktop's icon theme.
QImage WindowIconImage(int size);
/// The window icon as an SVG document: the same shapes, colours and pens.
QString WindowIconSvg();
/// The About box picture, 265 x 151.
QPixmap AboutPicture();

} // namespace vintrace::app
