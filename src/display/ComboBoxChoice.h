#pragma once

class QComboBox;

namespace vintrace::display {

/// The item chosen in a drop-down box that accepts typing, or -1 when none is. The box's text
/// decides: a text that is exactly an item's text chooses that item, any other chooses none.
int ChosenItem(const QComboBox* box);

} // namespace vintrace::display
