#pragma once

#include "capture/RecordKind.h"

#include <cstdint>
#include <string_view>

namespace vintrace::display {

struct Rgb {
    std::uint8_t r, g, b;
    friend bool operator==(const Rgb&, const Rgb&) = default;
};

/// Fill colour of a kind's box in the packet list, also the shrink view's stroke colour.
/// Any code outside the known kinds is white.
Rgb KindColour(capture::RecordKind kind);

/// Label drawn in the kind box, leading blanks included ("  SETUP", " DATA0", "STALL").
std::string_view KindLabel(capture::RecordKind kind);

/// Colour of the label text.
Rgb KindLabelColour(capture::RecordKind kind);

} // namespace vintrace::display
