#pragma once

#include <optional>
#include <string>

class QMimeData;
class QString;
class QWidget;

namespace vintrace::app {

// The file dialogs of the main window; each returns nothing when the user cancels.

/// A capture file to open ("*.dat").
std::optional<std::string> AskCaptureToOpen(QWidget* parent);
/// The name to keep the capture under. A new name may be typed; an existing one is refused by
/// the move itself, never overwritten, so the dialog does not ask to replace it.
std::optional<std::string> AskCaptureSaveName(QWidget* parent);
/// A pcap or pcapng file to import.
std::optional<std::string> AskPcapToImport(QWidget* parent);
/// The pcap file to export to (the dialog confirms replacing one).
std::optional<std::string> AskPcapToExport(QWidget* parent);
/// The one local file a drag carries, or nothing.
std::optional<QString> DraggedFile(const QMimeData* data);

} // namespace vintrace::app
