#include "capture/BusSpeedSigns.h"

#include "capture/UsbCrc.h"

namespace vintrace::capture {

namespace {

constexpr std::uint8_t kSof = 0xA5;
constexpr std::uint8_t kPing = 0xB4;
constexpr std::uint8_t kSplit = 0x78;
constexpr std::uint8_t kNyet = 0x96;
constexpr std::uint8_t kData2 = 0x87;
constexpr std::uint8_t kMdata = 0x0F;

} // namespace

void BusSpeedSigns::note(std::span<const std::uint8_t> packet) {
    if (packet.empty()) {
        return;
    }
    const std::uint8_t pid = packet[0];
    if (pid == kPing || pid == kSplit || pid == kNyet || pid == kData2 || pid == kMdata) {
        highSpeedPid_ = true;
        return;
    }
    // Only SOFs whose CRC5 holds count: a corrupted one says nothing of the frame number.
    if (pid != kSof || packet.size() != 3 || !TokenCrcMatches(packet[1], packet[2])) {
        return;
    }
    const auto frame = static_cast<std::uint16_t>(packet[1] | (packet[2] & 0x07) << 8);
    if (lastFrame_ == frame) {
        ++repeatedFrames_;
    }
    lastFrame_ = frame;
}

} // namespace vintrace::capture
