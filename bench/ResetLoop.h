#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vintrace::bench {

/// Bytes of one recording in a reset-loop capture: one download of the emulator's default
/// recording memory, which holds every enumeration and a share of class traffic.
inline constexpr std::size_t kResetLoopRecording = 263'680;

/// A capture of devices in a reset loop: one recording of the emulated bus (a low-speed mouse
/// behind a hub, a CDC serial port and a bulk-only disk, from power-on through enumeration
/// into class traffic), cut at a packet's end, repeated to about `size` bytes. Every repeat
/// enumerates the three devices again at addresses 0, then 1 to 3.
std::vector<std::uint8_t> ResetLoopTraffic(std::size_t size, std::uint64_t seed = 1);

/// Writes such a capture of about `size` bytes to `path`; false if it cannot be written.
bool WriteResetLoopFile(const std::string& path, std::size_t size, std::uint64_t seed = 1);

} // namespace vintrace::bench
