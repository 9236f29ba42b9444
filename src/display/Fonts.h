#pragma once

#include <QFont>
#include <QStringList>

namespace vintrace::display {

/// The interface font at a pixel size. Liberation Sans (installed with the application's
/// packages) has the proportions of the classic Windows UI fonts the layout was drawn for, so
/// captions fit their controls on every machine. `stretch` narrows it (100: as drawn).
QFont UiFont(int pixelSize, QFont::Weight weight = QFont::Normal, int stretch = 100);

/// The font of the windows' and dialogs' controls (the classic 8-point dialog font, 11 px).
/// That font is narrower than Liberation Sans, and the controls were sized for it, so it is
/// drawn a little condensed: every caption then fits its control.
QFont ControlFont();

/// The main window's status line: heavy, and condensed so that the longest status fits
/// between the progress bar and the status lamps.
QFont StatusFont();

} // namespace vintrace::display
