#pragma once

class QComboBox;

namespace vintrace::display {

/// The item chosen in a drop-down box that accepts typing, or -1 when none is: a typed text
/// that differs from the selected item chooses no item.
int ChosenItem(const QComboBox* box);

} // namespace vintrace::display
