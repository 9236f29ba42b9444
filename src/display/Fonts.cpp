#include "display/Fonts.h"

namespace vintrace::display {

QFont UiFont(int pixelSize, QFont::Weight weight, int stretch) {
    QFont font;
    font.setFamilies(QStringList{QStringLiteral("Liberation Sans"), QStringLiteral("DejaVu Sans")});
    font.setStyleHint(QFont::SansSerif);
    font.setPixelSize(pixelSize);
    font.setWeight(weight);
    font.setStretch(stretch);
    return font;
}

QFont ControlFont() {
    return UiFont(11, QFont::Normal, 92);
}

QFont StatusFont() {
    return UiFont(11, QFont::Bold, 85);
}

} // namespace vintrace::display
