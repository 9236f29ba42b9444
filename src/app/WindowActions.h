#pragma once

#include <QKeySequence>
#include <QString>

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>

class QAction;
class QLabel;
class QWidget;

namespace vintrace::app {

/// An action of `window`, its `keys` working anywhere in it, that `view`'s context menu offers
/// too (with Qt::ActionsContextMenu).
QAction* AddViewAction(QWidget* window, QWidget* view, const char* text, const char* name,
                       const QKeySequence& keys = {});

/// Asks for a file to write with a file dialog (which asks before replacing one); nothing
/// when the user cancels.
std::function<std::optional<std::string>()> SaveFileChooser(QWidget* parent, const QString& title,
                                                            const QString& filter);

/// The title and state line of a window that shows `what` ("Transfers", "Devices") of the
/// capture in `fileName`: titled "<what> — <file name>", and `label` says, hidden when there
/// is nothing to say, that the capture named `loading` is loading (when it is not empty), else
/// `state`.
void ShowWindowState(QWidget& window, QLabel& label, const QString& what,
                     const std::string& fileName, const QString& loading, const QString& state);

/// "12 01 00 02": every byte, upper-case, one space apart, as the Payload column shows them.
QString HexBytes(std::span<const std::uint8_t> bytes);

} // namespace vintrace::app
