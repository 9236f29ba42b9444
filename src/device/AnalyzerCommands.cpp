#include "device/AnalyzerCommands.h"

// Until the driver interface is reachable on this platform, the commands answer exactly as
// they do with no analyzer attached.

namespace vintrace::device {

bool SetArmed(std::uint8_t) {
    return false;
}
bool SetTrigger(std::uint8_t) {
    return false;
}
bool ReadFirmwareVersion(std::array<std::uint8_t, 13>& text) {
    text.fill(0);
    return false;
}
bool ReadTriggerStatus(std::uint8_t&) {
    return false;
}
bool ReadPortSpeed(std::uint8_t& speed) {
    speed = 0;
    return false;
}
bool BeginAcquisition() {
    return false;
}
bool EndDownload() {
    return false;
}
bool SetStopped(std::uint8_t) {
    return false;
}
bool ReadFifoFull(std::uint8_t&) {
    return false;
}
bool BeginDownload() {
    return false;
}
bool SetBusSpeed(std::uint8_t) {
    return false;
}
std::uint8_t ReadFifoLevel() {
    return 0;
}

} // namespace vintrace::device
