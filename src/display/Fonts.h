#pragma once

#include <QFont>
#include <QStringList>

namespace vintrace::display {

/// The interface font at a pixel size. Liberation Sans (installed with the application's
/// packages) has the proportions of the classic Windows UI fonts the layout was drawn for, so
/// captions fit their controls on every machine.
QFont UiFont(int pixelSize, QFont::Weight weight = QFont::Normal);

} // namespace vintrace::display
