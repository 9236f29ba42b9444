#include "display/Fonts.h"

namespace vintrace::display {

QFont UiFont(int pixelSize, QFont::Weight weight) {
    QFont font;
    font.setFamilies(QStringList{QStringLiteral("Liberation Sans"), QStringLiteral("DejaVu Sans")});
    font.setStyleHint(QFont::SansSerif);
    font.setPixelSize(pixelSize);
    font.setWeight(weight);
    return font;
}

} // namespace vintrace::display
