#pragma once

#include "device/Acquisition.h"

#include <QString>

namespace vintrace::app {

/// The status label's words for `status`: a few words, for the room the label has.
QString StatusText(device::Status status);
/// The label's tooltip: the whole story behind the short text (what failed, what was kept)
/// and, while an acquisition goes ahead without its lock, why. Empty when the text says it
/// all. `captureOnScreen` says whether a previous capture can have been kept.
QString StatusToolTip(device::Status status, const device::Acquisition& acquisition,
                      bool captureOnScreen);
/// True for the texts that speak of the last download's capture, which lose their meaning
/// once another capture replaces it.
bool SpeaksOfLastDownload(device::Status status);

} // namespace vintrace::app
