#pragma once

#include <array>
#include <cstdint>

namespace vintrace::device {

// The twelve analyzer commands over the driver interface. Each finds and opens the analyzer
// anew and closes it before returning.

bool SetArmed(std::uint8_t flag);
bool SetTrigger(std::uint8_t code);
bool ReadFirmwareVersion(std::array<std::uint8_t, 13>& text);
bool ReadTriggerStatus(std::uint8_t& status);
bool ReadPortSpeed(std::uint8_t& speed);
bool BeginAcquisition();
bool EndDownload();
bool SetStopped(std::uint8_t flag);
bool ReadFifoFull(std::uint8_t& full);
bool BeginDownload();
bool SetBusSpeed(std::uint8_t speed);
std::uint8_t ReadFifoLevel();

} // namespace vintrace::device
