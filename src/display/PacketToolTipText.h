#pragma once

#include "capture/CaptureCheck.h"
#include "capture/PacketList.h"

#include <cstddef>
#include <optional>
#include <string>

namespace vintrace::display {

/// The tooltip of line i of the packet list: what the record is (kind, address and endpoint,
/// frame number, payload size, the standard request a SETUP's DATA0 carries), what its
/// transfer carries (`meaning`, the decoded text, put on one line) and what the checks found,
/// one item per line. `findings` are CheckCapture's for record i.
std::string PacketToolTipText(const capture::PacketList& packets, std::size_t i,
                              capture::Findings findings,
                              const std::optional<std::string>& meaning = std::nullopt);

} // namespace vintrace::display
