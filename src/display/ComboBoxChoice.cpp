#include "display/ComboBoxChoice.h"

#include <QComboBox>

namespace vintrace::display {

int ChosenItem(const QComboBox* box) {
    const int index = box->currentIndex();
    if (index < 0 || (box->isEditable() && box->currentText() != box->itemText(index))) {
        return -1;
    }
    return index;
}

} // namespace vintrace::display
