#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace vintrace::capture {

/// What import says of a capture that looks high-speed: it still imports, but only low- and
/// full-speed traffic decodes.
inline constexpr std::string_view kHighSpeedWarning =
    "the capture looks high-speed (micro-frame SOFs, PING, SPLIT, NYET, DATA2 or MDATA); "
    "Vintrace decodes low- and full-speed traffic only";

/// Watches packets (PID byte first) for what only a high-speed bus carries (USB 2.0 8.3.1
/// and 8.4.3): the PIDs PING, SPLIT, NYET, DATA2 and MDATA, and SOFs that repeat their frame
/// number (eight micro-frames share one, 125 µs apart).
class BusSpeedSigns {
public:
    void note(std::span<const std::uint8_t> packet);
    /// True once a high-speed PID or repeated frame numbers were seen.
    bool highSpeed() const { return highSpeedPid_ || repeatedFrames_ >= kRepeats; }

private:
    // A single repeat may be a capture glitch; a high-speed bus repeats seven times a frame.
    static constexpr std::size_t kRepeats = 3;
    std::optional<std::uint16_t> lastFrame_;
    std::size_t repeatedFrames_ = 0;
    bool highSpeedPid_ = false;
};

} // namespace vintrace::capture
