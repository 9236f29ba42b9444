#pragma once

#include <array>
#include <cstdint>

namespace vintrace::device {

// The twelve analyzer commands over the driver interface. Each finds and opens the analyzer
// anew and closes it before returning.

/// 1 arms acquisition, 0 disarms.
bool SetArmed(std::uint8_t flag);
/// Sends a trigger code (15: trigger on arm).
bool SetTrigger(std::uint8_t code);
/// On success the 13 version bytes, on failure 13 zero bytes.
bool ReadFirmwareVersion(std::array<std::uint8_t, 13>& text);
/// `status` is written only on success; 1 means the trigger has occurred.
bool ReadTriggerStatus(std::uint8_t& status);
/// 0 full-speed PC port, other values high speed; 0 on failure.
bool ReadPortSpeed(std::uint8_t& speed);
/// Prepares a new recording.
bool BeginAcquisition();
/// Ends the download of a recording.
bool EndDownload();
/// 1 stops recording, 0 releases the stop.
bool SetStopped(std::uint8_t flag);
/// `full` is written only on success; 1 means the recording memory is full.
bool ReadFifoFull(std::uint8_t& full);
/// Starts handing out the recording on the data pipe.
bool BeginDownload();
/// 0 low speed, 1 full speed (the bus under test).
bool SetBusSpeed(std::uint8_t speed);
/// Fill level 0..255 of the recording memory; 0 on failure.
std::uint8_t ReadFifoLevel();

} // namespace vintrace::device
