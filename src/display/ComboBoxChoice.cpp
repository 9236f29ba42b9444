#include "display/ComboBoxChoice.h"

#include <QComboBox>

namespace vintrace::display {

int ChosenItem(const QComboBox* box) {
    const int index = box->currentIndex();
    if (!box->isEditable() || (index >= 0 && box->currentText() == box->itemText(index))) {
        return index;
    }
    // Typed text: Qt keeps the earlier item current, but what counts is what the box shows.
    return box->findText(box->currentText(), Qt::MatchExactly | Qt::MatchCaseSensitive);
}

} // namespace vintrace::display
