#pragma once

#include <QIcon>
#include <QPixmap>

namespace vintrace::app {

/// The status lamps (29 x 31 pictures) that stand left of the group boxes.
enum class Lamp { Unlit, Green, Red, Yellow };

/// A lamp picture, drawn in code so that no binary asset is needed.
QPixmap LampPicture(Lamp lamp);
/// The 32 x 32 window icon: a plug over a trace.
QIcon WindowIcon();
/// The About box picture, 265 x 151.
QPixmap AboutPicture();

} // namespace vintrace::app
